// The server's command line: defaults, every option's field and range, and
// the help and version texts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "punchprobe/version.hpp"
#include "server/server_options.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe::ServerCommandLine;

ServerCommandLine parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "punchprobe-server");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    return punchprobe::parse_server_command_line(static_cast<int>(argv.size()), argv.data());
}

// Every field as "key=value ", times in milliseconds.
std::string fields(const punchprobe::ServerOptions& o)
{
    const auto ms = [](std::chrono::milliseconds time) { return std::to_string(time.count()); };
    return "bind=" + o.bind_address.to_string() + " port=" + std::to_string(o.main_port) +
           " extra-port=" + std::to_string(o.extra_port) + " pings=" + std::to_string(o.pings) +
           " ping-interval=" + ms(o.ping_interval) + " session-ttl=" + ms(o.session_ttl) +
           " max-sessions=" + std::to_string(o.max_sessions) + " init-rate=" + std::to_string(int(o.init_rate)) +
           " init-burst=" + std::to_string(int(o.init_burst)) + " trains-per-address=" +
           std::to_string(o.trains_per_address) + " resends=" + std::to_string(o.resends) +
           " resend-interval=" + ms(o.resend_interval) + " quiet=" + (o.quiet ? "yes" : "no") + " metrics=" +
           (o.metrics ? o.metrics->address().to_string() + ":" + std::to_string(o.metrics->port()) : "off") +
           " metrics-deadline=" + ms(o.metrics_deadline) + " ";
}

TEST(ServerOptions, EveryOptionReachesItsFieldOrIsRefusedByName)
{
    EXPECT_EQ(fields(parse({}).options),
              "bind=0.0.0.0 port=30000 extra-port=30001 pings=5 ping-interval=50 session-ttl=60000 "
              "max-sessions=65536 init-rate=10 init-burst=20 trains-per-address=4 resends=3 resend-interval=1000 "
              "quiet=no metrics=off metrics-deadline=5000 ");
    // A field it sets, or "refused" and the name the refusal gives.
    const struct {
        std::vector<std::string> args;
        std::string shows;
    } cases[] = {
        {{"--bind", "192.0.2.7"}, "bind=192.0.2.7 "},
        {{"--bind", "::1"}, "refused --bind"},
        {{"--extra-port=65535"}, "extra-port=65535 "},
        {{"--port", "0", "--extra-port", "0"}, "port=0 extra-port=0 "},  // the system picks two
        {{"--port", "4000", "--extra-port", "4000"}, "refused --extra-port"},
        {{"--port", "65536"}, "refused --port"},
        {{"--port", "abc"}, "refused --port"},
        {{"--extra-port", "1e3"}, "refused --extra-port"},
        // Fewer than the client's three PINGs would turn every run into FAILURE.
        {{"--pings", "2"}, "refused --pings"},
        {{"--pings", "3"}, "pings=3 "},
        {{"--pings", "100"}, "pings=100 "},
        {{"--pings", "101"}, "refused --pings"},
        {{"--ping-interval", "0"}, "ping-interval=0 "},
        {{"--ping-interval", "60001"}, "refused --ping-interval"},
        {{"--session-ttl", "2"}, "session-ttl=2000 "},
        {{"--session-ttl", "0"}, "refused --session-ttl"},
        {{"--max-sessions", "1"}, "max-sessions=1 "},
        {{"--max-sessions", "0"}, "refused --max-sessions"},
        {{"--init-rate", "0"}, "init-rate=0 "},
        {{"--init-rate", "1000001"}, "refused --init-rate"},
        {{"--init-burst", "3"}, "init-burst=3 "},
        {{"--init-burst", "0"}, "refused --init-burst"},
        {{"--trains-per-address", "9"}, "trains-per-address=9 "},
        {{"--trains-per-address", "0"}, "refused --trains-per-address"},
        {{"--resends", "0"}, "resends=0 "},
        {{"--resends", "11"}, "refused --resends"},
        {{"--resend-interval", "1"}, "resend-interval=1 "},
        {{"--resend-interval", "10001"}, "refused --resend-interval"},
        {{"--quiet"}, "quiet=yes "},
        {{"--metrics=198.51.100.9:0"}, "metrics=198.51.100.9:0 "},
        {{"--metrics", "127.0.0.1"}, "refused --metrics"},
        {{"--metrics", ":9100"}, "refused --metrics"},
        {{"--metrics", "127.0.0.1:65536"}, "refused --metrics"},
        {{"--metrics", "127.0.0.1:+80"}, "refused --metrics"},
        {{"--metrics", "localhost:9100"}, "refused --metrics"},
        {{"--metrics", "[::1]:9100"}, "refused --metrics"},
        {{"--bogus"}, "refused bogus"},
        {{"127.0.0.1"}, "refused positional"},
    };
    for (const auto& c : cases) {
        const ServerCommandLine command_line = parse(c.args);
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        if (c.shows.rfind("refused ", 0) != 0) {
            ASSERT_EQ(command_line.action, ServerCommandLine::Action::run) << command_line.text;
            EXPECT_NE(fields(command_line.options).find(c.shows), std::string::npos) << fields(command_line.options);
            continue;
        }
        EXPECT_EQ(command_line.action, ServerCommandLine::Action::error);
        EXPECT_EQ(command_line.text.rfind("punchprobe-server: ", 0), 0u) << command_line.text;
        EXPECT_NE(command_line.text.find(c.shows.substr(8)), std::string::npos) << command_line.text;
    }
}

TEST(ServerOptionsBinary, HelpVersionAndRefusals)
{
    const std::string server = punchprobe_test::server_binary();
    const auto version = punchprobe_test::run_process({server, "--version"}, 10s);
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, std::string("punchprobe-server ") + punchprobe::version + "\n");

    const auto help = punchprobe_test::run_process({server, "--help"}, 10s);
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* option : {"--bind", "--port", "--extra-port", "--pings", "--ping-interval", "--session-ttl",
                               "--max-sessions", "--init-rate", "--init-burst", "--trains-per-address", "--resends",
                               "--resend-interval", "--quiet", "--metrics", "-h [ --help ]", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const auto short_help = punchprobe_test::run_process({server, "-h"}, 10s);
    EXPECT_EQ(short_help.exit_status, 0);
    EXPECT_EQ(short_help.out, help.out);

    const auto bad = punchprobe_test::run_process({server, "--pings", "2"}, 10s);
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "punchprobe-server: the argument ('2') for option '--pings' is out of range 3..100\n"
              "Try 'punchprobe-server --help' for more information.\n");
}

}  // namespace
