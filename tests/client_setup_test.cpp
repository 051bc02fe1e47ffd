// Set-up of the client's two sockets and the lookup, run as the real program
// inside network namespaces of our own. There the port range, the taken ports
// and the interfaces are ours, so the outcomes that depend on the system's
// choices (a taken neighbour port, a primary port of 65535, a refused lookup)
// happen every time, and no datagram leaves the namespace.

#include <cerrno>
#include <memory>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <gtest/gtest.h>

#include "protocol/server_messages.hpp"
#include "support/child_process.hpp"
#include "support/net_namespace.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::ChildProcess;
using punchprobe_test::client_binary;
using punchprobe_test::NetNamespace;
using punchprobe_test::ProcessResult;
using punchprobe_test::UdpPeer;

using punchprobe_test::lookup_error_line;
using punchprobe_test::Transcript;

// Lines that every run prints up to the start of the lookup, for a primary
// port P (and P + 1 as the alternate one) and the server 127.0.0.1:30000.
std::string set_up_lines(int local_port)
{
    return Transcript("127.0.0.1", 30000, local_port).using_server().looking_up().text();
}

// The system may only choose 40000, and 40001 is held by another socket: the
// alternate bind fails and the run ends there, before any bound-port line.
TEST(ClientSetup, TakenAlternatePortFailsTheBind)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    ns->set_local_port_range(40000, 40000);
    const auto argv = ns->exec_argv({client_binary(), "127.0.0.1", "30000"});

    // Without the holder the same namespace gives exactly 40000 and 40001
    // (and, with only loopback, a refused lookup that ends the run), which
    // shows the failure below comes from the taken port alone.
    const ProcessResult free_run = punchprobe_test::run_process(argv, 10s);
    ASSERT_FALSE(free_run.timed_out) << free_run.out << free_run.err;
    ASSERT_EQ(free_run.out, set_up_lines(40000));

    std::unique_ptr<UdpPeer> holder;
    ns->run_inside([&] { holder = std::make_unique<UdpPeer>(40001, "0.0.0.0"); });

    const ProcessResult result = punchprobe_test::run_process(argv, 10s);
    ASSERT_FALSE(result.timed_out) << result.out << result.err;
    const boost::system::error_code in_use(EADDRINUSE, boost::system::system_category());
    EXPECT_EQ(result.out, "Using server 127.0.0.1:30000\n");
    EXPECT_EQ(result.err, "bind: " + in_use.message() + "\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(holder->receive(0ms)) << "nothing may be sent after a failed set-up";
}

// With only loopback up, an IPv4 lookup with AI_ADDRCONFIG is refused even
// for a dotted address, with no name server asked. The run must print the
// error and end by itself, although no deadline was ever set.
TEST(ClientSetup, FailedLookupEndsTheRunPromptly)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    ns->set_local_port_range(41000, 41000);

    const ProcessResult result =
        punchprobe_test::run_process(ns->exec_argv({client_binary(), "127.0.0.1", "30000"}), 20s);
    ASSERT_FALSE(result.timed_out) << "the run did not end by itself\n" << result.out << result.err;
    EXPECT_EQ(result.out, set_up_lines(41000));
    EXPECT_EQ(result.err, lookup_error_line(boost::asio::error::host_not_found));
    EXPECT_EQ(result.exit_status, 0);
    // Well below the 10 s reply deadline: the end does not come from a timer.
    EXPECT_LT(result.elapsed, 5s);
}

// A primary port of 65535 has no neighbour: the alternate socket gets a port
// that the system chooses, while the printed and sent value stays 65536.
//
// A range of 65535 alone cannot show this: once the primary socket holds
// 65535 nothing is left for the alternate one, and its bind fails. With the
// range 65534-65535 the system picks the primary port at random, so the run
// is repeated (bounded) until the primary gets 65535; the alternate socket
// must then be on 65534, the only port left.
TEST(ClientSetup, PrimaryPort65535GivesAlternate65536)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    ns->set_local_port_range(65534, 65535);
    ns->add_veth_address("192.0.2.1/24");  // lets the IPv4 lookup succeed
    std::unique_ptr<UdpPeer> server;
    ns->run_inside([&] { server = std::make_unique<UdpPeer>(30000, "127.0.0.1"); });
    const auto argv = ns->exec_argv({client_binary(), "127.0.0.1", "30000"});

    const int attempts = 40;  // 2^-40 to miss 65535 every time
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        ChildProcess child(argv);
        const auto init = server->receive(10s);
        ASSERT_TRUE(init) << "no INIT in attempt " << attempt;
        if (init->source.port() != 65535) {
            // The primary got 65534; end this run at once and try again.
            server->send_to("{\"command\":\"BYE\"}", init->source);
            ASSERT_FALSE(child.wait(10s).timed_out);
            continue;
        }
        EXPECT_EQ(init->bytes, "{\"command\":\"INIT\",\"local_port\":65535,\"protocol\":\"Punchprobe\"}\n");
        server->send_to(punchprobe::make_init_reply(77, "192.0.2.1", 65535), init->source);

        const auto init2 = server->receive(10s);
        ASSERT_TRUE(init2) << "no INIT2";
        EXPECT_EQ(init2->bytes, "{\"command\":\"INIT2\",\"local_port_alt\":65536,\"protocol\":"
                                "\"Punchprobe\",\"session_id\":77}\n");
        EXPECT_EQ(init2->source.port(), 65534) << "the alternate socket is not on the system's choice";
        server->send_to("{\"command\":\"BYE\"}", init2->source);

        const ProcessResult result = child.wait(10s);
        ASSERT_FALSE(result.timed_out) << result.out << result.err;
        // The alternate port is printed as P + 1, 65536.
        Transcript expected("127.0.0.1", 30000, 65535);
        expected.using_server().set_up().sending_init().received_init(77, "192.0.2.1", 65535).sending_init2(77);
        EXPECT_EQ(result.out, expected.text());
        EXPECT_EQ(result.err, std::string(punchprobe_test::unsupported_command_text) + "\n");
        EXPECT_EQ(result.exit_status, 0);
        return;
    }
    FAIL() << "the primary socket never got 65535 in " << attempts << " runs";
}

}  // namespace
