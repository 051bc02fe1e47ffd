// The real punchprobe binary against scripted UDP peers on 127.0.0.1: the
// whole console output, the exit status and every datagram on the wire.
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/error_texts.hpp"
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
    ScriptedServer server;
    server.using_server_line = true;
    const auto client = server.start_process();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));

    // Paced like a real server: each PING is sent once the previous one has
    // been reported. Numbers may come as JSON numbers or as text.
    const std::vector<std::string> ping_numbers = {"1", "\"2\"", "3"};
    const std::vector<std::string> printed = {"1", "2", "3"};
    for (std::size_t i = 0; i < ping_numbers.size(); ++i) {
        if (i > 0) {
            const std::string seen = "Received server PING(" + printed[i - 1] + ")";
            ASSERT_NE(client->wait_for_output(seen, 10s).find(seen), std::string::npos);
        }
        server.send_at(Step::pings, server_ping(ping_numbers[i]));
    }
    const auto third_sent = Clock::now();
    const ProcessResult result = client->wait(process_limit);
    const auto after_third = Clock::now() - third_sent;

    EXPECT_EQ(result.out, console_text(server.printed_on_success()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_LT(after_third, prompt) << "the run went on " << seconds(after_third)
                                   << " s after the third PING";
    expect_no_datagram(server.server, "server");
    expect_no_datagram(server.extra, "extra port");
}

// Waits out the real 10 s step deadline.
TEST(ExchangeEndToEnd, SilentServerTimesOutTenSecondsAfterInit)
{
    ScriptedServer server;
    server.using_server_line = true;
    const auto client = server.start_process();
    ASSERT_TRUE(client);
    const auto init_seen = Clock::now();
    const ProcessResult result = client->wait(process_limit);
    const auto after_init = Clock::now() - init_seen;

    EXPECT_EQ(result.out, console_text(server.printed_until(Step::init_reply).timed_out().text()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_GE(after_init, 9s) << seconds(after_init) << " s";
    EXPECT_LT(after_init, 10s + prompt) << seconds(after_init) << " s";
    // The client never repeats a request by itself.
    expect_no_datagram(server.server, "server");
}

// Waits out the real 20 s ping deadline. Run for the Windows build alone
// (see tests/CMakeLists.txt): the Linux build's 20 s run is ServerEndToEnd's,
// against the real server, and DeadlineSupervision checks the same bytes
// in-process with a short deadline.
TEST(ExchangeEndToEnd, LostServerPingsGiveFailureTwentySecondsAfterThePing)
{
    ScriptedServer server;
    server.using_server_line = true;
    const auto client = server.start_process();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));
    const auto ping_seen = Clock::now();
    const ProcessResult result = client->wait(process_limit);
    const auto after_ping = Clock::now() - ping_seen;

    EXPECT_EQ(result.out, console_text(server.printed_until(Step::pings).failure(server.extra.port()).text()));
    EXPECT_EQ(result.err, "");
    expect_clean_exit(result);
    EXPECT_GE(after_ping, 19s) << seconds(after_ping) << " s";
    EXPECT_LT(after_ping, 20s + prompt) << seconds(after_ping) << " s";
    expect_no_datagram(server.server, "server");
    expect_no_datagram(server.extra, "extra port");
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
    const Step step = reply.at_start ? Step::start_reply : Step::init_reply;
    ScriptedServer server;
    server.using_server_line = true;
    const auto client = server.start_process();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(step));
    server.send_at(step, reply.datagram);
    const auto sent = Clock::now();
    const ProcessResult result = client->wait(process_limit);
    const auto after_reply = Clock::now() - sent;

    EXPECT_EQ(result.out, console_text(server.printed_until(step).text()));
    EXPECT_EQ(result.err, console_text(reply.error + "\n"));
    expect_clean_exit(result);
    EXPECT_LT(after_reply, prompt) << seconds(after_reply) << " s";
    expect_no_datagram(server.server, "server");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ExchangeFatalReply,
    ::testing::Values(
        FatalReply{"UnsupportedCommand", false, "{\"command\":\"HELLO\",\"session_id\":1}\n",
                   unsupported_command_text},
        // The modifying lookup of "command" in an array.
        FatalReply{"JsonArray", false, "[\"INIT\",1]\n",
                   jsoncpp::requires_object},
        FatalReply{"StringExtraPort", true, "{\"command\":\"START\",\"extra_port\":\"30001\"}\n",
                   jsoncpp::not_convertible_to_int}),
    [](const ::testing::TestParamInfo<FatalReply>& info) { return info.param.name; });

}  // namespace
