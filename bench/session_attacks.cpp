#include "bench/session_attacks.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>

#include "bench/garbage_flood.hpp"
#include "bench/probe_socket.hpp"
#include "bench/udp_stats.hpp"
#include "bench/wire.hpp"
#include "support/child_process.hpp"
#include "support/forged_udp.hpp"

namespace punchprobe_bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every wait below is for a datagram on loopback or a line the server
// writes at once; these bounds only stop a broken server from hanging the
// bench.
constexpr std::chrono::milliseconds reply_wait = 5s;
constexpr std::chrono::milliseconds line_wait = 10s;

// The server writes compact JSON (see wire.hpp).
bool is_command(const std::string& datagram, const char* command)
{
    return datagram.find(std::string("\"command\":\"") + command + "\"") != std::string::npos;
}

long number_in(const std::string& datagram, const char* key)
{
    long value = -1;
    find_int(datagram.c_str(), key, value);
    return value;
}

// The next datagram on `socket` that is `command`'s answer for `id` (any id
// when `id` is 0), within `wait`; empty when none came. Those passed over
// that are `counted` are counted in `count`, when given.
std::string await(const Probe& socket, const char* command, long id, std::chrono::milliseconds wait,
                  const char* counted = nullptr, int* count = nullptr)
{
    const auto deadline = Clock::now() + wait;
    std::string datagram;
    // Bounded by the deadline: each pass takes a datagram or ends.
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !socket.receive(left, datagram)) return std::string();
        if (is_command(datagram, command) && (id == 0 || number_in(datagram, "\"session_id\":") == id))
            return datagram;
        if (count != nullptr && is_command(datagram, counted)) ++*count;
    }
}

// One session opened by hand: INIT from `primary`, INIT2 and START from
// `alternate`, answered each in turn. Its PING is the caller's.
struct HandSession {
    explicit HandSession(unsigned short main_port) : primary(INADDR_LOOPBACK), alternate(INADDR_LOOPBACK)
    {
        primary.send(init_request(primary.port()), main_port);
        const std::string init = await(primary, "INIT", 0, reply_wait);
        if (init.empty()) throw std::runtime_error("the session's INIT went unanswered");
        id = number_in(init, "\"session_id\":");
        init2 = init2_request(alternate.port(), id);
        alternate.send(init2, main_port);
        if (await(alternate, "INIT2", id, reply_wait).empty())
            throw std::runtime_error("the session's INIT2 went unanswered");
        alternate.send(start_request(id), main_port);
        const std::string start = await(alternate, "START", id, reply_wait);
        extra_port = static_cast<unsigned short>(number_in(start, "\"extra_port\":"));
        if (start.empty() || extra_port == 0) throw std::runtime_error("the session's START went unanswered");
    }

    Probe primary;
    Probe alternate;
    long id = 0;
    unsigned short extra_port = 0;
    // The INIT2 exactly as sent.
    std::string init2;
};

// The server's line for session `id` ("session id=ID ..."), waiting at most
// `wait` for it; empty when none came.
std::string session_line(punchprobe_test::ChildProcess& server, long id, std::chrono::milliseconds wait)
{
    const std::string start = "session id=" + std::to_string(id) + " ";
    const std::string out = server.wait_for_output(start, wait);
    std::size_t at = out.find(start);
    // The line may stand anywhere but must start one.
    while (at != std::string::npos && at > 0 && out[at - 1] != '\n') at = out.find(start, at + 1);
    if (at == std::string::npos) return std::string();
    const std::size_t end = out.find('\n', at);
    return end == std::string::npos ? std::string() : out.substr(at, end - at);
}

// The value of " key=value" in a session line; empty when missing.
std::string word_after(const std::string& line, const std::string& key)
{
    const std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const std::size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

// PINGs of session `id` already queued on `socket`, without waiting; those
// numbered 1 (a train's first) are added to `firsts` when given.
int queued_pings(const Probe& socket, long id, int* firsts = nullptr)
{
    int pings = 0;
    std::string datagram;
    // Bounded by the socket's queue, which only the server fills.
    for (int read = 0; read < 100000 && socket.receive(0ms, datagram); ++read) {
        if (!is_command(datagram, "PING") || number_in(datagram, "\"session_id\":") != id) continue;
        ++pings;
        if (firsts != nullptr && number_in(datagram, "\"ping_number\":") == 1) ++*firsts;
    }
    return pings;
}

// Waits until the server has read everything queued on its socket at
// `port`, at most `limit`.
bool drained(unsigned short port, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (udp_socket_state(port).queued_bytes != 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The rest of a train whose line says `pings_sent`: received until that
// many, each within `reply_wait`.
int rest_of_train(const Probe& socket, long id, int have, int pings_sent)
{
    while (have < pings_sent && !await(socket, "PING", id, reply_wait).empty()) ++have;
    return have;
}

}  // namespace

PingSweepResult run_ping_sweep(const AttackedServer& server, std::uint64_t rate, std::chrono::seconds time)
{
    using boost::asio::ip::address_v4;
    using boost::asio::ip::udp;

    std::string why_not;
    const std::unique_ptr<punchprobe_test::ForgedUdpSender> forger = punchprobe_test::ForgedUdpSender::create(why_not);
    if (!forger) throw NoRawSocket("ping sweep: " + why_not);

    PingSweepResult result;
    HandSession session(server.main_port);
    const udp::endpoint forged_source(address_v4::loopback(), session.primary.port());
    const udp::endpoint target(address_v4::loopback(), session.extra_port);
    // The id's top bits are the INIT's port; only the MAC is unknown.
    const long id_base = session.id & ~0x7FFFL;
    std::random_device seed;
    long mac = static_cast<long>(seed() & 0x7FFF);

    char text[160];
    const auto started = Clock::now();
    const auto until = started + time;
    std::uint64_t attempted = 0;
    // Bounded by `time`; sent in small batches at the set rate, as the
    // floods are.
    for (auto now = started; now < until; now = Clock::now()) {
        const double seconds = std::chrono::duration<double>(now - started).count();
        const auto due = static_cast<std::uint64_t>(seconds * static_cast<double>(rate));
        if (attempted >= due) {
            result.pings += queued_pings(session.primary, session.id);
            usleep(200);
            continue;
        }
        for (std::uint64_t count = std::min<std::uint64_t>(64, due - attempted); count > 0; --count, ++attempted) {
            const long id = id_base | mac;
            mac = (mac + 1) & 0x7FFF;
            if (id == session.id) ++result.right_id_sent;
            const std::string ping(text, static_cast<std::size_t>(format_ping(text, sizeof text, id)));
            if (forger->send(forged_source, target, ping))
                ++result.sent;
            else
                ++result.send_errors;
        }
    }
    // Once the server has read the sweep, a train it ordered has been sent.
    drained(session.extra_port, line_wait);
    result.pings += queued_pings(session.primary, session.id);
    result.train_before_own_ping = result.pings > 0;

    // The sweep's guesses left the bucket of the session's address and
    // port empty, and the own PING needs a token of it: it is sent again
    // until the train comes, a few seconds at most.
    const std::string own_ping = ping_request(session.id);
    for (int attempt = 0; attempt < 25 && result.pings == 0; ++attempt) {
        session.primary.send(own_ping, session.extra_port);
        ++result.own_pings;
        if (!await(session.primary, "PING", session.id, 200ms).empty()) ++result.pings;
    }

    const std::string line = session_line(*server.output, session.id, line_wait);
    if (!line.empty()) {
        result.mapping = word_after(line, "mapping");
        result.pings_sent = std::atoi(word_after(line, "pings_sent").c_str());
        result.pings = rest_of_train(session.primary, session.id, result.pings, result.pings_sent);
    }
    return result;
}

Init2ReplayResult run_init2_replay(const AttackedServer& server, int replays)
{
    Init2ReplayResult result;
    HandSession session(server.main_port);
    session.primary.send(ping_request(session.id), session.extra_port);
    const std::string line = session_line(*server.output, session.id, line_wait);
    if (line.empty()) throw std::runtime_error("the session's train never ended");
    result.pings_sent = std::atoi(word_after(line, "pings_sent").c_str());
    result.first_train_pings = rest_of_train(session.primary, session.id, 0, result.pings_sent);
    result.trains = result.first_train_pings > 0 ? 1 : 0;

    // The second session whose train tells that the extra port has read
    // everything sent before its PING.
    HandSession marker(server.main_port);

    for (int replay = 0; replay < replays; ++replay) session.alternate.send(session.init2, server.main_port);
    // The main port reads in order too: once START is answered, every
    // replay has been decided.
    session.alternate.send(start_request(session.id), server.main_port);
    result.start_answered =
        !await(session.alternate, "START", session.id, reply_wait, "INIT2", &result.init2_answered).empty();

    session.primary.send(ping_request(session.id), session.extra_port);
    marker.primary.send(ping_request(marker.id), marker.extra_port);
    if (await(marker.primary, "PING", marker.id, reply_wait).empty())
        throw std::runtime_error("the second session's PING went unanswered");
    int firsts = 0;
    queued_pings(session.primary, session.id, &firsts);
    result.trains += firsts;
    return result;
}

}  // namespace punchprobe_bench
