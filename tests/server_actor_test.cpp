// The server actor over real loopback sockets, driven in-process: the test
// runs the server's loop in short slices between the scripted peers' sends
// and receives, so everything stays on one thread.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include <boost/asio/io_service.hpp>

#include "server/punchprobe_server.hpp"
#include "server/server_options.hpp"
#include "support/server_session.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using punchprobe_test::Datagram;
using punchprobe_test::UdpPeer;
using punchprobe_test::with_id;

std::string init_from(unsigned short port)
{
    return "{\"command\":\"INIT\",\"local_port\":" + std::to_string(port) + ",\"protocol\":\"Punchprobe\"}\n";
}

punchprobe::ServerOptions loopback_options()
{
    punchprobe::ServerOptions options;
    options.bind_address = boost::asio::ip::make_address_v4("127.0.0.1");
    options.main_port = 0;
    options.extra_port = 0;
    options.ping_interval = boost::posix_time::milliseconds(5);
    return options;
}

class ServerUnderTest {
public:
    explicit ServerUnderTest(const punchprobe::ServerOptions& options = loopback_options())
        : server(io_service, options, out, err)
    {
    }

    udp::endpoint main() const { return server.main_endpoint(); }
    udp::endpoint extra() const { return server.extra_endpoint(); }

    // Serves for a while; the limit is what a loaded box may need, not what
    // the test expects to take.
    void serve_for(std::chrono::milliseconds duration) { io_service.run_for(duration); }

    std::optional<Datagram> serve_until_received(UdpPeer& peer, std::chrono::milliseconds limit = 3000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (auto datagram = peer.receive(0ms)) return datagram;
            io_service.run_for(2ms);
        }
        return peer.receive(0ms);
    }

    void serve_until_output(const std::string& text, std::chrono::milliseconds limit = 3000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (out.str().find(text) == std::string::npos && std::chrono::steady_clock::now() < until)
            io_service.run_for(2ms);
    }

    // Runs INIT from `peer` and returns the session id.
    std::int32_t open_session(UdpPeer& peer)
    {
        peer.send_to(init_from(peer.port()), main());
        const auto reply = serve_until_received(peer);
        if (!reply) {
            ADD_FAILURE() << "no INIT reply";
            return 0;
        }
        const auto id = punchprobe_test::session_id_in(reply->bytes);
        if (!id) {
            ADD_FAILURE() << "no session id in the INIT reply: " << reply->bytes;
            return 0;
        }
        return std::stoi(*id);
    }

    std::string listening_line() const
    {
        return punchprobe_test::listening_line("127.0.0.1", main().port(), extra().port());
    }

    boost::asio::io_service io_service;
    std::ostringstream out;
    std::ostringstream err;
    punchprobe::PunchprobeServer server;
};

std::string ping_datagram(std::int32_t id, int number)
{
    return "{\"command\":\"PING\",\"ping_number\":" + std::to_string(number) +
           ",\"protocol\":\"Punchprobe\",\"session_id\":" + std::to_string(id) + "}\n";
}

TEST(ServerActor, PingsGoFromTheExtraPortToTheInitSourceNotToThePingSource)
{
    ServerUnderTest server;
    UdpPeer primary;
    UdpPeer alternate;
    UdpPeer remapped;  // the port a destination-dependent router would give the PING

    const std::int32_t id = server.open_session(primary);
    ASSERT_GT(id, 0);

    alternate.send_to(with_id("INIT2", id), server.main());
    auto reply = server.serve_until_received(alternate);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "{\"command\":\"INIT2\",\"protocol\":\"Punchprobe\",\"public_port_alt\":" +
                                std::to_string(alternate.port()) + ",\"session_id\":" + std::to_string(id) + "}\n");
    EXPECT_EQ(reply->source, server.main());

    alternate.send_to(with_id("START", id), server.main());
    reply = server.serve_until_received(alternate);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "{\"command\":\"START\",\"extra_port\":" + std::to_string(server.extra().port()) +
                                ",\"protocol\":\"Punchprobe\",\"session_id\":" + std::to_string(id) + "}\n");

    remapped.send_to(with_id("PING", id), server.extra());
    for (int number = 1; number <= punchprobe::default_ping_count; ++number) {
        const auto ping = server.serve_until_received(primary);
        ASSERT_TRUE(ping) << "PING " << number;
        EXPECT_EQ(ping->bytes, ping_datagram(id, number));
        EXPECT_EQ(ping->source, server.extra());
    }
    server.serve_until_output("pings_sent=" + std::to_string(punchprobe::default_ping_count));
    EXPECT_FALSE(primary.receive(50ms)) << "more than --pings PINGs";
    EXPECT_FALSE(remapped.receive(0ms)) << "a PING went to the PING's source";
    EXPECT_FALSE(alternate.receive(0ms));

    EXPECT_EQ(server.out.str(), server.listening_line() + "session id=" + std::to_string(id) +
                                    " public=127.0.0.1:" + std::to_string(primary.port()) +
                                    " alt_port=" + std::to_string(alternate.port()) + " alt_is_main_plus_1=" +
                                    (alternate.port() == primary.port() + 1 ? "yes" : "no") +
                                    " mapping=endpoint-dependent ping_source=127.0.0.1:" +
                                    std::to_string(remapped.port()) + " pings_sent=" +
                                    std::to_string(punchprobe::default_ping_count) + "\n");
    EXPECT_EQ(server.server.counters().completed, 1u);
    EXPECT_EQ(server.server.counters().endpoint_dependent, 1u);
    EXPECT_EQ(server.err.str(), "");
}

TEST(ServerActor, HostileDatagramsGetNoReplyAndLeaveItServing)
{
    ServerUnderTest server;
    UdpPeer client;
    UdpPeer stranger(0, "127.0.0.2");
    const std::int32_t id = server.open_session(client);
    ASSERT_GT(id, 0);

    struct Case {
        const char* name;
        UdpPeer& from;
        std::string bytes;
        bool to_extra;
    };
    const Case cases[] = {
        {"not json", client, "\x01\x02garbage", false},
        {"unknown command", client, "{\"command\":\"HELLO\"}", false},
        {"wrong type", client, "{\"command\":\"START\",\"session_id\":\"x\"}", false},
        {"unknown session", client, with_id("START", id ^ 0x40000000), false},
        {"wrong address", stranger, with_id("START", id), false},
        {"wrong address ping", stranger, with_id("PING", id), true},
        {"ping on main", client, with_id("PING", id), false},
        {"oversized", client, init_from(1) + std::string(2000, ' '), false},
        {"far oversized", client, std::string(60000, 'x'), false},
    };
    for (const Case& c : cases) c.from.send_to(c.bytes, c.to_extra ? server.extra() : server.main());

    // Datagrams from one sender arrive in order on loopback, so the first
    // answer after the junk must be the answer to this START.
    client.send_to(with_id("START", id), server.main());
    const auto reply = server.serve_until_received(client);
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->bytes.find("\"command\":\"START\""), std::string::npos) << reply->bytes;
    server.serve_for(50ms);
    EXPECT_FALSE(client.receive(0ms));
    EXPECT_FALSE(stranger.receive(0ms));

    const auto& counters = server.server.counters();
    EXPECT_EQ(counters.dropped_malformed, 2u);
    EXPECT_EQ(counters.dropped_unknown_command, 1u);
    EXPECT_EQ(counters.dropped_unknown_session, 1u);
    EXPECT_EQ(counters.dropped_wrong_address, 2u);
    EXPECT_EQ(counters.dropped_wrong_socket, 1u);
    EXPECT_EQ(counters.dropped_oversized, 2u);
    EXPECT_EQ(server.out.str(), server.listening_line());
    EXPECT_EQ(server.err.str(), "");
}

TEST(ServerActor, OnePingTrainPerSession)
{
    ServerUnderTest server;
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(with_id("PING", id), server.extra());
    client.send_to(with_id("PING", id), server.extra());
    int pings = 0;
    while (server.serve_until_received(client, pings < punchprobe::default_ping_count ? 3000ms : 200ms)) ++pings;
    EXPECT_EQ(pings, punchprobe::default_ping_count);
    EXPECT_EQ(server.server.counters().dropped_duplicate_ping, 1u);
    EXPECT_EQ(server.server.counters().endpoint_independent, 1u);
}

TEST(ServerActor, KeepsServingAfterAPingTrainHitsAClosedPort)
{
    // PINGs to a socket that is gone draw ICMP port-unreachables; where the
    // system passes those on to the next receive, the receive loop must
    // carry on.
    auto options = loopback_options();
    options.pings = 5;
    ServerUnderTest server(options);
    std::int32_t gone_id = 0;
    {
        UdpPeer gone;
        gone_id = server.open_session(gone);
        gone.send_to(with_id("PING", gone_id), server.extra());
        ASSERT_TRUE(server.serve_until_received(gone));
    }
    server.serve_until_output("pings_sent=5");

    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(with_id("PING", id), server.extra());
    const auto ping = server.serve_until_received(client);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->bytes, ping_datagram(id, 1));
    EXPECT_EQ(server.err.str(), "");
}

TEST(ServerActor, IdleSessionsExpireAndAreLoggedOnce)
{
    auto options = loopback_options();
    options.session_ttl = boost::posix_time::milliseconds(100);
    ServerUnderTest server(options);
    UdpPeer client;
    UdpPeer alternate;
    const std::int32_t id = server.open_session(client);
    alternate.send_to(with_id("INIT2", id), server.main());
    ASSERT_TRUE(server.serve_until_received(alternate));

    // No datagram comes in: the sweep alone must notice.
    const std::string line = "session id=" + std::to_string(id) + " public=127.0.0.1:" +
                             std::to_string(client.port()) + " alt_port=" + std::to_string(alternate.port()) +
                             " alt_is_main_plus_1=" + (alternate.port() == client.port() + 1 ? "yes" : "no") +
                             " mapping=unknown ping_source=none pings_sent=0\n";
    server.serve_until_output(line);
    EXPECT_EQ(server.out.str(), server.listening_line() + line);
    EXPECT_EQ(server.server.counters().expired, 1u);

    client.send_to(with_id("PING", id), server.extra());
    client.send_to(with_id("START", id), server.main());
    server.serve_for(100ms);
    EXPECT_FALSE(client.receive(0ms));
    EXPECT_EQ(server.server.counters().dropped_unknown_session, 2u);
    EXPECT_EQ(server.out.str(), server.listening_line() + line);
}

TEST(ServerActor, SessionCapPushesOutTheOldest)
{
    auto options = loopback_options();
    options.max_sessions = 2;
    ServerUnderTest server(options);
    UdpPeer first, second, third;
    const std::int32_t first_id = server.open_session(first);
    const std::int32_t second_id = server.open_session(second);
    const std::int32_t third_id = server.open_session(third);
    EXPECT_NE(server.out.str().find("session id=" + std::to_string(first_id) + " "), std::string::npos);
    EXPECT_EQ(server.server.counters().evicted, 1u);
    EXPECT_EQ(server.server.counters().sessions, 3u);

    first.send_to(with_id("START", first_id), server.main());
    server.serve_for(50ms);
    EXPECT_FALSE(first.receive(0ms));
    EXPECT_EQ(server.server.counters().dropped_unknown_session, 1u);
    for (auto [peer, id] : {std::pair<UdpPeer*, std::int32_t>{&second, second_id}, {&third, third_id}}) {
        peer->send_to(with_id("START", id), server.main());
        EXPECT_TRUE(server.serve_until_received(*peer)) << id;
    }
}

TEST(ServerActor, QuietKeepsOnlyTheListeningLine)
{
    auto options = loopback_options();
    options.quiet = true;
    ServerUnderTest server(options);
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(with_id("PING", id), server.extra());
    for (int number = 1; number <= 3; ++number) ASSERT_TRUE(server.serve_until_received(client));
    server.serve_for(20ms);
    EXPECT_EQ(server.server.counters().completed, 1u);
    EXPECT_EQ(server.out.str(), server.listening_line());
}

TEST(ServerActor, StopLetsTheLoopRunOut)
{
    ServerUnderTest server;
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    // A train in flight must not keep the loop alive or touch freed state.
    client.send_to(with_id("PING", id), server.extra());
    ASSERT_TRUE(server.serve_until_received(client));
    server.server.stop();
    const auto started = std::chrono::steady_clock::now();
    server.io_service.run_for(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_TRUE(server.io_service.stopped());
}

}  // namespace
