#include "server/session_log.hpp"

#include <sstream>

namespace punchprobe {

namespace {

const char* mapping_text(Mapping mapping)
{
    switch (mapping) {
    case Mapping::endpoint_independent: return "endpoint-independent";
    case Mapping::endpoint_dependent: return "endpoint-dependent";
    case Mapping::unknown: break;
    }
    return "unknown";
}

}  // namespace

std::string session_line(const SessionReport& report)
{
    const unsigned public_port = report.public_endpoint.port();
    // Routers that keep port pairs give the alternate socket the next public
    // port; a missing INIT2 says nothing about that.
    const bool alt_is_main_plus_1 = report.alt_port != 0 && report.alt_port == public_port + 1;

    std::ostringstream line;
    line << "session id=" << report.id << " public=" << report.public_endpoint.address().to_string()
         << ":" << public_port << " alt_port=" << report.alt_port
         << " alt_is_main_plus_1=" << (alt_is_main_plus_1 ? "yes" : "no")
         << " mapping=" << mapping_text(report.mapping) << " ping_source=";
    if (report.ping_source)
        line << report.ping_source->address().to_string() << ":" << report.ping_source->port();
    else
        line << "none";
    line << " pings_sent=" << report.pings_sent;
    return line.str();
}

}  // namespace punchprobe
