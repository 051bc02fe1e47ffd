#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/server_counters.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// Time from the INIT2 that proved a session to the client's accepted PING,
// in fixed buckets: observing allocates nothing, so it may run for every
// PING.
class SetupHistogram {
public:
    // Upper bounds in seconds, inclusive, as Prometheus' "le" says; the
    // +Inf bucket is `count`.
    static constexpr std::array<double, 11> bounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1,    2.5,   5,    10};

    void observe(ServerClock::duration setup_time);

    // Observations at or below bounds[i], not cumulative.
    std::uint64_t in_bucket(std::size_t i) const { return buckets_[i]; }
    std::uint64_t count() const { return count_; }
    double sum_seconds() const { return sum_seconds_; }

private:
    std::array<std::uint64_t, bounds.size()> buckets_{};
    std::uint64_t count_ = 0;
    double sum_seconds_ = 0;
};

// What the server holds right now.
struct MetricsGauges {
    std::size_t live_sessions = 0;
    // Under way plus waiting for their turn.
    std::size_t live_ping_trains = 0;
    // Datagrams waiting in the loop, both sockets together.
    std::size_t queued_sends = 0;
};

// The Prometheus text exposition format (0.0.4), HELP and TYPE with every
// family: each key of the counters line (a drop reason's under
// punchprobe_dropped_total{reason=...}), the gauges and the histogram.
std::string metrics_text(const ServerCounters& counters, const MetricsGauges& gauges,
                         const SetupHistogram& setup_times);

}  // namespace punchprobe
