#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "protocol/wire_contract.hpp"
#include "server/session_log.hpp"

namespace punchprobe {

// PINGs sent per session. The client needs three and never asks again, so
// with three a single lost datagram turns a good router into FAILURE; five
// survive two losses for the price of two more tiny datagrams.
constexpr int default_ping_count = 5;

// A proven session's last reply goes again when the client's next request
// has not come a second later, at most three times: one lost datagram then
// costs the client a second instead of its run, and all three fit well
// inside the 10 s the client waits for a reply.
constexpr int default_resends = 3;
constexpr std::chrono::milliseconds default_resend_interval{1000};

// How long an address that proved a session keeps its own INIT allowance:
// longer than anyone waits between two tests.
constexpr std::chrono::minutes proven_address_memory{10};
// That allowance, past --init-rate and --init-burst, in times those: a
// whole office behind one carrier-grade NAT address testing at once.
constexpr double proven_allowance_factor = 10;

// The extra port sits beside the main one, so one firewall range opens both.
constexpr unsigned short default_extra_port = default_server_port + 1;

struct ServerOptions {
    boost::asio::ip::address_v4 bind_address = boost::asio::ip::address_v4::any();
    // Port 0 lets the system choose.
    unsigned short main_port = default_server_port;
    unsigned short extra_port = default_extra_port;
    int pings = default_ping_count;
    std::chrono::milliseconds ping_interval{50};
    // Whole seconds on the command line; tests take less.
    std::chrono::milliseconds session_ttl = std::chrono::seconds(60);
    std::size_t max_sessions = 65536;
    // INIT replies per second and per source address, with bursts up to
    // init_burst; 0 turns the limit off (load tests from one address).
    double init_rate = 10;
    double init_burst = 20;
    // Bytes a second of INIT replies to addresses past their own rate (and
    // past the allowance of those that proved a session lately), for all of
    // them together: a forged flood bearing a real client's address cannot
    // shut it out, yet what the server reflects stays bounded. 0: the
    // per-address rate is a hard limit.
    double init_budget = 500000;
    // Addresses remembered as having proved a session, in a fixed table.
    // Not on the command line; tests take fewer.
    std::size_t proven_address_slots = 65536;
    // PING trains under way towards one address at once; more wait.
    int trains_per_address = 4;
    int resends = default_resends;
    std::chrono::milliseconds resend_interval = default_resend_interval;
    // Keeps only errors, the listening line and the counters.
    bool quiet = false;
    // What session lines show of the client's addresses and ports.
    LogAddresses log_addresses = LogAddresses::full;
    // Where to serve GET /metrics (port 0: the system chooses); none by
    // default.
    std::optional<boost::asio::ip::tcp::endpoint> metrics;
    // A metrics connection's time for its request and the answer together.
    // Not on the command line; tests take less.
    std::chrono::milliseconds metrics_deadline = std::chrono::seconds(5);
    // A reply to an unproven source is at most this many times the bytes of
    // its request, as QUIC allows 3x before an address is validated. Today's
    // replies never come near it; not on the command line, and tests take
    // less to see the guard work.
    double max_amplification = 1.6;
};

// What the command line asks for. For help and version, `text` is what to
// print on standard output; for an error, the message for standard error.
struct ServerCommandLine {
    enum class Action { run, help, version, error };
    Action action = Action::run;
    ServerOptions options;
    std::string text;
};

// Never throws for bad input: every fault becomes Action::error with a
// message that names the option.
ServerCommandLine parse_server_command_line(int argc, const char* const argv[]);

}  // namespace punchprobe
