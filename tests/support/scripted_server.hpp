#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "client/punchprobe_client.hpp"
#include "protocol/server_messages.hpp"
#include "support/child_process.hpp"
#include "support/udp_peer.hpp"

// The server side of a client's run, scripted as data: a row names the
// client's command line, what the peers send and await, and the golden file
// (tests/golden/<name>.txt) holding the run's exact console output. The
// client's datagrams are written out literally here, never produced by the
// client's own encoder, so that a fault there shows up as a difference.
namespace punchprobe_test {

constexpr std::chrono::milliseconds default_receive_limit{10000};

// The datagrams the client sends, byte for byte.
std::string client_init(int local_port);
std::string client_init2(int session, int local_port_alt);
std::string client_start(int session);
std::string client_ping(int session);
// A server PING whose number is `ping_number_json` (1 or "1"; empty: none).
std::string server_ping(const std::string& ping_number_json);

boost::asio::ip::udp::endpoint loopback(unsigned short port);

// Records a test failure if any datagram arrives on `peer` within `limit`.
void expect_no_datagram(UdpPeer& peer, const std::string& peer_name,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(200));

// The primary port P as a run printed it (a progress line or --json), or -1.
int printed_local_port(const std::string& out);

// What varies from run to run, as golden files name it: {HOST}, {SERVER},
// {P}, {P1} (P + 1), {EXTRA}, {WIDE_EXTRA} (EXTRA + 65536), {OTHER} and
// {VERSION}.
struct RunValues {
    std::string host = "127.0.0.1";
    int server = 0;
    int p = 0;
    int extra = 0;
    int other = 0;
};
std::string substituted(std::string text, const RunValues& values);
// tests/golden/<name>.txt with the values put in. Standard error, if the run
// writes any, follows standard output after a line "-- stderr --".
std::string golden(const std::string& name, const RunValues& values);
// Data files write \0, \t, \n, \v, \f, \r and \\ for those bytes.
std::string unescaped(const std::string& text);
std::string console_of(const std::string& out, const std::string& err);

// One step of a peer script.
enum class Stage { init, init2, start };
enum class Peer { server, extra, other };  // other: a stranger on 127.0.0.2
enum class Socket { p, p1 };               // the client's primary or alternate socket
struct Act {
    enum Kind { answer, send, expect, pings, flood, idle, hold, release, await_line } kind;
    Stage stage = Stage::init;
    Peer peer = Peer::server;
    Socket socket = Socket::p;
    std::string bytes = "";  // placeholders as in golden files
    int number = 0;          // answer: session; pings: count; flood: rounds; idle: ms

    // The same answer sent to the other socket of the client.
    Act to(Socket other) const { return {kind, stage, peer, other, bytes, number}; }
};
// A well-behaved server's reply at `stage` (or `reply` instead), then the
// client's exact next request: INIT2 and START at the server, the PING at
// the extra port. Each reply goes to the socket of its request.
inline Act answer(Stage stage, int session = 4242, const std::string& reply = "")
{
    return {Act::answer, stage, Peer::server, stage == Stage::init ? Socket::p : Socket::p1, reply, session};
}
inline Act send(Peer from, Socket to, const std::string& bytes) { return {Act::send, Stage::init, from, to, bytes}; }
// The next datagram at `at`, exactly `bytes`, from `from`.
inline Act expect(Peer at, Socket from, const std::string& bytes)
{
    return {Act::expect, Stage::init, at, from, bytes};
}
// The client's requests with {P1} left for the run.
std::string init2_request(int session);
std::string start_request(int session);
std::string ping_request(int session);
// Server PINGs 1 to `count` from the extra port to P.
inline Act pings(int count) { return {Act::pings, Stage::init, Peer::extra, Socket::p, "", count}; }
inline Act ping(const std::string& number_json) { return send(Peer::extra, Socket::p, server_ping(number_json)); }
// `rounds` times `bytes` to both sockets.
inline Act flood(Peer from, const std::string& bytes, int rounds)
{
    return {Act::flood, Stage::init, from, Socket::p, bytes, rounds};
}
// Lets time pass on purpose, for deadlines to run out.
inline Act idle(int milliseconds) { return {Act::idle, Stage::init, Peer::server, Socket::p, "", milliseconds}; }
// Keeps the in-process loop busy until release, so that datagrams and timers
// pile up; a hold first of all holds the loop before its first turn.
inline Act hold() { return {Act::hold}; }
inline Act release() { return {Act::release}; }
// Waits for the program to print `text`.
inline Act await_line(const std::string& text) { return {Act::await_line, Stage::init, Peer::server, Socket::p, text}; }

// How the client runs: the entry in-process (short deadlines), the client
// alone in-process (its loop can be held), or the program built (the Windows
// one under Wine where PUNCHPROBE_WINDOWS_CLIENT names it).
enum class How { entry, client, program };

struct Row {
    const char* name;
    How how;
    int answered;  // well-behaved answers before the script: 0 to 3 (START)
    std::vector<Act> script;
    const char* golden = nullptr;  // when not the row's name
    int status = 0;
    // {HOST} without {SERVER}: the server is on the default port, on an
    // address of the test's own. Rows that reach no server name 127.0.0.1.
    std::vector<std::string> args = {"{HOST}", "{SERVER}"};
    punchprobe::StepDurations durations = {boost::posix_time::seconds(8), boost::posix_time::seconds(8)};
};

inline void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

struct RunResult {
    std::string out;
    std::string err;  // an in-process client's exception text included
    int status = -1;
    RunValues values;
};

// Runs the row: every step of the script, the end of the run, and the checks
// common to all rows (an end by itself, no datagram left unawaited, the
// in-process run's sockets given back, the deadline of a verdict).
RunResult run_row(const Row& row);
// run_row and the comparison with its golden file and exit status.
void expect_golden_run(const Row& row);

// Two loopback peers (and a stranger) that play the server of one run.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& host = "127.0.0.1", unsigned short port = 0);
    // Takes the client's INIT, which must be exact, and learns P from it.
    bool take_init(std::chrono::milliseconds limit = default_receive_limit, bool quiet = false);
    // Sends or awaits what `act` says; false (with a recorded failure) when
    // an awaited datagram is missing or differs.
    bool perform(const Act& act);

    UdpPeer server;
    UdpPeer extra;
    UdpPeer other{0, "127.0.0.2"};
    RunValues values;
    bool init_taken = false;
    // No later than the client's last move of its deadline: INIT's arrival,
    // or the last answer or send other than the server's PINGs.
    std::chrono::steady_clock::time_point marked = std::chrono::steady_clock::now();
};

}  // namespace punchprobe_test
