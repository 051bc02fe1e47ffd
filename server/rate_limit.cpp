#include "server/rate_limit.hpp"

#include <algorithm>
#include <chrono>
#include <random>

namespace punchprobe {

bool TokenBucket::has_token(const RateLimit& limit, ServerClock::time_point now)
{
    if (limit.unlimited()) return true;
    if (tokens_ < 0) {
        tokens_ = limit.burst;
    } else if (now > refilled_) {
        const double seconds = std::chrono::duration<double>(now - refilled_).count();
        tokens_ = std::min(limit.burst, tokens_ + seconds * limit.per_second);
    }
    refilled_ = std::max(refilled_, now);
    return tokens_ >= 1;
}

bool TokenBucket::take(const RateLimit& limit, ServerClock::time_point now)
{
    if (limit.unlimited()) return true;
    if (!has_token(limit, now)) return false;
    tokens_ -= 1;
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

}  // namespace punchprobe
