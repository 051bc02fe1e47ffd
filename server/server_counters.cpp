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
         << " dropped_duplicate_ping=" << c.dropped_duplicate_ping;
    return line.str();
}

}  // namespace punchprobe
