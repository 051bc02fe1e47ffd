#include "server/server_counters.hpp"

#include <iterator>
#include <sstream>

namespace punchprobe {

namespace {

// One key of the counters line: a named counter or a drop reason's.
struct Column {
    constexpr Column(const char* column_key, std::uint64_t ServerCounters::*counter)
        : key(column_key), named(counter)
    {
    }
    constexpr Column(const char* column_key, DropReason drop) : key(column_key), reason(drop) {}

    const char* key;
    std::uint64_t ServerCounters::*named = nullptr;
    DropReason reason = DropReason::count;
};

// The counters line, in its order. Scripts read the keys by position, so a
// new key goes at the end; a new drop reason needs its row here.
constexpr Column columns[] = {
    {"sessions", &ServerCounters::sessions},
    {"completed", &ServerCounters::completed},
    {"endpoint_independent", &ServerCounters::endpoint_independent},
    {"endpoint_dependent", &ServerCounters::endpoint_dependent},
    {"expired", &ServerCounters::expired},
    {"evicted", &ServerCounters::evicted},
    {"dropped_malformed", DropReason::malformed},
    {"dropped_unknown_command", DropReason::unknown_command},
    {"dropped_unknown_session", DropReason::unknown_session},
    {"dropped_wrong_address", DropReason::wrong_address},
    {"dropped_wrong_socket", DropReason::wrong_socket},
    {"dropped_oversized", DropReason::oversized},
    {"dropped_duplicate_ping", DropReason::duplicate_ping},
    {"inits_answered", &ServerCounters::inits_answered},
    {"dropped_bad_source", DropReason::bad_source},
    {"dropped_own_socket", DropReason::own_socket},
    {"dropped_not_request", DropReason::not_request},
    {"dropped_not_object", DropReason::not_object},
    {"dropped_too_deep", DropReason::too_deep},
    {"dropped_nul_byte", DropReason::nul_byte},
    {"dropped_rate_limited", DropReason::rate_limited},
    {"dropped_amplification", DropReason::amplification},
    {"dropped_send_queue", DropReason::send_queue},
    {"dropped_train_cap", DropReason::train_cap},
    {"trains_delayed", &ServerCounters::trains_delayed},
    {"log_lines_dropped", &ServerCounters::log_lines_dropped},
    {"error_lines_suppressed", &ServerCounters::error_lines_suppressed},
    {"replies_resent", &ServerCounters::replies_resent},
    {"metrics_refused", &ServerCounters::metrics_refused},
    {"metrics_timeouts", &ServerCounters::metrics_timeouts},
    {"metrics_bad_requests", &ServerCounters::metrics_bad_requests},
    {"dropped_guess_limited", DropReason::guess_limited},
    {"dropped_ping_before_start", DropReason::ping_before_start},
    {"dropped_replayed", DropReason::replayed},
    {"counters_lines_coalesced", &ServerCounters::counters_lines_coalesced},
    {"metrics_pushed_out", &ServerCounters::metrics_pushed_out},
    {"inits_proven_allowance", &ServerCounters::inits_proven_allowance},
    {"inits_shared_budget", &ServerCounters::inits_shared_budget},
    {"proven_addresses_pushed_out", &ServerCounters::proven_addresses_pushed_out},
    {"receive_batches", &ServerCounters::receive_batches},
    {"send_batches", &ServerCounters::send_batches},
    {"inits_fast_path", &ServerCounters::inits_fast_path},
};

// A reason without its column would be counted and never shown.
constexpr bool every_reason_once()
{
    std::size_t seen[static_cast<std::size_t>(DropReason::count)] = {};
    for (const Column& column : columns) {
        if (column.named != nullptr) continue;
        if (column.reason == DropReason::count) return false;
        ++seen[static_cast<std::size_t>(column.reason)];
    }
    for (const std::size_t times : seen)
        if (times != 1) return false;
    return true;
}
static_assert(every_reason_once(), "each drop reason needs exactly one column in the counters line");

}  // namespace

void ServerCounters::count_end(const SessionReport& report)
{
    switch (report.end) {
    case SessionEnd::completed:
        ++completed;
        if (report.mapping == Mapping::endpoint_independent) ++endpoint_independent;
        if (report.mapping == Mapping::endpoint_dependent) ++endpoint_dependent;
        break;
    case SessionEnd::expired: ++expired; break;
    case SessionEnd::evicted: ++evicted; break;
    }
}

std::vector<CounterValue> counter_values(const ServerCounters& counters)
{
    std::vector<CounterValue> values;
    values.reserve(std::size(columns));
    for (const Column& column : columns) {
        const bool drop = column.named == nullptr;
        values.push_back({column.key, drop ? counters.dropped(column.reason) : counters.*column.named, drop});
    }
    return values;
}

std::string counters_line(const ServerCounters& counters)
{
    std::ostringstream line;
    line << "counters";
    for (const CounterValue& value : counter_values(counters)) line << ' ' << value.key << '=' << value.value;
    return line.str();
}

}  // namespace punchprobe
