#include "server/local_addresses.hpp"

#if defined(__unix__)
#include <ifaddrs.h>
#include <netinet/in.h>
#endif

namespace punchprobe {

std::vector<boost::asio::ip::address_v4> local_ipv4_addresses()
{
    std::vector<boost::asio::ip::address_v4> addresses;
#if defined(__unix__)
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* inet = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        addresses.emplace_back(ntohl(inet->sin_addr.s_addr));
    }
    freeifaddrs(list);
#endif
    return addresses;
}

}  // namespace punchprobe
