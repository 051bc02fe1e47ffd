#include "client/gateway_facts.hpp"

#include <vector>

#include <boost/system/error_code.hpp>

#include "client/run_facts.hpp"

namespace punchprobe {

namespace {

using boost::asio::ip::address_v4;

// RFC 1918 and the carrier-grade NAT range. The documentation ranges are
// public on purpose: they stand for the Internet in the NAT lab.
bool private_or_shared(const address_v4& address)
{
    const auto value = address.to_uint();
    const auto in = [value](std::uint32_t network, int prefix) {
        return (value >> (32 - prefix)) == (network >> (32 - prefix));
    };
    return in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10);
}

std::vector<address_v4> reported(const GatewayFacts& gateway)
{
    std::vector<address_v4> addresses;
    if (gateway.natpmp_external) addresses.push_back(*gateway.natpmp_external);
    if (gateway.upnp_external) addresses.push_back(*gateway.upnp_external);
    return addresses;
}

std::optional<address_v4> parsed(const std::optional<std::string>& text)
{
    if (!text) return std::nullopt;
    boost::system::error_code error;
    const address_v4 address = boost::asio::ip::make_address_v4(*text, error);
    if (error) return std::nullopt;
    return address;
}

// "A", "A and B", "A, B and C".
std::string listed(const std::vector<std::string>& names, const char* last_joint)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? last_joint : ", ";
        text += names[i];
    }
    return text;
}

std::string protocols_line(const GatewayFacts& gateway)
{
    std::vector<std::string> answered, silent;
    const std::pair<const char*, bool> protocols[] = {
        {"UPnP-IGD", gateway.upnp_igd}, {"NAT-PMP", gateway.nat_pmp}, {"PCP", gateway.pcp}};
    for (const auto& [name, answer] : protocols) (answer ? answered : silent).push_back(name);
    const std::string gateway_name = "Port mapping: gateway " + gateway.address->to_string() + "; ";
    if (answered.empty()) return gateway_name + "none of " + listed(silent, " and ") + " answered.\n";
    if (silent.empty()) return gateway_name + listed(answered, " and ") + " answered.\n";
    return gateway_name + listed(answered, " and ") + " answered; " + listed(silent, " and ") + " did not.\n";
}

std::string answered_protocols(const GatewayFacts& gateway)
{
    std::vector<std::string> names;
    if (gateway.upnp_igd) names.push_back("UPnP-IGD");
    if (gateway.nat_pmp) names.push_back("NAT-PMP");
    if (gateway.pcp) names.push_back("PCP");
    return listed(names, ", ");
}

}  // namespace

std::optional<address_v4> external_ip(const GatewayFacts& gateway)
{
    if (gateway.natpmp_external) return gateway.natpmp_external;
    return gateway.upnp_external;
}

std::optional<bool> second_nat(const GatewayFacts& gateway, const std::optional<std::string>& public_ip)
{
    const std::optional<address_v4> seen = parsed(public_ip);
    if (!seen || !(gateway.upnp_igd || gateway.nat_pmp || gateway.pcp)) return std::nullopt;
    if (gateway.natpmp_refused || gateway.upnp_refused) return true;
    const std::vector<address_v4> addresses = reported(gateway);
    if (addresses.empty()) return std::nullopt;
    for (const address_v4& address : addresses)
        if (address != *seen || private_or_shared(address)) return true;
    return false;
}

Json::Value gateway_json(const GatewayFacts& gateway, const std::optional<std::string>& public_ip)
{
    Json::Value object(Json::objectValue);
    object["address"] = gateway.address ? Json::Value(gateway.address->to_string()) : Json::Value();
    object["upnp_igd"] = gateway.upnp_igd;
    object["nat_pmp"] = gateway.nat_pmp;
    object["pcp"] = gateway.pcp;
    const auto external = external_ip(gateway);
    object["external_ip"] = external ? Json::Value(external->to_string()) : Json::Value();
    const auto second = second_nat(gateway, public_ip);
    object["second_nat"] = second ? Json::Value(*second) : Json::Value();
    return object;
}

std::string port_mapping_report(const std::optional<GatewayFacts>& gateway,
                                const std::optional<std::string>& public_ip, Verdict verdict)
{
    if (!gateway) return "";
    if (!gateway->address) return "\nPort mapping: this host has no default gateway to ask.\n";
    std::string text = "\n" + protocols_line(*gateway);
    if (!(gateway->upnp_igd || gateway->nat_pmp || gateway->pcp)) {
        if (verdict == Verdict::failure) text += "Applications cannot ask it to open a port: forward one by hand.\n";
        return text;
    }
    const auto second = second_nat(*gateway, public_ip);
    const char* beyond = "a second NAT sits beyond your router, most likely your provider's.\n";
    if (second && *second) {
        const auto seen = parsed(public_ip);
        std::optional<address_v4> odd;
        for (const address_v4& address : reported(*gateway))
            if (!odd && (address != *seen || private_or_shared(address))) odd = address;
        if (!odd)
            text += "It has no public address of its own, yet the server saw you at " + *public_ip + ":\n" + beyond;
        else if (private_or_shared(*odd))
            text += "Its Internet address, " + odd->to_string() + ", is not a public one:\n" + beyond;
        else
            text += "Its Internet address is " + odd->to_string() + ", but the server saw you at " + *public_ip +
                    ":\n" + beyond;
        text += "Forwarding a port on your own router will not make you reachable: ask your\n"
                "provider for a public IPv4 address, or use a relay.\n";
        return text;
    }
    if (second)
        text += "Its Internet address is " + external_ip(*gateway)->to_string() +
                ", where the server saw you: no second NAT.\n";
    else if (!public_ip)
        text += "The server never said where it saw you, so a second NAT cannot be ruled out.\n";
    else
        text += "It did not report its Internet address, so a second NAT cannot be ruled out.\n";
    text += "Applications can ask your router to open their port (" + answered_protocols(*gateway) + ")";
    text += verdict == Verdict::failure ? ",\nwith no forwarding by hand.\n" : ".\n";
    return text;
}

}  // namespace punchprobe
