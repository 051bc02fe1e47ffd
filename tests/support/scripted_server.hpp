#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "client/punchprobe_client.hpp"
#include "protocol/server_messages.hpp"
#include "support/child_process.hpp"
#include "support/error_texts.hpp"
#include "support/in_process_client.hpp"
#include "support/udp_peer.hpp"

// The server side of an exchange, scripted by a test: the exact datagrams the
// client must send, the replies a server gives, checks of what arrives at a
// UdpPeer, and the console transcript a run must print. The client's
// datagrams and lines are written out literally here, never produced by the
// client's own encoder, so that a fault there shows up as a difference; the
// server's replies are the real server's bytes.
namespace punchprobe_test {

// Long enough for a loaded machine; a datagram that is due arrives in
// microseconds on loopback.
constexpr std::chrono::milliseconds default_receive_limit{10000};

// The datagrams the client sends, byte for byte.
std::string client_init(int local_port);
std::string client_init2(int session, int local_port_alt);
std::string client_start(int session);
std::string client_ping(int session);

// The server's replies and PINGs are protocol/server_messages.hpp's; this is
// a PING whose number is odd: `ping_number_json` is the member's JSON text,
// 1 or "1"; empty leaves the member out.
std::string server_ping(const std::string& ping_number_json);

// 127.0.0.1 and the given port.
boost::asio::ip::udp::endpoint loopback(unsigned short port);

// Waits for the next datagram on `peer` and records a test failure unless it
// holds exactly `bytes` and comes from 127.0.0.1 (or `source_address`) at
// `source_port`. `what` names the datagram in failure messages.
bool expect_datagram(UdpPeer& peer, const std::string& what, const std::string& bytes,
                     unsigned short source_port,
                     std::chrono::milliseconds limit = default_receive_limit,
                     const std::string& source_address = "127.0.0.1");

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
    // answers as ScriptedServer does.
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

// The point of an exchange at which the server answers: the INIT, INIT2 or
// START reply, or the server's PINGs.
enum class Step { init_reply, init2_reply, start_reply, pings };
inline constexpr Step all_steps[] = {Step::init_reply, Step::init2_reply, Step::start_reply, Step::pings};
const char* name_of(Step step);

// The server side of one run, on two loopback peers: the main port, which
// answers INIT, INIT2 and START, and the extra port, which takes the client's
// PING and sends the server's. It answers like a well-behaved server up to
// the step a test names; from there the test sends what differs. The values
// it reports are members, so that a test can change them (or make the client
// store others) and still have every printed line from printed_until().
class ScriptedServer {
public:
    unsigned short port() const { return server.port(); }

    // Starts the client in-process, or as a process (the build under test,
    // with `arguments` before host and port), and takes its INIT. The client
    // binds its alternate socket to the port above the one the system chose,
    // once: when a parallel test holds that port the run ends at set-up with
    // "bind", and a fresh client (with a fresh port) is tried instead.
    std::unique_ptr<InProcessClient> start_client(const punchprobe::StepDurations& durations);
    std::unique_ptr<ChildProcess> start_process(const std::vector<std::string>& arguments = {});

    // Takes the client's INIT, which must be exact, and learns P from it.
    // Records a test failure unless `quiet` when none comes within `limit`.
    bool take_init(std::chrono::milliseconds limit = default_receive_limit, bool quiet = false);

    // The well-behaved answer at `step` (for pings: PING 1).
    std::string reply_at(Step step) const;
    // Sends `bytes` where the answer at `step` goes, from where it comes.
    void send_at(Step step, const std::string& bytes);
    // Awaits the client's request that follows its handling of the answer at
    // `step`; nothing for pings.
    bool expect_request_after(Step step);
    // Answers correctly from `from` (whose request has arrived) up to
    // `until`, whose request is then awaited but not answered.
    bool play(Step from, Step until);
    bool play_until(Step until) { return play(Step::init_reply, until); }
    // Server PINGs numbered `first` and on, to P.
    void send_pings(int count, int first = 1);

    // What the client has printed when the answer at `step` is due; the
    // entry's first line leads for a process run (using_server_line).
    Transcript printed_until(Step step) const;
    // The whole output of a run that ends on the third of `ping_numbers`.
    std::string printed_on_success(const std::vector<std::string>& ping_numbers = {"1", "2", "3"}) const;

    UdpPeer server;
    UdpPeer extra;
    std::string host = "127.0.0.1";
    unsigned short p = 0;
    int session_id = 4242;
    std::string public_ip = "203.0.113.9";
    int public_port = 7000;
    int public_port_alt = 7001;
    bool using_server_line = false;
};

}  // namespace punchprobe_test
