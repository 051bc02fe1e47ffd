#pragma once

#include <optional>
#include <string>

#include <boost/asio/ip/address_v4.hpp>
#include <json/value.h>

namespace punchprobe {

enum class Verdict;

// What --port-mapping learned from the default gateway. Every field stays
// false or empty when its protocol did not answer in time.
struct GatewayFacts {
    std::optional<boost::asio::ip::address_v4> address;
    bool upnp_igd = false;
    bool nat_pmp = false;
    bool pcp = false;
    std::optional<boost::asio::ip::address_v4> natpmp_external;
    std::optional<boost::asio::ip::address_v4> upnp_external;
    // The gateway answered but had no public address to give: NAT-PMP
    // result 3, or UPnP-IGD's empty external address.
    bool natpmp_refused = false;
    bool upnp_refused = false;
};

// The address a protocol reported: NAT-PMP's, else UPnP-IGD's.
std::optional<boost::asio::ip::address_v4> external_ip(const GatewayFacts& gateway);

// Whether a second NAT sits beyond the gateway: true when the gateway has no
// public address or reports one other than where the server saw us; false
// when it reports that very address; none when no protocol answered, the
// gateway reported nothing, or the server never said where it saw us.
std::optional<bool> second_nat(const GatewayFacts& gateway, const std::optional<std::string>& public_ip);

// The run's "gateway" member.
Json::Value gateway_json(const GatewayFacts& gateway, const std::optional<std::string>& public_ip);

// The section that --port-mapping adds after the verdict, in plain words:
// the gateway, which protocols answered, whether there is a second NAT, and
// what that means for the verdict. Lines end in '\n'; the first is empty.
std::string port_mapping_report(const std::optional<GatewayFacts>& gateway,
                                const std::optional<std::string>& public_ip, Verdict verdict);

}  // namespace punchprobe
