// The punchprobe-server program as scripts and operators meet it: the
// listening line, system-chosen ports, a failed bind, and the counters on
// SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>

#include "server/server_options.hpp"
#include "support/child_process.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using punchprobe_test::ChildProcess;
using punchprobe_test::UdpPeer;

struct Listening {
    std::string address;
    unsigned short main = 0;
    unsigned short extra = 0;
};

// Reads the first line, which every other tool relies on.
Listening wait_until_listening(ChildProcess& server)
{
    const std::string out = server.wait_for_output("\n", 10s);
    std::smatch match;
    const std::regex line("^punchprobe-server listening on ([0-9.]+):([0-9]+) \\(main\\) and \\1:([0-9]+) \\(extra\\)\n");
    if (!std::regex_search(out, match, line)) {
        ADD_FAILURE() << "no listening line in: " << out;
        return {};
    }
    return {match[1], static_cast<unsigned short>(std::stoi(match[2])),
            static_cast<unsigned short>(std::stoi(match[3]))};
}

std::string with_id(const char* command, const std::string& id)
{
    return std::string("{\"command\":\"") + command + "\",\"protocol\":\"Punchprobe\",\"session_id\":" + id + "}\n";
}

TEST(ServerProcess, SigtermPrintsTheCountersAndExitsZero)
{
    ChildProcess server({punchprobe_test::server_binary(), "--bind", "127.0.0.1", "--port", "0", "--extra-port",
                         "0", "--ping-interval", "1"});
    const Listening listening = wait_until_listening(server);
    ASSERT_NE(listening.main, 0);
    EXPECT_NE(listening.extra, 0);
    EXPECT_NE(listening.main, listening.extra);
    const udp::endpoint main(boost::asio::ip::make_address_v4("127.0.0.1"), listening.main);
    const udp::endpoint extra(boost::asio::ip::make_address_v4("127.0.0.1"), listening.extra);

    UdpPeer primary;
    UdpPeer elsewhere;
    primary.send_to("{\"command\":\"INIT\",\"local_port\":1,\"protocol\":\"Punchprobe\"}\n", main);
    const auto reply = primary.receive(10s);
    ASSERT_TRUE(reply);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(reply->bytes, match, std::regex("\"session_id\":([0-9]+)")));
    const std::string id = match[1];

    primary.send_to("not json", main);
    primary.send_to(with_id("PING", id), main);
    elsewhere.send_to(with_id("PING", id), extra);
    for (int number = 1; number <= punchprobe::default_ping_count; ++number)
        ASSERT_TRUE(primary.receive(10s)) << number;
    const std::string session = "session id=" + id + " public=127.0.0.1:" + std::to_string(primary.port()) +
                                " alt_port=0 alt_is_main_plus_1=no mapping=endpoint-dependent ping_source=127.0.0.1:" +
                                std::to_string(elsewhere.port()) + " pings_sent=" +
                                std::to_string(punchprobe::default_ping_count) + "\n";
    server.wait_for_output(session, 10s);

    server.signal(SIGTERM);
    const auto result = server.wait(10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              "punchprobe-server listening on 127.0.0.1:" + std::to_string(listening.main) +
                  " (main) and 127.0.0.1:" + std::to_string(listening.extra) + " (extra)\n" + session +
                  "counters sessions=1 completed=1 endpoint_independent=0 endpoint_dependent=1 expired=0 "
                  "evicted=0 dropped_malformed=1 dropped_unknown_command=0 dropped_unknown_session=0 "
                  "dropped_wrong_address=0 dropped_wrong_socket=1 dropped_oversized=0 dropped_duplicate_ping=0\n");
}

TEST(ServerProcess, SigtermDuringAPingTrainStillLogsTheSession)
{
    ChildProcess server({punchprobe_test::server_binary(), "--bind", "127.0.0.1", "--port", "0", "--extra-port",
                         "0", "--pings", "5", "--ping-interval", "60000"});
    const Listening listening = wait_until_listening(server);
    ASSERT_NE(listening.main, 0);
    const udp::endpoint main(boost::asio::ip::make_address_v4("127.0.0.1"), listening.main);
    const udp::endpoint extra(boost::asio::ip::make_address_v4("127.0.0.1"), listening.extra);

    UdpPeer primary;
    primary.send_to("{\"command\":\"INIT\",\"local_port\":1,\"protocol\":\"Punchprobe\"}\n", main);
    const auto reply = primary.receive(10s);
    ASSERT_TRUE(reply);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(reply->bytes, match, std::regex("\"session_id\":([0-9]+)")));
    const std::string id = match[1];
    primary.send_to(with_id("PING", id), extra);
    ASSERT_TRUE(primary.receive(10s)) << "first PING of the train";

    // The next PING is a minute away: the train is in flight when the signal comes.
    server.signal(SIGTERM);
    const auto result = server.wait(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::string primary_endpoint = "127.0.0.1:" + std::to_string(primary.port());
    EXPECT_EQ(result.out,
              "punchprobe-server listening on 127.0.0.1:" + std::to_string(listening.main) +
                  " (main) and 127.0.0.1:" + std::to_string(listening.extra) + " (extra)\n" +
                  "session id=" + id + " public=" + primary_endpoint +
                  " alt_port=0 alt_is_main_plus_1=no mapping=endpoint-independent ping_source=" +
                  primary_endpoint + " pings_sent=1\n"
                  "counters sessions=1 completed=1 endpoint_independent=1 endpoint_dependent=0 expired=0 "
                  "evicted=0 dropped_malformed=0 dropped_unknown_command=0 dropped_unknown_session=0 "
                  "dropped_wrong_address=0 dropped_wrong_socket=0 dropped_oversized=0 dropped_duplicate_ping=0\n");
}

TEST(ServerProcess, SigintEndsItTooAndQuietStillPrintsTheFirstLine)
{
    // Default address: all interfaces, shown as such.
    ChildProcess server({punchprobe_test::server_binary(), "--port", "0", "--extra-port", "0", "--quiet"});
    const Listening listening = wait_until_listening(server);
    EXPECT_EQ(listening.address, "0.0.0.0");
    server.signal(SIGINT);
    const auto result = server.wait(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("\ncounters sessions=0 completed=0 "), std::string::npos) << result.out;
}

TEST(ServerProcess, PortInUseIsAnErrorWithStatusOne)
{
    UdpPeer occupant;
    const auto result = punchprobe_test::run_process(
        {punchprobe_test::server_binary(), "--bind", "127.0.0.1", "--port", std::to_string(occupant.port()),
         "--extra-port", "0"},
        10s);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "punchprobe-server: bind: Address already in use\n");
}

}  // namespace
