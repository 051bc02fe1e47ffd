#include "server/server_counters.hpp"

#include <sstream>

namespace punchprobe {

void ServerCounters::count_drop(DropReason reason)
{
    switch (reason) {
    case DropReason::malformed: ++dropped_malformed; break;
    case DropReason::unknown_command: ++dropped_unknown_command; break;
    case DropReason::unknown_session: ++dropped_unknown_session; break;
    case DropReason::wrong_address: ++dropped_wrong_address; break;
    case DropReason::wrong_socket: ++dropped_wrong_socket; break;
    case DropReason::oversized: ++dropped_oversized; break;
    case DropReason::duplicate_ping: ++dropped_duplicate_ping; break;
    case DropReason::bad_source: ++dropped_bad_source; break;
    case DropReason::own_socket: ++dropped_own_socket; break;
    case DropReason::not_request: ++dropped_not_request; break;
    case DropReason::not_object: ++dropped_not_object; break;
    case DropReason::too_deep: ++dropped_too_deep; break;
    case DropReason::nul_byte: ++dropped_nul_byte; break;
    case DropReason::rate_limited: ++dropped_rate_limited; break;
    case DropReason::amplification: ++dropped_amplification; break;
    case DropReason::send_queue: ++dropped_send_queue; break;
    case DropReason::train_cap: ++dropped_train_cap; break;
    }
}

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

std::string counters_line(const ServerCounters& c)
{
    std::ostringstream line;
    line << "counters sessions=" << c.sessions << " completed=" << c.completed
         << " endpoint_independent=" << c.endpoint_independent
         << " endpoint_dependent=" << c.endpoint_dependent << " expired=" << c.expired
         << " evicted=" << c.evicted << " dropped_malformed=" << c.dropped_malformed
         << " dropped_unknown_command=" << c.dropped_unknown_command
         << " dropped_unknown_session=" << c.dropped_unknown_session
         << " dropped_wrong_address=" << c.dropped_wrong_address
         << " dropped_wrong_socket=" << c.dropped_wrong_socket
         << " dropped_oversized=" << c.dropped_oversized
         << " dropped_duplicate_ping=" << c.dropped_duplicate_ping
         << " inits_answered=" << c.inits_answered
         << " dropped_bad_source=" << c.dropped_bad_source
         << " dropped_own_socket=" << c.dropped_own_socket
         << " dropped_not_request=" << c.dropped_not_request
         << " dropped_not_object=" << c.dropped_not_object
         << " dropped_too_deep=" << c.dropped_too_deep
         << " dropped_nul_byte=" << c.dropped_nul_byte
         << " dropped_rate_limited=" << c.dropped_rate_limited
         << " dropped_amplification=" << c.dropped_amplification
         << " dropped_send_queue=" << c.dropped_send_queue
         << " dropped_train_cap=" << c.dropped_train_cap
         << " trains_delayed=" << c.trains_delayed
         << " log_lines_dropped=" << c.log_lines_dropped
         << " error_lines_suppressed=" << c.error_lines_suppressed;
    return line.str();
}

}  // namespace punchprobe
