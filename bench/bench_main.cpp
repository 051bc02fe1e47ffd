// punchprobe-bench: starts a punchprobe-server on 127.0.0.1, runs many
// simulated clients against it (optionally under a flood) and reports
// throughput, losses, latency and the server's memory and CPU. With
// --sessions 0 it runs only the flood and reports the server's CPU per
// datagram; with --amplification it reports what each kind of request
// brings back; --real-runs runs the real client under the flood instead of
// the simulated ones; --ping-sweep and --init2-replay attack one session
// run by hand.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/program_options.hpp>
#include <sys/resource.h>

#include "bench/amplification.hpp"
#include "bench/garbage_flood.hpp"
#include "bench/load_clients.hpp"
#include "bench/real_runs.hpp"
#include "bench/session_attacks.hpp"
#include "bench/udp_stats.hpp"
#include "support/counters_line.hpp"
#include "support/server_process.hpp"

namespace po = boost::program_options;
using namespace punchprobe_bench;
using punchprobe_test::process_usage;
using punchprobe_test::ProcessUsage;
using punchprobe_test::ServerProcess;

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t percentile(std::vector<std::uint32_t>& sorted, double fraction)
{
    if (sorted.empty()) return 0;
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

// Each slot holds two sockets.
void raise_file_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> items;
    std::istringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ','))
        if (!item.empty()) items.push_back(item);
    return items;
}

std::vector<FloodKind> parse_kinds(const std::string& list)
{
    std::vector<FloodKind> kinds;
    for (const std::string& name : split(list)) {
        FloodKind kind;
        if (!parse_flood_kind(name, kind))
            throw std::invalid_argument("unknown --flood-kind '" + name + "' (one of: " + flood_kind_names() + ")");
        kinds.push_back(kind);
    }
    if (kinds.empty()) throw std::invalid_argument("--flood-kind names no kind");
    return kinds;
}

std::vector<std::uint64_t> parse_rates(const std::string& list)
{
    std::vector<std::uint64_t> rates;
    for (const std::string& text : split(list)) {
        std::size_t end = 0;
        const unsigned long long rate = std::stoull(text, &end);
        if (end != text.size() || text[0] == '-') throw std::invalid_argument("bad --flood-rate '" + text + "'");
        rates.push_back(rate);
    }
    if (rates.empty()) throw std::invalid_argument("--flood-rate names no rate");
    return rates;
}

// Both of the server's sockets.
UdpSocketState server_sockets(const ServerProcess& server)
{
    UdpSocketState both;
    for (const unsigned short port : {server.ports().main, server.ports().extra}) {
        const UdpSocketState one = udp_socket_state(port);
        both.found = both.found || one.found;
        both.queued_bytes += one.queued_bytes;
        both.drops += one.drops;
    }
    return both;
}

// Waits (at most 10 s) until the server has read everything queued on its
// sockets, so that its CPU time covers every datagram sent.
bool wait_for_drain(const ServerProcess& server)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (server_sockets(server).queued_bytes == 0) {
            // The last batch read may still be in hand.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void print_flood(FloodKind kind, const FloodResult& flooded, double seconds)
{
    std::printf("flood kind=%s sent=%llu send_errors=%llu rate_per_s=%.0f replies=", flood_kind_name(kind),
                static_cast<unsigned long long>(flooded.sent), static_cast<unsigned long long>(flooded.send_errors),
                static_cast<double>(flooded.sent) / seconds);
    if (flooded.replies_seen)
        std::printf("%llu guessed_ids_answered=%llu\n", static_cast<unsigned long long>(flooded.replies),
                    static_cast<unsigned long long>(flooded.guessed_ids_answered));
    else
        std::printf("unseen (forged sources)\n");
}

// What the run's settings are for everything that starts a server.
struct Common {
    std::string server_binary;
    std::vector<std::string> server_args;
    int server_cpu = -1;
    int bench_cpu = -1;
    // What the *-at-victim floods forge.
    std::uint32_t victim = 0x7F000001u;
    unsigned short victim_id_port = 0;
};

// The server on 127.0.0.1 with system-chosen ports, its errors on ours.
// Without `quiet` it writes its session lines, for the attacks that read
// them.
std::unique_ptr<ServerProcess> start_server(const Common& common, bool quiet = true)
{
    std::vector<std::string> options;
    if (quiet) options.push_back("--quiet");
    options.insert(options.end(), common.server_args.begin(), common.server_args.end());
    auto server = std::make_unique<ServerProcess>(
        punchprobe_test::loopback_server_argv(common.server_binary, options), punchprobe_test::Console::output,
        common.server_cpu);
    // The clients and floods send to 127.0.0.1, whatever the server options say.
    if (!server->listening() || server->ports().address != "127.0.0.1") {
        server->stop();
        const std::string& said = server->first_output();
        throw std::runtime_error("the server did not come up; it said: '" + said.substr(0, said.find('\n')) + "'");
    }
    // After the fork, so that the server never inherits this pinning.
    punchprobe_test::pin_to_cpu(common.bench_cpu);
    return server;
}

FloodSettings flood_settings(const Common& common, const ServerProcess& server, FloodKind kind, std::uint64_t rate)
{
    FloodSettings settings;
    settings.kind = kind;
    settings.main_port = server.ports().main;
    settings.extra_port = server.ports().extra;
    settings.rate = rate;
    settings.victim = common.victim;
    settings.victim_id_port = common.victim_id_port;
    return settings;
}

// SIGTERM, then the counters line the server prints on its way out (empty
// if none came).
std::string stop_server(ServerProcess& server)
{
    return punchprobe_test::counters_line_in(server.stop().out);
}

struct FloodOnlyResult {
    FloodKind kind = FloodKind::mixed;
    std::uint64_t rate = 0;
    FloodResult flood;
    double seconds = 0;
    double cpu_seconds = 0;
    long socket_drops = 0;
    long long inits_answered = -1;
    bool drained = false;
};

// One kind at one rate against a fresh server, for `seconds`; the server's
// CPU is read once it has drained what was sent.
FloodOnlyResult run_flood_only(const Common& common, FloodKind kind, std::uint64_t rate, int seconds)
{
    std::unique_ptr<ServerProcess> server = start_server(common);
    std::printf("flood-only kind=%s rate=%llu time_s=%d server_pid=%d\n", flood_kind_name(kind),
                static_cast<unsigned long long>(rate), seconds, static_cast<int>(server->pid()));
    std::fflush(stdout);
    const ProcessUsage at_start = process_usage(server->pid());
    const long rcvbuf_errors_at_start = udp_receive_buffer_errors();
    const long input_drops_at_start = input_queue_drops();
    const long socket_drops_at_start = server_sockets(*server).drops;

    const auto started = Clock::now();
    GarbageFlood flood(flood_settings(common, *server, kind, rate));
    for (int second = 1; second <= seconds; ++second) {
        std::this_thread::sleep_until(started + std::chrono::seconds(second));
        const ProcessUsage usage = process_usage(server->pid());
        std::printf("progress t=%ds flood_sent=%llu server_cpu_s=%.2f\n", second,
                    static_cast<unsigned long long>(flood.sent()), usage.cpu_seconds - at_start.cpu_seconds);
        std::fflush(stdout);
    }

    FloodOnlyResult result;
    result.kind = kind;
    result.rate = rate;
    flood.stop_sending();
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    result.drained = wait_for_drain(*server);
    const ProcessUsage at_end = process_usage(server->pid());
    result.cpu_seconds = at_end.cpu_seconds - at_start.cpu_seconds;
    result.socket_drops = server_sockets(*server).drops - socket_drops_at_start;
    const long rcvbuf_errors = udp_receive_buffer_errors() - rcvbuf_errors_at_start;
    const long input_drops = input_queue_drops() - input_drops_at_start;
    const std::string counters_line = stop_server(*server);
    // Counted once the server is gone: on a slow build its last answers
    // come after the sending ends, and all it sent is queued by now.
    result.flood = flood.stop();
    const punchprobe_test::Counters counters = punchprobe_test::counters_in(counters_line);
    result.inits_answered = punchprobe_test::counter_or_minus_one(counters, "inits_answered");

    print_flood(kind, result.flood, result.seconds);
    std::printf("server vmrss_start_kb=%ld vmrss_end_kb=%ld vmhwm_kb=%ld cpu_s=%.2f system_s=%.2f "
                "cpu_us_per_datagram=%.2f\n",
                at_start.vm_rss_kb, at_end.vm_rss_kb, at_end.vm_hwm_kb, result.cpu_seconds,
                at_end.system_seconds - at_start.system_seconds,
                result.flood.sent ? result.cpu_seconds * 1e6 / static_cast<double>(result.flood.sent) : 0.0);
    std::printf("udp rcvbuf_errors=%ld input_queue_drops=%ld (whole machine) server_socket_drops=%ld drained=%s\n",
                rcvbuf_errors, input_drops, result.socket_drops, result.drained ? "yes" : "no");
    if (is_init_kind(kind)) {
        const long long answered = result.inits_answered;
        std::printf("inits sent=%llu answered=%lld answered_per_s=%.0f cpu_us_per_answered=%.2f unanswered=%lld "
                    "rate_limited=%lld send_queue=%lld\n",
                    static_cast<unsigned long long>(result.flood.sent), answered,
                    static_cast<double>(answered) / result.seconds,
                    answered > 0 ? result.cpu_seconds * 1e6 / static_cast<double>(answered) : 0.0,
                    static_cast<long long>(result.flood.sent) - answered,
                    punchprobe_test::counter_or_minus_one(counters, "dropped_rate_limited"),
                    punchprobe_test::counter_or_minus_one(counters, "dropped_send_queue"));
    }
    std::printf("server %s\n", counters_line.empty() ? "counters missing" : counters_line.c_str());
    std::fflush(stdout);
    return result;
}

// Nothing lost on the way in, and the replies are what they should be: none
// for junk (but an id guessed right), and for one host exactly the ones the
// server counted.
bool flood_only_sound(const FloodOnlyResult& result)
{
    if (result.flood.sent == 0 || !result.drained || result.socket_drops != 0) return false;
    if (is_junk_kind(result.kind) || result.kind == FloodKind::mixed) return result.flood.unexpected_replies() == 0;
    if (result.kind == FloodKind::init_one_host)
        return result.flood.replies > 0 &&
               (result.inits_answered < 0 || static_cast<long long>(result.flood.replies) == result.inits_answered);
    return true;
}

int flood_only(const Common& common, const std::vector<FloodKind>& kinds, const std::vector<std::uint64_t>& rates,
               int seconds, bool fail_on_loss)
{
    std::vector<FloodOnlyResult> results;
    for (const FloodKind kind : kinds)
        for (const std::uint64_t rate : rates) results.push_back(run_flood_only(common, kind, rate, seconds));

    std::printf("summary %-17s %9s %9s %12s %12s %14s %10s %7s\n", "kind", "offered/s", "sent/s", "cpu_us/dgram",
                "socket_drops", "inits_answ/s", "unanswered", "drained");
    bool sound = true;
    for (const FloodOnlyResult& result : results) {
        char answered[32] = "-";
        char unanswered[32] = "-";
        if (is_init_kind(result.kind) && result.inits_answered >= 0) {
            std::snprintf(answered, sizeof answered, "%.0f",
                          static_cast<double>(result.inits_answered) / result.seconds);
            std::snprintf(unanswered, sizeof unanswered, "%lld",
                          static_cast<long long>(result.flood.sent) - result.inits_answered);
        }
        std::printf("summary %-17s %9llu %9.0f %12.2f %12ld %14s %10s %7s\n", flood_kind_name(result.kind),
                    static_cast<unsigned long long>(result.rate),
                    static_cast<double>(result.flood.sent) / result.seconds,
                    result.flood.sent ? result.cpu_seconds * 1e6 / static_cast<double>(result.flood.sent) : 0.0,
                    result.socket_drops, answered, unanswered, result.drained ? "yes" : "no");
        sound = sound && flood_only_sound(result);
    }
    std::fflush(stdout);
    return fail_on_loss && !sound ? 1 : 0;
}

int amplification(const Common& common, std::chrono::milliseconds wait, bool fail_on_loss)
{
    std::unique_ptr<ServerProcess> server = start_server(common);
    const std::vector<AmplificationRow> rows = measure_amplification(server->ports().main, server->ports().extra, wait);
    print_amplification(rows, wait);
    const std::string counters = stop_server(*server);
    std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
    std::fflush(stdout);
    // The session's four steps each got their answer.
    const auto answered = std::count_if(rows.begin(), rows.end(), [](const AmplificationRow& row) {
        return row.proven && row.datagrams_back > 0;
    });
    return fail_on_loss && answered != 4 ? 1 : 0;
}

// The real client, one run after another, while the flood (if any) runs
// from before the first to after the last.
int real_runs(const Common& common, FloodKind kind, std::uint64_t rate, const std::string& client, int runs,
              std::chrono::milliseconds gap, std::chrono::seconds time_limit, bool fail_on_loss)
{
    std::unique_ptr<ServerProcess> server = start_server(common);
    std::printf("real-runs runs=%d client=%s flood_kind=%s flood_rate=%llu server_pid=%d\n", runs, client.c_str(),
                flood_kind_name(kind), static_cast<unsigned long long>(rate), static_cast<int>(server->pid()));
    std::fflush(stdout);
    const auto started = Clock::now();
    std::unique_ptr<GarbageFlood> flood;
    if (rate > 0) {
        flood = std::make_unique<GarbageFlood>(flood_settings(common, *server, kind, rate));
        // The first run meets the flood under way: a tenth of a second's
        // worth sent first (at most 5 s).
        const std::uint64_t warm = std::max<std::uint64_t>(1, rate / 10);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (flood->sent() < warm && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const RealRunsResult result =
        run_real_clients(client, server->ports().main, runs, time_limit, gap, [](int number, const RealRun& run) {
            std::printf("real run=%d verdict=%s exit_status=%d pings_received=%ld elapsed_ms=%lld", number,
                        run.verdict.c_str(), run.exit_status, run.pings_received,
                        static_cast<long long>(run.elapsed.count()));
            // The client's own words, last, since they have spaces.
            if (!run.error.empty()) std::printf(" error=\"%s\"", run.error.c_str());
            std::printf("\n");
            std::fflush(stdout);
        });
    FloodResult flooded;
    if (flood) flooded = flood->stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const std::string counters = stop_server(*server);
    std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
    if (flood) print_flood(kind, flooded, seconds);
    std::printf("real runs=%d success=%d failure=%d timed_out=%d other=%d not_run=%d success_rate=%.2f%%\n",
                result.runs, result.success, result.failure, result.timed_out, result.other, result.not_run,
                result.runs ? 100.0 * result.success / result.runs : 0.0);
    std::fflush(stdout);
    return fail_on_loss && result.success != runs ? 1 : 0;
}

// Sound: the sweep tried the session's own id and yet the train came only
// after the session's own PING, whole, with the mapping the server saw
// from the client's own socket.
int ping_sweep(const Common& common, std::uint64_t rate, std::chrono::seconds time, bool fail_on_loss)
{
    std::unique_ptr<ServerProcess> server = start_server(common, false);
    const AttackedServer attacked{server->ports().main, server->ports().extra, &server->process()};
    const PingSweepResult result = run_ping_sweep(attacked, rate, time);
    const std::string counters = stop_server(*server);
    std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
    std::printf("ping-sweep rate=%llu time_s=%lld sent=%llu send_errors=%llu right_id_sent=%llu "
                "train_before_own_ping=%s own_pings=%d pings=%d pings_sent=%d mapping=%s dropped_guess_limited=%lld\n",
                static_cast<unsigned long long>(rate), static_cast<long long>(time.count()),
                static_cast<unsigned long long>(result.sent), static_cast<unsigned long long>(result.send_errors),
                static_cast<unsigned long long>(result.right_id_sent), result.train_before_own_ping ? "yes" : "no",
                result.own_pings, result.pings, result.pings_sent, result.mapping.c_str(),
                punchprobe_test::counter_or_minus_one(punchprobe_test::counters_in(counters), "dropped_guess_limited"));
    std::fflush(stdout);
    const bool sound = result.right_id_sent > 0 && !result.train_before_own_ping && result.pings_sent > 0 &&
                       result.pings == result.pings_sent && result.mapping == "endpoint-independent";
    return fail_on_loss && !sound ? 1 : 0;
}

// Sound: the session had its train, every replay was dropped as one, and
// no second train came.
int init2_replay(const Common& common, int replays, bool fail_on_loss)
{
    std::unique_ptr<ServerProcess> server = start_server(common, false);
    const AttackedServer attacked{server->ports().main, server->ports().extra, &server->process()};
    const Init2ReplayResult result = run_init2_replay(attacked, replays);
    const std::string counters = stop_server(*server);
    const long long dropped_replayed =
        punchprobe_test::counter_or_minus_one(punchprobe_test::counters_in(counters), "dropped_replayed");
    std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
    std::printf("init2-replay replays=%d first_train_pings=%d pings_sent=%d init2_answered=%d start_answered=%s "
                "trains=%d dropped_replayed=%lld\n",
                replays, result.first_train_pings, result.pings_sent, result.init2_answered,
                result.start_answered ? "yes" : "no", result.trains, dropped_replayed);
    std::fflush(stdout);
    const bool sound = result.pings_sent > 0 && result.first_train_pings == result.pings_sent &&
                       result.init2_answered == 0 && result.trains == 1 && dropped_replayed == replays;
    return fail_on_loss && !sound ? 1 : 0;
}

bool parse_victim(const std::string& text, std::uint32_t& victim)
{
    boost::system::error_code error;
    const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(text, error);
    if (error || address.to_uint() >> 24 != 127) return false;
    victim = address.to_uint();
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    po::options_description description(
        "Usage: punchprobe-bench [options] [-- server options]\n"
        "Starts punchprobe-server on 127.0.0.1 and runs simulated clients against it.\n\nOptions");
    description.add_options()
        ("server", po::value<std::string>()->default_value(PUNCHPROBE_SERVER_BINARY), "server binary")
        ("server-cpu", po::value<int>()->default_value(-1), "pin the server to this CPU (as taskset -c)")
        ("bench-cpu", po::value<int>()->default_value(-1), "pin the load generator to this CPU")
        ("sessions", po::value<std::size_t>()->default_value(10000),
         "sessions in all; 0: only the flood, for --flood-time, reporting the server's CPU per datagram")
        ("concurrency", po::value<std::size_t>()->default_value(200), "sessions under way at once")
        ("sources", po::value<int>()->default_value(1), "client addresses 127.0.0.1 .. 127.0.0.N (1..15)")
        ("pings", po::value<int>()->default_value(3), "server PINGs that complete a session")
        ("session-timeout", po::value<int>()->default_value(10), "seconds before a session counts as lost")
        ("time-limit", po::value<int>()->default_value(120), "seconds the whole run may take")
        ("flood-rate", po::value<std::string>()->default_value("0"),
         "flood datagrams per second (0: none); with --sessions 0 a comma-separated list, each rate "
         "against a fresh server")
        ("flood-kind", po::value<std::string>()->default_value("mixed"),
         ("what the flood sends: " + flood_kind_names() +
          "; with --sessions 0 a comma-separated list, each kind against a fresh server").c_str())
        ("flood-time", po::value<int>()->default_value(10), "seconds each flood runs with --sessions 0 (1..600)")
        ("amplification", "send each kind of request once from a new source, and the steps of one real "
                          "session, and report what came back")
        ("amplification-wait", po::value<int>()->default_value(300),
         "milliseconds to wait for what a request brings back (1..10000); a step of the session waits "
         "for its first answer (up to 10 s) and then this long")
        ("victim", po::value<std::string>()->default_value("127.0.0.1"),
         "the address the init-at-victim and init2-at-victim floods forge (on 127.0.0.0/8); the real "
         "client's is 127.0.0.1")
        ("victim-id-port", po::value<int>()->default_value(0),
         "the port every id of init2-at-victim names (1024..65535); 0: a random one for each datagram")
        ("real-runs", po::value<int>()->default_value(0),
         "run the real client N times, one after another, under the flood of --flood-kind at --flood-rate "
         "(0: none), instead of the simulated clients; --time-limit bounds them all")
        ("client", po::value<std::string>()->default_value(PUNCHPROBE_CLIENT_BINARY),
         "client binary for --real-runs")
        ("real-run-gap", po::value<int>()->default_value(0),
         "milliseconds between two real runs (0..60000), the flood going on: on a small machine the "
         "client's start-up otherwise takes the flood's CPU")
        ("ping-sweep", po::value<std::uint64_t>()->default_value(0),
         "open one session by hand and, before its PING, send it forged PINGs at this rate from its INIT's "
         "address and port, sweeping the MACs of its id (needs root)")
        ("ping-sweep-time", po::value<int>()->default_value(4), "seconds the PING sweep runs (1..600)")
        ("init2-replay", po::value<int>()->default_value(0),
         "run one session by hand to the end of its train, then send its INIT2 again this many times "
         "(1..100000) and its START and PING once more")
        ("busy-poll", "poll the clients' loop instead of sleeping in it, so the server's sends to loopback "
                      "do not pay for waking them")
        ("fail-on-loss", "exit with status 1 unless every session completed (with --sessions 0: unless the "
                         "server drained every flood without a drop and the replies were as expected; with "
                         "--amplification: unless every step of the session was answered; with --real-runs: "
                         "unless every run succeeded; with --ping-sweep: unless the sweep sent the session's "
                         "own id and yet its whole train came only after its own PING, endpoint-independent; "
                         "with --init2-replay: unless every replay was dropped and no second train came)")
        ("help", "print this help");
    po::options_description hidden;
    hidden.add_options()("server-args", po::value<std::vector<std::string>>(), "");
    po::options_description all;
    all.add(description).add(hidden);
    po::positional_options_description positional;
    positional.add("server-args", -1);

    po::variables_map values;
    std::vector<FloodKind> kinds;
    std::vector<std::uint64_t> rates;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), values);
        po::notify(values);
        kinds = parse_kinds(values["flood-kind"].as<std::string>());
        rates = parse_rates(values["flood-rate"].as<std::string>());
    } catch (const std::exception& error) {
        std::cerr << "punchprobe-bench: " << error.what() << "\n";
        return 2;
    }
    if (values.count("help")) {
        std::cout << description;
        return 0;
    }
    const int sources = values["sources"].as<int>();
    if (sources < 1 || sources > 15) {
        std::cerr << "punchprobe-bench: --sources must be 1..15\n";
        return 2;
    }
    const int real_run_count = values["real-runs"].as<int>();
    const int real_run_gap = values["real-run-gap"].as<int>();
    const std::uint64_t sweep_rate = values["ping-sweep"].as<std::uint64_t>();
    const int sweep_time = values["ping-sweep-time"].as<int>();
    const int replays = values["init2-replay"].as<int>();
    const int victim_id_port = values["victim-id-port"].as<int>();
    std::uint32_t victim = 0;
    // The modes besides --amplification that run no simulated clients.
    const int own_modes = (real_run_count != 0) + (sweep_rate != 0) + (replays != 0);
    const int modes = (values.count("amplification") > 0) + own_modes;
    if (modes > 1) {
        std::cerr << "punchprobe-bench: one of --amplification, --real-runs, --ping-sweep and --init2-replay "
                     "at a time\n";
        return 2;
    }
    if (real_run_count < 0 || replays < 0 || replays > 100000 || sweep_time < 1 || sweep_time > 600) {
        std::cerr << "punchprobe-bench: --real-runs must be 0 or more, --init2-replay 0..100000, "
                     "--ping-sweep-time 1..600\n";
        return 2;
    }
    if (real_run_gap < 0 || real_run_gap > 60000) {
        std::cerr << "punchprobe-bench: --real-run-gap must be 0..60000\n";
        return 2;
    }
    if (real_run_count > 0 && (kinds.size() != 1 || rates.size() != 1)) {
        std::cerr << "punchprobe-bench: --real-runs takes one flood kind and one rate\n";
        return 2;
    }
    if (!parse_victim(values["victim"].as<std::string>(), victim) ||
        (victim_id_port != 0 && (victim_id_port < 1024 || victim_id_port > 65535))) {
        std::cerr << "punchprobe-bench: --victim must be an address on 127.0.0.0/8, --victim-id-port 0 or "
                     "1024..65535\n";
        return 2;
    }

    const bool flood_only_mode = values["sessions"].as<std::size_t>() == 0;
    const int flood_time = values["flood-time"].as<int>();
    const int amplification_wait = values["amplification-wait"].as<int>();
    if (flood_only_mode && modes == 0 &&
        (std::count(rates.begin(), rates.end(), 0u) != 0 || flood_time < 1 || flood_time > 600)) {
        std::cerr << "punchprobe-bench: --sessions 0 needs --flood-rate above 0 and --flood-time 1..600\n";
        return 2;
    }
    if (!flood_only_mode && own_modes == 0 && (kinds.size() != 1 || rates.size() != 1)) {
        std::cerr << "punchprobe-bench: several flood kinds or rates only with --sessions 0\n";
        return 2;
    }
    if (amplification_wait < 1 || amplification_wait > 10000) {
        std::cerr << "punchprobe-bench: --amplification-wait must be 1..10000\n";
        return 2;
    }

    try {
        raise_file_limit();
        Common common;
        common.server_binary = values["server"].as<std::string>();
        if (values.count("server-args")) common.server_args = values["server-args"].as<std::vector<std::string>>();
        common.server_cpu = values["server-cpu"].as<int>();
        common.bench_cpu = values["bench-cpu"].as<int>();
        const bool fail_on_loss = values.count("fail-on-loss") > 0;
        common.victim = victim;
        common.victim_id_port = static_cast<unsigned short>(victim_id_port);
        if (values.count("amplification"))
            return amplification(common, std::chrono::milliseconds(amplification_wait), fail_on_loss);
        const std::chrono::seconds time_limit(values["time-limit"].as<int>());
        if (real_run_count > 0)
            return real_runs(common, kinds.front(), rates.front(), values["client"].as<std::string>(),
                             real_run_count, std::chrono::milliseconds(real_run_gap), time_limit, fail_on_loss);
        if (sweep_rate > 0)
            return ping_sweep(common, sweep_rate, std::chrono::seconds(sweep_time), fail_on_loss);
        if (replays > 0) return init2_replay(common, replays, fail_on_loss);
        if (flood_only_mode) return flood_only(common, kinds, rates, flood_time, fail_on_loss);

        std::unique_ptr<ServerProcess> server = start_server(common);
        const ProcessUsage at_start = process_usage(server->pid());
        const long rcvbuf_errors_at_start = udp_receive_buffer_errors();
        const long socket_drops_at_start = server_sockets(*server).drops;

        LoadSettings settings;
        settings.server = boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), server->ports().main);
        settings.sessions = values["sessions"].as<std::size_t>();
        settings.concurrency = std::max<std::size_t>(1, values["concurrency"].as<std::size_t>());
        settings.sources = sources;
        settings.expected_pings = values["pings"].as<int>();
        settings.session_timeout = std::chrono::seconds(values["session-timeout"].as<int>());
        settings.time_limit = time_limit;
        settings.busy_poll = values.count("busy-poll") > 0;
        settings.progress = [&server](std::chrono::steady_clock::duration elapsed, std::size_t completed) {
            const ProcessUsage usage = process_usage(server->pid());
            std::printf("progress t=%.0fs completed=%zu server_vmrss_kb=%ld server_cpu_s=%.2f\n",
                        std::chrono::duration<double>(elapsed).count(), completed, usage.vm_rss_kb,
                        usage.cpu_seconds);
            std::fflush(stdout);
        };

        const FloodKind kind = kinds.front();
        const std::uint64_t rate = rates.front();
        std::printf("bench sessions=%zu concurrency=%zu sources=%d busy_poll=%s flood_rate=%llu flood_kind=%s "
                    "server_pid=%d\n",
                    settings.sessions, settings.concurrency, sources, settings.busy_poll ? "yes" : "no",
                    static_cast<unsigned long long>(rate), flood_kind_name(kind), static_cast<int>(server->pid()));
        std::fflush(stdout);

        std::unique_ptr<GarbageFlood> flood;
        if (rate > 0) flood = std::make_unique<GarbageFlood>(flood_settings(common, *server, kind, rate));

        LoadResult result = run_load(settings);
        FloodResult flooded;
        if (flood) flooded = flood->stop();
        const ProcessUsage at_end = process_usage(server->pid());
        const long rcvbuf_errors = udp_receive_buffer_errors() - rcvbuf_errors_at_start;
        const long socket_drops = server_sockets(*server).drops - socket_drops_at_start;
        const std::string counters = stop_server(*server);

        const double seconds = std::chrono::duration<double>(result.elapsed).count();
        std::sort(result.latencies_us.begin(), result.latencies_us.end());
        const std::size_t attempted = result.completed + result.lost + result.unfinished;
        std::printf("result completed=%zu lost=%zu unfinished=%zu stray=%zu extra_pings=%zu elapsed_s=%.3f "
                    "sessions_per_s=%.0f\n",
                    result.completed, result.lost, result.unfinished, result.stray, result.extra_pings, seconds,
                    static_cast<double>(result.completed) / seconds);
        std::printf("latency_us p50=%u p90=%u p99=%u max=%u\n", percentile(result.latencies_us, 0.50),
                    percentile(result.latencies_us, 0.90), percentile(result.latencies_us, 0.99),
                    result.latencies_us.empty() ? 0u : result.latencies_us.back());
        const double cpu = at_end.cpu_seconds - at_start.cpu_seconds;
        std::printf("server vmrss_start_kb=%ld vmrss_end_kb=%ld vmhwm_kb=%ld cpu_s=%.2f system_s=%.2f "
                    "cpu_us_per_session=%.1f\n",
                    at_start.vm_rss_kb, at_end.vm_rss_kb, at_end.vm_hwm_kb, cpu,
                    at_end.system_seconds - at_start.system_seconds,
                    result.completed ? cpu * 1e6 / static_cast<double>(result.completed) : 0.0);
        std::printf("udp rcvbuf_errors=%ld (whole machine, during the run) server_socket_drops=%ld\n", rcvbuf_errors,
                    socket_drops);
        std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
        if (flood) print_flood(kind, flooded, seconds);
        std::printf("success_rate=%.2f%%\n",
                    attempted ? 100.0 * static_cast<double>(result.completed) / static_cast<double>(attempted) : 0.0);
        std::fflush(stdout);

        // The INIT kinds are answered by design; nothing else may be.
        const bool stray_replies = !is_init_kind(kind) && flooded.unexpected_replies() != 0;
        if (fail_on_loss && (result.completed != settings.sessions || stray_replies)) return 1;
    } catch (const NoRawSocket& error) {
        // So that a smoke run without root counts as skipped (CTest's
        // SKIP_RETURN_CODE).
        std::cerr << "punchprobe-bench: " << error.what() << std::endl;
        return 77;
    } catch (const std::exception& error) {
        std::cerr << "punchprobe-bench: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
