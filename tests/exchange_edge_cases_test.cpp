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
#include "support/error_texts.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

using namespace std::chrono_literals;
using namespace punchprobe_test;
using boost::posix_time::milliseconds;
using boost::posix_time::seconds;
using Clock = std::chrono::steady_clock;
using punchprobe::make_init2_reply;
using punchprobe::make_init_reply;
using punchprobe::make_server_ping;
using punchprobe::make_start_reply;

namespace {

const std::string host = "127.0.0.1";
// Never reached by a correct run.
const punchprobe::StepDurations safety_net{seconds(8), seconds(8)};
constexpr auto run_limit = std::chrono::milliseconds(30s);

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
    ScriptedServer server;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    const unsigned short p = server.p;
    // The second reply overwrites what the first stored.
    server.send_at(Step::init_reply, make_init_reply(11, "203.0.113.1", 50000));
    server.send_at(Step::init_reply, make_init_reply(12, "203.0.113.2", 50002));
    ASSERT_TRUE(expect_datagram(server.server, "first INIT2", client_init2(11, p + 1), p + 1));
    ASSERT_TRUE(expect_datagram(server.server, "second INIT2", client_init2(12, p + 1), p + 1));
    server.session_id = 12;
    server.public_port_alt = 50003;
    ASSERT_TRUE(server.play(Step::init2_reply, Step::pings));
    server.send_pings(3);
    ASSERT_TRUE(client->wait(run_limit));

    Transcript expected(host, server.port(), p);
    expected.set_up()
        .sending_init()
        .received_init(11, "203.0.113.1", 50000)
        .sending_init2(11)
        .received_init(12, "203.0.113.2", 50002)
        .sending_init2(12)
        .received_init2(12, "203.0.113.2", 50003)
        .sending_start(12);
    three_pings_to_success(expected, 12, server.extra.port());
    EXPECT_EQ(client->out(), expected.text());
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
    expect_no_datagram(server.extra, "extra port");
}

TEST(ExchangeEdgeCases, PingsBeforeTheStartReplyCountAndSuccessShowsPortZero)
{
    ScriptedServer server;
    server.session_id = 5;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::start_reply));
    // START is never answered. Once START is sent, two receives are pending
    // on each socket; the PINGs use both, and carry no number, so the
    // transcript does not depend on which socket is served first.
    server.send_at(Step::init_reply, server_ping(""));
    server.send_at(Step::init_reply, server_ping(""));
    server.send_at(Step::start_reply, server_ping(""));
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_until(Step::start_reply)
                                 .received_ping("", 5)
                                 .received_ping("", 5)
                                 .received_ping("", 5)
                                 .success(0)
                                 .text());
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
}

TEST(ExchangeEdgeCases, ExtraPortAbove65535IsPrintedInFullButPingGoesToItsLow16Bits)
{
    ScriptedServer server;
    server.session_id = 6;
    const int extra_port = 65536 + server.extra.port();
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::start_reply));
    server.send_at(Step::start_reply, make_start_reply(6, extra_port));
    ASSERT_TRUE(server.expect_request_after(Step::start_reply));
    server.send_pings(3);
    ASSERT_TRUE(client->wait(run_limit));

    Transcript expected = server.printed_until(Step::start_reply);
    three_pings_to_success(expected, 6, extra_port);
    EXPECT_EQ(client->out(), expected.text());
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
}

TEST(ExchangeEdgeCases, EachRequestGoesToTheSenderOfThePreviousReply)
{
    // `other` and the extra port live on another loopback address, so the
    // PING shows that the extra port is joined to the address of the START
    // reply's sender, not to the resolved server.
    ScriptedServer server;
    UdpPeer other(0, "127.0.0.2");
    UdpPeer extra(0, "127.0.0.2");
    const int session = 77;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    const unsigned short p = server.p;
    other.send_to(make_init_reply(session, "192.0.2.44", 1111), loopback(p));
    ASSERT_TRUE(expect_datagram(other, "INIT2", client_init2(session, p + 1), p + 1));
    server.server.send_to(make_init2_reply(session, 2222), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(server.server, "START", client_start(session), p + 1));
    other.send_to(make_start_reply(session, extra.port()), loopback(p + 1));
    ASSERT_TRUE(expect_datagram(extra, "PING", client_ping(session), p));
    for (int number = 1; number <= 3; ++number) extra.send_to(make_server_ping(session, number), loopback(p));
    ASSERT_TRUE(client->wait(run_limit));

    // The progress lines keep naming the server from the command line.
    Transcript expected(host, server.port(), p);
    expected.set_up()
        .sending_init()
        .answered_until_start(session, "192.0.2.44", 1111, 2222);
    three_pings_to_success(expected, session, extra.port());
    EXPECT_EQ(client->out(), expected.text());
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
    expect_no_datagram(other, "other peer");
    expect_no_datagram(extra, "extra port");
}

TEST(ExchangeEdgeCases, PingsThatArriveTogetherKeepTheirOwnNumbers)
{
    ScriptedServer server;
    server.session_id = 8;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));
    // With the loop held, all three receives complete before any handler
    // runs: one receive area shared by them would show the last PING three
    // times.
    client->hold_loop();
    server.send_at(Step::pings, server_ping("\"first\""));
    server.send_at(Step::pings, server_ping("\"second\""));
    server.send_at(Step::pings, server_ping("\"third\""));
    client->release_loop();
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_on_success({"first", "second", "third"}));
    expect_quiet_end(*client);
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
    ScriptedServer server;
    server.session_id = 12;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));
    server.send_pings(2);
    server.send_at(Step::pings, odd.datagram);
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_on_success({"1", "2", odd.printed}));
    expect_quiet_end(*client);
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
    ScriptedServer server;
    server.session_id = 3;
    server.public_ip = "";
    server.public_port = 0;
    server.public_port_alt = 4001;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    server.send_at(Step::init_reply, "{\"command\":\"INIT\",\"session_id\":3}\n");
    ASSERT_TRUE(server.expect_request_after(Step::init_reply));
    ASSERT_TRUE(server.play(Step::init2_reply, Step::pings));
    server.send_pings(3);
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_on_success());
    expect_quiet_end(*client);
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
    ScriptedServer server;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    server.send_at(Step::init_reply, reply.datagram);
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_until(Step::init_reply).text());
    EXPECT_EQ(client->err(), "");
    EXPECT_EQ(client->exception_text(), reply.error);
    EXPECT_LT(client->elapsed(), 5s);
    expect_no_datagram(server.server, "server");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeBadInitReply,
    ::testing::Values(
        BadInitReply{"EmptyDatagram", "", unsupported_command_text},
        BadInitReply{"LowerCaseCommand", "{\"command\":\"init\",\"session_id\":1}\n", unsupported_command_text},
        BadInitReply{"NotJson", "hello server\n", unsupported_command_text},
        BadInitReply{"BareNumber", "42\n", jsoncpp::requires_object},
        BadInitReply{"StringSession", "{\"command\":\"INIT\",\"session_id\":\"12\"}\n",
                     jsoncpp::not_convertible_to_int}),
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
    ScriptedServer server;
    server.session_id = 21;
    const auto client = server.start_client({seconds(8), milliseconds(600)});
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::start_reply));
    // 65536 goes to port 0.
    server.send_at(Step::start_reply, make_start_reply(21, 65536));
    const auto start_sent = Clock::now();
    ASSERT_TRUE(client->wait(run_limit));
    const auto after_start = Clock::now() - start_sent;

    EXPECT_EQ(client->out(), server.printed_until(Step::start_reply).pinged(21, 65536).failure(65536).text());
    EXPECT_EQ(client->err(), "Error in data_sent: system:22 Invalid argument\n");
    EXPECT_EQ(client->exception_text(), "");
    EXPECT_GE(after_start, 600ms);
    expect_no_datagram(server.server, "server");
}

TEST(ExchangeEdgeCases, TwoServerPingsAreNotEnough)
{
    ScriptedServer server;
    server.session_id = 14;
    const auto client = server.start_client({seconds(8), milliseconds(1500)});
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));
    server.send_pings(2);
    const auto ping_seen = Clock::now();
    ASSERT_TRUE(client->wait(run_limit));
    const auto after_ping = Clock::now() - ping_seen;

    EXPECT_EQ(client->out(), server.printed_until(Step::pings)
                                 .received_ping("1", 14)
                                 .received_ping("2", 14)
                                 .failure(server.extra.port())
                                 .text());
    // The receives still pending at the verdict are aborted without a word.
    expect_quiet_end(*client);
    // Measured from the PING's arrival, a little after the deadline was set.
    EXPECT_GE(after_ping, 1000ms);
    expect_no_datagram(server.extra, "extra port");
}

// A server that answers every step on the alternate socket, so that the
// primary one keeps all four of its receives for what comes after START.
bool answer_on_alternate(ScriptedServer& server)
{
    server.send_at(Step::start_reply, server.reply_at(Step::init_reply));
    return server.expect_request_after(Step::init_reply) && server.play(Step::init2_reply, Step::pings);
}

// Datagrams already received when the verdict comes are handled after it.
// A reply there would print its lines and send on a closed socket; it is
// dropped, and so is everything after FAILURE.
TEST(ExchangeEdgeCases, StrayReplyBehindTheThirdPingIsDroppedWithoutOutputOrSend)
{
    ScriptedServer server;
    server.session_id = 17;
    const auto client = server.start_client(safety_net);
    ASSERT_TRUE(client);
    ASSERT_TRUE(answer_on_alternate(server));
    client->hold_loop();
    server.send_pings(3);
    server.send_at(Step::init_reply, make_init_reply(99, "192.0.2.99", 9999));
    client->release_loop();
    ASSERT_TRUE(client->wait(run_limit));

    EXPECT_EQ(client->out(), server.printed_on_success());
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
}

TEST(ExchangeEdgeCases, PingQueuedBehindFailureNeverTurnsItIntoSuccess)
{
    ScriptedServer server;
    server.session_id = 18;
    const auto client = server.start_client({seconds(8), milliseconds(1000)});
    ASSERT_TRUE(client);
    ASSERT_TRUE(answer_on_alternate(server));
    // The PINGs are all received in one go once the loop runs again, after
    // the deadline; whether the deadline's handler (FAILURE) runs before the
    // first of them or after it is Asio's choice, but it comes before the
    // third, so the run must end at FAILURE.
    client->hold_loop();
    std::this_thread::sleep_for(1300ms);
    server.send_pings(3);
    client->release_loop();
    ASSERT_TRUE(client->wait(run_limit));

    Transcript expected = server.printed_until(Step::pings);
    const std::string failure = Transcript(host, server.port(), server.p).failure(server.extra.port()).text();
    std::vector<std::string> allowed;
    for (const char* number : {"", "1", "2"}) {
        if (*number) expected.received_ping(number, 18);
        allowed.push_back(expected.text() + failure);
    }
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), client->out()), allowed.end())
        << "output:\n" << client->out() << "\nexpected FAILURE after at most two PINGs, and nothing after it";
    expect_quiet_end(*client);
    expect_no_datagram(server.server, "server");
}

}  // namespace
