#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/ip/udp.hpp>

namespace punchprobe {

// How the client's router mapped its primary socket: the same public port
// towards the extra port as towards the main port, or another one.
enum class Mapping { unknown, endpoint_independent, endpoint_dependent };

// Why a session ended. Every session ends exactly once.
enum class SessionEnd { completed, expired, evicted };

// What a session line shows of the client's addresses and ports
// (--log-addresses): all of them; IPv4 addresses cut to their /24, ports
// kept; or none of them, each replaced by the word "hidden".
enum class LogAddresses { full, truncated, none };

// Everything the one log line of a finished session says.
struct SessionReport {
    std::int32_t id = 0;
    boost::asio::ip::udp::endpoint public_endpoint;
    // 0 when no INIT2 came.
    unsigned short alt_port = 0;
    Mapping mapping = Mapping::unknown;
    std::optional<boost::asio::ip::udp::endpoint> ping_source;
    int pings_sent = 0;
    SessionEnd end = SessionEnd::completed;
};

// "session id=ID public=IP:PORT alt_port=N alt_is_main_plus_1=yes|no
// mapping=... ping_source=IP:PORT|none pings_sent=N", without a line break.
// Scripts and the NAT lab parse it: keys and their order are fixed, and
// whatever `addresses` hides, each value stays one word: "public=hidden
// alt_port=hidden" and "ping_source=hidden", or "none" when no PING came.
std::string session_line(const SessionReport& report, LogAddresses addresses = LogAddresses::full);

}  // namespace punchprobe
