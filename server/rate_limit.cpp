#include "server/rate_limit.hpp"

#include <algorithm>
#include <chrono>
#include <random>

namespace punchprobe {

bool TokenBucket::has_token(const RateLimit& limit, ServerClock::time_point now, double amount)
{
    if (limit.unlimited()) return true;
    if (tokens_ < 0) {
        tokens_ = limit.burst;
    } else if (now > refilled_) {
        const double seconds = std::chrono::duration<double>(now - refilled_).count();
        tokens_ = std::min(limit.burst, tokens_ + seconds * limit.per_second);
    }
    refilled_ = std::max(refilled_, now);
    return tokens_ >= amount;
}

bool TokenBucket::take(const RateLimit& limit, ServerClock::time_point now, double amount)
{
    if (limit.unlimited()) return true;
    if (!has_token(limit, now, amount)) return false;
    tokens_ -= amount;
    return true;
}

SourceRateLimiter::SourceRateLimiter(RateLimit limit, std::uint64_t key) : limit_(limit), key_(key | 1) {}

std::uint64_t SourceRateLimiter::random_key()
{
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

bool SourceRateLimiter::allow(const boost::asio::ip::address_v4& source, ServerClock::time_point now)
{
    return allow(std::uint64_t{source.to_uint()}, now);
}

bool SourceRateLimiter::allow(std::uint64_t key, ServerClock::time_point now)
{
    if (limit_.unlimited()) return true;
    if (buckets_.empty()) buckets_.resize(bucket_count);
    return buckets_[index_of(key)].take(limit_, now);
}

bool SourceRateLimiter::available(std::uint64_t key, ServerClock::time_point now)
{
    if (limit_.unlimited()) return true;
    if (buckets_.empty()) buckets_.resize(bucket_count);
    return buckets_[index_of(key)].has_token(limit_, now);
}

std::size_t SourceRateLimiter::index_of(std::uint64_t key) const
{
    // Multiply-shift with a random odd multiplier: the high bits of the
    // product depend on every bit of the key.
    const std::uint64_t mixed = (key ^ (key_ >> 32)) * key_;
    return static_cast<std::size_t>(mixed >> 48);  // 16 bits: bucket_count
}

ProvenAddresses::ProvenAddresses(std::size_t slots, ServerClock::duration memory, std::uint64_t key)
    : shift_(64), memory_(memory), key_(key | 1)
{
    while (shift_ > 48 && (std::size_t{1} << (64 - shift_)) < slots) --shift_;
}

bool ProvenAddresses::remember(const boost::asio::ip::address_v4& address, ServerClock::time_point now)
{
    if (slots_.empty()) slots_.resize(std::size_t{1} << (64 - shift_));
    Slot& slot = slots_[index_of(address.to_uint())];
    if (live(slot, now) && slot.address == address.to_uint()) {
        slot.seen = now;
        return false;
    }
    const bool pushed_out = live(slot, now);
    slot = Slot{TokenBucket(), now, address.to_uint(), true};
    return pushed_out;
}

TokenBucket* ProvenAddresses::allowance(const boost::asio::ip::address_v4& address, ServerClock::time_point now)
{
    if (slots_.empty()) return nullptr;
    Slot& slot = slots_[index_of(address.to_uint())];
    return live(slot, now) && slot.address == address.to_uint() ? &slot.allowance : nullptr;
}

std::size_t ProvenAddresses::index_of(std::uint32_t address) const
{
    // The same multiply-shift as the rate limiter's, under a key of its own.
    if (shift_ == 64) return 0;  // one slot; a shift by 64 is undefined
    const std::uint64_t mixed = (address ^ (key_ >> 32)) * key_;
    return static_cast<std::size_t>(mixed >> shift_);
}

}  // namespace punchprobe
