// The punchprobe-server program as scripts and operators meet it: its
// first line, the counters on signals, a train under way at SIGTERM, and
// the exit status and text of a port that cannot be bound.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "server/server_counters.hpp"
#include "support/attack_server.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::listening_line;
using punchprobe_test::loopback;
using punchprobe_test::server_binary;
using punchprobe_test::ServerProcess;
using punchprobe_test::UdpPeer;

// `batches`: reads that took datagrams, each answered with one send call.
std::string counters(std::uint64_t sessions, std::uint64_t completed, std::uint64_t batches = 0)
{
    punchprobe::ServerCounters counters;
    counters.sessions = counters.inits_answered = counters.inits_fast_path = sessions;
    counters.completed = counters.endpoint_independent = completed;
    counters.receive_batches = counters.send_batches = batches;
    return punchprobe::counters_line(counters) + "\n";
}

TEST(ServerProcess, SignalsPrintTheCountersAndSigtermLogsTheTrainUnderWay)
{
    ServerProcess server(punchprobe_test::loopback_server_argv(server_binary(), {"--ping-interval", "60000"}));
    ASSERT_TRUE(server.listening()) << server.first_output();
    const auto ports = server.ports();
    // SIGUSR1: the counters so far, and service goes on.
    server.process().signal(SIGUSR1);
    server.process().wait_for_output(counters(0, 0), 10s);
    UdpPeer primary, alternate;
    const auto id = punchprobe_test::open_session(primary, alternate, loopback(ports.main));
    ASSERT_TRUE(id) << "no service after SIGUSR1";
    primary.send_to(punchprobe_test::client_ping(*id), loopback(ports.extra));
    ASSERT_TRUE(primary.receive(10s)) << "the train's first PING";

    // The next PING is a minute away: the train is under way at SIGTERM.
    // Each of the four requests waited for the answer to the one before, so
    // each came in a read of its own.
    const auto result = server.stop(10s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::string client = "127.0.0.1:" + std::to_string(primary.port());
    EXPECT_EQ(result.out, listening_line("127.0.0.1", ports.main, ports.extra) + counters(0, 0) + "session id=" +
                              std::to_string(*id) + " public=" + client + " alt_port=" +
                              std::to_string(alternate.port()) + " alt_is_main_plus_1=" +
                              (alternate.port() == primary.port() + 1 ? "yes" : "no") +
                              " mapping=endpoint-independent ping_source=" + client + " pings_sent=1\n" +
                              counters(1, 1, 4));
}

TEST(ServerProcess, SigintEndsItTooAndQuietKeepsTheFirstAndLastLines)
{
    // The default address: all interfaces, shown as such.
    ServerProcess server({server_binary(), "--port", "0", "--extra-port", "0", "--quiet"});
    ASSERT_TRUE(server.listening()) << server.first_output();
    const auto result = server.process().terminate(10s, SIGINT);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, listening_line("0.0.0.0", server.ports().main, server.ports().extra) + counters(0, 0));
}

TEST(ServerProcess, APortThatCannotBeBoundIsNamedWithStatusOne)
{
    UdpPeer udp_occupant;
    boost::asio::io_service io_service;
    boost::asio::ip::tcp::acceptor tcp_occupant(io_service, {boost::asio::ip::address_v4::loopback(), 0});
    const std::string udp_port = std::to_string(udp_occupant.port());
    const std::string tcp_port = std::to_string(tcp_occupant.local_endpoint().port());
    const struct {
        std::vector<std::string> options;
        std::string err;
    } cases[] = {
        {{"--port", udp_port, "--extra-port", "0"}, "bind 127.0.0.1:" + udp_port + " (main port)"},
        {{"--port", "0", "--extra-port", udp_port}, "bind 127.0.0.1:" + udp_port + " (extra port)"},
        {{"--port", "0", "--extra-port", "0", "--metrics", "127.0.0.1:" + tcp_port},
         "bind 127.0.0.1:" + tcp_port + " (metrics port)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{server_binary(), "--bind", "127.0.0.1"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const auto result = punchprobe_test::run_process(argv, 10s);
        EXPECT_EQ(result.exit_status, 1) << c.err;
        EXPECT_EQ(result.out, "") << "no listening line before every port is bound";
        EXPECT_EQ(result.err, "punchprobe-server: " + c.err + ": Address already in use\n");
    }
}

}  // namespace
