#pragma once

#include <optional>

#include <boost/asio/ip/address_v4.hpp>

namespace punchprobe {

struct UpnpIgdAnswer {
    bool answered = false;
    std::optional<boost::asio::ip::address_v4> external_address;
    // It answered GetExternalIPAddress with an empty or unspecified address.
    bool refused = false;
};

// Asks the gateway for UPnP-IGD: an SSDP search for the
// InternetGatewayDevice types alone, kept to the devices whose description
// the gateway itself serves, then GetExternalIPAddress. Blocks: SSDP waits
// about a second for answers, and each HTTP step may take up to the
// library's own 3 s timeout; callers that must not wait run it on a thread.
UpnpIgdAnswer ask_upnp_igd(const boost::asio::ip::address_v4& gateway);

}  // namespace punchprobe
