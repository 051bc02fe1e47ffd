// The server's command line: values, defaults, and every refusal with exit
// status 2.
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

TEST(ServerOptions, Defaults)
{
    const auto command_line = parse({});
    ASSERT_EQ(command_line.action, ServerCommandLine::Action::run) << command_line.text;
    const auto& options = command_line.options;
    EXPECT_EQ(options.bind_address.to_string(), "0.0.0.0");
    EXPECT_EQ(options.main_port, 30000);
    EXPECT_EQ(options.extra_port, 30001);
    EXPECT_EQ(options.pings, punchprobe::default_ping_count);
    EXPECT_EQ(options.ping_interval, 50ms);
    EXPECT_EQ(options.session_ttl, 60s);
    EXPECT_EQ(options.max_sessions, 65536u);
    EXPECT_EQ(options.init_rate, 10);
    EXPECT_EQ(options.init_burst, 20);
    EXPECT_EQ(options.trains_per_address, 4);
    EXPECT_EQ(options.resends, 3);
    EXPECT_EQ(options.resend_interval, 1000ms);
    EXPECT_FALSE(options.quiet);
    EXPECT_FALSE(options.metrics);
    EXPECT_EQ(options.metrics_deadline, 5s);
}

TEST(ServerOptions, EveryOptionReachesItsField)
{
    const auto command_line = parse({"--bind", "192.0.2.7", "--port", "0", "--extra-port=65535", "--pings",
                                     "0", "--ping-interval", "7", "--session-ttl", "2", "--max-sessions", "1",
                                     "--init-rate", "0", "--init-burst", "3", "--trains-per-address", "9",
                                     "--resends", "0", "--resend-interval", "1", "--quiet", "--metrics",
                                     "198.51.100.9:9100"});
    ASSERT_EQ(command_line.action, ServerCommandLine::Action::run) << command_line.text;
    const auto& options = command_line.options;
    EXPECT_EQ(options.bind_address.to_string(), "192.0.2.7");
    EXPECT_EQ(options.main_port, 0);
    EXPECT_EQ(options.extra_port, 65535);
    EXPECT_EQ(options.pings, 0);
    EXPECT_EQ(options.ping_interval, 7ms);
    EXPECT_EQ(options.session_ttl, 2s);
    EXPECT_EQ(options.max_sessions, 1u);
    EXPECT_EQ(options.init_rate, 0);
    EXPECT_EQ(options.init_burst, 3);
    EXPECT_EQ(options.trains_per_address, 9);
    EXPECT_EQ(options.resends, 0);
    EXPECT_EQ(options.resend_interval, 1ms);
    EXPECT_TRUE(options.quiet);
    ASSERT_TRUE(options.metrics);
    EXPECT_EQ(options.metrics->address().to_string(), "198.51.100.9");
    EXPECT_EQ(options.metrics->port(), 9100);
    const auto chosen = parse({"--metrics=0.0.0.0:0"});
    ASSERT_TRUE(chosen.options.metrics) << chosen.text;
    EXPECT_EQ(chosen.options.metrics->port(), 0);
}

TEST(ServerOptions, RefusesBadValuesNamingTheOption)
{
    struct Case {
        std::vector<std::string> args;
        std::string names;
    };
    const std::vector<Case> cases = {
        {{"--port", "65536"}, "--port"},
        {{"--port", "-1"}, "--port"},
        {{"--port", "abc"}, "--port"},
        {{"--extra-port", "1e3"}, "--extra-port"},
        {{"--pings", "-1"}, "--pings"},
        {{"--pings", "101"}, "--pings"},
        {{"--ping-interval", "-5"}, "--ping-interval"},
        {{"--session-ttl", "0"}, "--session-ttl"},
        {{"--max-sessions", "0"}, "--max-sessions"},
        {{"--max-sessions", "99999999999999999999"}, "--max-sessions"},
        {{"--init-rate", "-1"}, "--init-rate"},
        {{"--init-rate", "1000001"}, "--init-rate"},
        {{"--init-burst", "0"}, "--init-burst"},
        {{"--trains-per-address", "0"}, "--trains-per-address"},
        {{"--resends", "11"}, "--resends"},
        {{"--resends", "-1"}, "--resends"},
        {{"--resend-interval", "0"}, "--resend-interval"},
        {{"--resend-interval", "10001"}, "--resend-interval"},
        {{"--bind", "999.1.1.1"}, "--bind"},
        {{"--bind", "::1"}, "--bind"},
        {{"--port", "4000", "--extra-port", "4000"}, "--extra-port"},
        {{"--bogus"}, "bogus"},
        {{"--port"}, "--port"},
        {{"--metrics", "127.0.0.1"}, "--metrics"},
        {{"--metrics", "127.0.0.1:"}, "--metrics"},
        {{"--metrics", ":9100"}, "--metrics"},
        {{"--metrics", "127.0.0.1:65536"}, "--metrics"},
        {{"--metrics", "127.0.0.1:-1"}, "--metrics"},
        {{"--metrics", "127.0.0.1:+80"}, "--metrics"},
        {{"--metrics", "127.0.0.1:99999999999999999999"}, "--metrics"},
        {{"--metrics", "localhost:9100"}, "--metrics"},
        {{"--metrics", "[::1]:9100"}, "--metrics"},
        {{"--metrics"}, "--metrics"},
        {{"127.0.0.1"}, "positional"},
    };
    for (const Case& c : cases) {
        const auto command_line = parse(c.args);
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(command_line.action, ServerCommandLine::Action::error);
        EXPECT_EQ(command_line.text.rfind("punchprobe-server: ", 0), 0u) << command_line.text;
        EXPECT_NE(command_line.text.find(c.names), std::string::npos) << command_line.text;
    }
    // Both ports 0 is fine: the system picks two different ones.
    EXPECT_EQ(parse({"--port", "0", "--extra-port", "0"}).action, ServerCommandLine::Action::run);
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
                               "--resend-interval", "--quiet", "--metrics", "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    const auto bad = punchprobe_test::run_process({server, "--port", "70000"}, 10s);
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "punchprobe-server: the argument ('70000') for option '--port' is out of range 0..65535\n"
              "Try 'punchprobe-server --help' for more information.\n");
}

}  // namespace
