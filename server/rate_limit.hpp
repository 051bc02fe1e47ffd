#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

#include "server/session_table.hpp"

namespace punchprobe {

// How many events a token bucket lets through: `per_second` on average, up
// to `burst` at once after a quiet spell. A rate of 0 means no limit.
struct RateLimit {
    double per_second = 0;
    double burst = 0;

    bool unlimited() const { return per_second <= 0; }
};

// One bucket, full at first. Takes `amount` tokens (bytes, for a budget)
// when it has them.
class TokenBucket {
public:
    bool take(const RateLimit& limit, ServerClock::time_point now, double amount = 1);
    // Whether take() would succeed now, without taking.
    bool has_token(const RateLimit& limit, ServerClock::time_point now, double amount = 1);

private:
    double tokens_ = -1;  // below zero: never used, so full
    ServerClock::time_point refilled_{};
};

// Token buckets per source IPv4 address, in the spirit of DNS response-rate
// limiting: a host that floods gets a trickle, others are not touched.
//
// The buckets are a fixed array indexed by a keyed hash of the address, so
// that a flood from forged addresses cannot grow memory or push a real
// address's bucket out. Two addresses may share a bucket; the key is
// random, so an attacker cannot pick a victim's bucket, and with 65,536
// buckets one flooder shares with a given client one time in 65,536.
class SourceRateLimiter {
public:
    static constexpr std::size_t bucket_count = 65536;

    // `key` selects the hash; the default draws it from the system's
    // random source.
    explicit SourceRateLimiter(RateLimit limit, std::uint64_t key = random_key());

    bool allow(const boost::asio::ip::address_v4& source, ServerClock::time_point now);
    // The same for any key: an address with more beside it.
    bool allow(std::uint64_t key, ServerClock::time_point now);
    // Whether the key's bucket still holds a token; takes none.
    bool available(std::uint64_t key, ServerClock::time_point now);

    static std::uint64_t random_key();

private:
    std::size_t index_of(std::uint64_t key) const;

    RateLimit limit_;
    std::uint64_t key_;
    // Allocated at the first limited use, so an unlimited server keeps none.
    std::vector<TokenBucket> buckets_;
};

// Addresses that proved a session lately, each with an allowance of its
// own, in a fixed array of slots indexed by a keyed hash of the address:
// remembering one more never grows memory, and pushes out only the address
// that had its slot (counted by remember()).
class ProvenAddresses {
public:
    // `slots` is rounded up to a power of two, at most 65,536.
    ProvenAddresses(std::size_t slots, ServerClock::duration memory,
                    std::uint64_t key = SourceRateLimiter::random_key());

    // True when this pushed another address, still remembered, out of its
    // slot. An address proving anew keeps what is left of its allowance.
    bool remember(const boost::asio::ip::address_v4& address, ServerClock::time_point now);
    // The address's own allowance while it is remembered; nothing otherwise.
    TokenBucket* allowance(const boost::asio::ip::address_v4& address, ServerClock::time_point now);

private:
    // 32 bytes: the table of 65,536 is 2 MiB.
    struct Slot {
        TokenBucket allowance;
        ServerClock::time_point seen{};
        std::uint32_t address = 0;
        bool used = false;
    };
    std::size_t index_of(std::uint32_t address) const;
    bool live(const Slot& slot, ServerClock::time_point now) const { return slot.used && now - slot.seen < memory_; }

    unsigned shift_;
    ServerClock::duration memory_;
    std::uint64_t key_;
    // Allocated at the first address remembered.
    std::vector<Slot> slots_;
};

}  // namespace punchprobe
