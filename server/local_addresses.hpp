#pragma once

#include <vector>

#include <boost/asio/ip/address_v4.hpp>

namespace punchprobe {

// The IPv4 addresses of this host's interfaces, for a server bound to the
// wildcard address to recognise its own datagrams. Empty where the system
// cannot list them; loopback is recognised without this list.
std::vector<boost::asio::ip::address_v4> local_ipv4_addresses();

}  // namespace punchprobe
