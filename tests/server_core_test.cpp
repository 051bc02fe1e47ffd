// The socket-free core of the server: session table, cookies, rate limits,
// junk screening, datagram decisions, and the fixed texts of the session and
// counters lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/server_messages.hpp"
#include "server/datagram_handler.hpp"
#include "server/junk_filter.hpp"
#include "server/rate_limit.hpp"
#include "server/server_counters.hpp"
#include "server/session_cookie.hpp"
#include "server/session_log.hpp"
#include "server/session_table.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::Decision;
using punchprobe::DropReason;
using punchprobe::HandlerSettings;
using punchprobe::HandlerState;
using punchprobe::InboundDatagram;
using punchprobe::Mapping;
using punchprobe::RateLimit;
using punchprobe::ServerClock;
using punchprobe::ServerSocket;
using punchprobe::SessionCookies;
using punchprobe::SessionEnd;
using punchprobe::SessionTable;

// On a slot boundary, so that slot arithmetic in the tests is exact.
const ServerClock::time_point t0 = ServerClock::time_point() + 1h;
const SessionCookies::Key test_key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

udp::endpoint at(const char* address, unsigned short port)
{
    return udp::endpoint(make_address_v4(address), port);
}

InboundDatagram datagram(const std::string& bytes, const udp::endpoint& source,
                         ServerSocket socket = ServerSocket::main, ServerClock::time_point now = t0)
{
    return InboundDatagram{bytes, source, socket, now};
}

// The client's requests, as the scripted-server tests write them out.
std::string init_request(unsigned short local_port = 40000)
{
    return punchprobe_test::client_init(local_port);
}
const std::string init = init_request();
std::string init2(std::int32_t id, int local_port_alt = 40001)
{
    return punchprobe_test::client_init2(id, local_port_alt);
}
std::string start(std::int32_t id)
{
    return punchprobe_test::client_start(id);
}
std::string ping(std::int32_t id)
{
    return punchprobe_test::client_ping(id);
}

HandlerSettings settings_for(const char* bind = "0.0.0.0")
{
    HandlerSettings settings;
    settings.bind_address = make_address_v4(bind);
    settings.main_port = 30000;
    settings.extra_port = 30001;
    return settings;
}
const HandlerSettings settings = settings_for();

// Fixed keys, so that ids and buckets are the same on every run.
HandlerState make_state(std::size_t max_sessions = 10, RateLimit init_limit = RateLimit{10, 20},
                        ServerClock::duration ttl = 60s)
{
    return HandlerState(ttl, max_sessions, init_limit, test_key, 0x9e3779b97f4a7c15ULL);
}

std::int32_t cookie_for(const udp::endpoint& source, ServerClock::time_point now = t0)
{
    return SessionCookies(test_key).issue(source, now);
}

// INIT from `primary`, INIT2 from its neighbour port: a proven session.
std::int32_t open_proven(HandlerState& state, const udp::endpoint& primary, ServerClock::time_point now = t0,
                         const HandlerSettings& with = settings)
{
    const Decision first = handle_datagram(datagram(init, primary, ServerSocket::main, now), state, with);
    EXPECT_TRUE(first.reply);
    const std::int32_t id = cookie_for(primary, now);
    const udp::endpoint alternate(primary.address(), static_cast<unsigned short>(primary.port() + 1));
    const Decision second = handle_datagram(datagram(init2(id), alternate, ServerSocket::main, now), state, with);
    EXPECT_TRUE(second.session_created);
    return id;
}

// ---------------------------------------------------------------- table

TEST(SessionTable, ExpiresAtItsTtlOldestFirstAndReportsOnlyUnpinged)
{
    SessionTable table(10s, 10);
    table.create(101, at("192.0.2.1", 1111), t0);
    table.create(102, at("192.0.2.2", 2222), t0 + 1s).session->pinged = true;
    table.create(103, at("192.0.2.3", 3333), t0 + 2s);
    table.find(101, make_address_v4("192.0.2.1"))->alt_port = 1112;

    EXPECT_TRUE(table.expire(t0 + 10s - 1us).empty());
    EXPECT_EQ(table.size(), 3u);

    const auto first = table.expire(t0 + 10s);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].id, 101);
    EXPECT_EQ(first[0].end, SessionEnd::expired);
    EXPECT_EQ(first[0].alt_port, 1112);
    EXPECT_EQ(first[0].public_endpoint, at("192.0.2.1", 1111));
    EXPECT_EQ(table.find(101, make_address_v4("192.0.2.1")), nullptr);

    // The pinged one goes silently: its ping train reports it.
    const auto rest = table.expire(t0 + 12s);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id, 103);
    EXPECT_EQ(table.size(), 0u);
}

TEST(SessionTable, CapEvictsOldestFirstAndRemoveIsSilent)
{
    SessionTable table(60s, 2);
    EXPECT_FALSE(table.create(101, at("192.0.2.1", 1), t0).evicted);
    EXPECT_FALSE(table.create(102, at("192.0.2.1", 2), t0).evicted);
    const auto third = table.create(103, at("192.0.2.1", 3), t0);
    ASSERT_TRUE(third.evicted);
    EXPECT_EQ(third.evicted->id, 101);
    EXPECT_EQ(third.evicted->end, SessionEnd::evicted);
    EXPECT_EQ(table.find(101, make_address_v4("192.0.2.1")), nullptr);

    table.remove(102, make_address_v4("192.0.2.1"));
    EXPECT_EQ(table.size(), 1u);
    EXPECT_FALSE(table.create(104, at("192.0.2.1", 4), t0).evicted);
    EXPECT_TRUE(table.expire(t0 + 60s).size() == 2u);
}

// ---------------------------------------------------------------- cookies

TEST(SessionCookies, IdCarriesThePortAndRedeemsOnlyFromItsAddressForTwoSlots)
{
    const SessionCookies cookies(test_key);
    const udp::endpoint source = at("203.0.113.5", 40000);
    const std::int32_t id = cookies.issue(source, t0);
    EXPECT_EQ(id >> 15, 40000);
    EXPECT_EQ(cookies.issue(source, t0 + 9s), id) << "same slot, same id";

    const auto address = source.address().to_v4();
    EXPECT_EQ(cookies.redeem(id, address, t0), source);
    EXPECT_EQ(cookies.redeem(id, address, t0 + 19s), source) << "the next slot still takes it";
    EXPECT_FALSE(cookies.redeem(id, address, t0 + 20s)) << "two slots later it is void";
    EXPECT_FALSE(cookies.redeem(id, make_address_v4("203.0.113.6"), t0));
    EXPECT_FALSE(cookies.redeem(id ^ 1, address, t0)) << "a changed MAC bit";
    EXPECT_FALSE(cookies.redeem(id + (1 << 15), address, t0)) << "another port, same MAC";
    EXPECT_FALSE(SessionCookies(SessionCookies::random_key()).redeem(id, address, t0)) << "another key";
    EXPECT_FALSE(cookies.redeem(-id, address, t0));
    EXPECT_FALSE(cookies.redeem(5, address, t0)) << "port 0 in the id";

    // The MAC bits spread: 1,000 sources on one port give nearly 1,000 ids
    // (15 bits of MAC: some 15 pairs collide by chance).
    std::set<std::int32_t> ids;
    for (unsigned host = 1; host <= 1000; ++host)
        ids.insert(cookies.issue(udp::endpoint(boost::asio::ip::address_v4(0xC6336400u + host), 50000), t0));
    EXPECT_GT(ids.size(), 960u);
}

// ---------------------------------------------------------------- rate limit

TEST(SourceRateLimiter, BurstThenRatePerAddressAndNoLimitAtZero)
{
    punchprobe::SourceRateLimiter limiter(RateLimit{10, 20}, 0x9e3779b97f4a7c15ULL);
    const auto flooder = make_address_v4("198.51.100.7");
    const auto other = make_address_v4("198.51.100.8");
    int allowed = 0;
    for (int i = 0; i < 100; ++i) allowed += limiter.allow(flooder, t0);
    EXPECT_EQ(allowed, 20);
    EXPECT_FALSE(limiter.allow(flooder, t0 + 99ms));
    EXPECT_TRUE(limiter.allow(flooder, t0 + 100ms)) << "one token every 100 ms";
    EXPECT_FALSE(limiter.allow(flooder, t0 + 100ms));
    EXPECT_TRUE(limiter.allow(other, t0)) << "another address keeps its own bucket";
    allowed = 0;
    for (int i = 0; i < 100; ++i) allowed += limiter.allow(flooder, t0 + 1h);
    EXPECT_EQ(allowed, 20) << "a quiet hour refills to the burst, not beyond";

    punchprobe::SourceRateLimiter unlimited(RateLimit{0, 1});
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unlimited.allow(flooder, t0));
}

// ---------------------------------------------------------------- junk

TEST(JunkFilter, RefusesEachKindEarlyAndPassesRequests)
{
    std::string deep = "{\"command\":\"INIT\",\"x\":";
    for (int i = 0; i < 100; ++i) deep += "[";
    const struct {
        const char* name;
        std::string bytes;
        std::optional<DropReason> reason;
    } cases[] = {
        {"client INIT", init, std::nullopt},
        {"blanks first", " \t\r\n" + init, std::nullopt},
        {"largest accepted", "{" + std::string(punchprobe::max_request_size - 2, ' ') + "}", std::nullopt},
        {"brackets in a string", "{\"command\":\"[[{{\\\"[\"}", std::nullopt},
        {"one past the largest", "{" + std::string(punchprobe::max_request_size - 1, ' ') + "}",
         DropReason::oversized},
        {"empty", "", DropReason::not_object},
        {"blank only", "   \n", DropReason::not_object},
        {"open brackets", std::string(34, '['), DropReason::not_object},
        {"number", "42", DropReason::not_object},
        {"text", "hello", DropReason::not_object},
        {"object in object", "{\"a\":{}}", DropReason::too_deep},
        {"array in object", "{\"a\":[1]}", DropReason::too_deep},
        {"deep", deep, DropReason::too_deep},
        {"closing first does not help", "{]]]][[[[[}", DropReason::too_deep},
        {"nul", std::string("{\"command\":\"IN\0IT\"}", 19), DropReason::nul_byte},
        {"nul after escape", std::string("{\"a\":\"\\\0\"}", 10), DropReason::nul_byte},
        {"comment", "{\"command\":\"INIT\"/**/}", DropReason::malformed},
        {"slash in a string", "{\"command\":\"a/b\"}", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(punchprobe::screen_junk(c.bytes), c.reason) << c.name;
}

// ---------------------------------------------------------------- handler

TEST(DatagramHandler, WholeExchangeGivesExactRepliesAndATrainToTheInitSource)
{
    HandlerState state = make_state();
    const udp::endpoint primary = at("203.0.113.5", 40000);
    const udp::endpoint alternate = at("203.0.113.5", 40001);
    const std::int32_t id = cookie_for(primary);
    const std::string id_text = std::to_string(id);

    Decision d = handle_datagram(datagram(init, primary), state, settings);
    ASSERT_TRUE(d.reply);
    EXPECT_FALSE(d.drop);
    EXPECT_TRUE(d.init_answered);
    EXPECT_FALSE(d.session_created) << "an INIT leaves no state";
    EXPECT_EQ(state.sessions.size(), 0u);
    EXPECT_EQ(d.reply->bytes,
              "{\"command\":\"INIT\",\"public_ip\":\"203.0.113.5\",\"public_port\":40000,\"session_id\":" + id_text +
                  "}\n");
    EXPECT_EQ(d.reply->destination, primary);
    EXPECT_EQ(d.reply->from, ServerSocket::main);
    EXPECT_FALSE(d.reply->proven);

    d = handle_datagram(datagram(init2(id), alternate), state, settings);
    ASSERT_TRUE(d.reply);
    EXPECT_TRUE(d.session_created);
    EXPECT_TRUE(d.reply->proven);
    EXPECT_EQ(d.reply->bytes, "{\"command\":\"INIT2\",\"public_port_alt\":40001,\"session_id\":" + id_text + "}\n");
    EXPECT_EQ(d.reply->destination, alternate);
    const auto address = primary.address().to_v4();
    ASSERT_NE(state.sessions.find(id, address), nullptr);
    EXPECT_EQ(state.sessions.find(id, address)->public_endpoint, primary) << "the port comes from the id";

    d = handle_datagram(datagram(start(id), alternate), state, settings);
    ASSERT_TRUE(d.reply);
    EXPECT_TRUE(d.reply->proven);
    EXPECT_EQ(d.reply->bytes, "{\"command\":\"START\",\"extra_port\":30001,\"session_id\":" + id_text + "}\n");
    EXPECT_EQ(d.reply->destination, alternate);

    // The PING comes from yet another port, as behind a router whose mapping
    // depends on the destination: the train still goes to the INIT's source.
    const udp::endpoint remapped = at("203.0.113.5", 50123);
    d = handle_datagram(datagram(ping(id), remapped, ServerSocket::extra), state, settings);
    EXPECT_FALSE(d.reply);
    EXPECT_FALSE(d.drop);
    ASSERT_TRUE(d.ping_train);
    EXPECT_EQ(d.ping_train->session_id, id);
    EXPECT_EQ(d.ping_train->destination, primary);
    EXPECT_EQ(punchprobe::session_line(d.ping_train->report),
              "session id=" + id_text +
                  " public=203.0.113.5:40000 alt_port=40001 alt_is_main_plus_1=yes "
                  "mapping=endpoint-dependent ping_source=203.0.113.5:50123 pings_sent=0");

    d = handle_datagram(datagram(ping(id), primary, ServerSocket::extra), state, settings);
    EXPECT_FALSE(d.ping_train);
    EXPECT_EQ(d.drop, DropReason::duplicate_ping);

    // A new test from the same public endpoint within the id's life gets
    // the same id: its INIT2 starts a fresh session with its own train.
    ASSERT_TRUE(handle_datagram(datagram(init, primary, ServerSocket::main, t0 + 5s), state, settings).reply);
    d = handle_datagram(datagram(init2(id), alternate, ServerSocket::main, t0 + 5s), state, settings);
    EXPECT_TRUE(d.session_created);
    // Its set-up time runs from the INIT2 that proved it to the PING.
    d = handle_datagram(datagram(ping(id), primary, ServerSocket::extra, t0 + 5s + 1234ms), state, settings);
    ASSERT_TRUE(d.ping_train);
    EXPECT_EQ(d.ping_train->report.mapping, Mapping::endpoint_independent);
    EXPECT_EQ(d.ping_train->setup_time, 1234ms);
}

TEST(DatagramHandler, APingWithoutRoomForATrainLeavesItsSessionUnspent)
{
    HandlerState state = make_state();
    const udp::endpoint primary = at("203.0.113.5", 40000);
    const std::int32_t id = cookie_for(primary);
    ASSERT_TRUE(handle_datagram(datagram(init, primary), state, settings).reply);
    ASSERT_TRUE(handle_datagram(datagram(init2(id), at("203.0.113.5", 40001)), state, settings).session_created);

    InboundDatagram full = datagram(ping(id), primary, ServerSocket::extra);
    full.room_for_train = false;
    Decision d = handle_datagram(full, state, settings);
    EXPECT_EQ(d.drop, DropReason::train_cap);
    EXPECT_FALSE(d.ping_train);
    EXPECT_FALSE(state.sessions.find(id, primary.address().to_v4())->pinged);

    d = handle_datagram(datagram(ping(id), primary, ServerSocket::extra), state, settings);
    EXPECT_FALSE(d.drop);
    EXPECT_TRUE(d.ping_train) << "a later PING may try again";
}

// What a proven session sends again at `now`, with the datagrams' bytes and
// destinations as one text per re-send.
std::vector<std::string> resent_at(HandlerState& state, ServerClock::time_point now,
                                   const HandlerSettings& with = settings, std::size_t most = 100)
{
    std::vector<std::string> sent;
    for (const punchprobe::OutboundDatagram& reply : punchprobe::due_resends(state, with, now, most)) {
        EXPECT_EQ(reply.from, ServerSocket::main);
        EXPECT_TRUE(reply.proven);
        std::ostringstream text;
        text << reply.destination << " " << reply.bytes;
        sent.push_back(text.str());
    }
    return sent;
}

TEST(DatagramHandler, RepeatsAProvenSessionsLastReplyUntilItsNextRequestComes)
{
    HandlerState state = make_state();
    const udp::endpoint primary = at("203.0.113.5", 40000);
    const std::int32_t id = open_proven(state, primary);
    const std::string id_text = std::to_string(id);
    const std::string init2_reply =
        "203.0.113.5:40001 {\"command\":\"INIT2\",\"public_port_alt\":40001,\"session_id\":" + id_text + "}\n";
    const std::string start_reply =
        "203.0.113.5:40001 {\"command\":\"START\",\"extra_port\":30001,\"session_id\":" + id_text + "}\n";
    using Sent = std::vector<std::string>;

    // The START is missing: the INIT2 reply goes again a second after the
    // INIT2 and a second after each re-send, three times, then never.
    EXPECT_EQ(resent_at(state, t0 + 999ms), Sent{});
    EXPECT_EQ(resent_at(state, t0 + 1s), Sent{init2_reply});
    EXPECT_EQ(resent_at(state, t0 + 1500ms), Sent{});
    EXPECT_EQ(resent_at(state, t0 + 2s), Sent{init2_reply});
    EXPECT_EQ(resent_at(state, t0 + 3s), Sent{init2_reply});
    EXPECT_EQ(resent_at(state, t0 + 9s), Sent{}) << "three re-sends at most";

    // The START comes at last: now its reply waits for the PING, with a
    // fresh count, and goes to the START's source.
    const udp::endpoint start_source = at("203.0.113.5", 40001);
    ASSERT_TRUE(handle_datagram(datagram(start(id), start_source, ServerSocket::main, t0 + 9s), state, settings).reply);
    EXPECT_EQ(resent_at(state, t0 + 10s), Sent{start_reply});
    EXPECT_EQ(resent_at(state, t0 + 11s), Sent{start_reply});

    // The PING ends the waiting; a late START is answered but not repeated.
    ASSERT_TRUE(
        handle_datagram(datagram(ping(id), primary, ServerSocket::extra, t0 + 11500ms), state, settings).ping_train);
    EXPECT_EQ(resent_at(state, t0 + 20s), Sent{});
    ASSERT_TRUE(handle_datagram(datagram(start(id), start_source, ServerSocket::main, t0 + 20s), state, settings).reply);
    EXPECT_EQ(resent_at(state, t0 + 30s), Sent{});
    // So is an INIT2 for the finished session whose id no longer proves a
    // new one.
    ASSERT_TRUE(
        handle_datagram(datagram(init2(id), at("203.0.113.5", 40002), ServerSocket::main, t0 + 40s), state, settings)
            .reply);
    EXPECT_EQ(resent_at(state, t0 + 50s), Sent{});
    EXPECT_EQ(state.sessions.scheduled_resends(), 0u);
}

TEST(DatagramHandler, ResendsStopWithTheSessionAndObeyTheirSettings)
{
    // Never with --resends 0.
    HandlerSettings never = settings;
    never.resends = 0;
    HandlerState quiet_state = make_state();
    open_proven(quiet_state, at("192.0.2.1", 5000), t0, never);
    EXPECT_EQ(quiet_state.sessions.scheduled_resends(), 0u);
    EXPECT_EQ(resent_at(quiet_state, t0 + 60s, never), std::vector<std::string>{});

    // Sessions that expire or are pushed out take their re-sends with them.
    HandlerState state = make_state(2, RateLimit{}, 10s);
    open_proven(state, at("192.0.2.1", 5000));
    open_proven(state, at("192.0.2.2", 5000), t0 + 9s);
    open_proven(state, at("192.0.2.3", 5000), t0 + 9s);  // evicts the first
    EXPECT_EQ(state.sessions.scheduled_resends(), 2u);
    EXPECT_EQ(resent_at(state, t0 + 9500ms, settings, 1), std::vector<std::string>{});
    state.sessions.expire(t0 + 19s);
    EXPECT_EQ(state.sessions.scheduled_resends(), 0u);
    EXPECT_EQ(resent_at(state, t0 + 19s), std::vector<std::string>{});

    // A crowd due at once goes in batches, the soonest first, none lost.
    HandlerState crowd = make_state(100, RateLimit{});
    for (unsigned n = 0; n < 10; ++n)
        open_proven(crowd, udp::endpoint(boost::asio::ip::address_v4(0xC0000200u + n), 5000), t0 + n * 1ms);
    const std::vector<std::string> first = resent_at(crowd, t0 + 2s, settings, 4);
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0].rfind("192.0.2.0:5001 ", 0), 0u) << first[0];
    EXPECT_EQ(first[3].rfind("192.0.2.3:5001 ", 0), 0u) << first[3];
    EXPECT_EQ(resent_at(crowd, t0 + 2s, settings, 100).size(), 6u);
}

TEST(DatagramHandler, OnlyAnInit2FromTheInitsAddressProvesASession)
{
    HandlerState state = make_state();
    const udp::endpoint primary = at("198.51.100.9", 61000);
    const std::int32_t id = cookie_for(primary);
    ASSERT_TRUE(handle_datagram(datagram(init, primary), state, settings).reply);

    // Before the proof nothing but the INIT is answered, and no train starts.
    EXPECT_EQ(handle_datagram(datagram(start(id), primary), state, settings).drop, DropReason::unknown_session);
    EXPECT_EQ(handle_datagram(datagram(ping(id), primary, ServerSocket::extra), state, settings).drop,
              DropReason::unknown_session);
    EXPECT_EQ(handle_datagram(datagram(init2(id), at("198.51.100.10", 61001)), state, settings).drop,
              DropReason::unknown_session)
        << "the same id from another address proves nothing";
    EXPECT_EQ(handle_datagram(datagram(init2(id), at("198.51.100.9", 61001), ServerSocket::main, t0 + 20s), state,
                              settings)
                  .drop,
              DropReason::unknown_session)
        << "an id whose time is up";
    EXPECT_EQ(state.sessions.size(), 0u);

    // A guessed id for one of our own sockets must not aim a train at it.
    const std::int32_t own = cookie_for(at("127.0.0.1", 30000));
    EXPECT_EQ(handle_datagram(datagram(init2(own), at("127.0.0.1", 40001)), state, settings).drop,
              DropReason::own_socket);

    const Decision proof = handle_datagram(datagram(init2(id), at("198.51.100.9", 7777)), state, settings);
    EXPECT_TRUE(proof.session_created);
    // Once proven, the id still means nothing from another address.
    EXPECT_EQ(handle_datagram(datagram(start(id), at("198.51.100.10", 61001)), state, settings).drop,
              DropReason::unknown_session);
    EXPECT_EQ(handle_datagram(datagram(init2(id), at("198.51.100.10", 61001)), state, settings).drop,
              DropReason::unknown_session);
    EXPECT_TRUE(handle_datagram(datagram(ping(id), primary, ServerSocket::extra), state, settings).ping_train);
}

TEST(DatagramHandler, ProofsCostTokensAndClientsWithTheSameIdStayApart)
{
    // Guessing: an address that keeps failing its proof is soon refused
    // without a look, even when it finally has the right id.
    HandlerState state = make_state();
    const udp::endpoint guesser = at("198.51.100.20", 40000);
    const std::int32_t right = cookie_for(guesser);
    for (int guess = 1; guess <= 20; ++guess)
        ASSERT_EQ(handle_datagram(datagram(init2(right ^ guess), guesser), state, settings).drop,
                  DropReason::unknown_session);
    EXPECT_EQ(handle_datagram(datagram(init2(right), guesser), state, settings).drop, DropReason::rate_limited);
    EXPECT_TRUE(handle_datagram(datagram(init2(right), guesser, ServerSocket::main, t0 + 100ms), state, settings)
                    .session_created);

    // Restarting a finished session is a proof too: INIT2 and PING over and
    // over order only as many trains as the address has tokens.
    int trains = 1;
    EXPECT_TRUE(handle_datagram(datagram(ping(right), guesser, ServerSocket::extra, t0 + 100ms), state, settings)
                    .ping_train);
    for (int round = 0; round < 100; ++round) {
        handle_datagram(datagram(init2(right), guesser, ServerSocket::main, t0 + 100ms), state, settings);
        trains += handle_datagram(datagram(ping(right), guesser, ServerSocket::extra, t0 + 100ms), state, settings)
                      .ping_train.has_value();
    }
    EXPECT_EQ(trains, 1) << "the bucket was already empty";

    // Two clients on one public port whose ids happen to be equal: each
    // address has its own session.
    const SessionCookies cookies(test_key);
    std::optional<udp::endpoint> twin;
    const udp::endpoint first = at("203.0.113.1", 50000);
    for (std::uint32_t host = 2; host < 200000 && !twin; ++host) {
        const udp::endpoint candidate(boost::asio::ip::address_v4(0x0A000000u + host), 50000);
        if (cookies.issue(candidate, t0) == cookies.issue(first, t0)) twin = candidate;
    }
    ASSERT_TRUE(twin) << "no two addresses share an id";
    HandlerState shared = make_state();
    const std::int32_t id = open_proven(shared, first);
    EXPECT_EQ(open_proven(shared, *twin), id);
    EXPECT_EQ(shared.sessions.size(), 2u);
    for (const udp::endpoint& client : {first, *twin}) {
        const Decision d = handle_datagram(datagram(ping(id), client, ServerSocket::extra), shared, settings);
        ASSERT_TRUE(d.ping_train);
        EXPECT_EQ(d.ping_train->destination, client);
    }
}

TEST(DatagramHandler, RefusesSourcesThatCannotBeAClient)
{
    HandlerSettings wildcard = settings_for("0.0.0.0");
    wildcard.local_addresses = {make_address_v4("192.0.2.10")};
    const HandlerSettings bound = settings_for("192.0.2.10");
    const struct {
        const char* name;
        udp::endpoint source;
        const HandlerSettings& settings;
        std::optional<DropReason> reason;
    } cases[] = {
        {"port 0", at("192.0.2.20", 0), wildcard, DropReason::bad_source},
        {"echo", at("192.0.2.20", 7), wildcard, DropReason::bad_source},
        {"dns", at("192.0.2.20", 53), wildcard, DropReason::bad_source},
        {"ntp", at("192.0.2.20", 123), wildcard, DropReason::bad_source},
        {"1023", at("192.0.2.20", 1023), wildcard, DropReason::bad_source},
        {"1024", at("192.0.2.20", 1024), wildcard, std::nullopt},
        {"this network", at("0.0.0.0", 40000), wildcard, DropReason::bad_source},
        {"multicast", at("224.0.0.1", 40000), wildcard, DropReason::bad_source},
        {"broadcast", at("255.255.255.255", 40000), wildcard, DropReason::bad_source},
        {"reserved", at("240.0.0.1", 40000), wildcard, DropReason::bad_source},
        {"own main, loopback", at("127.0.0.1", 30000), wildcard, DropReason::own_socket},
        {"own extra, any loopback", at("127.9.9.9", 30001), wildcard, DropReason::own_socket},
        {"own main, local address", at("192.0.2.10", 30000), wildcard, DropReason::own_socket},
        {"main port elsewhere", at("192.0.2.11", 30000), wildcard, std::nullopt},
        {"bound: own extra", at("192.0.2.10", 30001), bound, DropReason::own_socket},
        {"bound: loopback is not us", at("127.0.0.1", 30000), bound, std::nullopt},
        {"other port of ours", at("192.0.2.10", 30002), wildcard, std::nullopt},
    };
    for (const auto& c : cases) {
        HandlerState state = make_state();
        const Decision d = handle_datagram(datagram(init, c.source), state, c.settings);
        EXPECT_EQ(d.drop, c.reason) << c.name;
        EXPECT_EQ(d.reply.has_value(), !c.reason) << c.name;
    }
}

TEST(DatagramHandler, TakesOnlyRequestsInTheClientsExactShape)
{
    const udp::endpoint client = at("203.0.113.5", 40000);
    const std::string tail = ",\"protocol\":\"Punchprobe\"}";
    const struct {
        const char* name;
        std::string bytes;
        ServerSocket socket;
        std::optional<DropReason> reason;
    } cases[] = {
        {"client INIT", init, ServerSocket::main, std::nullopt},
        {"INIT, smallest port", init_request(1024), ServerSocket::main, std::nullopt},
        {"INIT, port 1023", init_request(1023), ServerSocket::main, DropReason::not_request},
        {"INIT, port 65536", "{\"command\":\"INIT\",\"local_port\":65536" + tail, ServerSocket::main,
         DropReason::not_request},
        {"INIT, port as text", "{\"command\":\"INIT\",\"local_port\":\"40000\"" + tail, ServerSocket::main,
         DropReason::not_request},
        {"INIT, port as real", "{\"command\":\"INIT\",\"local_port\":40000.0" + tail, ServerSocket::main,
         DropReason::not_request},
        {"INIT, no port", "{\"command\":\"INIT\"" + tail, ServerSocket::main, DropReason::not_request},
        {"INIT, no protocol", "{\"command\":\"INIT\",\"local_port\":40000}", ServerSocket::main,
         DropReason::not_request},
        {"INIT, other protocol", "{\"command\":\"INIT\",\"local_port\":40000,\"protocol\":\"punchprobe\"}",
         ServerSocket::main, DropReason::not_request},
        {"INIT with a session_id", "{\"command\":\"INIT\",\"local_port\":40000,\"session_id\":1" + tail,
         ServerSocket::main, DropReason::not_request},
        {"INIT with public_ip", "{\"command\":\"INIT\",\"local_port\":40000,\"public_ip\":\"1.2.3.4\"" + tail,
         ServerSocket::main, DropReason::not_request},
        {"INIT with a stray member", "{\"command\":\"INIT\",\"local_port\":40000,\"x\":1" + tail,
         ServerSocket::main, DropReason::not_request},
        {"INIT reply", "{\"command\":\"INIT\",\"public_ip\":\"203.0.113.5\",\"public_port\":40000,\"session_id\":7}\n",
         ServerSocket::main, DropReason::not_request},
        {"old-style INIT reply",
         "{\"command\":\"INIT\",\"protocol\":\"Punchprobe\",\"public_ip\":\"203.0.113.5\",\"public_port\":40000,"
         "\"session_id\":7}\n",
         ServerSocket::main, DropReason::not_request},
        {"INIT2 reply", "{\"command\":\"INIT2\",\"public_port_alt\":40001,\"session_id\":7}\n", ServerSocket::main,
         DropReason::not_request},
        {"INIT2, alternate port 65537", init2(7, 65537), ServerSocket::main, DropReason::not_request},
        {"INIT2, alternate port 1024", init2(7, 1024), ServerSocket::main, DropReason::not_request},
        {"INIT2, id as text", "{\"command\":\"INIT2\",\"local_port_alt\":40001,\"session_id\":\"7\"" + tail,
         ServerSocket::main, DropReason::not_request},
        {"START reply", "{\"command\":\"START\",\"extra_port\":30001,\"session_id\":7}\n", ServerSocket::main,
         DropReason::not_request},
        {"START, id too big", "{\"command\":\"START\",\"session_id\":4294967397" + tail, ServerSocket::main,
         DropReason::not_request},
        {"START with extra_port", "{\"command\":\"START\",\"extra_port\":1,\"session_id\":7" + tail,
         ServerSocket::main, DropReason::not_request},
        {"server PING", "{\"command\":\"PING\",\"ping_number\":1,\"session_id\":7}\n", ServerSocket::extra,
         DropReason::not_request},
        {"PING with ping_number", "{\"command\":\"PING\",\"ping_number\":1,\"session_id\":7" + tail,
         ServerSocket::extra, DropReason::not_request},
        {"PING, no id", "{\"command\":\"PING\"" + tail, ServerSocket::extra, DropReason::not_request},
        {"broken off", "{\"command\":\"INIT\"", ServerSocket::main, DropReason::malformed},
        {"trailing bytes", init + "x", ServerSocket::main, DropReason::malformed},
        {"comment", "{\"command\":\"INIT\",\"local_port\":40000/*x*/" + tail, ServerSocket::main,
         DropReason::malformed},
        {"no command", "{}", ServerSocket::main, DropReason::unknown_command},
        {"lower case", "{\"command\":\"init\"}", ServerSocket::main, DropReason::unknown_command},
        {"numeric command", "{\"command\":5}", ServerSocket::main, DropReason::unknown_command},
        {"INIT on extra", init, ServerSocket::extra, DropReason::wrong_socket},
        {"PING on main", ping(7), ServerSocket::main, DropReason::wrong_socket},
    };
    for (const auto& c : cases) {
        HandlerState state = make_state();
        const Decision d = handle_datagram(datagram(c.bytes, client, c.socket), state, settings);
        EXPECT_EQ(d.drop, c.reason) << c.name;
        EXPECT_EQ(d.reply.has_value(), !c.reason) << c.name;
    }
}

TEST(DatagramHandler, ItsOwnDatagramsFedBackGetNothing)
{
    // Everything the server sends in a whole exchange, sent back to it from
    // the address it went to, on either socket.
    HandlerState state = make_state();
    const udp::endpoint primary = at("203.0.113.5", 40000);
    const udp::endpoint alternate = at("203.0.113.5", 40001);
    const std::int32_t id = cookie_for(primary);
    std::vector<std::string> sent = {
        handle_datagram(datagram(init, primary), state, settings).reply->bytes,
        handle_datagram(datagram(init2(id), alternate), state, settings).reply->bytes,
        handle_datagram(datagram(start(id), alternate), state, settings).reply->bytes,
        punchprobe::make_server_ping(id, 1),
    };
    for (const std::string& bytes : sent) {
        for (const ServerSocket socket : {ServerSocket::main, ServerSocket::extra}) {
            const Decision d = handle_datagram(datagram(bytes, primary, socket), state, settings);
            EXPECT_TRUE(d.drop) << bytes;
            EXPECT_FALSE(d.reply || d.ping_train) << bytes;
        }
    }
    EXPECT_EQ(punchprobe::make_server_ping(101, 2), "{\"command\":\"PING\",\"ping_number\":2,\"session_id\":101}\n");
}

TEST(DatagramHandler, InitRepliesAreRateLimitedPerAddressProvenTrafficIsNot)
{
    HandlerState state = make_state();
    const udp::endpoint flooder = at("198.51.100.7", 40000);
    int answered = 0;
    int limited = 0;
    for (int i = 0; i < 100; ++i) {
        const Decision d = handle_datagram(datagram(init, flooder), state, settings);
        answered += d.reply.has_value();
        limited += d.drop == DropReason::rate_limited;
    }
    EXPECT_EQ(answered, 20);
    EXPECT_EQ(limited, 80);
    EXPECT_TRUE(handle_datagram(datagram(init, at("198.51.100.8", 40000)), state, settings).reply)
        << "others are served as before";

    // The flooder's address has no INIT replies left, but a session proven
    // earlier from it (a carrier-grade NAT's other user) is served in full.
    const std::int32_t id = cookie_for(flooder);
    for (int round = 0; round < 50; ++round) {
        const Decision d = handle_datagram(datagram(init2(id), at("198.51.100.7", 40001)), state, settings);
        ASSERT_TRUE(d.reply) << round;
        ASSERT_TRUE(handle_datagram(datagram(start(id), at("198.51.100.7", 40001)), state, settings).reply);
    }
    EXPECT_TRUE(handle_datagram(datagram(ping(id), flooder, ServerSocket::extra), state, settings).ping_train);
    EXPECT_FALSE(handle_datagram(datagram(init, flooder, ServerSocket::main, t0 + 50ms), state, settings).reply);
    EXPECT_TRUE(handle_datagram(datagram(init, flooder, ServerSocket::main, t0 + 100ms), state, settings).reply);
}

TEST(DatagramHandler, UnprovenRepliesStayWithinTheAmplificationLimit)
{
    // The widest INIT reply (largest unicast address, port, id) against the
    // smallest INIT the shape allows.
    HandlerState state = make_state();
    const std::string smallest = "{\"command\":\"INIT\",\"local_port\":1024,\"protocol\":\"Punchprobe\"}";
    ASSERT_EQ(smallest.size(), 60u);
    const Decision widest = handle_datagram(datagram(smallest, at("223.255.255.255", 65535)), state, settings);
    ASSERT_TRUE(widest.reply);
    EXPECT_LE(widest.reply->bytes.size(), 96u);
    EXPECT_GE(widest.reply->bytes.size(), 90u);

    // The limit is enforced, not just met: a stricter factor refuses it.
    HandlerSettings strict = settings;
    strict.max_amplification = 1.0;
    const Decision refused = handle_datagram(datagram(smallest, at("203.0.113.5", 40000)), state, strict);
    EXPECT_EQ(refused.drop, DropReason::amplification);
    EXPECT_FALSE(refused.reply);
}

TEST(DatagramHandler, InitFloodsNeverEvictProvenSessions)
{
    HandlerState state = make_state(2, RateLimit{});
    const std::int32_t first = open_proven(state, at("192.0.2.1", 5000));
    const std::int32_t second = open_proven(state, at("192.0.2.2", 5000));
    for (unsigned n = 0; n < 5000; ++n) {
        const udp::endpoint forged(boost::asio::ip::address_v4(0xCB007100u + n % 250), 2000 + n);
        ASSERT_TRUE(handle_datagram(datagram(init, forged), state, settings).reply);
    }
    EXPECT_EQ(state.sessions.size(), 2u);
    EXPECT_TRUE(handle_datagram(datagram(start(first), at("192.0.2.1", 5001)), state, settings).reply);
    EXPECT_TRUE(handle_datagram(datagram(start(second), at("192.0.2.2", 5001)), state, settings).reply);

    // Only another proven session takes a place, the oldest one's.
    const std::int32_t third = open_proven(state, at("192.0.2.3", 5000));
    EXPECT_EQ(state.sessions.find(first, make_address_v4("192.0.2.1")), nullptr);
    EXPECT_NE(state.sessions.find(third, make_address_v4("192.0.2.3")), nullptr);
}

TEST(DatagramHandler, ExpiredSessionIsUnknownAndReportedByTheNextDatagram)
{
    HandlerState state = make_state(10, RateLimit{10, 20}, 10s);
    const udp::endpoint client = at("192.0.2.44", 5000);
    const std::int32_t id = open_proven(state, client);

    const Decision late = handle_datagram(datagram(start(id), client, ServerSocket::main, t0 + 10s), state, settings);
    EXPECT_EQ(late.drop, DropReason::unknown_session);
    ASSERT_EQ(late.ended.size(), 1u);
    EXPECT_EQ(punchprobe::session_line(late.ended[0]),
              "session id=" + std::to_string(id) +
                  " public=192.0.2.44:5000 alt_port=5001 alt_is_main_plus_1=yes "
                  "mapping=unknown ping_source=none pings_sent=0");
    EXPECT_EQ(late.ended[0].end, SessionEnd::expired);
}

TEST(DatagramHandler, MutatedMessagesNeverBreakItsRules)
{
    // A fixed seed keeps failures reproducible; a crash or a throw here ends
    // the test program (the handler is noexcept).
    std::mt19937 random(20240607);
    HandlerState state = make_state(8, RateLimit{}, 5s);
    const udp::endpoint client = at("192.0.2.1", 4000);
    const std::string json_bytes = "{}[]\":,0123456789e\\ -.";
    int replies = 0;
    int trains = 0;
    for (int round = 0; round < 20000; ++round) {
        const auto now = t0 + std::chrono::milliseconds(round);
        const std::int32_t id = cookie_for(client, now);
        const std::vector<std::string> seeds = {init,     init2(id),
                                                start(id), ping(id),
                                                "{\"command\":\"PING\",\"session_id\":[1]}",
                                                "{\"command\":\"START\",\"session_id\":1e999}"};
        std::string bytes = seeds[random() % seeds.size()];
        const int edits = static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const std::size_t where = random() % bytes.size();
            switch (random() % 3) {
            case 0: bytes[where] = static_cast<char>(random()); break;
            case 1: bytes.erase(where, 1); break;
            case 2: bytes.insert(where, 1, json_bytes[random() % json_bytes.size()]); break;
            }
        }
        const auto socket = random() % 2 ? ServerSocket::main : ServerSocket::extra;
        const udp::endpoint source(client.address(), static_cast<unsigned short>(4000 + random() % 3));
        const Decision d = handle_datagram(datagram(bytes, source, socket, now), state, settings);
        ASSERT_TRUE(d.drop.has_value() != (d.reply.has_value() || d.ping_train.has_value())) << bytes;
        if (d.reply) {
            ASSERT_EQ(d.reply->destination, source);
            ASSERT_LE(static_cast<double>(d.reply->bytes.size()), d.reply->proven ? 1024.0 : 1.6 * bytes.size());
            ++replies;
        }
        if (d.ping_train) ++trains;
        ASSERT_LE(state.sessions.size(), 8u);
    }
    // The mutations must leave enough valid messages to reach every branch.
    EXPECT_GT(replies, 1000);
    EXPECT_GT(trains, 10);
}

// ---------------------------------------------------------------- lines

TEST(SessionLine, SaysWhetherTheAlternatePortIsTheNextOne)
{
    punchprobe::SessionReport report;
    report.id = 5;
    report.public_endpoint = at("198.51.100.1", 65535);
    report.alt_port = 0;  // 65535 + 1 wraps to 0 in 16 bits: still "no INIT2".
    EXPECT_EQ(punchprobe::session_line(report),
              "session id=5 public=198.51.100.1:65535 alt_port=0 alt_is_main_plus_1=no mapping=unknown "
              "ping_source=none pings_sent=0");
    report.public_endpoint = at("198.51.100.1", 2000);
    report.alt_port = 2007;
    report.mapping = Mapping::endpoint_independent;
    report.ping_source = at("198.51.100.1", 2000);
    report.pings_sent = 3;
    EXPECT_EQ(punchprobe::session_line(report),
              "session id=5 public=198.51.100.1:2000 alt_port=2007 alt_is_main_plus_1=no "
              "mapping=endpoint-independent ping_source=198.51.100.1:2000 pings_sent=3");
}

TEST(CountersLine, CountsEachReasonAndEachEndInItsOwnKeyInAFixedOrder)
{
    punchprobe::ServerCounters counters;
    counters.sessions = 9;
    counters.inits_answered = 33;
    counters.trains_delayed = 44;
    counters.log_lines_dropped = 55;
    counters.error_lines_suppressed = 66;
    counters.replies_resent = 77;
    counters.metrics_refused = 88;
    counters.metrics_timeouts = 99;
    counters.metrics_bad_requests = 111;
    // The order of the counters line: reason i is counted i + 1 times.
    const DropReason reasons[] = {
        DropReason::malformed,   DropReason::unknown_command, DropReason::unknown_session, DropReason::wrong_address,
        DropReason::wrong_socket, DropReason::oversized,      DropReason::duplicate_ping,  DropReason::bad_source,
        DropReason::own_socket,  DropReason::not_request,     DropReason::not_object,      DropReason::too_deep,
        DropReason::nul_byte,    DropReason::rate_limited,    DropReason::amplification,   DropReason::send_queue,
        DropReason::train_cap};
    for (int i = 0; i < 17; ++i)
        for (int n = 0; n <= i; ++n) counters.count_drop(reasons[i]);
    punchprobe::SessionReport report;
    report.end = SessionEnd::completed;
    report.mapping = Mapping::endpoint_dependent;
    counters.count_end(report);
    report.mapping = Mapping::endpoint_independent;
    counters.count_end(report);
    counters.count_end(report);
    report.end = SessionEnd::expired;
    counters.count_end(report);
    report.end = SessionEnd::evicted;
    counters.count_end(report);
    counters.count_end(report);
    EXPECT_EQ(punchprobe::counters_line(counters),
              "counters sessions=9 completed=3 endpoint_independent=2 endpoint_dependent=1 expired=1 "
              "evicted=2 dropped_malformed=1 dropped_unknown_command=2 dropped_unknown_session=3 "
              "dropped_wrong_address=4 dropped_wrong_socket=5 dropped_oversized=6 dropped_duplicate_ping=7 "
              "inits_answered=33 dropped_bad_source=8 dropped_own_socket=9 dropped_not_request=10 "
              "dropped_not_object=11 dropped_too_deep=12 dropped_nul_byte=13 dropped_rate_limited=14 "
              "dropped_amplification=15 dropped_send_queue=16 dropped_train_cap=17 trains_delayed=44 "
              "log_lines_dropped=55 error_lines_suppressed=66 replies_resent=77 metrics_refused=88 "
              "metrics_timeouts=99 metrics_bad_requests=111");
}

}  // namespace
