// The server actor over real loopback sockets, driven in-process: the test
// runs the server's loop in short slices between the scripted peers' sends
// and receives, so everything stays on one thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "server/punchprobe_server.hpp"
#include "server/server_options.hpp"
#include "support/net_namespace.hpp"
#include "support/scripted_server.hpp"
#include "support/server_process.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using punchprobe::DropReason;
using punchprobe_test::Datagram;
using punchprobe_test::client_init;
using punchprobe_test::UdpPeer;
using punchprobe_test::client_ping;
using punchprobe_test::client_start;

punchprobe::ServerOptions loopback_options()
{
    punchprobe::ServerOptions options;
    options.bind_address = boost::asio::ip::make_address_v4("127.0.0.1");
    options.main_port = 0;
    options.extra_port = 0;
    options.ping_interval = 5ms;
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
        while (output().find(text) == std::string::npos && std::chrono::steady_clock::now() < until)
            io_service.run_for(2ms);
    }

    // Everything the server has written so far.
    std::string output()
    {
        server.flush_log();
        return out.str();
    }
    std::string errors()
    {
        server.flush_log();
        return err.str();
    }

    // Runs INIT from `peer` and returns the session id (a cookie: the
    // server keeps nothing yet).
    std::int32_t init(UdpPeer& peer)
    {
        peer.send_to(client_init(peer.port()), main());
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

    // INIT2 from `alternate`, which proves the session; returns the reply.
    std::optional<Datagram> prove(UdpPeer& alternate, std::int32_t id)
    {
        alternate.send_to(punchprobe_test::client_init2(id, alternate.port()), main());
        auto reply = serve_until_received(alternate);
        if (!reply) ADD_FAILURE() << "no INIT2 reply";
        return reply;
    }

    // INIT from `peer`, INIT2 from a socket beside it: a proven session.
    std::int32_t open_session(UdpPeer& peer)
    {
        const std::int32_t id = init(peer);
        UdpPeer alternate;
        prove(alternate, id);
        return id;
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
           ",\"session_id\":" + std::to_string(id) + "}\n";
}

TEST(ServerActor, PingsGoFromTheExtraPortToTheInitSourceNotToThePingSource)
{
    ServerUnderTest server;
    UdpPeer primary;
    UdpPeer alternate;
    UdpPeer remapped;  // the port a destination-dependent router would give the PING

    const std::int32_t id = server.init(primary);
    ASSERT_GT(id, 0);

    auto reply = server.prove(alternate, id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "{\"command\":\"INIT2\",\"public_port_alt\":" +
                                std::to_string(alternate.port()) + ",\"session_id\":" + std::to_string(id) + "}\n");
    EXPECT_EQ(reply->source, server.main());

    alternate.send_to(client_start(id), server.main());
    reply = server.serve_until_received(alternate);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, "{\"command\":\"START\",\"extra_port\":" + std::to_string(server.extra().port()) +
                                ",\"session_id\":" + std::to_string(id) + "}\n");

    remapped.send_to(client_ping(id), server.extra());
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

    EXPECT_EQ(server.output(), server.listening_line() + "session id=" + std::to_string(id) +
                                    " public=127.0.0.1:" + std::to_string(primary.port()) +
                                    " alt_port=" + std::to_string(alternate.port()) + " alt_is_main_plus_1=" +
                                    (alternate.port() == primary.port() + 1 ? "yes" : "no") +
                                    " mapping=endpoint-dependent ping_source=127.0.0.1:" +
                                    std::to_string(remapped.port()) + " pings_sent=" +
                                    std::to_string(punchprobe::default_ping_count) + "\n");
    EXPECT_EQ(server.server.counters().completed, 1u);
    EXPECT_EQ(server.server.counters().endpoint_dependent, 1u);
    EXPECT_EQ(server.errors(), "");
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
        {"unknown session", client, client_start(id ^ 0x40000000), false},
        {"wrong address", stranger, client_start(id), false},
        {"wrong address ping", stranger, client_ping(id), true},
        {"ping on main", client, client_ping(id), false},
        {"oversized", client, client_init(1) + std::string(2000, ' '), false},
        {"far oversized", client, std::string(60000, 'x'), false},
    };
    for (const Case& c : cases) c.from.send_to(c.bytes, c.to_extra ? server.extra() : server.main());

    // Datagrams from one sender arrive in order on loopback, so the first
    // answer after the junk must be the answer to this START.
    client.send_to(client_start(id), server.main());
    const auto reply = server.serve_until_received(client);
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->bytes.find("\"command\":\"START\""), std::string::npos) << reply->bytes;
    server.serve_for(50ms);
    EXPECT_FALSE(client.receive(0ms));
    EXPECT_FALSE(stranger.receive(0ms));

    const auto& counters = server.server.counters();
    EXPECT_EQ(counters.dropped(DropReason::not_object), 1u);
    EXPECT_EQ(counters.dropped(DropReason::not_request), 1u);
    EXPECT_EQ(counters.dropped(DropReason::unknown_command), 1u);
    // Sessions are looked up with their address: a stranger finds none.
    EXPECT_EQ(counters.dropped(DropReason::unknown_session), 3u);
    EXPECT_EQ(counters.dropped(DropReason::wrong_address), 0u);
    EXPECT_EQ(counters.dropped(DropReason::wrong_socket), 1u);
    EXPECT_EQ(counters.dropped(DropReason::oversized), 2u);
    EXPECT_EQ(server.output(), server.listening_line());
    EXPECT_EQ(server.errors(), "");
}

TEST(ServerActor, OnePingTrainPerSession)
{
    ServerUnderTest server;
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(client_ping(id), server.extra());
    client.send_to(client_ping(id), server.extra());
    int pings = 0;
    while (server.serve_until_received(client, pings < punchprobe::default_ping_count ? 3000ms : 200ms)) ++pings;
    EXPECT_EQ(pings, punchprobe::default_ping_count);
    EXPECT_EQ(server.server.counters().dropped(DropReason::duplicate_ping), 1u);
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
        gone.send_to(client_ping(gone_id), server.extra());
        ASSERT_TRUE(server.serve_until_received(gone));
    }
    server.serve_until_output("pings_sent=5");

    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(client_ping(id), server.extra());
    const auto ping = server.serve_until_received(client);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->bytes, ping_datagram(id, 1));
    EXPECT_EQ(server.errors(), "");
}

TEST(ServerActor, IdleSessionsExpireAndAreLoggedOnce)
{
    auto options = loopback_options();
    options.session_ttl = 100ms;
    ServerUnderTest server(options);
    UdpPeer client;
    UdpPeer alternate;
    const std::int32_t id = server.init(client);
    ASSERT_TRUE(server.prove(alternate, id));

    // No datagram comes in: the sweep alone must notice.
    const std::string line = "session id=" + std::to_string(id) + " public=127.0.0.1:" +
                             std::to_string(client.port()) + " alt_port=" + std::to_string(alternate.port()) +
                             " alt_is_main_plus_1=" + (alternate.port() == client.port() + 1 ? "yes" : "no") +
                             " mapping=unknown ping_source=none pings_sent=0\n";
    server.serve_until_output(line);
    EXPECT_EQ(server.output(), server.listening_line() + line);
    EXPECT_EQ(server.server.counters().expired, 1u);

    client.send_to(client_ping(id), server.extra());
    client.send_to(client_start(id), server.main());
    server.serve_for(100ms);
    EXPECT_FALSE(client.receive(0ms));
    EXPECT_EQ(server.server.counters().dropped(DropReason::unknown_session), 2u);
    EXPECT_EQ(server.output(), server.listening_line() + line);
}

TEST(ServerActor, RepeatsTheLastReplyOfAProvenSessionOnlyWhileItsNextRequestIsMissing)
{
    auto options = loopback_options();
    options.resend_interval = 20ms;
    ServerUnderTest server(options);
    UdpPeer client;
    UdpPeer alternate;
    const std::int32_t id = server.init(client);
    const auto init2_reply = server.prove(alternate, id);
    ASSERT_TRUE(init2_reply);

    // No START comes: the same reply, three more times, from the main port.
    for (int resend = 1; resend <= 3; ++resend) {
        const auto again = server.serve_until_received(alternate);
        ASSERT_TRUE(again) << "re-send " << resend;
        EXPECT_EQ(again->bytes, init2_reply->bytes);
        EXPECT_EQ(again->source, server.main());
    }
    server.serve_for(150ms);
    EXPECT_FALSE(alternate.receive(0ms)) << "three re-sends at most";
    EXPECT_FALSE(client.receive(0ms)) << "the INIT reply, to an unproven source, never goes twice";
    EXPECT_EQ(server.server.counters().replies_resent, 3u);

    // The START's reply waits for the PING the same way; the PING ends it.
    alternate.send_to(client_start(id), server.main());
    const auto start_reply = server.serve_until_received(alternate);
    ASSERT_TRUE(start_reply);
    const auto again = server.serve_until_received(alternate);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes, start_reply->bytes);
    client.send_to(client_ping(id), server.extra());
    server.serve_until_output("session id=" + std::to_string(id) + " ");
    // One more may have crossed the PING on its way.
    std::uint64_t start_resends = 1;
    for (int more = 0; more < 3 && alternate.receive(0ms); ++more) ++start_resends;
    server.serve_for(150ms);
    EXPECT_FALSE(alternate.receive(0ms));
    EXPECT_LE(start_resends, 2u);
    EXPECT_EQ(server.server.counters().replies_resent, 3u + start_resends);
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
    EXPECT_NE(server.output().find("session id=" + std::to_string(first_id) + " "), std::string::npos);
    EXPECT_EQ(server.server.counters().evicted, 1u);
    EXPECT_EQ(server.server.counters().sessions, 3u);

    first.send_to(client_start(first_id), server.main());
    server.serve_for(50ms);
    EXPECT_FALSE(first.receive(0ms));
    EXPECT_EQ(server.server.counters().dropped(DropReason::unknown_session), 1u);
    for (auto [peer, id] : {std::pair<UdpPeer*, std::int32_t>{&second, second_id}, {&third, third_id}}) {
        peer->send_to(client_start(id), server.main());
        EXPECT_TRUE(server.serve_until_received(*peer)) << id;
    }
}

TEST(ServerActor, TrainCapsRefuseAndCountWhatDoesNotFit)
{
    // Trains 10 s apart stay under way while the test looks. Trains outlive
    // their sessions, so the table's cap alone would not bound them; and one
    // address waits for four turns of its trains at most.
    const struct {
        const char* name;
        std::size_t max_sessions;
        int trains_per_address;
        int sessions;
        int running;
        std::uint64_t delayed;
    } cases[] = {
        {"session cap", 2, 4, 3, 2, 0},
        {"waiting for one address", 65536, 1, 6, 1, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = loopback_options();
        options.max_sessions = c.max_sessions;
        options.trains_per_address = c.trains_per_address;
        options.pings = 2;
        options.ping_interval = 10s;
        ServerUnderTest server(options);
        std::vector<std::unique_ptr<UdpPeer>> clients;
        for (int index = 0; index < c.sessions; ++index) {
            clients.push_back(std::make_unique<UdpPeer>());
            const std::int32_t id = server.open_session(*clients.back());
            clients.back()->send_to(client_ping(id), server.extra());
            server.serve_for(20ms);
        }
        server.serve_for(100ms);
        int running = 0;
        for (auto& client : clients) running += client->receive(0ms).has_value();
        EXPECT_EQ(running, c.running);
        EXPECT_EQ(server.server.counters().trains_delayed, c.delayed);
        EXPECT_EQ(server.server.counters().dropped(DropReason::train_cap), 1u);
        EXPECT_EQ(server.server.counters().dropped(DropReason::duplicate_ping), 0u);
    }
}

TEST(ServerActor, QuietKeepsOnlyTheListeningLine)
{
    auto options = loopback_options();
    options.quiet = true;
    ServerUnderTest server(options);
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    client.send_to(client_ping(id), server.extra());
    for (int number = 1; number <= 3; ++number) ASSERT_TRUE(server.serve_until_received(client));
    server.serve_for(20ms);
    EXPECT_EQ(server.server.counters().completed, 1u);
    EXPECT_EQ(server.output(), server.listening_line());
}

TEST(ServerActor, StopLetsTheLoopRunOut)
{
    ServerUnderTest server;
    UdpPeer client;
    const std::int32_t id = server.open_session(client);
    // A train in flight must not keep the loop alive or touch freed state.
    client.send_to(client_ping(id), server.extra());
    ASSERT_TRUE(server.serve_until_received(client));
    server.server.stop();
    const auto started = std::chrono::steady_clock::now();
    server.io_service.run_for(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_TRUE(server.io_service.stopped());
}

// Trains overlap all the time on a busy server, and one timer paces them
// all: each must still keep its interval and its count, whatever the others do.
TEST(ServerActor, OverlappingTrainsKeepTheirIntervalAndCount)
{
    auto options = loopback_options();
    options.pings = 4;
    options.ping_interval = 40ms;
    ServerUnderTest server(options);
    constexpr int trains = 3;
    std::vector<std::unique_ptr<UdpPeer>> clients;
    std::vector<std::int32_t> ids;
    for (int index = 0; index < trains; ++index) {
        clients.push_back(std::make_unique<UdpPeer>());
        ids.push_back(server.open_session(*clients.back()));
    }
    // Started 15 ms apart, so that every wake-up of the timer finds trains
    // in different places.
    using Clock = std::chrono::steady_clock;
    const auto first_start = Clock::now();
    int started = 0;
    std::vector<std::vector<Clock::time_point>> arrivals(trains);
    bool all_in = false;
    while (!all_in && Clock::now() < first_start + 5s) {
        if (started < trains && Clock::now() >= first_start + started * 15ms) {
            clients[started]->send_to(client_ping(ids[started]), server.extra());
            ++started;
        }
        server.serve_for(1ms);
        all_in = true;
        for (int index = 0; index < trains; ++index) {
            while (auto ping = clients[index]->receive(0ms)) {
                EXPECT_EQ(ping->bytes, ping_datagram(ids[index], static_cast<int>(arrivals[index].size()) + 1));
                arrivals[index].push_back(Clock::now());
            }
            all_in = all_in && arrivals[index].size() >= 4;
        }
    }
    server.serve_for(100ms);
    for (int index = 0; index < trains; ++index) {
        EXPECT_FALSE(clients[index]->receive(0ms)) << "train " << index << " sent more than --pings";
        ASSERT_EQ(arrivals[index].size(), 4u) << "train " << index;
        for (std::size_t ping = 1; ping < arrivals[index].size(); ++ping) {
            const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[index][ping] -
                                                                                    arrivals[index][ping - 1]);
            // Never early (the observed gap may shrink by the test's own
            // polling step); late only by the timer's resolution, with room
            // for a loaded machine.
            EXPECT_GE(gap.count(), 35) << "train " << index << " PING " << ping + 1;
            EXPECT_LE(gap.count(), 400) << "train " << index << " PING " << ping + 1;
        }
    }
    EXPECT_EQ(server.server.counters().completed, static_cast<std::uint64_t>(trains));
    EXPECT_EQ(server.errors(), "");
}

// On a slow link the server's send buffer fills and the kernel refuses more
// for a while: the PINGs that did not fit must wait their turn, none lost and
// none overtaking another.
TEST(ServerActor, SendsRefusedByAFullBufferWaitAndKeepTheirOrder)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    // About 900 of these datagrams a second, while the trains below ask for
    // some 10,000 a second: the send buffer (about 270 of them) fills at once.
    ns->throttle_loopback("1mbit");
    auto options = loopback_options();
    options.pings = 100;
    options.ping_interval = 0ms;
    options.quiet = true;
    constexpr int sessions = 10;
    std::unique_ptr<ServerUnderTest> server;
    std::vector<std::unique_ptr<UdpPeer>> clients;
    std::vector<std::unique_ptr<UdpPeer>> alternates;
    ns->run_inside([&] {
        server = std::make_unique<ServerUnderTest>(options);
        for (int index = 0; index < sessions; ++index) {
            clients.push_back(std::make_unique<UdpPeer>());
            alternates.push_back(std::make_unique<UdpPeer>());
        }
    });
    std::vector<std::int32_t> ids;
    for (int index = 0; index < sessions; ++index) {
        ids.push_back(server->init(*clients[index]));
        ASSERT_TRUE(server->prove(*alternates[index], ids.back()));
    }
    for (int index = 0; index < sessions; ++index) clients[index]->send_to(client_ping(ids[index]), server->extra());

    std::vector<int> received(sessions, 0);
    const auto until = std::chrono::steady_clock::now() + 20s;
    int total = 0;
    while (total < sessions * options.pings && std::chrono::steady_clock::now() < until) {
        server->serve_for(2ms);
        for (int index = 0; index < sessions; ++index) {
            while (auto ping = clients[index]->receive(0ms)) {
                ++received[index];
                ++total;
                ASSERT_EQ(ping->bytes, ping_datagram(ids[index], received[index])) << "session " << index;
            }
        }
    }
    for (int index = 0; index < sessions; ++index) EXPECT_EQ(received[index], options.pings) << "session " << index;
    EXPECT_EQ(server->server.counters().completed, static_cast<std::uint64_t>(sessions));
    EXPECT_EQ(server->errors(), "");
}

}  // namespace
