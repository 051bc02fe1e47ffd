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

// What --log-addresses none writes for each client address and port.
constexpr char hidden[] = "hidden";

std::string endpoint_text(const boost::asio::ip::udp::endpoint& endpoint, LogAddresses addresses)
{
    if (addresses == LogAddresses::none) return hidden;
    boost::asio::ip::address address = endpoint.address();
    // The server listens on IPv4 only.
    if (addresses == LogAddresses::truncated)
        address = boost::asio::ip::address_v4(address.to_v4().to_uint() & 0xffffff00u);
    return address.to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

std::string session_line(const SessionReport& report, LogAddresses addresses)
{
    const unsigned public_port = report.public_endpoint.port();
    // Routers that keep port pairs give the alternate socket the next public
    // port; a missing INIT2 says nothing about that.
    const bool alt_is_main_plus_1 = report.alt_port != 0 && report.alt_port == public_port + 1;

    std::ostringstream line;
    line << "session id=" << report.id << " public=" << endpoint_text(report.public_endpoint, addresses)
         << " alt_port=";
    if (addresses == LogAddresses::none)
        line << hidden;
    else
        line << report.alt_port;
    line << " alt_is_main_plus_1=" << (alt_is_main_plus_1 ? "yes" : "no")
         << " mapping=" << mapping_text(report.mapping)
         << " ping_source=" << (report.ping_source ? endpoint_text(*report.ping_source, addresses) : "none");
    line << " pings_sent=" << report.pings_sent;
    return line.str();
}

}  // namespace punchprobe
