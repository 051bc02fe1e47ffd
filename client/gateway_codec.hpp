#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <boost/asio/ip/address_v4.hpp>

namespace punchprobe {

// The two read-only questions a gateway's port-mapping service can be asked
// on UDP port 5351: NAT-PMP's public-address request and PCP's ANNOUNCE.
// Neither creates, changes or deletes a mapping.
constexpr unsigned short port_mapping_server_port = 5351;

// NAT-PMP result 3: the gateway has no public address to give, which is how
// a router with a non-public WAN address answers.
constexpr std::uint16_t natpmp_network_failure = 3;

// NAT-PMP, version 0, opcode 0.
std::array<unsigned char, 2> natpmp_public_address_request();

struct NatPmpAnswer {
    std::uint16_t result = 0;
    // Only with result 0 and an address other than 0.0.0.0.
    std::optional<boost::asio::ip::address_v4> external_address;
};

// The answer to the public-address request, or none for anything else:
// another version or opcode, or a size the answer cannot have (12 bytes, or
// the 8-byte header alone for an error).
std::optional<NatPmpAnswer> decode_natpmp_public_address(const unsigned char* data, std::size_t size);

// PCP, version 2, opcode ANNOUNCE, lifetime 0; `client` is the address the
// request leaves from, as the gateway will see it.
std::array<unsigned char, 24> pcp_announce_request(const boost::asio::ip::address_v4& client);

struct PcpAnswer {
    std::uint8_t result = 0;
};

// A PCP response to ANNOUNCE, whatever its result: 24 bytes of header and
// options in whole 32-bit words, up to PCP's 1,100 bytes; none for anything
// else.
std::optional<PcpAnswer> decode_pcp_announce(const unsigned char* data, std::size_t size);

}  // namespace punchprobe
