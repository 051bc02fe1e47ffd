#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "support/udp_peer.hpp"

// The server side of an exchange, scripted by a test: the exact datagrams the
// client must send, the replies a server gives, checks of what arrives at a
// UdpPeer, and the console transcript a run must print. Everything is written
// out literally here, never produced by the client's own encoder, so that a
// fault there shows up as a difference.
namespace punchprobe_test {

// Long enough for a loaded machine; a datagram that is due arrives in
// microseconds on loopback.
constexpr std::chrono::milliseconds default_receive_limit{10000};

// The datagrams the client sends, byte for byte.
std::string client_init(int local_port);
std::string client_init2(int session, int local_port_alt);
std::string client_start(int session);
std::string client_ping(int session);

// Replies of a well-behaved server.
std::string server_init(int session, const std::string& public_ip, int public_port);
std::string server_init2(int public_port_alt);
std::string server_start(int extra_port);
// `ping_number_json` is the member's JSON text: 1 or "1"; empty leaves the
// member out.
std::string server_ping(const std::string& ping_number_json);

// 127.0.0.1 and the given port.
boost::asio::ip::udp::endpoint loopback(unsigned short port);

// Waits for the client's INIT on `server`, checks that it carries its own
// source port as local_port, and returns that port: the client's primary
// port P. Records a test failure and returns nothing when no INIT, or a
// wrong one, arrives within the limit.
std::optional<unsigned short> expect_client_init(
    UdpPeer& server, std::chrono::milliseconds limit = default_receive_limit);

// Waits for the next datagram on `peer` and records a test failure unless it
// holds exactly `bytes` and comes from 127.0.0.1 (or `source_address`) at
// `source_port`. `what` names the datagram in failure messages.
bool expect_datagram(UdpPeer& peer, const std::string& what, const std::string& bytes,
                     unsigned short source_port,
                     std::chrono::milliseconds limit = default_receive_limit,
                     const std::string& source_address = "127.0.0.1");

// Plays a plain server through the set-up: takes the client's INIT on
// `server`, answers it and INIT2 with one public address, and waits for
// START. Returns the client's primary port P, or 0 after a recorded failure.
unsigned short answer_init_and_init2(UdpPeer& server, int session, const std::string& public_ip,
                                     int public_port, int public_port_alt);

// The same, then answers START with `extra` as the extra port and takes the
// client's PING there. Returns P, or 0 after a recorded failure.
unsigned short answer_until_ping(UdpPeer& server, UdpPeer& extra, int session, const std::string& public_ip,
                                 int public_port, int public_port_alt);

// Records a test failure if any datagram arrives on `peer` within `limit`.
void expect_no_datagram(UdpPeer& peer, const std::string& peer_name,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(200));

// The console output a run must produce, line by line as the client writes
// it. The host, the server port from the command line and the client's
// primary port P are fixed per run; INIT2 and START name P + 1.
class Transcript {
public:
    Transcript(std::string host, int server_port, int local_port);

    // The entry's first line; runs in-process start without it.
    Transcript& using_server();
    // Bound ports and the start of the lookup.
    Transcript& looking_up();
    // The same and the lookup's result.
    Transcript& set_up(const std::string& resolved_address = "127.0.0.1");

    Transcript& sending_init();
    Transcript& received_init(int session, const std::string& public_ip, int public_port);
    Transcript& sending_init2(int session);
    Transcript& received_init2(int session, const std::string& public_ip, int public_port_alt);
    Transcript& sending_start(int session);
    Transcript& received_start(int session, int extra_port);
    Transcript& sending_ping(int session, int extra_port);
    Transcript& received_ping(const std::string& ping_number, int session);

    // The lines between sending_init() and the START reply for a server that
    // answers as answer_init_and_init2 does.
    Transcript& answered_until_start(int session, const std::string& public_ip, int public_port,
                                     int public_port_alt);
    // The START reply and the client's PING to the extra port.
    Transcript& pinged(int session, int extra_port);

    Transcript& success(int extra_port);
    Transcript& failure(int extra_port);
    Transcript& timed_out();

    const std::string& text() const { return text_; }

private:
    Transcript& line(const std::string& text);

    std::string host_;
    int server_port_;
    int local_port_;
    std::string text_;
};

// The client's line on standard error when the lookup fails.
std::string lookup_error_line(const boost::system::error_code& error);

// The primary port P as a run printed it, or -1.
int printed_local_port(const std::string& out);

}  // namespace punchprobe_test
