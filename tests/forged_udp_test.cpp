// Datagrams from the raw-socket sender reach an ordinary UDP socket on
// loopback with exactly the source and payload that were forged, so the
// attack tests can trust what the server sees.

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>

#include "support/forged_udp.hpp"

namespace {

using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;

struct Forged {
    const char* what;
    udp::endpoint source;
    std::string payload;
};

TEST(ForgedUdp, ArrivesWithTheForgedSourceAndPayload)
{
    std::string why_not;
    auto sender = punchprobe_test::ForgedUdpSender::create(why_not);
    if (!sender) GTEST_SKIP() << why_not;

    boost::asio::io_service io_service;
    udp::socket receiver(io_service, udp::endpoint(make_address_v4("127.0.0.1"), 0));
    receiver.non_blocking(true);
    const udp::endpoint destination = receiver.local_endpoint();

    const Forged cases[] = {
        {"foreign loopback address", {make_address_v4("127.0.0.77"), 4242}, "hello, server"},
        {"port zero", {make_address_v4("127.0.0.1"), 0}, "from nowhere"},
        {"odd length, binary", {make_address_v4("127.0.0.78"), 65535}, std::string("\x00\xff\x7f", 3)},
        {"empty", {make_address_v4("127.0.0.79"), 1}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(sender->send(c.source, destination, c.payload)) << std::strerror(errno);

        // Loopback delivers at once; the limit only bounds a lost datagram.
        std::vector<char> buffer(65536);
        udp::endpoint source;
        std::size_t size = 0;
        boost::system::error_code error = boost::asio::error::would_block;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (error == boost::asio::error::would_block && std::chrono::steady_clock::now() < deadline) {
            size = receiver.receive_from(boost::asio::buffer(buffer), source, 0, error);
            if (error == boost::asio::error::would_block)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_FALSE(error) << error.message();
        EXPECT_EQ(std::string(buffer.data(), size), c.payload);
        EXPECT_EQ(source, c.source);
    }
}

TEST(ForgedUdp, RefusesIpv6)
{
    std::string why_not;
    auto sender = punchprobe_test::ForgedUdpSender::create(why_not);
    if (!sender) GTEST_SKIP() << why_not;
    const udp::endpoint v6(boost::asio::ip::make_address_v6("::1"), 9);
    errno = 0;
    EXPECT_FALSE(sender->send(v6, v6, "x"));
    EXPECT_EQ(errno, EAFNOSUPPORT);
}

}  // namespace
