#include "client/host_network.hpp"

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <ifaddrs.h>
#include <netinet/in.h>

namespace punchprobe {

std::vector<boost::asio::ip::address_v4> local_ipv4_addresses()
{
    std::vector<boost::asio::ip::address_v4> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        addresses.emplace_back(ntohl(inet->sin_addr.s_addr));
    }
    freeifaddrs(list);
    return addresses;
}

std::optional<boost::asio::ip::address_v4> default_gateway()
{
    // The kernel's IPv4 routing table as text: one route a line, addresses
    // and flags in hexadecimal, the addresses in network byte order.
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);  // the column names
    constexpr unsigned route_up = 0x1, route_via_gateway = 0x2;
    std::optional<boost::asio::ip::address_v4> best;
    unsigned long best_metric = std::numeric_limits<unsigned long>::max();
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string interface_name;
        std::uint32_t destination = 0, gateway = 0, mask = 0;
        unsigned flags = 0, references = 0, use = 0;
        unsigned long metric = 0;
        fields >> interface_name >> std::hex >> destination >> gateway >> flags >> std::dec >> references >>
            use >> metric >> std::hex >> mask;
        if (!fields || destination != 0 || mask != 0) continue;
        if ((flags & (route_up | route_via_gateway)) != (route_up | route_via_gateway)) continue;
        if (best && metric >= best_metric) continue;
        best = boost::asio::ip::address_v4(ntohl(gateway));
        best_metric = metric;
    }
    return best;
}

}  // namespace punchprobe
