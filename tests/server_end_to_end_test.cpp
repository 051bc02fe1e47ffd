// The real client against the real server on loopback, to SUCCESS: the
// client's transcript byte for byte, and the server's line of the session.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/child_process.hpp"
#include "support/scripted_server.hpp"
#include "support/server_process.hpp"

namespace {

using namespace std::chrono_literals;

TEST(ServerEndToEnd, RealClientAgainstRealServerSucceeds)
{
    const std::string host = "127.0.0.1";
    punchprobe_test::ServerProcess server(punchprobe_test::loopback_server_argv(punchprobe_test::server_binary()));
    ASSERT_TRUE(server.listening()) << server.first_output();
    EXPECT_EQ(server.ports().address, host);
    const int port = server.ports().main, extra_port = server.ports().extra;
    const auto client = punchprobe_test::run_client({host, std::to_string(port)}, 30s);
    server.process().wait_for_output("pings_sent=", 10s);
    const std::string server_out = server.stop(10s).out;

    // The primary port from the client's output, the session id from the
    // server's line: everything else follows from them.
    const int primary = punchprobe_test::printed_local_port(client.out);
    const std::size_t at = server_out.find("session id=");
    ASSERT_TRUE(primary > 0 && at != std::string::npos) << client.out << server_out;
    const int id = std::atoi(server_out.c_str() + at + 11);
    EXPECT_FALSE(client.timed_out);
    EXPECT_EQ(client.exit_status, 0);
    EXPECT_EQ(client.err, "");
    punchprobe_test::RunValues values;
    values.server = port;
    values.p = primary;
    values.extra = extra_port;
    std::string expected = punchprobe_test::golden("real_server_success", values);
    for (std::size_t mark; (mark = expected.find("{ID}")) != std::string::npos;)
        expected.replace(mark, 4, std::to_string(id));
    EXPECT_EQ(client.out, punchprobe_test::console_text(expected));
    const std::string p = std::to_string(primary);
    EXPECT_NE(server_out.find("session id=" + std::to_string(id) + " public=127.0.0.1:" + p + " alt_port=" +
                              std::to_string(primary + 1) +
                              " alt_is_main_plus_1=yes mapping=endpoint-independent ping_source=127.0.0.1:" + p +
                              " pings_sent=5\n"),
              std::string::npos)
        << server_out;
    EXPECT_NE(server_out.find("counters sessions=1 completed=1 endpoint_independent=1 "), std::string::npos);
}

}  // namespace
