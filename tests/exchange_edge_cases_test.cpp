// Edge cases of the message exchange, with the client run in-process against
// scripted UDP peers on loopback. Runs that must end on a deadline get short
// injected durations; the others end on SUCCESS or on an exception, and
// their durations only bound a broken run.
#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>

#include "support/in_process_client.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

using namespace std::chrono_literals;
using namespace punchprobe_test;
using boost::posix_time::milliseconds;
using boost::posix_time::seconds;
using Clock = std::chrono::steady_clock;

namespace {

const std::string host = "127.0.0.1";
// Never reached by a correct run.
const punchprobe::StepDurations safety_net{seconds(8), seconds(8)};
constexpr auto run_limit = std::chrono::milliseconds(30s);

// Plays the extra port: takes the client's PING from its primary port and
// sends `pings` back to that port, one after another.
bool answer_ping(UdpPeer& extra, int session, unsigned short p, const std::vector<std::string>& pings)
{
    if (!expect_datagram(extra, "PING", client_ping(session), p)) return false;
    for (const auto& ping : pings) extra.send_to(ping, loopback(p));
    return true;
}

std::vector<std::string> pings_1_to_3()
{
    return {server_ping("1"), server_ping("2"), server_ping("3")};
}

// Runs INIT and INIT2 with a plain server; returns the primary port or 0.
unsigned short answer_set_up(UdpPeer& server, int session)
{
    return answer_init_and_init2(server, session, "203.0.113.9", 7000, 7001);
}

// The printed start of a run whose server answered as answer_set_up does.
Transcript& up_to_start(Transcript& transcript, int session)
{
    return transcript.set_up().sending_init().answered_until_start(session, "203.0.113.9", 7000, 7001);
}

// The printed rest of a run whose extra port sent PINGs 1 to 3.
Transcript& three_pings_to_success(Transcript& transcript, int session, int extra_port)
{
    return transcript.pinged(session, extra_port)
        .received_ping("1", session)
        .received_ping("2", session)
        .received_ping("3", session)
        .success(extra_port);
}

void expect_quiet_end(InProcessClient& client)
{
    EXPECT_EQ(client.err(), "");
    EXPECT_EQ(client.exception_text(), "");
}

TEST(ExchangeEdgeCases, RepeatedInitReplyPrintsAgainAndSendsInit2Again)
{
    UdpPeer server;
    UdpPeer extra;
    InProcessClient client(host, server.port(), safety_net);

    const auto primary = expect_client_init(server);
    ASSERT_TRUE(primary);
    const unsigned short p = *primary;
    // The second reply overwrites what the first stored.
    server.send_to(server_init(11, "203.0.113.1", 50000), loopback(p));
    server.send_to(server_init(12, "203.0.113.2", 50002), loopback(p));
    ASSERT_TRUE(expect_datagram(server, "first INIT2", client_init2(11, p + 1), p + 1));
    ASSERT_TRUE(expect_datagram(server, "second INIT2", client_init2(12, p + 1), p + 1));
    server.send_to(server_init2(50003), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(server, "START", client_start(12), p + 1));
    server.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, 12, p, pings_1_to_3()));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    expected.set_up()
        .sending_init()
        .received_init(11, "203.0.113.1", 50000)
        .sending_init2(11)
        .received_init(12, "203.0.113.2", 50002)
        .sending_init2(12)
        .received_init2(12, "203.0.113.2", 50003)
        .sending_start(12);
    three_pings_to_success(expected, 12, extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
    expect_no_datagram(extra, "extra port");
}

TEST(ExchangeEdgeCases, PingsBeforeTheStartReplyCountAndSuccessShowsPortZero)
{
    UdpPeer server;
    const int session = 5;
    InProcessClient client(host, server.port(), safety_net);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    // START is never answered. Once START is sent, two receives are pending
    // on each socket; the PINGs use both, and carry no number, so the
    // transcript does not depend on which socket is served first.
    server.send_to(server_ping(""), loopback(p));
    server.send_to(server_ping(""), loopback(p));
    server.send_to(server_ping(""), loopback(p + 1));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    up_to_start(expected, session)
        .received_ping("", session)
        .received_ping("", session)
        .received_ping("", session)
        .success(0);
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
}

TEST(ExchangeEdgeCases, ExtraPortAbove65535IsPrintedInFullButPingGoesToItsLow16Bits)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 6;
    const int extra_port = 65536 + extra.port();
    InProcessClient client(host, server.port(), safety_net);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    server.send_to(server_start(extra_port), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, session, p, pings_1_to_3()));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    three_pings_to_success(up_to_start(expected, session), session, extra_port);
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
}

TEST(ExchangeEdgeCases, EachRequestGoesToTheSenderOfThePreviousReply)
{
    // `other` and the extra port live on another loopback address, so the
    // PING shows that the extra port is joined to the address of the START
    // reply's sender, not to the resolved server.
    UdpPeer server;
    UdpPeer other(0, "127.0.0.2");
    UdpPeer extra(0, "127.0.0.2");
    const int session = 77;
    InProcessClient client(host, server.port(), safety_net);

    const auto primary = expect_client_init(server);
    ASSERT_TRUE(primary);
    const unsigned short p = *primary;
    other.send_to(server_init(session, "192.0.2.44", 1111), loopback(p));
    ASSERT_TRUE(expect_datagram(other, "INIT2", client_init2(session, p + 1), p + 1));
    server.send_to(server_init2(2222), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(server, "START", client_start(session), p + 1));
    other.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, session, p, pings_1_to_3()));
    ASSERT_TRUE(client.wait(run_limit));

    // The progress lines keep naming the server from the command line.
    Transcript expected(host, server.port(), p);
    expected.set_up()
        .sending_init()
        .answered_until_start(session, "192.0.2.44", 1111, 2222);
    three_pings_to_success(expected, session, extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
    expect_no_datagram(other, "other peer");
    expect_no_datagram(extra, "extra port");
}

TEST(ExchangeEdgeCases, PingsThatArriveTogetherKeepTheirOwnNumbers)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 8;
    InProcessClient client(host, server.port(), safety_net);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    server.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(extra, "PING", client_ping(session), p));
    // With the loop held, all three receives complete before any handler
    // runs: one receive area shared by them would show the last PING three
    // times.
    client.hold_loop();
    extra.send_to(server_ping("\"first\""), loopback(p));
    extra.send_to(server_ping("\"second\""), loopback(p));
    extra.send_to(server_ping("\"third\""), loopback(p));
    client.release_loop();
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    up_to_start(expected, session)
        .pinged(session, extra.port())
        .received_ping("first", session)
        .received_ping("second", session)
        .received_ping("third", session)
        .success(extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
}

// Server PINGs whose bytes are unusual, but which still count.
struct OddPing {
    const char* name;
    std::string datagram;
    std::string printed;  // the ping text the client shows
};

void PrintTo(const OddPing& odd, std::ostream* os)
{
    *os << odd.name;
}

std::string padded(std::string text, std::size_t size)
{
    text.resize(size, ' ');
    return text;
}

class ExchangeOddPing : public ::testing::TestWithParam<OddPing> {};

TEST_P(ExchangeOddPing, CountsAsTheThirdPing)
{
    const OddPing& odd = GetParam();
    UdpPeer server;
    UdpPeer extra;
    const int session = 12;
    InProcessClient client(host, server.port(), safety_net);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    server.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, session, p, {server_ping("1"), server_ping("2"), odd.datagram}));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    up_to_start(expected, session)
        .pinged(session, extra.port())
        .received_ping("1", session)
        .received_ping("2", session)
        .received_ping(odd.printed, session)
        .success(extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, ExchangeOddPing,
    ::testing::Values(
        // The text ends at the NUL: the string breaks off, and the member
        // that was being read stays empty. Read whole, it would show "a",
        // a NUL and "b".
        OddPing{"NulByteCutsTheText",
                std::string("{\"command\":\"PING\",\"ping_number\":\"a\0b\"}\n", 39), ""},
        // Longer than the receive buffer: the first 1024 bytes are the object
        // and blanks, and the rest is never seen.
        OddPing{"PaddedTo1500Bytes", padded("{\"command\":\"PING\",\"ping_number\":\"3\"}", 1500),
                "3"},
        // The object breaks off at byte 1024; the members read so far stay.
        // A later duplicate member, beyond the buffer, must not win.
        OddPing{"ClosingBraceBeyond1024",
                padded("{\"command\":\"PING\",\"ping_number\":\"3\",", 1024) +
                    "\"ping_number\":\"late\"}",
                "3"}),
    [](const ::testing::TestParamInfo<OddPing>& info) { return info.param.name; });

TEST(ExchangeEdgeCases, InitReplyWithoutPublicAddressPrintsEmptyAddressAndZero)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 3;
    InProcessClient client(host, server.port(), safety_net);

    const auto primary = expect_client_init(server);
    ASSERT_TRUE(primary);
    const unsigned short p = *primary;
    server.send_to("{\"command\":\"INIT\",\"session_id\":3}\n", loopback(p));
    ASSERT_TRUE(expect_datagram(server, "INIT2", client_init2(session, p + 1), p + 1));
    server.send_to(server_init2(4001), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(server, "START", client_start(session), p + 1));
    server.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, session, p, pings_1_to_3()));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    expected.set_up()
        .sending_init()
        .answered_until_start(session, "", 0, 4001);
    three_pings_to_success(expected, session, extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
}

// INIT replies that end the run with an exception out of the loop.
struct BadInitReply {
    const char* name;
    std::string datagram;
    std::string error;
};

void PrintTo(const BadInitReply& reply, std::ostream* os)
{
    *os << reply.name;
}

class ExchangeBadInitReply : public ::testing::TestWithParam<BadInitReply> {};

TEST_P(ExchangeBadInitReply, EndsTheRunBeforeAnyLineOfTheHandler)
{
    const BadInitReply& reply = GetParam();
    UdpPeer server;
    InProcessClient client(host, server.port(), safety_net);

    const auto primary = expect_client_init(server);
    ASSERT_TRUE(primary);
    server.send_to(reply.datagram, loopback(*primary));
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), *primary);
    expected.set_up().sending_init();
    EXPECT_EQ(client.out(), expected.text());
    EXPECT_EQ(client.err(), "");
    EXPECT_EQ(client.exception_text(), reply.error);
    EXPECT_LT(client.elapsed(), 5s);
    expect_no_datagram(server, "server");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeBadInitReply,
    ::testing::Values(
        BadInitReply{"EmptyDatagram", "", "Unsupported PunchprobeMessage command"},
        BadInitReply{"LowerCaseCommand", "{\"command\":\"init\",\"session_id\":1}\n",
                     "Unsupported PunchprobeMessage command"},
        BadInitReply{"NotJson", "hello server\n", "Unsupported PunchprobeMessage command"},
        BadInitReply{"BareNumber", "42\n",
                     "in Json::Value::resolveReference(key, end): requires objectValue"},
        BadInitReply{"StringSession", "{\"command\":\"INIT\",\"session_id\":\"12\"}\n",
                     "Value is not convertible to Int."}),
    [](const ::testing::TestParamInfo<BadInitReply>& info) { return info.param.name; });

// A send that fails starts no receive, so the step can only end on its
// deadline; the port 0 destination makes the system refuse the send.
TEST(ExchangeEdgeCases, FailedInitSendIsReportedAndTheStepTimesOut)
{
    const punchprobe::StepDurations durations{milliseconds(600), seconds(8)};
    InProcessClient client(host, 0, durations);
    ASSERT_TRUE(client.wait(run_limit));

    // The INIT never reaches a peer: the primary port is the printed one.
    Transcript expected(host, 0, printed_local_port(client.out()));
    expected.set_up().sending_init().timed_out();
    EXPECT_EQ(client.out(), expected.text());
    EXPECT_EQ(client.err(), "Error in data_sent: system:22 Invalid argument\n");
    EXPECT_EQ(client.exception_text(), "");
    EXPECT_GE(client.elapsed(), 600ms);
}

TEST(ExchangeEdgeCases, FailedPingSendIsReportedAndTheRunEndsInFailure)
{
    UdpPeer server;
    const int session = 21;
    const punchprobe::StepDurations durations{seconds(8), milliseconds(600)};
    InProcessClient client(host, server.port(), durations);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    // 65536 goes to port 0.
    server.send_to(server_start(65536), loopback(p + 1));
    const auto start_sent = Clock::now();
    ASSERT_TRUE(client.wait(run_limit));
    const auto after_start = Clock::now() - start_sent;

    Transcript expected(host, server.port(), p);
    up_to_start(expected, session)
        .pinged(session, 65536)
        .failure(65536);
    EXPECT_EQ(client.out(), expected.text());
    EXPECT_EQ(client.err(), "Error in data_sent: system:22 Invalid argument\n");
    EXPECT_EQ(client.exception_text(), "");
    EXPECT_GE(after_start, 600ms);
    expect_no_datagram(server, "server");
}

TEST(ExchangeEdgeCases, TwoServerPingsAreNotEnough)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 14;
    const punchprobe::StepDurations durations{seconds(8), milliseconds(1500)};
    InProcessClient client(host, server.port(), durations);

    const unsigned short p = answer_set_up(server, session);
    ASSERT_NE(p, 0);
    server.send_to(server_start(extra.port()), loopback(p + 1));
    ASSERT_TRUE(answer_ping(extra, session, p, {server_ping("1"), server_ping("2")}));
    const auto ping_seen = Clock::now();
    ASSERT_TRUE(client.wait(run_limit));
    const auto after_ping = Clock::now() - ping_seen;

    Transcript expected(host, server.port(), p);
    up_to_start(expected, session)
        .pinged(session, extra.port())
        .received_ping("1", session)
        .received_ping("2", session)
        .failure(extra.port());
    EXPECT_EQ(client.out(), expected.text());
    // The receives still pending at the verdict are aborted without a word.
    expect_quiet_end(client);
    // Measured from the PING's arrival, a little after the deadline was set.
    EXPECT_GE(after_ping, 1000ms);
    expect_no_datagram(extra, "extra port");
}

}  // namespace

namespace {

// A server that answers every step on the alternate socket, so that the
// primary one keeps all four of its receives for what comes after START.
// Returns P or 0.
unsigned short answer_on_alternate(UdpPeer& server, UdpPeer& extra, int session)
{
    const auto primary = expect_client_init(server);
    if (!primary) return 0;
    const unsigned short p = *primary;
    server.send_to(server_init(session, "203.0.113.9", 7000), loopback(p + 1));
    if (!expect_datagram(server, "INIT2", client_init2(session, p + 1), p + 1)) return 0;
    server.send_to(server_init2(7001), loopback(p + 1));
    if (!expect_datagram(server, "START", client_start(session), p + 1)) return 0;
    server.send_to(server_start(extra.port()), loopback(p + 1));
    return expect_datagram(extra, "PING", client_ping(session), p) ? p : 0;
}

}  // namespace

// Datagrams already received when the verdict comes are handled after it.
// A reply there would print its lines and send on a closed socket; it is
// dropped, and so is everything after FAILURE.
TEST(ExchangeEdgeCases, StrayReplyBehindTheThirdPingIsDroppedWithoutOutputOrSend)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 17;
    InProcessClient client(host, server.port(), safety_net);
    const unsigned short p = answer_on_alternate(server, extra, session);
    ASSERT_NE(p, 0);
    client.hold_loop();
    for (const auto& ping : pings_1_to_3()) extra.send_to(ping, loopback(p));
    server.send_to(server_init(99, "192.0.2.99", 9999), loopback(p));
    client.release_loop();
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    expected.set_up().sending_init().received_init(session, "203.0.113.9", 7000).sending_init2(session)
        .received_init2(session, "203.0.113.9", 7001).sending_start(session);
    three_pings_to_success(expected, session, extra.port());
    EXPECT_EQ(client.out(), expected.text());
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
}

TEST(ExchangeEdgeCases, PingQueuedBehindFailureNeverTurnsItIntoSuccess)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 18;
    const punchprobe::StepDurations durations{seconds(8), milliseconds(1000)};
    InProcessClient client(host, server.port(), durations);
    const unsigned short p = answer_on_alternate(server, extra, session);
    ASSERT_NE(p, 0);
    // The PINGs are all received in one go once the loop runs again, after
    // the deadline; whether the deadline's handler (FAILURE) runs before the
    // first of them or after it is Asio's choice, but it comes before the
    // third, so the run must end at FAILURE.
    client.hold_loop();
    std::this_thread::sleep_for(1300ms);
    for (const auto& ping : pings_1_to_3()) extra.send_to(ping, loopback(p));
    client.release_loop();
    ASSERT_TRUE(client.wait(run_limit));

    Transcript expected(host, server.port(), p);
    expected.set_up().sending_init().received_init(session, "203.0.113.9", 7000).sending_init2(session)
        .received_init2(session, "203.0.113.9", 7001).sending_start(session).pinged(session, extra.port());
    const std::string failure = Transcript(host, server.port(), p).failure(extra.port()).text();
    std::vector<std::string> allowed;
    for (const char* number : {"", "1", "2"}) {
        if (*number) expected.received_ping(number, session);
        allowed.push_back(expected.text() + failure);
    }
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), client.out()), allowed.end())
        << "output:\n" << client.out() << "\nexpected FAILURE after at most two PINGs, and nothing after it";
    expect_quiet_end(client);
    expect_no_datagram(server, "server");
}
