// The real client against the real server on loopback: the two verdicts,
// transcripts compared byte for byte. The FAILURE run waits out the client's
// real 20 s deadline.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>

#include "server/server_options.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::ChildProcess;

struct LoopbackRun {
    std::string server_out;
    punchprobe_test::ProcessResult client;
    std::string port;
    std::string extra_port;
};

LoopbackRun run_client_against_server(const std::vector<std::string>& server_options, std::chrono::milliseconds limit)
{
    std::vector<std::string> argv{punchprobe_test::server_binary(), "--bind", "127.0.0.1", "--port", "0",
                                  "--extra-port", "0"};
    argv.insert(argv.end(), server_options.begin(), server_options.end());
    ChildProcess server(argv);
    LoopbackRun run;
    std::smatch match;
    const std::string first = server.wait_for_output("\n", 10s);
    if (!std::regex_search(first, match, std::regex(":([0-9]+) \\(main\\) and 127\\.0\\.0\\.1:([0-9]+) \\(extra\\)\n"))) {
        ADD_FAILURE() << "no listening line: " << first;
        return run;
    }
    run.port = match[1];
    run.extra_port = match[2];
    run.client = punchprobe_test::run_process({punchprobe_test::client_binary(), "127.0.0.1", run.port}, limit);
    server.wait_for_output("pings_sent=", 10s);
    server.signal(SIGTERM);
    run.server_out = server.wait(10s).out;
    return run;
}

// The client's lines up to and including its PING, for primary port P.
std::string exchange_transcript(const LoopbackRun& run, const std::string& primary, const std::string& id)
{
    const std::string alternate = std::to_string(std::stoi(primary) + 1);
    const std::string server = "127.0.0.1:" + run.port;
    return "Using server " + server + "\n" +
           "Bound to local port " + primary + "\n" +
           "Bound to local alternate port " + alternate + "\n" +
           "Resolving hostname '127.0.0.1'...\n"
           "Resolved server host to be '127.0.0.1'\n"
           "Sending client INIT from port " + primary + " to " + server + "\n" +
           "Received server INIT [" + id + "]\n" +
           "Our public address is 127.0.0.1:" + primary + "\n" +
           "Sending client INIT2 [" + id + "] from port " + alternate + " to " + server + "\n" +
           "Received server INIT2 [" + id + "]\n" +
           "Our alternate public address is 127.0.0.1:" + alternate + "\n" +
           "Sending cient START [" + id + "] from port " + alternate + " to " + server + "\n" +
           "Received server START [" + id + "]\n" +
           "Server extra port is " + run.extra_port + "\n" +
           "Sending client PING [" + id + "] from port " + primary + " to 127.0.0.1:" + run.extra_port + "\n";
}

// The primary port from the client's output, the session id from the
// server's log: everything else in the transcript follows from them.
bool run_values(const LoopbackRun& run, std::string& primary, std::string& id)
{
    std::smatch match;
    if (!std::regex_search(run.client.out, match, std::regex("Bound to local port ([0-9]+)\n"))) return false;
    primary = match[1];
    if (!std::regex_search(run.server_out, match, std::regex("session id=([0-9]+) "))) return false;
    id = match[1];
    return true;
}

TEST(ServerEndToEnd, RealClientAgainstRealServerSucceeds)
{
    const LoopbackRun run = run_client_against_server({}, 30s);
    std::string primary, id;
    ASSERT_TRUE(run_values(run, primary, id)) << run.client.out << run.server_out;
    EXPECT_FALSE(run.client.timed_out);
    EXPECT_EQ(run.client.exit_status, 0);
    EXPECT_EQ(run.client.err, "");
    EXPECT_EQ(run.client.out, exchange_transcript(run, primary, id) +
                                  "Received server PING(1) [" + id + "]\n"
                                  "Received server PING(2) [" + id + "]\n"
                                  "Received server PING(3) [" + id + "]\n"
                                  "\n===========\n  SUCCESS  \n===========\n"
                                  "Received 3 pings from 127.0.0.1:" + run.extra_port + ".\n"
                                  "NAT negotiation works with your router and connection.\n"
                                  "==> You do not have to use port forwarding.\n");
    const std::string alternate = std::to_string(std::stoi(primary) + 1);
    EXPECT_NE(run.server_out.find("session id=" + id + " public=127.0.0.1:" + primary + " alt_port=" + alternate +
                                  " alt_is_main_plus_1=yes mapping=endpoint-independent ping_source=127.0.0.1:" +
                                  primary + " pings_sent=" + std::to_string(punchprobe::default_ping_count) + "\n"),
              std::string::npos)
        << run.server_out;
    EXPECT_NE(run.server_out.find("counters sessions=1 completed=1 endpoint_independent=1 "), std::string::npos);
}

TEST(ServerEndToEnd, WithoutServerPingsTheClientFailsAfterTwentySeconds)
{
    const LoopbackRun run = run_client_against_server({"--pings", "0"}, 60s);
    std::string primary, id;
    ASSERT_TRUE(run_values(run, primary, id)) << run.client.out << run.server_out;
    EXPECT_FALSE(run.client.timed_out);
    EXPECT_EQ(run.client.exit_status, 0);
    EXPECT_EQ(run.client.err, "");
    EXPECT_EQ(run.client.out, exchange_transcript(run, primary, id) +
                                  "\n===========\n  FAILURE  \n===========\n"
                                  "Failed to receive any pings from 127.0.0.1:" + run.extra_port + ".\n"
                                  "It appears your router and/or connection is not capable of NAT negotiation.\n"
                                  "==> You will need to use port forwarding and possibly configure a static port.\n");
    EXPECT_GE(run.client.elapsed, 20s);
    EXPECT_LT(run.client.elapsed, 45s);
    EXPECT_NE(run.server_out.find("mapping=endpoint-independent ping_source=127.0.0.1:" + primary + " pings_sent=0\n"),
              std::string::npos)
        << run.server_out;
}

}  // namespace
