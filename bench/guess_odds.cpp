// punchprobe-guess-odds: how often a guessed session id proves a session.
// An id is the INIT's port and a 15-bit MAC, and two cookie slots are
// accepted, so a guess with the right port should win 2 times in 32,768.
// This counts it on the server's own cookie code: random addresses, ports
// and moments, random MACs, and prints the guesses per hit.
//   punchprobe-guess-odds [GUESSES]   (default 10,000,000)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <boost/asio/ip/udp.hpp>

#include "server/session_cookie.hpp"

using punchprobe::ServerClock;
using punchprobe::SessionCookies;

int main(int argc, char* argv[])
{
    const long long guesses = argc > 1 ? std::atoll(argv[1]) : 10000000;
    if (guesses <= 0) {
        std::fprintf(stderr, "usage: punchprobe-guess-odds [GUESSES]\n");
        return 2;
    }
    std::mt19937_64 random(std::random_device{}());
    const SessionCookies cookies;
    // A new victim every 1,000 guesses, so no one key-address pair decides.
    constexpr int guesses_per_victim = 1000;
    long long hits = 0;
    boost::asio::ip::address_v4 address;
    unsigned short port = 0;
    ServerClock::time_point when;
    for (long long guess = 0; guess < guesses; ++guess) {
        if (guess % guesses_per_victim == 0) {
            address = boost::asio::ip::address_v4(static_cast<std::uint32_t>(random()));
            port = static_cast<unsigned short>(1024 + random() % (65536 - 1024));
            // Somewhere in the 10 s an id lives after its INIT.
            when = ServerClock::time_point(std::chrono::hours(1) + std::chrono::milliseconds(random() % 3600000));
        }
        const auto id = static_cast<std::int32_t>((std::uint32_t{port} << 15) | (random() & 0x7FFF));
        if (cookies.redeem(id, address, when)) ++hits;
    }
    const double rate = static_cast<double>(hits) / static_cast<double>(guesses);
    // A 95 % interval by the normal approximation, fine at hundreds of hits.
    const double margin = 1.96 * std::sqrt(rate * (1 - rate) / static_cast<double>(guesses));
    std::printf("guesses=%lld hits=%lld guesses_per_hit=%.0f interval_95=%.0f..%.0f expected=16384\n", guesses, hits,
                hits ? 1 / rate : 0.0, rate + margin > 0 ? 1 / (rate + margin) : 0.0,
                rate - margin > 0 ? 1 / (rate - margin) : 0.0);
    return 0;
}
