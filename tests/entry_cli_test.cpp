// The command line as a user types it, run against the real program: what
// each kind of argument list prints on standard output and standard error,
// byte for byte, and the exit status. Runs that get as far as the exchange
// meet a scripted peer on loopback that answers INIT with an unknown command,
// so they end at once instead of waiting out the 10 s reply deadline.

#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/port_argument_cases.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::ChildProcess;
using punchprobe_test::client_argv;
using punchprobe_test::client_init;
using punchprobe_test::console_text;
using punchprobe_test::lookup_error_line;
using punchprobe_test::printed_local_port;
using punchprobe_test::ProcessResult;
using punchprobe_test::Transcript;
using punchprobe_test::UdpPeer;

const std::string unsupported_reply = "{\"command\":\"BYE\"}";

// A peer on the program's default port 30000. Each test program takes its
// own loopback address, so parallel tests never share that port.
std::unique_ptr<UdpPeer> peer_on_default_port()
{
    const int third = static_cast<int>(getpid() % 250) + 1;
    for (int fourth = 1; fourth <= 40; ++fourth) {
        const std::string address =
            "127.83." + std::to_string(third) + "." + std::to_string(fourth);
        try {
            return std::make_unique<UdpPeer>(30000, address);
        } catch (const boost::system::system_error&) {
            // Taken by someone else: try the next address.
        }
    }
    return nullptr;
}

struct Ended {
    std::string arguments;
    std::string out;
    std::string err;
    int exit_status;
};

// Runs that end before any lookup: nothing on the network is needed.
TEST(EntryCli, EndsBeforeTheRunWithExactOutput)
{
    const Ended cases[] = {
        {"", "", "Usage: punchprobe <server_host> [<server_port>]\n", 1},
        {"127.0.0.1 abc", "", "invalid stoi argument\n", 0},
        {"127.0.0.1 99999999999", "", "stoi argument out of range\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("arguments \"" + c.arguments + "\"");
        std::vector<std::string> arguments;
        if (!c.arguments.empty()) {
            const auto blank = c.arguments.find(' ');
            arguments.push_back(c.arguments.substr(0, blank));
            arguments.push_back(c.arguments.substr(blank + 1));
        }
        const ProcessResult result = punchprobe_test::run_process(client_argv(arguments), 10s);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.out, console_text(c.out));
        EXPECT_EQ(result.err, console_text(c.err));
        EXPECT_EQ(result.exit_status, c.exit_status);
    }
}

// Minus one passes the parse, is printed as it is and only fails in the
// lookup, whose error ends the run by itself.
TEST(EntryCli, MinusOneIsPrintedAndFailsInTheLookup)
{
    const ProcessResult result = punchprobe_test::run_client({"127.0.0.1", "-1"}, 10s);
    ASSERT_FALSE(result.timed_out) << result.out << result.err;
    const int local_port = printed_local_port(result.out);
    ASSERT_GT(local_port, 0) << result.out << result.err;
    EXPECT_EQ(result.out, Transcript("127.0.0.1", -1, local_port).using_server().looking_up().text());
    EXPECT_EQ(result.err, lookup_error_line(boost::asio::error::service_not_found));
    EXPECT_EQ(result.exit_status, 0);
}

// The parser's table through the real command line. A refused port ends the
// run with its text; an accepted one is the port of the first line, after
// which the run is cut short. Its INIT goes to an address of this test's own,
// and ports a wildcard socket of a parallel test might hold (the ephemeral
// range) are left to the parser's unit test.
TEST(EntryCli, PortArgumentTableAsTyped)
{
    const std::string host = "127.84." + std::to_string(getpid() % 250 + 1) + ".1";
    for (const auto& c : punchprobe_test::refused_ports()) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        const ProcessResult result = punchprobe_test::run_process(client_argv({host, c.text}), 10s);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, console_text(c.what + "\n"));
        EXPECT_EQ(result.exit_status, 0);
    }
    for (const auto& c : punchprobe_test::accepted_ports()) {
        if (c.port >= 32768 && c.port <= 60999) continue;
        SCOPED_TRACE("argument \"" + c.text + "\"");
        ChildProcess child(client_argv({host, c.text}));
        const std::string first = console_text("Using server " + host + ":" + std::to_string(c.port) + "\n");
        const std::string out = child.wait_for_output(console_text("\n"), 10s);
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), first);
    }
}

struct Reaching {
    const char* what;
    bool on_default_port;  // the run must use 30000, whatever else was given
    std::vector<std::string> (*arguments)(const std::string& host, const std::string& port);
};

// Runs that reach the exchange: the peer must get INIT on the expected port.
TEST(EntryCli, ArgumentsThatReachTheExchange)
{
    const Reaching cases[] = {
        {"one argument", true, [](const std::string& host, const std::string&) {
             return std::vector<std::string>{host};
         }},
        {"port number", false, [](const std::string& host, const std::string& port) {
             return std::vector<std::string>{host, port};
         }},
        {"digits followed by letters", false, [](const std::string& host, const std::string& port) {
             return std::vector<std::string>{host, port + "abc"};
         }},
        {"leading blanks", false, [](const std::string& host, const std::string& port) {
             return std::vector<std::string>{host, "  " + port};
         }},
        // If the second argument counted, INIT would go to port 40404, where
        // nobody listens, and the peer on 30000 would wait in vain.
        {"three arguments", true, [](const std::string& host, const std::string&) {
             return std::vector<std::string>{host, "40404", "extra"};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<UdpPeer> peer =
            c.on_default_port ? peer_on_default_port() : std::make_unique<UdpPeer>();
        ASSERT_TRUE(peer) << "no loopback address with port 30000 free";
        const std::string host = peer->endpoint().address().to_string();
        const std::string port = std::to_string(peer->port());

        ChildProcess child(client_argv(c.arguments(host, port)));

        const auto init = peer->receive(10s);
        ASSERT_TRUE(init) << "no INIT reached " << host << ":" << port;
        peer->send_to(unsupported_reply, init->source);
        const ProcessResult result = child.wait(10s);
        ASSERT_FALSE(result.timed_out) << result.out << result.err;

        const int local_port = init->source.port();
        EXPECT_EQ(init->bytes, client_init(local_port));
        EXPECT_EQ(result.out, console_text(Transcript(host, peer->port(), local_port)
                                               .using_server()
                                               .set_up(host)
                                               .sending_init()
                                               .text()));
        EXPECT_EQ(result.err, console_text(std::string(punchprobe_test::unsupported_command_text) + "\n"));
        EXPECT_EQ(result.exit_status, 0);
    }
}

}  // namespace
