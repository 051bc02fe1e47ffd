#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace punchprobe_bench {

struct LoadSettings {
    boost::asio::ip::udp::endpoint server;  // the main port
    std::size_t sessions = 1000;            // in all
    std::size_t concurrency = 100;          // sessions under way at once
    int sources = 1;                        // clients bind 127.0.0.1 .. 127.0.0.N
    int expected_pings = 3;
    std::chrono::milliseconds session_timeout{10000};
    std::chrono::milliseconds time_limit{120000};
    // Poll the loop instead of sleeping in it (keeps one CPU busy).
    bool busy_poll = false;
    // Called about once a second while the run goes on.
    std::function<void(std::chrono::steady_clock::duration elapsed, std::size_t completed)> progress;
};

struct LoadResult {
    std::size_t completed = 0;
    std::size_t lost = 0;        // timed out, or the server answered wrongly
    std::size_t unfinished = 0;  // still under way when the time limit hit
    std::size_t stray = 0;       // datagrams that fit no session step
    std::size_t extra_pings = 0;
    std::chrono::steady_clock::duration elapsed{};
    std::vector<std::uint32_t> latencies_us;  // INIT sent to the last PING received
};

// Many punchprobe clients at once, each running the whole exchange (INIT from
// its primary socket, INIT2 and START from its alternate one, PING to the
// extra port) and counting the server's PINGs, on one Asio loop in the
// calling thread. Like the real client it never repeats a request: a lost
// datagram loses the session. Every run is bounded by `time_limit`.
LoadResult run_load(const LoadSettings& settings);

}  // namespace punchprobe_bench
