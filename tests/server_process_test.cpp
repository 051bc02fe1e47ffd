// The punchprobe-server program as scripts and operators meet it: the
// listening line, system-chosen ports, a failed bind, and the counters on
// SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "server/server_options.hpp"
#include "support/attack_server.hpp"
#include "support/scripted_server.hpp"
#include "support/server_process.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using punchprobe_test::Listening;
using punchprobe_test::listening_line;
using punchprobe_test::loopback;
using punchprobe_test::loopback_server_argv;
using punchprobe_test::ServerProcess;
using punchprobe_test::UdpPeer;
using punchprobe_test::client_ping;

// What the counters line says after these tests: no new drop kinds.
const std::string quiet_new_counters =
    " dropped_bad_source=0 dropped_own_socket=0 dropped_not_request=0 dropped_not_object=0 dropped_too_deep=0 "
    "dropped_nul_byte=0 dropped_rate_limited=0 dropped_amplification=0 dropped_send_queue=0 dropped_train_cap=0 "
    "trains_delayed=0 log_lines_dropped=0 error_lines_suppressed=0 replies_resent=0 metrics_refused=0 "
    "metrics_timeouts=0 metrics_bad_requests=0\n";

std::string alt_part(const UdpPeer& primary, const UdpPeer& alternate)
{
    return " alt_port=" + std::to_string(alternate.port()) +
           " alt_is_main_plus_1=" + (alternate.port() == primary.port() + 1 ? "yes" : "no");
}

TEST(ServerProcess, SigtermPrintsTheCountersAndExitsZero)
{
    ServerProcess server(loopback_server_argv(punchprobe_test::server_binary(), {"--ping-interval", "1"}));
    ASSERT_TRUE(server.listening()) << server.first_output();
    const Listening listening = server.ports();
    EXPECT_NE(listening.extra, 0);
    EXPECT_NE(listening.main, listening.extra);
    const udp::endpoint main = loopback(listening.main);
    const udp::endpoint extra = loopback(listening.extra);

    UdpPeer primary;
    UdpPeer alternate;
    UdpPeer elsewhere;
    const auto opened = punchprobe_test::open_session(primary, alternate, main, 10s);
    ASSERT_TRUE(opened) << "INIT or INIT2 unanswered";
    const std::string id = std::to_string(*opened);

    primary.send_to("{not json", main);
    primary.send_to(client_ping(*opened), main);
    elsewhere.send_to(client_ping(*opened), extra);
    for (int number = 1; number <= punchprobe::default_ping_count; ++number)
        ASSERT_TRUE(primary.receive(10s)) << number;
    const std::string session = "session id=" + id + " public=127.0.0.1:" + std::to_string(primary.port()) +
                                alt_part(primary, alternate) + " mapping=endpoint-dependent ping_source=127.0.0.1:" +
                                std::to_string(elsewhere.port()) + " pings_sent=" +
                                std::to_string(punchprobe::default_ping_count) + "\n";
    server.process().wait_for_output(session, 10s);

    const auto result = server.stop(10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out,
              listening_line("127.0.0.1", listening.main, listening.extra) + session +
                  "counters sessions=1 completed=1 endpoint_independent=0 endpoint_dependent=1 expired=0 "
                  "evicted=0 dropped_malformed=1 dropped_unknown_command=0 dropped_unknown_session=0 "
                  "dropped_wrong_address=0 dropped_wrong_socket=1 dropped_oversized=0 dropped_duplicate_ping=0 "
                  "inits_answered=1" +
                  quiet_new_counters);
}

// The first six keys and inits_answered; the drops before it are all 0 here.
std::string counters_after(int sessions, int inits_answered)
{
    return "counters sessions=" + std::to_string(sessions) +
           " completed=0 endpoint_independent=0 endpoint_dependent=0 expired=0 evicted=0 dropped_malformed=0 "
           "dropped_unknown_command=0 dropped_unknown_session=0 dropped_wrong_address=0 dropped_wrong_socket=0 "
           "dropped_oversized=0 dropped_duplicate_ping=0 inits_answered=" +
           std::to_string(inits_answered) + quiet_new_counters;
}

TEST(ServerProcess, Sigusr1PrintsTheCountersAndServiceGoesOn)
{
    ServerProcess server(loopback_server_argv(punchprobe_test::server_binary(), {}));
    ASSERT_TRUE(server.listening()) << server.first_output();
    const Listening listening = server.ports();

    server.process().signal(SIGUSR1);
    ASSERT_NE(server.process().wait_for_output(counters_after(0, 0), 10s).find(counters_after(0, 0)),
              std::string::npos);
    UdpPeer primary;
    UdpPeer alternate;
    ASSERT_TRUE(punchprobe_test::open_session(primary, alternate, loopback(listening.main), 10s))
        << "no service after SIGUSR1";
    server.process().signal(SIGUSR1);
    ASSERT_NE(server.process().wait_for_output(counters_after(1, 1), 10s).find(counters_after(1, 1)),
              std::string::npos);

    const auto result = server.stop(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, listening_line("127.0.0.1", listening.main, listening.extra) + counters_after(0, 0) +
                              counters_after(1, 1) + counters_after(1, 1));
}

TEST(ServerProcess, SigtermDuringAPingTrainStillLogsTheSession)
{
    ServerProcess server(
        loopback_server_argv(punchprobe_test::server_binary(), {"--pings", "5", "--ping-interval", "60000"}));
    ASSERT_TRUE(server.listening()) << server.first_output();
    const Listening listening = server.ports();
    const udp::endpoint main = loopback(listening.main);
    const udp::endpoint extra = loopback(listening.extra);

    UdpPeer primary;
    UdpPeer alternate;
    const auto opened = punchprobe_test::open_session(primary, alternate, main, 10s);
    ASSERT_TRUE(opened) << "INIT or INIT2 unanswered";
    const std::string id = std::to_string(*opened);
    primary.send_to(client_ping(*opened), extra);
    ASSERT_TRUE(primary.receive(10s)) << "first PING of the train";

    // The next PING is a minute away: the train is in flight when the signal comes.
    const auto result = server.stop(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::string primary_endpoint = "127.0.0.1:" + std::to_string(primary.port());
    EXPECT_EQ(result.out,
              listening_line("127.0.0.1", listening.main, listening.extra) + "session id=" + id +
                  " public=" + primary_endpoint +
                  alt_part(primary, alternate) + " mapping=endpoint-independent ping_source=" + primary_endpoint +
                  " pings_sent=1\n"
                  "counters sessions=1 completed=1 endpoint_independent=1 endpoint_dependent=0 expired=0 "
                  "evicted=0 dropped_malformed=0 dropped_unknown_command=0 dropped_unknown_session=0 "
                  "dropped_wrong_address=0 dropped_wrong_socket=0 dropped_oversized=0 dropped_duplicate_ping=0 "
                  "inits_answered=1" +
                  quiet_new_counters);
}

TEST(ServerProcess, SigintEndsItTooAndQuietStillPrintsTheFirstLine)
{
    // Default address: all interfaces, shown as such.
    ServerProcess server({punchprobe_test::server_binary(), "--port", "0", "--extra-port", "0", "--quiet"});
    ASSERT_TRUE(server.listening()) << server.first_output();
    EXPECT_EQ(server.ports().address, "0.0.0.0");
    const auto result = server.process().terminate(10s, SIGINT);
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

TEST(ServerProcess, MetricsPortInUseIsAnErrorWithStatusOneBeforeAnyLine)
{
    boost::asio::io_service io_service;
    boost::asio::ip::tcp::acceptor occupant(io_service, {boost::asio::ip::address_v4::loopback(), 0});
    const auto result = punchprobe_test::run_process(
        loopback_server_argv(punchprobe_test::server_binary(),
                             {"--metrics", "127.0.0.1:" + std::to_string(occupant.local_endpoint().port())}),
        10s);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "punchprobe-server: metrics bind: Address already in use\n");
}

}  // namespace
