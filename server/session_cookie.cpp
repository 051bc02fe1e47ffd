#include "server/session_cookie.hpp"

#include <random>

#include <boost/uuid/detail/sha1.hpp>

#include "protocol/wire_contract.hpp"

namespace punchprobe {

namespace {

constexpr int mac_bits = 15;
constexpr std::uint32_t mac_mask = (1u << mac_bits) - 1;

std::int64_t slot_of(ServerClock::time_point now)
{
    return std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() /
           SessionCookies::slot.count();
}

}  // namespace

SessionCookies::Key SessionCookies::random_key()
{
    std::random_device device;
    Key key{};
    for (auto& byte : key) byte = static_cast<std::uint8_t>(device());
    return key;
}

SessionCookies::SessionCookies(const Key& key) : key_(key) {}

std::int32_t SessionCookies::issue(const boost::asio::ip::udp::endpoint& source, ServerClock::time_point now) const
{
    const unsigned short port = source.port();
    const std::uint32_t mac_value = mac(source.address().to_v4().to_uint(), port, slot_of(now));
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(port) << mac_bits) | mac_value);
}

std::optional<boost::asio::ip::udp::endpoint> SessionCookies::redeem(std::int32_t id,
                                                                     const boost::asio::ip::address_v4& address,
                                                                     ServerClock::time_point now) const
{
    if (id <= 0) return std::nullopt;
    const auto bits = static_cast<std::uint32_t>(id);
    const auto port = static_cast<unsigned short>(bits >> mac_bits);
    if (port < lowest_client_port) return std::nullopt;
    const std::int64_t current = slot_of(now);
    for (const std::int64_t slot_number : {current, current - 1}) {
        if (mac(address.to_uint(), port, slot_number) == (bits & mac_mask))
            return boost::asio::ip::udp::endpoint(address, port);
    }
    return std::nullopt;
}

std::uint32_t SessionCookies::mac(std::uint32_t address, unsigned short port, std::int64_t slot_number) const
{
    // A keyed hash over fixed-length input: with every input the same
    // length, a secret prefix is as good as an HMAC here.
    std::uint8_t input[sizeof(Key) + 4 + 2 + 8];
    std::size_t at = 0;
    for (const std::uint8_t byte : key_) input[at++] = byte;
    for (int shift = 24; shift >= 0; shift -= 8) input[at++] = static_cast<std::uint8_t>(address >> shift);
    input[at++] = static_cast<std::uint8_t>(port >> 8);
    input[at++] = static_cast<std::uint8_t>(port);
    const auto slot_bits = static_cast<std::uint64_t>(slot_number);
    for (int shift = 56; shift >= 0; shift -= 8) input[at++] = static_cast<std::uint8_t>(slot_bits >> shift);

    boost::uuids::detail::sha1 hash;
    hash.process_bytes(input, sizeof input);
    boost::uuids::detail::sha1::digest_type digest;
    hash.get_digest(digest);
    return digest[0] & mac_mask;
}

}  // namespace punchprobe
