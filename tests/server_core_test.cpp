// The socket-free core of the server: session table, datagram decisions, and
// the fixed texts of the session and counters lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "server/datagram_handler.hpp"
#include "server/server_counters.hpp"
#include "server/session_log.hpp"
#include "server/session_table.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::Decision;
using punchprobe::DropReason;
using punchprobe::InboundDatagram;
using punchprobe::Mapping;
using punchprobe::ServerClock;
using punchprobe::ServerSocket;
using punchprobe::SessionEnd;
using punchprobe::SessionTable;

const ServerClock::time_point t0 = ServerClock::time_point() + 1h;

udp::endpoint at(const char* address, unsigned short port)
{
    return udp::endpoint(make_address_v4(address), port);
}

// Ids 101, 102, ... so that replies can be compared byte for byte.
SessionTable::IdSource counting_ids(std::int32_t first = 101)
{
    return [next = first]() mutable { return next++; };
}

InboundDatagram datagram(const std::string& bytes, const udp::endpoint& source,
                         ServerSocket socket = ServerSocket::main, ServerClock::time_point now = t0)
{
    return InboundDatagram{bytes, source, socket, now};
}

std::string init2(std::int32_t id)
{
    return R"({"command":"INIT2","local_port_alt":40001,"protocol":"Punchprobe","session_id":)" +
           std::to_string(id) + "}\n";
}
std::string start(std::int32_t id)
{
    return R"({"command":"START","protocol":"Punchprobe","session_id":)" + std::to_string(id) + "}\n";
}
std::string ping(std::int32_t id)
{
    return R"({"command":"PING","protocol":"Punchprobe","session_id":)" + std::to_string(id) + "}\n";
}
const std::string init = "{\"command\":\"INIT\",\"local_port\":40000,\"protocol\":\"Punchprobe\"}\n";

const punchprobe::HandlerSettings settings{30001};

// ---------------------------------------------------------------- table

TEST(SessionTable, RandomIdsArePositiveAndDistinct)
{
    SessionTable table(60s, 1000);
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 1000; ++i) ids.push_back(table.create(at("192.0.2.1", 1000), t0).id);
    for (std::int32_t id : ids) ASSERT_GT(id, 0);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    // A counter would give consecutive ids; random ones almost never do.
    int consecutive = 0;
    for (std::size_t i = 1; i < ids.size(); ++i) consecutive += ids[i] == ids[i - 1] + 1;
    EXPECT_LT(consecutive, 5);
}

TEST(SessionTable, SkipsIdsInUseAndNonPositiveOnes)
{
    std::vector<std::int32_t> candidates{7, 7, 0, -3, 7, 8};
    std::size_t next = 0;
    SessionTable table(60s, 10, [&]() { return candidates.at(next++); });
    EXPECT_EQ(table.create(at("192.0.2.1", 1), t0).id, 7);
    EXPECT_EQ(table.create(at("192.0.2.1", 2), t0).id, 8);
    EXPECT_EQ(next, candidates.size());
}

TEST(SessionTable, ExpiresAtItsTtlOldestFirstAndReportsOnlyUnpinged)
{
    SessionTable table(10s, 10, counting_ids());
    table.create(at("192.0.2.1", 1111), t0);              // 101
    table.create(at("192.0.2.2", 2222), t0 + 1s);         // 102, pinged below
    table.create(at("192.0.2.3", 3333), t0 + 2s);         // 103
    table.find(101)->alt_port = 1112;
    table.find(102)->pinged = true;

    EXPECT_TRUE(table.expire(t0 + 10s - 1us).empty());
    EXPECT_EQ(table.size(), 3u);

    const auto first = table.expire(t0 + 10s);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].id, 101);
    EXPECT_EQ(first[0].end, SessionEnd::expired);
    EXPECT_EQ(first[0].alt_port, 1112);
    EXPECT_EQ(first[0].public_endpoint, at("192.0.2.1", 1111));
    EXPECT_EQ(table.find(101), nullptr);

    // The pinged one goes silently: its ping train reports it.
    const auto rest = table.expire(t0 + 12s);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].id, 103);
    EXPECT_EQ(table.size(), 0u);
}

TEST(SessionTable, CapEvictsOldestFirst)
{
    SessionTable table(60s, 2, counting_ids());
    EXPECT_FALSE(table.create(at("192.0.2.1", 1), t0).evicted);
    EXPECT_FALSE(table.create(at("192.0.2.1", 2), t0).evicted);
    const auto third = table.create(at("192.0.2.1", 3), t0);
    ASSERT_TRUE(third.evicted);
    EXPECT_EQ(third.evicted->id, 101);
    EXPECT_EQ(third.evicted->end, SessionEnd::evicted);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.find(101), nullptr);
    ASSERT_NE(table.find(102), nullptr);

    table.find(102)->pinged = true;
    const auto fourth = table.create(at("192.0.2.1", 4), t0);
    EXPECT_FALSE(fourth.evicted);
    EXPECT_EQ(table.find(102), nullptr);
    EXPECT_EQ(table.size(), 2u);
}

// ---------------------------------------------------------------- handler

TEST(DatagramHandler, WholeExchangeGivesExactRepliesAndATrainToTheInitSource)
{
    SessionTable table(60s, 10, counting_ids());
    const udp::endpoint primary = at("203.0.113.5", 40000);
    const udp::endpoint alternate = at("203.0.113.5", 40001);

    Decision d = handle_datagram(datagram(init, primary), table, settings);
    EXPECT_TRUE(d.session_created);
    ASSERT_TRUE(d.reply);
    EXPECT_FALSE(d.drop);
    EXPECT_EQ(d.reply->bytes, "{\"command\":\"INIT\",\"protocol\":\"Punchprobe\",\"public_ip\":\"203.0.113.5\","
                              "\"public_port\":40000,\"session_id\":101}\n");
    EXPECT_EQ(d.reply->destination, primary);
    EXPECT_EQ(d.reply->from, ServerSocket::main);

    d = handle_datagram(datagram(init2(101), alternate), table, settings);
    ASSERT_TRUE(d.reply);
    EXPECT_FALSE(d.session_created);
    EXPECT_EQ(d.reply->bytes,
              "{\"command\":\"INIT2\",\"protocol\":\"Punchprobe\",\"public_port_alt\":40001,\"session_id\":101}\n");
    EXPECT_EQ(d.reply->destination, alternate);

    d = handle_datagram(datagram(start(101), alternate), table, settings);
    ASSERT_TRUE(d.reply);
    EXPECT_EQ(d.reply->bytes,
              "{\"command\":\"START\",\"extra_port\":30001,\"protocol\":\"Punchprobe\",\"session_id\":101}\n");
    EXPECT_EQ(d.reply->destination, alternate);

    // The PING comes from yet another port, as behind a router whose mapping
    // depends on the destination: the train still goes to the INIT's source.
    const udp::endpoint remapped = at("203.0.113.5", 50123);
    d = handle_datagram(datagram(ping(101), remapped, ServerSocket::extra), table, settings);
    EXPECT_FALSE(d.reply);
    EXPECT_FALSE(d.drop);
    ASSERT_TRUE(d.ping_train);
    EXPECT_EQ(d.ping_train->session_id, 101);
    EXPECT_EQ(d.ping_train->destination, primary);
    EXPECT_EQ(punchprobe::session_line(d.ping_train->report),
              "session id=101 public=203.0.113.5:40000 alt_port=40001 alt_is_main_plus_1=yes "
              "mapping=endpoint-dependent ping_source=203.0.113.5:50123 pings_sent=0");

    // One train per session.
    d = handle_datagram(datagram(ping(101), primary, ServerSocket::extra), table, settings);
    EXPECT_FALSE(d.ping_train);
    EXPECT_EQ(d.drop, DropReason::duplicate_ping);
}

TEST(DatagramHandler, PingFromTheInitPortMeansEndpointIndependent)
{
    SessionTable table(60s, 10, counting_ids());
    const udp::endpoint primary = at("198.51.100.9", 61000);
    handle_datagram(datagram(init, primary), table, settings);
    const Decision d = handle_datagram(datagram(ping(101), primary, ServerSocket::extra), table, settings);
    ASSERT_TRUE(d.ping_train);
    EXPECT_EQ(d.ping_train->report.mapping, Mapping::endpoint_independent);
    EXPECT_EQ(d.ping_train->destination, primary);
    EXPECT_EQ(d.ping_train->report.alt_port, 0);
}

TEST(DatagramHandler, DropsWhatTheNetworkGetsWrongWithoutAnswering)
{
    const udp::endpoint client = at("203.0.113.5", 40000);
    const udp::endpoint stranger = at("203.0.113.6", 40000);
    // A valid INIT padded with blanks to exactly the largest accepted size.
    const std::string padded_init = init.substr(0, init.size() - 2) + std::string(1024 - init.size(), ' ') + "}\n";
    // Inside an object, so that only JsonCpp's nesting limit (it throws)
    // can refuse it.
    std::string deep = "{\"command\":\"INIT\",\"x\":";
    for (int i = 0; i < 500; ++i) deep += "[";

    struct Case {
        const char* name;
        std::string bytes;
        udp::endpoint source;
        ServerSocket socket;
        DropReason reason;
    };
    const std::vector<Case> cases = {
        {"oversized", padded_init + " ", client, ServerSocket::main, DropReason::oversized},
        {"far oversized", std::string(5000, '{'), client, ServerSocket::main, DropReason::oversized},
        {"empty", "", client, ServerSocket::main, DropReason::malformed},
        {"not json", "hello", client, ServerSocket::main, DropReason::malformed},
        {"array root", "[1,2]", client, ServerSocket::main, DropReason::malformed},
        {"number root", "42", client, ServerSocket::main, DropReason::malformed},
        {"string root", "\"INIT\"", client, ServerSocket::main, DropReason::malformed},
        {"broken off", "{\"command\":\"INIT\"", client, ServerSocket::main, DropReason::malformed},
        {"trailing bytes", init + "x", client, ServerSocket::main, DropReason::malformed},
        {"comment", "// hi\n" + init, client, ServerSocket::main, DropReason::malformed},
        // JsonCpp takes a NUL inside a string; no command has one.
        {"nul inside", std::string("{\"command\":\"IN\0IT\"}", 19), client, ServerSocket::main,
         DropReason::unknown_command},
        {"deep nesting", deep, client, ServerSocket::main, DropReason::malformed},
        {"no command", "{}", client, ServerSocket::main, DropReason::unknown_command},
        {"lower case", "{\"command\":\"init\"}", client, ServerSocket::main, DropReason::unknown_command},
        {"numeric command", "{\"command\":5}", client, ServerSocket::main, DropReason::unknown_command},
        {"other command", "{\"command\":\"HELLO\"}", client, ServerSocket::main, DropReason::unknown_command},
        {"init on extra", init, client, ServerSocket::extra, DropReason::wrong_socket},
        {"init2 on extra", init2(101), client, ServerSocket::extra, DropReason::wrong_socket},
        {"start on extra", start(101), client, ServerSocket::extra, DropReason::wrong_socket},
        {"ping on main", ping(101), client, ServerSocket::main, DropReason::wrong_socket},
        {"id as text", "{\"command\":\"START\",\"session_id\":\"101\"}", client, ServerSocket::main,
         DropReason::malformed},
        {"id fraction", "{\"command\":\"START\",\"session_id\":101.5}", client, ServerSocket::main,
         DropReason::malformed},
        {"id too big", "{\"command\":\"START\",\"session_id\":4294967397}", client, ServerSocket::main,
         DropReason::malformed},
        {"id missing", "{\"command\":\"PING\"}", client, ServerSocket::extra, DropReason::malformed},
        {"unknown id", start(999), client, ServerSocket::main, DropReason::unknown_session},
        {"negative id", ping(-101), client, ServerSocket::extra, DropReason::unknown_session},
        {"init2 from stranger", init2(101), stranger, ServerSocket::main, DropReason::wrong_address},
        {"start from stranger", start(101), stranger, ServerSocket::main, DropReason::wrong_address},
        {"ping from stranger", ping(101), stranger, ServerSocket::extra, DropReason::wrong_address},
    };

    SessionTable table(60s, 10, counting_ids());
    ASSERT_TRUE(handle_datagram(datagram(init, client), table, settings).reply);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Decision d = handle_datagram(datagram(c.bytes, c.source, c.socket), table, settings);
        EXPECT_EQ(d.drop, c.reason);
        EXPECT_FALSE(d.reply);
        EXPECT_FALSE(d.ping_train);
        EXPECT_FALSE(d.session_created);
        EXPECT_EQ(table.size(), 1u);
        EXPECT_FALSE(table.find(101)->pinged);
        EXPECT_EQ(table.find(101)->alt_port, 0);
    }

    // The largest accepted datagram is still served, and so is the session.
    const Decision largest = handle_datagram(datagram(padded_init, client), table, settings);
    EXPECT_FALSE(largest.drop);
    EXPECT_TRUE(largest.reply);
    EXPECT_TRUE(handle_datagram(datagram(ping(101), client, ServerSocket::extra), table, settings).ping_train);
}

TEST(DatagramHandler, ExpiredSessionIsUnknownAndReportedByTheNextDatagram)
{
    SessionTable table(10s, 10, counting_ids());
    const udp::endpoint client = at("192.0.2.44", 5000);
    handle_datagram(datagram(init, client), table, settings);

    const Decision late = handle_datagram(datagram(start(101), client, ServerSocket::main, t0 + 10s), table, settings);
    EXPECT_EQ(late.drop, DropReason::unknown_session);
    EXPECT_FALSE(late.reply);
    ASSERT_EQ(late.ended.size(), 1u);
    EXPECT_EQ(punchprobe::session_line(late.ended[0]),
              "session id=101 public=192.0.2.44:5000 alt_port=0 alt_is_main_plus_1=no "
              "mapping=unknown ping_source=none pings_sent=0");
    EXPECT_EQ(late.ended[0].end, SessionEnd::expired);
}

TEST(DatagramHandler, InitAtTheCapReportsTheEvictedSession)
{
    SessionTable table(60s, 1, counting_ids());
    handle_datagram(datagram(init, at("192.0.2.1", 1)), table, settings);
    const Decision d = handle_datagram(datagram(init, at("192.0.2.2", 2)), table, settings);
    ASSERT_TRUE(d.reply);
    ASSERT_EQ(d.ended.size(), 1u);
    EXPECT_EQ(d.ended[0].id, 101);
    EXPECT_EQ(d.ended[0].end, SessionEnd::evicted);
    EXPECT_EQ(handle_datagram(datagram(start(101), at("192.0.2.1", 1)), table, settings).drop,
              DropReason::unknown_session);
}

TEST(DatagramHandler, ServerPingIsExact)
{
    EXPECT_EQ(punchprobe::make_server_ping(101, 2),
              "{\"command\":\"PING\",\"ping_number\":2,\"protocol\":\"Punchprobe\",\"session_id\":101}\n");
}

TEST(DatagramHandler, MutatedMessagesNeverBreakItsRules)
{
    // A fixed seed keeps failures reproducible; a crash or a throw here ends
    // the test program (the handler is noexcept).
    std::mt19937 random(20240607);
    SessionTable table(5s, 8, counting_ids(1));
    const udp::endpoint client = at("192.0.2.1", 4000);
    const std::string json_bytes = "{}[]\":,0123456789e\\ -.";
    int replies = 0;
    int trains = 0;
    std::int32_t last_id = 0;  // ids count up from 1
    for (int round = 0; round < 20000; ++round) {
        const std::vector<std::string> seeds = {init, init2(last_id), start(last_id), ping(last_id),
                                                "{\"command\":\"PING\",\"session_id\":[1]}",
                                                "{\"command\":\"START\",\"session_id\":{\"a\":1e999}}"};
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
        const Decision d = handle_datagram(
            datagram(bytes, at("192.0.2.1", static_cast<unsigned short>(4000 + random() % 3)), socket,
                     t0 + std::chrono::milliseconds(round)),
            table, settings);
        ASSERT_TRUE(d.drop.has_value() != (d.reply.has_value() || d.ping_train.has_value())) << bytes;
        if (d.reply) {
            ASSERT_EQ(d.reply->destination.address(), client.address());
            ++replies;
        }
        if (d.ping_train) ++trains;
        if (d.session_created) ++last_id;
        ASSERT_LE(table.size(), 8u);
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

TEST(CountersLine, CountsEachReasonAndEachEndInItsOwnKey)
{
    punchprobe::ServerCounters counters;
    counters.sessions = 9;
    const DropReason reasons[] = {DropReason::malformed,      DropReason::unknown_command,
                                  DropReason::unknown_session, DropReason::wrong_address,
                                  DropReason::wrong_socket,    DropReason::oversized,
                                  DropReason::duplicate_ping};
    // 1 malformed, 2 unknown_command, ... 7 duplicate_ping.
    for (int i = 0; i < 7; ++i)
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
              "dropped_wrong_address=4 dropped_wrong_socket=5 dropped_oversized=6 dropped_duplicate_ping=7");
}

}  // namespace
