// The real client against the real server on loopback: the two verdicts,
// transcripts compared byte for byte. The FAILURE run waits out the client's
// real 20 s deadline.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "server/server_options.hpp"
#include "support/child_process.hpp"
#include "support/scripted_server.hpp"
#include "support/server_process.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::console_text;
using punchprobe_test::Transcript;

const std::string host = "127.0.0.1";

struct LoopbackRun {
    std::string server_out;
    punchprobe_test::ProcessResult client;
    int port = 0;
    int extra_port = 0;
};

LoopbackRun run_client_against_server(const std::vector<std::string>& server_options, std::chrono::milliseconds limit)
{
    punchprobe_test::ServerProcess server(
        punchprobe_test::loopback_server_argv(punchprobe_test::server_binary(), server_options));
    LoopbackRun run;
    if (!server.listening()) {
        ADD_FAILURE() << "no listening line in: " << server.first_output();
        return run;
    }
    EXPECT_EQ(server.ports().address, host);
    run.port = server.ports().main;
    run.extra_port = server.ports().extra;
    run.client = punchprobe_test::run_client({host, std::to_string(run.port)}, limit);
    server.process().wait_for_output("pings_sent=", 10s);
    run.server_out = server.stop(10s).out;
    return run;
}

// The client's lines up to and including its PING, for primary port P; the
// server reports the client's own ports as its public ones.
Transcript exchange_transcript(const LoopbackRun& run, int primary, int id)
{
    Transcript transcript(host, run.port, primary);
    transcript.using_server()
        .set_up()
        .sending_init()
        .answered_until_start(id, host, primary, primary + 1)
        .pinged(id, run.extra_port);
    return transcript;
}

// The primary port from the client's output, the session id from the
// server's log: everything else in the transcript follows from them.
bool run_values(const LoopbackRun& run, int& primary, int& id)
{
    primary = punchprobe_test::printed_local_port(run.client.out);
    const std::string label = "session id=";
    const auto at = run.server_out.find(label);
    if (primary <= 0 || at == std::string::npos) return false;
    id = std::atoi(run.server_out.c_str() + at + label.size());
    return id > 0;
}

// The client ended by itself, with status 0 and nothing on standard error.
void expect_clean_client_exit(const LoopbackRun& run)
{
    EXPECT_FALSE(run.client.timed_out);
    EXPECT_EQ(run.client.exit_status, 0);
    EXPECT_EQ(run.client.err, "");
}

TEST(ServerEndToEnd, RealClientAgainstRealServerSucceeds)
{
    const LoopbackRun run = run_client_against_server({}, 30s);
    int primary = 0, id = 0;
    ASSERT_TRUE(run_values(run, primary, id)) << run.client.out << run.server_out;
    expect_clean_client_exit(run);
    EXPECT_EQ(run.client.out, console_text(exchange_transcript(run, primary, id)
                                  .received_ping("1", id)
                                  .received_ping("2", id)
                                  .received_ping("3", id)
                                  .success(run.extra_port)
                                  .text()));
    const std::string p = std::to_string(primary);
    EXPECT_NE(run.server_out.find("session id=" + std::to_string(id) + " public=127.0.0.1:" + p +
                                  " alt_port=" + std::to_string(primary + 1) +
                                  " alt_is_main_plus_1=yes mapping=endpoint-independent ping_source=127.0.0.1:" +
                                  p + " pings_sent=" + std::to_string(punchprobe::default_ping_count) + "\n"),
              std::string::npos)
        << run.server_out;
    EXPECT_NE(run.server_out.find("counters sessions=1 completed=1 endpoint_independent=1 "), std::string::npos);
}

TEST(ServerEndToEnd, WithoutServerPingsTheClientFailsAfterTwentySeconds)
{
    const LoopbackRun run = run_client_against_server({"--pings", "0"}, 60s);
    int primary = 0, id = 0;
    ASSERT_TRUE(run_values(run, primary, id)) << run.client.out << run.server_out;
    expect_clean_client_exit(run);
    EXPECT_EQ(run.client.out, console_text(exchange_transcript(run, primary, id).failure(run.extra_port).text()));
    EXPECT_GE(run.client.elapsed, 20s);
    EXPECT_LT(run.client.elapsed, 45s);
    EXPECT_NE(run.server_out.find("mapping=endpoint-independent ping_source=127.0.0.1:" + std::to_string(primary) +
                                  " pings_sent=0\n"),
              std::string::npos)
        << run.server_out;
}

}  // namespace
