#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace punchprobe_bench {

struct FloodSettings {
    unsigned short main_port = 0;
    unsigned short extra_port = 0;
    // Datagrams per second, spread evenly over the run.
    std::uint64_t rate = 100000;
    // Flood sources: 127.0.0.20 .. 127.0.0.(20 + sources - 1), never a
    // client's address, so a spoofed id that happens to be live still comes
    // from the wrong address.
    int sources = 4;
};

struct FloodResult {
    std::uint64_t sent = 0;
    std::uint64_t send_errors = 0;
    // Anything the server sent back to a flood source: should be nothing.
    std::uint64_t replies = 0;
};

// Sends a mix of hostile datagrams to both server ports from its own thread
// until stop(): random bytes, broken JSON, oversized datagrams, non-object
// JSON, unknown commands, wrong member types, and well-formed INIT2, START
// and PING requests with random (spoofed) session ids. No INIT: a flood of
// those is a different attack, on the session cap.
class GarbageFlood {
public:
    explicit GarbageFlood(const FloodSettings& settings);
    ~GarbageFlood();
    GarbageFlood(const GarbageFlood&) = delete;
    GarbageFlood& operator=(const GarbageFlood&) = delete;

    FloodResult stop();

private:
    void run();

    FloodSettings settings_;
    std::atomic<bool> stopping_{false};
    FloodResult result_;
    std::thread thread_;
};

}  // namespace punchprobe_bench
