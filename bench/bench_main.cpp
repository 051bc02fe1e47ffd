// punchprobe-bench: starts a punchprobe-server on 127.0.0.1, runs many
// simulated clients against it (optionally under a garbage flood) and
// reports throughput, losses, latency and the server's memory and CPU.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/program_options.hpp>
#include <sys/resource.h>

#include "bench/garbage_flood.hpp"
#include "bench/load_clients.hpp"
#include "bench/server_process.hpp"

namespace po = boost::program_options;
using namespace punchprobe_bench;

namespace {

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
        ("sessions", po::value<std::size_t>()->default_value(10000), "sessions in all")
        ("concurrency", po::value<std::size_t>()->default_value(200), "sessions under way at once")
        ("sources", po::value<int>()->default_value(1), "client addresses 127.0.0.1 .. 127.0.0.N (1..15)")
        ("pings", po::value<int>()->default_value(3), "server PINGs that complete a session")
        ("session-timeout", po::value<int>()->default_value(10), "seconds before a session counts as lost")
        ("time-limit", po::value<int>()->default_value(120), "seconds the whole run may take")
        ("flood-rate", po::value<std::uint64_t>()->default_value(0), "garbage datagrams per second (0: none)")
        ("busy-poll", "poll the clients' loop instead of sleeping in it, so the server's sends to loopback "
                      "do not pay for waking them")
        ("fail-on-loss", "exit with status 1 unless every session completed")
        ("help", "print this help");
    po::options_description hidden;
    hidden.add_options()("server-args", po::value<std::vector<std::string>>(), "");
    po::options_description all;
    all.add(description).add(hidden);
    po::positional_options_description positional;
    positional.add("server-args", -1);

    po::variables_map values;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), values);
        po::notify(values);
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

    try {
        raise_file_limit();
        std::vector<std::string> server_args;
        if (values.count("server-args")) server_args = values["server-args"].as<std::vector<std::string>>();
        ServerProcess server(values["server"].as<std::string>(), server_args, values["server-cpu"].as<int>());
        pin_to_cpu(values["bench-cpu"].as<int>());
        const ProcessUsage at_start = server.usage();
        const long rcvbuf_errors_at_start = udp_receive_buffer_errors();

        LoadSettings settings;
        settings.server = boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), server.main_port());
        settings.sessions = values["sessions"].as<std::size_t>();
        settings.concurrency = std::max<std::size_t>(1, values["concurrency"].as<std::size_t>());
        settings.sources = sources;
        settings.expected_pings = values["pings"].as<int>();
        settings.session_timeout = std::chrono::seconds(values["session-timeout"].as<int>());
        settings.time_limit = std::chrono::seconds(values["time-limit"].as<int>());
        settings.busy_poll = values.count("busy-poll") > 0;
        settings.progress = [&server](std::chrono::steady_clock::duration elapsed, std::size_t completed) {
            const ProcessUsage usage = server.usage();
            std::printf("progress t=%.0fs completed=%zu server_vmrss_kb=%ld server_cpu_s=%.2f\n",
                        std::chrono::duration<double>(elapsed).count(), completed, usage.vm_rss_kb,
                        usage.cpu_seconds);
            std::fflush(stdout);
        };

        std::printf("bench sessions=%zu concurrency=%zu sources=%d busy_poll=%s flood_rate=%llu server_pid=%d\n",
                    settings.sessions, settings.concurrency, sources, settings.busy_poll ? "yes" : "no",
                    static_cast<unsigned long long>(values["flood-rate"].as<std::uint64_t>()),
                    static_cast<int>(server.pid()));
        std::fflush(stdout);

        std::unique_ptr<GarbageFlood> flood;
        if (values["flood-rate"].as<std::uint64_t>() > 0) {
            FloodSettings flood_settings;
            flood_settings.main_port = server.main_port();
            flood_settings.extra_port = server.extra_port();
            flood_settings.rate = values["flood-rate"].as<std::uint64_t>();
            flood = std::make_unique<GarbageFlood>(flood_settings);
        }

        LoadResult result = run_load(settings);
        FloodResult flooded;
        if (flood) flooded = flood->stop();
        const ProcessUsage at_end = server.usage();
        const long rcvbuf_errors = udp_receive_buffer_errors() - rcvbuf_errors_at_start;
        const std::string counters = server.stop();

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
        std::printf("udp rcvbuf_errors=%ld (whole machine, during the run)\n", rcvbuf_errors);
        std::printf("server %s\n", counters.empty() ? "counters missing" : counters.c_str());
        if (flood)
            std::printf("flood sent=%llu send_errors=%llu rate_per_s=%.0f replies=%llu\n",
                        static_cast<unsigned long long>(flooded.sent),
                        static_cast<unsigned long long>(flooded.send_errors),
                        static_cast<double>(flooded.sent) / seconds,
                        static_cast<unsigned long long>(flooded.replies));
        std::printf("success_rate=%.2f%%\n",
                    attempted ? 100.0 * static_cast<double>(result.completed) / static_cast<double>(attempted) : 0.0);
        std::fflush(stdout);

        if (values.count("fail-on-loss") && (result.completed != settings.sessions || flooded.replies != 0))
            return 1;
    } catch (const std::exception& error) {
        std::cerr << "punchprobe-bench: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
