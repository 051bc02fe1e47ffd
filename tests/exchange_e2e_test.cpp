// The real punchprobe binary against scripted UDP peers on 127.0.0.1: the
// whole console output, the exit status and every datagram on the wire.
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

using namespace std::chrono_literals;
using namespace punchprobe_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto process_limit = std::chrono::milliseconds(30s);
// Only an upper bound matters here: well under any deadline of the client,
// generous for a loaded machine.
constexpr auto prompt = 5s;
// Deadlines are timed from a peer's receipt of the datagram that set them,
// which may come late on a loaded machine: hence a second of slack below.

const std::string host = "127.0.0.1";

std::vector<std::string> client_command(const UdpPeer& server)
{
    return client_argv({host, std::to_string(server.port())});
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void expect_clean_exit(const ProcessResult& result)
{
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
}

TEST(ExchangeEndToEnd, FullRunEndsWithSuccessRightAfterTheThirdServerPing)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 4242;
    ChildProcess client(client_command(server));

    const unsigned short p = answer_until_ping(server, extra, session, "203.0.113.7", 61000, 61001);
    ASSERT_NE(p, 0);

    // Paced like a real server: each PING is sent once the previous one has
    // been reported. Numbers may come as JSON numbers or as text.
    const std::vector<std::string> ping_numbers = {"1", "\"2\"", "3"};
    const std::vector<std::string> printed = {"1", "2", "3"};
    for (std::size_t i = 0; i < ping_numbers.size(); ++i) {
        if (i > 0) {
            const std::string seen = "Received server PING(" + printed[i - 1] + ")";
            ASSERT_NE(client.wait_for_output(seen, 10s).find(seen), std::string::npos);
        }
        extra.send_to(server_ping(ping_numbers[i]), loopback(p));
    }
    const auto third_sent = Clock::now();
    const ProcessResult result = client.wait(process_limit);
    const auto after_third = Clock::now() - third_sent;

    Transcript expected(host, server.port(), p);
    expected.using_server()
        .set_up()
        .sending_init()
        .answered_until_start(session, "203.0.113.7", 61000, 61001)
        .pinged(session, extra.port())
        .received_ping("1", session)
        .received_ping("2", session)
        .received_ping("3", session)
        .success(extra.port());
    EXPECT_EQ(result.out, console_text(expected.text()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_LT(after_third, prompt) << "the run went on " << seconds(after_third)
                                   << " s after the third PING";
    expect_no_datagram(server, "server");
    expect_no_datagram(extra, "extra port");
}

// Waits out the real 10 s step deadline.
TEST(ExchangeEndToEnd, SilentServerTimesOutTenSecondsAfterInit)
{
    UdpPeer server;
    ChildProcess client(client_command(server));

    const auto primary = expect_client_init(server);
    ASSERT_TRUE(primary);
    const auto init_seen = Clock::now();
    const ProcessResult result = client.wait(process_limit);
    const auto after_init = Clock::now() - init_seen;

    Transcript expected(host, server.port(), *primary);
    expected.using_server().set_up().sending_init().timed_out();
    EXPECT_EQ(result.out, console_text(expected.text()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_GE(after_init, 9s) << seconds(after_init) << " s";
    EXPECT_LT(after_init, 10s + prompt) << seconds(after_init) << " s";
    // The client never repeats a request by itself.
    expect_no_datagram(server, "server");
}

// Waits out the real 20 s ping deadline.
TEST(ExchangeEndToEnd, LostServerPingsGiveFailureTwentySecondsAfterThePing)
{
    UdpPeer server;
    UdpPeer extra;
    const int session = 9;
    ChildProcess client(client_command(server));

    const unsigned short p = answer_until_ping(server, extra, session, "198.51.100.20", 40000, 40001);
    ASSERT_NE(p, 0);
    const auto ping_seen = Clock::now();
    const ProcessResult result = client.wait(process_limit);
    const auto after_ping = Clock::now() - ping_seen;

    Transcript expected(host, server.port(), p);
    expected.using_server()
        .set_up()
        .sending_init()
        .answered_until_start(session, "198.51.100.20", 40000, 40001)
        .pinged(session, extra.port())
        .failure(extra.port());
    EXPECT_EQ(result.out, console_text(expected.text()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_GE(after_ping, 19s) << seconds(after_ping) << " s";
    EXPECT_LT(after_ping, 20s + prompt) << seconds(after_ping) << " s";
    expect_no_datagram(server, "server");
    expect_no_datagram(extra, "extra port");
}

// A reply the client cannot take ends the run at once: the error's text on
// standard error, exit status 0, and neither the handler's lines nor its next
// request.
struct FatalReply {
    const char* name;
    bool at_start;  // the bad datagram answers START (else INIT)
    std::string datagram;
    std::string error;
};

void PrintTo(const FatalReply& reply, std::ostream* os)
{
    *os << reply.name;
}

class ExchangeFatalReply : public ::testing::TestWithParam<FatalReply> {};

TEST_P(ExchangeFatalReply, EndsTheRunWithTheErrorText)
{
    const FatalReply& reply = GetParam();
    UdpPeer server;
    const int session = 31;
    ChildProcess client(client_command(server));

    unsigned short p = 0;
    if (reply.at_start) {
        p = answer_init_and_init2(server, session, "192.0.2.1", 1, 2);
        ASSERT_NE(p, 0);
        server.send_to(reply.datagram, loopback(p + 1));
    } else {
        const auto primary = expect_client_init(server);
        ASSERT_TRUE(primary);
        p = *primary;
        server.send_to(reply.datagram, loopback(p));
    }
    const auto sent = Clock::now();
    const ProcessResult result = client.wait(process_limit);
    const auto after_reply = Clock::now() - sent;

    Transcript expected(host, server.port(), p);
    expected.using_server().set_up().sending_init();
    if (reply.at_start) expected.answered_until_start(session, "192.0.2.1", 1, 2);
    EXPECT_EQ(result.out, console_text(expected.text()));
    EXPECT_EQ(result.err, console_text(reply.error + "\n"));
    expect_clean_exit(result);
    EXPECT_LT(after_reply, prompt) << seconds(after_reply) << " s";
    expect_no_datagram(server, "server");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeFatalReply,
    ::testing::Values(
        FatalReply{"UnsupportedCommand", false, "{\"command\":\"HELLO\",\"session_id\":1}\n",
                   "Unsupported PunchprobeMessage command"},
        // The modifying lookup of "command" in an array.
        FatalReply{"JsonArray", false, "[\"INIT\",1]\n",
                   "in Json::Value::resolveReference(key, end): requires objectValue"},
        FatalReply{"StringExtraPort", true, "{\"command\":\"START\",\"extra_port\":\"30001\"}\n",
                   "Value is not convertible to Int."}),
    [](const ::testing::TestParamInfo<FatalReply>& info) { return info.param.name; });

}  // namespace
