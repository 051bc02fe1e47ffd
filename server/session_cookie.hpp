#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include <boost/asio/ip/udp.hpp>

#include "server/session_table.hpp"

namespace punchprobe {

// Session ids that are SYN cookies: an INIT gets an id computed from its
// source, and the server keeps nothing until an INIT2 brings the id back from
// the same address. A flood of INITs from forged addresses therefore creates
// no state at all and cannot push a real client's session out; only a host
// that receives our replies can open a session.
//
// INIT2 comes from the client's other socket, so the id itself must carry
// the INIT's public port: id = port << 15 | 15-bit MAC of (address, port,
// time slot) under a random key. 15 bits are a weak MAC, and that was
// weighed: guessing one takes some 16,000 forged INIT2s on average (two slots
// are accepted: 2 in 32,768), and the prize is one session at the victim's address, whose
// train is 5 small PINGs. Ids stay positive because ports below 1024 never
// get one.
class SessionCookies {
public:
    using Key = std::array<std::uint8_t, 16>;
    static Key random_key();

    // An id stays valid for one to two slots: the client sends INIT2 the
    // moment the INIT reply arrives, and gives up on it after 10 s.
    static constexpr std::chrono::seconds slot{10};

    explicit SessionCookies(const Key& key = random_key());

    // The id for an INIT from `source` (port 1024 or above) at `now`.
    std::int32_t issue(const boost::asio::ip::udp::endpoint& source, ServerClock::time_point now) const;

    // The INIT's source, when `id` was issued at most two slots ago to an
    // INIT from `address`; nothing otherwise.
    std::optional<boost::asio::ip::udp::endpoint> redeem(std::int32_t id, const boost::asio::ip::address_v4& address,
                                                         ServerClock::time_point now) const;

private:
    std::uint32_t mac(std::uint32_t address, unsigned short port, std::int64_t slot_number) const;

    Key key_;
};

}  // namespace punchprobe
