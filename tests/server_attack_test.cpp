// The real punchprobe-server under the attacks that need a process, raw
// sockets or a network namespace: impossible and forged sources, a flood of
// forged INITs, a slow uplink and sends that fail.
// What the server decides about each datagram is server_core_test.cpp's.
// PUNCHPROBE_ATTACK_SERVER aims the same attacks at another build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "support/attack_server.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::udp;
using punchprobe_test::ask;
using punchprobe_test::AttackServer;
using punchprobe_test::client_init;
using punchprobe_test::client_ping;
using punchprobe_test::counter;
using punchprobe_test::Counters;
using punchprobe_test::counters_in;
using punchprobe_test::ForgedInitFlood;
using punchprobe_test::UdpPeer;
using Clock = std::chrono::steady_clock;

udp::endpoint at(const std::string& address, unsigned short port)
{
    return {boost::asio::ip::make_address_v4(address), port};
}

// A raw socket inside `ns`, so that forged datagrams stay there.
#define CREATE_FORGER_OR_SKIP(variable, ns)                                                            \
    std::unique_ptr<punchprobe_test::ForgedUdpSender> variable;                                        \
    std::string why_no_raw;                                                                            \
    (ns)->run_inside([&] { variable = punchprobe_test::ForgedUdpSender::create(why_no_raw); });        \
    if (!variable) GTEST_SKIP() << why_no_raw

TEST(ServerAttack, ImpossibleSourcesGetNothingAndLeaveNoErrors)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    CREATE_FORGER_OR_SKIP(forger, ns);
    // Bound to all addresses, so that any loopback address at its ports is
    // the server itself.
    AttackServer server(*ns);
    ASSERT_TRUE(server.listening());
    std::vector<std::unique_ptr<UdpPeer>> services;
    std::unique_ptr<UdpPeer> client;
    ns->run_inside([&] {
        for (unsigned short port : {7, 53, 123}) services.push_back(std::make_unique<UdpPeer>(port, "127.0.0.1"));
        client = std::make_unique<UdpPeer>();
    });
    for (const udp::endpoint& source : {at("127.0.0.1", 7), at("127.0.0.1", 53), at("127.0.0.1", 123),
                                        at("127.0.0.1", 0), server.main(), server.extra(),
                                        at("127.0.0.9", server.main().port())})
        EXPECT_TRUE(forger->send(source, server.main(), client_init(40000))) << source << std::strerror(errno);
    // Datagrams are handled in order: once a real client's INIT is answered,
    // anything sent to the others has arrived.
    ASSERT_TRUE(ask(*client, server.main(), client_init(client->port()), *client));
    for (auto& service : services)
        punchprobe_test::expect_no_datagram(*service, "port " + std::to_string(service->port()), 0ms);

    const auto result = server.stop();
    EXPECT_EQ(result.err, "");
    const Counters counters = counters_in(result.out);
    EXPECT_EQ(counter(counters, "dropped_bad_source"), 4);
    EXPECT_EQ(counter(counters, "dropped_own_socket"), 3);
    EXPECT_EQ(counter(counters, "inits_answered"), 1);
}

// A client that waits a second between steps, as one behind a slow link
// would, and repeats a request the flood made the server's socket lose.
// Returns the PINGs it received, or minus the step that went unanswered.
int slow_client(const AttackServer& server, UdpPeer& primary, UdpPeer& alternate)
{
    // Eight tries: a step the server lost for good stays unanswered, while
    // one the loaded kernel dropped is answered the next time.
    const auto init = ask(primary, server.main(), client_init(primary.port()), primary, 8, 250ms);
    if (!init) return -1;
    const int id = punchprobe_test::id_in(*init);
    std::this_thread::sleep_for(1s);
    if (!ask(alternate, server.main(), punchprobe_test::client_init2(id, alternate.port()), alternate, 8, 250ms))
        return -2;
    std::this_thread::sleep_for(1s);
    if (!ask(primary, server.main(), punchprobe_test::client_start(id), primary, 8, 250ms)) return -3;
    std::this_thread::sleep_for(1s);
    if (!ask(primary, server.extra(), client_ping(id), primary, 8, 250ms)) return 0;
    int pings = 1;
    while (pings < 100 && primary.receive(500ms)) ++pings;
    return pings;
}

TEST(ServerAttack, ForgedInitFloodCannotPushARealClientOut)
{
    // In a namespace of its own: the replies to forged sources go to every
    // port, and a socket on the wildcard address beside it would take them.
    CREATE_NAMESPACE_OR_SKIP(ns);
    CREATE_FORGER_OR_SKIP(forger, ns);
    // An INIT that took a place in the table would push the real client out
    // within a tenth of each of its pauses; a faster flood only tests whether
    // the server keeps up, which the kernel settles by dropping datagrams,
    // the client's among them. Without re-sends each datagram the client
    // gets answers its last request.
    AttackServer server(*ns, {"--max-sessions", "1000", "--quiet", "--resends", "0"});
    ASSERT_TRUE(server.listening());
    std::unique_ptr<UdpPeer> primary, alternate;
    ns->run_inside([&] {
        primary = std::make_unique<UdpPeer>();
        alternate = std::make_unique<UdpPeer>();
    });
    int pings = 0;
    ForgedInitFlood::Report report;
    {
        ForgedInitFlood flood(*forger, server.main(), 6s, 10000);
        ASSERT_TRUE(flood.wait_until_sent(1000, 5s)) << "the flood did not start";
        pings = slow_client(server, *primary, *alternate);
        report = flood.finish();
    }
    EXPECT_EQ(pings, 5);
    const Counters counters = counters_in(server.stop().out);
    std::printf("[ flood    ] %ld forged INITs in %.1f s, %.0f/s; server answered %lld\n", report.sent,
                report.seconds, report.per_second(), punchprobe_test::counter_or_minus_one(counters, "inits_answered"));
    EXPECT_EQ(counter(counters, "evicted"), 0);
}

TEST(ServerAttack, FloodBehindASlowUplinkKeepsMemoryAndQueueBounded)
{
    CREATE_NAMESPACE_OR_SKIP(ns);
    // Replies leave at 1 Mbit/s while INITs come at full speed: the server's
    // send buffer stays full and anything it cannot send waits in its memory.
    punchprobe_test::throttle_source_port(*ns, AttackServer::main_port, "1mbit");
    CREATE_FORGER_OR_SKIP(forger, ns);
    // A sanitized server would keep every freed block in ASan's quarantine
    // (256 MB) and show that instead of its queues; other builds ignore this.
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    const std::string before = asan_options ? asan_options : "";
    setenv("ASAN_OPTIONS", (before + ":quarantine_size_mb=0").c_str(), 1);
    AttackServer server(*ns);
    setenv("ASAN_OPTIONS", before.c_str(), 1);
    ASSERT_TRUE(server.listening());
    std::unique_ptr<UdpPeer> client;
    ns->run_inside([&] { client = std::make_unique<UdpPeer>(0, "127.0.0.1"); });
    ASSERT_TRUE(ask(*client, server.main(), client_init(client->port()), *client)) << "before the flood";

    const long idle = punchprobe_test::process_usage(server.pid()).vm_rss_kb;
    long peak = idle;
    ForgedInitFlood::Report report;
    {
        ForgedInitFlood flood(*forger, server.main(), 4s);
        for (int sample = 0; sample < 50 && flood.running(); ++sample) {
            std::this_thread::sleep_for(100ms);
            peak = std::max(peak, punchprobe_test::process_usage(server.pid()).vm_rss_kb);
        }
        report = flood.finish();
    }
    const auto flood_ended = Clock::now();
    const auto reply = ask(*client, server.main(), client_init(client->port()), *client, 8, 250ms);
    const double answered_after = std::chrono::duration<double>(Clock::now() - flood_ended).count();
    std::printf("[ memory   ] VmRSS idle %ld kB, peak %ld kB under %.0f forged INITs/s; INIT answered after %.2f s\n",
                idle, peak, report.per_second(), answered_after);
#if defined(__SANITIZE_ADDRESS__)
    // ASan maps shadow and allocator regions as the heap first grows; the
    // old unbounded queue still grows by more than this each second.
    constexpr long allowed_growth_kb = 24 * 1024;
#else
    constexpr long allowed_growth_kb = 4 * 1024;
#endif
    EXPECT_LE(peak - idle, allowed_growth_kb);
    EXPECT_TRUE(reply) << "no INIT reply after the flood";
    EXPECT_LE(answered_after, 2.0);
    EXPECT_GT(counter(counters_in(server.stop().out), "dropped_send_queue"), 0);
}

TEST(ServerAttack, FailingSendsDoNotFloodTheErrorLog)
{
    // Every reply refused by the firewall is an error the server reports; a
    // source provoking them must not flood its journal.
    CREATE_NAMESPACE_OR_SKIP(ns);
    const std::string nft = "/usr/sbin/nft";
    if (access(nft.c_str(), X_OK) != 0) GTEST_SKIP() << "nft is not installed";
    const auto rule = punchprobe_test::run_process(
        ns->exec_argv({nft, "add table ip attack; add chain ip attack out { type filter hook output priority 0; }; "
                            "add rule ip attack out udp sport " +
                                std::to_string(AttackServer::main_port) + " drop"}),
        10s);
    ASSERT_EQ(rule.exit_status, 0) << rule.err;
    CREATE_FORGER_OR_SKIP(forger, ns);
    AttackServer server(*ns);
    ASSERT_TRUE(server.listening());
    constexpr int inits = 300;
    const auto began = Clock::now();
    for (int sent = 0; sent < inits; ++sent) {
        // Many addresses, so that the INIT limit per address never applies.
        const udp::endpoint source =
            at("127.2." + std::to_string(sent / 200) + "." + std::to_string(sent % 200 + 1), 40000);
        EXPECT_TRUE(forger->send(source, server.main(), client_init(source.port()))) << std::strerror(errno);
        if (sent % 30 == 29) std::this_thread::sleep_for(100ms);
    }
    // Junk last: once it is counted, every INIT before it was handled.
    ASSERT_TRUE(forger->send(at("127.2.9.9", 40000), server.main(), "{}"));
    bool handled = false;
    for (int look = 0; look < 100 && !handled; ++look) {
        server.process().signal(SIGUSR1);
        const std::string seen = " dropped_unknown_command=1 ";
        handled = server.process().wait_for_output(seen, 100ms).find(seen) != std::string::npos;
    }
    ASSERT_TRUE(handled);
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    const auto result = server.stop();
    const auto error_lines = static_cast<long long>(std::count(result.err.begin(), result.err.end(), '\n'));
    std::printf("[ errors   ] %d refused replies in %.2f s: %lld error lines\n", inits, elapsed, error_lines);
    EXPECT_LE(error_lines, static_cast<long long>(20 + 10 * elapsed) + 1);
    const Counters counters = counters_in(result.out);
    EXPECT_GT(counter(counters, "error_lines_suppressed"), 0);
    EXPECT_EQ(error_lines + counter(counters, "error_lines_suppressed"), inits);
}

}  // namespace
