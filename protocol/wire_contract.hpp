#pragma once

#include <cstddef>

// What a test server owes the punchprobe client. The client relies on exactly
// this and nothing more, so any server that keeps it gives right verdicts.
//
//  step  client sends                 from       to                         reply relied on
//  1     INIT  {local_port}           primary    server main port           INIT  {session_id, public_ip, public_port}
//  2     INIT2 {session_id,           alternate  source of the INIT reply   INIT2 {public_port_alt}
//               local_port_alt}
//  3     START {session_id}           alternate  source of the INIT2 reply  START {extra_port}
//  4     PING  {session_id}           primary    START reply's address,     PING datagrams; the client needs
//                                                port extra_port            three of them within 20 s
//
// - Each reply is one JSON object whose "command" is the request's command
//   name, in one datagram of at most 1024 bytes without a NUL byte.
// - session_id, public_port, public_port_alt and extra_port are JSON numbers
//   in the signed 32-bit range; public_ip is text; ping_number may be a number
//   or text and is only printed. A missing member reads as 0 or empty text.
// - Each reply goes to the source of its request: the INIT reply reaches the
//   primary socket, the INIT2 and START replies the alternate one.
// - Every datagram whose command is PING counts once, whatever its
//   ping_number, sender or receiving socket.
// - The client never repeats a request. It waits 10 s for each reply of steps
//   1 to 3 and 20 s after its PING for the third server PING. A datagram with
//   an unknown command, or an integer member that is not a number, ends the
//   client's run: a server must never send one.
// - Session numbering, the reported addresses and ports, the pace of the
//   PINGs and the use of local_port, local_port_alt and protocol are the
//   server's own choice.

namespace punchprobe {

// The largest datagram the client reads whole.
constexpr std::size_t client_receive_buffer_size = 1024;

// The client's default server port.
constexpr int default_server_port = 30000;

// The lowest source port the server answers. NATs map clients to 1024 and
// above (RFC 4787), and the well-known services that an attacker would aim
// a forged request at live below.
constexpr unsigned short lowest_client_port = 1024;

}  // namespace punchprobe
