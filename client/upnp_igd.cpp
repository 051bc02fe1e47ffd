#include "client/upnp_igd.hpp"

#include <cstring>
#include <string>

#include <boost/system/error_code.hpp>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

namespace punchprobe {

namespace {

// The device types of an Internet gateway, and no others. All are searched
// for at once: the library then waits its delay once, not once per type.
const char* const igd_types[] = {
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
    "urn:schemas-upnp-org:device:InternetGatewayDevice:2",
    nullptr,
};
constexpr int search_delay_ms = 1000;  // the library's shortest
constexpr unsigned char multicast_ttl = 2;

// "http://HOST:PORT/..." or "http://HOST/...": HOST, else "".
std::string url_host(const char* url)
{
    const std::string text = url ? url : "";
    const std::string scheme = "http://";
    if (text.compare(0, scheme.size(), scheme) != 0) return "";
    const auto end = text.find_first_of(":/", scheme.size());
    return text.substr(scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
}

}  // namespace

UpnpIgdAnswer ask_upnp_igd(const boost::asio::ip::address_v4& gateway)
{
    UpnpIgdAnswer answer;
    int error = 0;
    // No minissdpd: its socket is shared by the whole host, whatever network
    // this process sits in.
    UPNPDev* devices = upnpDiscoverDevices(igd_types, search_delay_ms, nullptr, "", UPNP_LOCAL_PORT_ANY, 0,
                                           multicast_ttl, &error, 1);
    // Only the gateway's own devices: another host on the LAN may answer, and
    // its description URL may point anywhere.
    UPNPDev** link = &devices;
    while (*link) {
        UPNPDev* device = *link;
        if (url_host(device->descURL) == gateway.to_string()) {
            link = &device->pNext;
            continue;
        }
        *link = device->pNext;
        device->pNext = nullptr;
        freeUPNPDevlist(device);
    }
    if (!devices) return answer;

    UPNPUrls urls{};
    IGDdatas data{};
    char lan_address[64] = {};
    // 1 is a connected IGD, 2 one "not connected", which is also what an IGD
    // with a non-public WAN address is called: both answered.
    const int found = UPNP_GetValidIGD(devices, &urls, &data, lan_address, sizeof lan_address);
    freeUPNPDevlist(devices);
    if (found == 1 || found == 2) {
        answer.answered = true;
        char external[40] = {};
        if (UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external) == UPNPCOMMAND_SUCCESS) {
            boost::system::error_code parse_error;
            const auto address = boost::asio::ip::make_address_v4(external, parse_error);
            if (external[0] == '\0' || (!parse_error && address.is_unspecified()))
                answer.refused = true;
            else if (!parse_error)
                answer.external_address = address;
        }
    }
    FreeUPNPUrls(&urls);
    return answer;
}

}  // namespace punchprobe
