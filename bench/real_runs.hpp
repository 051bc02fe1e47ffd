#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace punchprobe_bench {

// What one run of the real client ended with.
struct RealRun {
    // The --json verdict ("success", "failure", "timeout", "error"), or
    // "none" when no JSON result came (killed at the time limit, or a
    // client that printed something else).
    std::string verdict = "none";
    int exit_status = -1;
    long pings_received = -1;
    std::chrono::milliseconds elapsed{0};
    // The JSON result's "error", when it names one.
    std::string error;
};

struct RealRunsResult {
    int runs = 0;
    int success = 0;
    int failure = 0;
    int timed_out = 0;
    // Errors, and runs without a verdict.
    int other = 0;
    // Not started: the time limit came first.
    int not_run = 0;
};

// Runs `client --json 127.0.0.1 PORT` `runs` times, one after another and
// `gap` apart, while `time_limit` allows: a run gets what remains of it, and at most a
// minute, more than the client's own deadlines add up to. `each` hears of
// every run as it ends. A run whose alternate socket found its port taken
// (the client binds the port above the system's choice) is run again, a few
// times at most: that is this machine's doing, not the server's.
RealRunsResult run_real_clients(const std::string& client, unsigned short main_port, int runs,
                                std::chrono::seconds time_limit, std::chrono::milliseconds gap,
                                const std::function<void(int number, const RealRun&)>& each);

}  // namespace punchprobe_bench
