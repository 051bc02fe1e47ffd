#include "server/metrics_text.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace punchprobe {

namespace {

constexpr char drop_prefix[] = "dropped_";

// The shortest text from six digits up that reads back as the same double:
// "0.005", not "0.0050000000000000001", and "10", not "1e+01". The "C" locale's snprintf never writes a comma.
std::string number(double value)
{
    char text[32];
    for (int precision = 6; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

void family(std::string& out, const std::string& name, const char* type, const std::string& help)
{
    out += "# HELP " + name + ' ' + help + '\n';
    out += "# TYPE " + name + ' ' + type + '\n';
}

void sample(std::string& out, const std::string& name, std::uint64_t value)
{
    out += name + ' ' + std::to_string(value) + '\n';
}

}  // namespace

void SetupHistogram::observe(ServerClock::duration setup_time)
{
    const double seconds = std::chrono::duration<double>(setup_time).count();
    ++count_;
    sum_seconds_ += seconds;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        if (seconds <= bounds[i]) {
            ++buckets_[i];
            break;
        }
    }
}

std::string metrics_text(const ServerCounters& counters, const MetricsGauges& gauges,
                         const SetupHistogram& setup_times)
{
    std::string out;
    out.reserve(8192);
    // The counters line's keys, from its own table, so that a new key shows
    // here too. The drop reasons are one family, whose samples must stand
    // together.
    const std::vector<CounterValue> values = counter_values(counters);
    for (const CounterValue& value : values) {
        if (value.drop_reason) continue;
        const std::string name = std::string("punchprobe_") + value.key + "_total";
        family(out, name, "counter",
               std::string("The counters line's ") + value.key + "; see punchprobe-server(8).");
        sample(out, name, value.value);
    }
    family(out, "punchprobe_dropped_total", "counter",
           "Datagrams dropped without an answer, by reason: the counters line's dropped_ keys.");
    for (const CounterValue& value : values) {
        if (!value.drop_reason) continue;
        const char* reason = value.key;
        if (std::strncmp(reason, drop_prefix, sizeof drop_prefix - 1) == 0) reason += sizeof drop_prefix - 1;
        sample(out, std::string("punchprobe_dropped_total{reason=\"") + reason + "\"}", value.value);
    }

    family(out, "punchprobe_live_sessions", "gauge", "Proven sessions in the session table.");
    sample(out, "punchprobe_live_sessions", gauges.live_sessions);
    family(out, "punchprobe_live_ping_trains", "gauge", "PING trains under way plus those waiting for their turn.");
    sample(out, "punchprobe_live_ping_trains", gauges.live_ping_trains);
    family(out, "punchprobe_queued_sends", "gauge", "Datagrams waiting in the loop to be sent, both sockets.");
    sample(out, "punchprobe_queued_sends", gauges.queued_sends);

    const std::string histogram = "punchprobe_session_setup_seconds";
    family(out, histogram, "histogram",
           "Time from the INIT2 that proved the session to the client's PING (the INIT leaves no state: its id "
           "is a stateless cookie).");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < SetupHistogram::bounds.size(); ++i) {
        cumulative += setup_times.in_bucket(i);
        sample(out, histogram + "_bucket{le=\"" + number(SetupHistogram::bounds[i]) + "\"}", cumulative);
    }
    sample(out, histogram + "_bucket{le=\"+Inf\"}", setup_times.count());
    out += histogram + "_sum " + number(setup_times.sum_seconds()) + '\n';
    sample(out, histogram + "_count", setup_times.count());
    return out;
}

}  // namespace punchprobe
