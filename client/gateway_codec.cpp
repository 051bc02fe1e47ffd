#include "client/gateway_codec.hpp"

#include <algorithm>

#include <boost/asio/ip/address_v6.hpp>

namespace punchprobe {

namespace {

constexpr unsigned char natpmp_version = 0;
constexpr unsigned char pcp_version = 2;
constexpr unsigned char response_bit = 0x80;
constexpr unsigned char opcode_public_address = 0;  // NAT-PMP
constexpr unsigned char opcode_announce = 0;        // PCP
constexpr std::size_t natpmp_header_size = 8, natpmp_address_answer_size = 12;
constexpr std::size_t pcp_header_size = 24, pcp_max_size = 1100;

std::uint32_t read_u32(const unsigned char* at)
{
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

}  // namespace

std::array<unsigned char, 2> natpmp_public_address_request()
{
    return {natpmp_version, opcode_public_address};
}

std::optional<NatPmpAnswer> decode_natpmp_public_address(const unsigned char* data, std::size_t size)
{
    if (size != natpmp_header_size && size != natpmp_address_answer_size) return std::nullopt;
    if (data[0] != natpmp_version || data[1] != (response_bit | opcode_public_address)) return std::nullopt;
    NatPmpAnswer answer;
    answer.result = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
    if (size == natpmp_header_size) {
        // Only errors may leave the address out.
        if (answer.result == 0) return std::nullopt;
        return answer;
    }
    const boost::asio::ip::address_v4 address(read_u32(data + natpmp_header_size));
    if (answer.result == 0 && !address.is_unspecified()) answer.external_address = address;
    return answer;
}

std::array<unsigned char, 24> pcp_announce_request(const boost::asio::ip::address_v4& client)
{
    std::array<unsigned char, 24> request{};
    request[0] = pcp_version;
    request[1] = opcode_announce;
    // Bytes 4-7, the requested lifetime, stay 0; then the client's address
    // as an IPv4-mapped IPv6 address.
    const auto mapped = boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, client).to_bytes();
    std::copy(mapped.begin(), mapped.end(), request.begin() + 8);
    return request;
}

std::optional<PcpAnswer> decode_pcp_announce(const unsigned char* data, std::size_t size)
{
    if (size < pcp_header_size || size > pcp_max_size || size % 4 != 0) return std::nullopt;
    if (data[0] != pcp_version || data[1] != (response_bit | opcode_announce)) return std::nullopt;
    return PcpAnswer{data[3]};
}

}  // namespace punchprobe
