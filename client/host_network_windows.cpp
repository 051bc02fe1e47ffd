#include "client/host_network.hpp"

#include <limits>

// After Asio's own Winsock headers (through host_network.hpp), as the IP
// Helper API needs them first.
#include <iphlpapi.h>

namespace punchprobe {

namespace {

// Both calls say how much room they need; the tables can grow between the
// asking and the call, so a few tries and then give up.
constexpr int size_tries = 3;

}  // namespace

std::vector<boost::asio::ip::address_v4> local_ipv4_addresses()
{
    std::vector<boost::asio::ip::address_v4> addresses;
    constexpr ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // 15 KB is Microsoft's advice for a first try: usually enough, so one call.
    ULONG size = 15 * 1024;
    std::vector<unsigned char> buffer;
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < size_tries && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        status = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (status != NO_ERROR) return addresses;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        for (const auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const SOCKADDR* address = unicast->Address.lpSockaddr;
            if (address == nullptr || address->sa_family != AF_INET) continue;
            const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
            addresses.emplace_back(ntohl(inet->sin_addr.s_addr));
        }
    }
    return addresses;
}

std::optional<boost::asio::ip::address_v4> default_gateway()
{
    // GetIpForwardTable rather than GetIpForwardTable2: its metric is already
    // the route's plus its interface's, the one Windows itself ranks by.
    ULONG size = sizeof(MIB_IPFORWARDTABLE);
    std::vector<unsigned char> buffer;
    DWORD status = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < size_tries && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size);
        status = GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data()), &size, FALSE);
    }
    if (status != NO_ERROR) return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_IPFORWARDTABLE*>(buffer.data());
    std::optional<boost::asio::ip::address_v4> best;
    DWORD best_metric = std::numeric_limits<DWORD>::max();
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& route = table->table[i];
        // Destination, mask and next hop are in network byte order; 0.0.0.0
        // as next hop is an on-link route, which has no gateway to ask.
        if (route.dwForwardDest != 0 || route.dwForwardMask != 0 || route.dwForwardNextHop == 0) continue;
        if (best && route.dwForwardMetric1 >= best_metric) continue;
        best = boost::asio::ip::address_v4(ntohl(route.dwForwardNextHop));
        best_metric = route.dwForwardMetric1;
    }
    return best;
}

}  // namespace punchprobe
