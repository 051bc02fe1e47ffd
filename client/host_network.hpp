#pragma once

#include <optional>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

namespace punchprobe {

// What the system knows about this host's own network, asked outside Asio.
// One implementation per platform (host_network_posix.cpp,
// host_network_windows.cpp); everything else stays portable.

// The IPv4 addresses of this host's interfaces: the server recognises its own
// datagrams by them, the client tells whether the server saw it behind a NAT.
// Empty where the system cannot list them.
std::vector<boost::asio::ip::address_v4> local_ipv4_addresses();

// The next hop of the IPv4 default route with the lowest metric, or none
// when there is no default route or it has no gateway (a point-to-point link).
std::optional<boost::asio::ip::address_v4> default_gateway();

}  // namespace punchprobe
