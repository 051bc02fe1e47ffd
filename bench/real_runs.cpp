#include "bench/real_runs.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>

#include "support/child_process.hpp"

namespace punchprobe_bench {

namespace {

using Clock = std::chrono::steady_clock;

// The client's worst case is three steps of 10 s and 20 s for the PINGs.
constexpr std::chrono::seconds run_limit{60};

RealRun outcome(const punchprobe_test::ProcessResult& process)
{
    RealRun run;
    run.exit_status = process.exit_status;
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(process.elapsed);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    const std::string& out = process.out;
    if (process.timed_out || !reader->parse(out.data(), out.data() + out.size(), &root, nullptr) ||
        !root.isObject())
        return run;
    if (root["verdict"].isString()) run.verdict = root["verdict"].asString();
    if (root["pings_received"].isIntegral()) run.pings_received = root["pings_received"].asInt64();
    if (root["error"].isString()) run.error = root["error"].asString();
    return run;
}

bool alternate_port_taken(const punchprobe_test::ProcessResult& process)
{
    return process.err.rfind("bind", 0) == 0;
}

}  // namespace

RealRunsResult run_real_clients(const std::string& client, unsigned short main_port, int runs,
                                std::chrono::seconds time_limit, std::chrono::milliseconds gap,
                                const std::function<void(int number, const RealRun&)>& each)
{
    const std::vector<std::string> argv{client, "--json", "127.0.0.1", std::to_string(main_port)};
    const auto deadline = Clock::now() + time_limit;
    RealRunsResult result;
    for (int number = 1; number <= runs; ++number) {
        if (number > 1 && gap.count() > 0) std::this_thread::sleep_for(std::min<Clock::duration>(gap, deadline - Clock::now()));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.not_run = runs - result.runs;
            break;
        }
        punchprobe_test::ProcessResult process;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto limit = std::min<std::chrono::milliseconds>(
                run_limit, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            process = punchprobe_test::run_process(argv, std::max(limit, std::chrono::milliseconds(1)));
            if (!alternate_port_taken(process)) break;
        }
        const RealRun run = outcome(process);
        ++result.runs;
        if (run.verdict == "success")
            ++result.success;
        else if (run.verdict == "failure")
            ++result.failure;
        else if (run.verdict == "timeout")
            ++result.timed_out;
        else
            ++result.other;
        each(number, run);
    }
    return result;
}

}  // namespace punchprobe_bench
