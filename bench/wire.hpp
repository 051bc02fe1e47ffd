#pragma once

// What the bench puts on the wire, shared by the load clients, the floods
// and the amplification table.

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace punchprobe_bench {

// The client's four requests, byte for byte as the real client's builders
// write them, into `out`; return the length (as snprintf). Kept in one place
// so that the load clients, the floods and the amplification table send the
// same bytes.
int format_init(char* out, std::size_t size, unsigned local_port);
int format_init2(char* out, std::size_t size, unsigned local_port_alt, long session_id);
int format_start(char* out, std::size_t size, long session_id);
int format_ping(char* out, std::size_t size, long session_id);

// The same as strings, where a copy does not matter.
std::string init_request(unsigned local_port);
std::string init2_request(unsigned local_port_alt, long session_id);
std::string start_request(long session_id);
std::string ping_request(long session_id);

// The server writes compact JSON (FastWriter), so members are found by their
// exact text, `key` being e.g. "\"session_id\":"; this keeps the generator
// cheap enough to outpace the server. `text` ends with a NUL.
bool find_int(const char* text, const char* key, long& value);

// An IPv4 socket address from an address and a port in host order.
sockaddr_in ipv4_endpoint(std::uint32_t address, unsigned short port);

}  // namespace punchprobe_bench
