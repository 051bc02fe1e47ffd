// Set-up of the client's two sockets and the lookup, run as the real program
// inside network namespaces of our own. There the port range, the taken ports
// and the interfaces are ours, so the outcomes that depend on the system's
// choices (a taken neighbour port, a primary port of 65535, a refused lookup)
// happen every time, and no datagram leaves the namespace.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "protocol/server_messages.hpp"
#include "support/net_namespace.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;

RunValues values_for(int p)
{
    RunValues values;
    values.p = p;
    return values;
}

// The system may only choose 40000. With only loopback up, an IPv4 lookup
// with AI_ADDRCONFIG is refused even for a dotted address, with no name
// server asked: the run must print the error and end by itself, though no
// deadline was ever set. With 40001 held by another socket the alternate bind
// fails instead, and the run ends there, before any bound-port line.
TEST(ClientSetup, RefusedLookupEndsTheRunAndATakenAlternatePortFailsTheBind)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    ns->set_local_port_range(40000, 40000);
    const auto argv = ns->exec_argv({client_binary(), "127.0.0.1", "30000"});

    const ProcessResult free_run = run_process(argv, 20s);
    ASSERT_FALSE(free_run.timed_out) << "the run did not end by itself\n" << free_run.out << free_run.err;
    EXPECT_EQ(console_of(free_run.out, free_run.err), golden("namespace_lookup_refused", values_for(40000)));
    EXPECT_EQ(free_run.exit_status, 0);
    // Well below the 10 s reply deadline: the end does not come from a timer.
    EXPECT_LT(free_run.elapsed, 5s);

    std::unique_ptr<UdpPeer> holder;
    ns->run_inside([&] { holder = std::make_unique<UdpPeer>(40001, "0.0.0.0"); });
    const ProcessResult result = run_process(argv, 10s);
    ASSERT_FALSE(result.timed_out) << result.out << result.err;
    EXPECT_EQ(console_of(result.out, result.err), golden("namespace_alternate_port_taken", values_for(40000)));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(holder->receive(0ms)) << "nothing may be sent after a failed set-up";
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
        EXPECT_EQ(init->bytes, client_init(65535));
        server->send_to(punchprobe::make_init_reply(77, "192.0.2.1", 65535), init->source);

        const auto init2 = server->receive(10s);
        ASSERT_TRUE(init2) << "no INIT2";
        EXPECT_EQ(init2->bytes, client_init2(77, 65536));
        EXPECT_EQ(init2->source.port(), 65534) << "the alternate socket is not on the system's choice";
        server->send_to("{\"command\":\"BYE\"}", init2->source);

        const ProcessResult result = child.wait(10s);
        ASSERT_FALSE(result.timed_out) << result.out << result.err;
        EXPECT_EQ(console_of(result.out, result.err), golden("namespace_primary_port_65535", values_for(65535)));
        EXPECT_EQ(result.exit_status, 0);
        return;
    }
    FAIL() << "the primary socket never got 65535 in " << attempts << " runs";
}

}  // namespace
