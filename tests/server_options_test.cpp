// The server's command line: defaults, every option's field and range, and
// the help and version texts.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
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
    const char* const log_addresses[] = {"full", "truncated", "none"};
    return "bind=" + o.bind_address.to_string() + " port=" + std::to_string(o.main_port) +
           " extra-port=" + std::to_string(o.extra_port) + " pings=" + std::to_string(o.pings) +
           " ping-interval=" + ms(o.ping_interval) + " session-ttl=" + ms(o.session_ttl) +
           " max-sessions=" + std::to_string(o.max_sessions) + " init-rate=" + std::to_string(int(o.init_rate)) +
           " init-burst=" + std::to_string(int(o.init_burst)) + " init-budget=" +
           std::to_string(static_cast<long long>(o.init_budget)) + " trains-per-address=" +
           std::to_string(o.trains_per_address) + " resends=" + std::to_string(o.resends) +
           " resend-interval=" + ms(o.resend_interval) + " quiet=" + (o.quiet ? "yes" : "no") +
           " log-addresses=" + log_addresses[static_cast<int>(o.log_addresses)] + " metrics=" +
           (o.metrics ? o.metrics->address().to_string() + ":" + std::to_string(o.metrics->port()) : "off") +
           " metrics-deadline=" + ms(o.metrics_deadline) + " ";
}

TEST(ServerOptions, EveryOptionReachesItsFieldOrIsRefusedByName)
{
    EXPECT_EQ(fields(parse({}).options),
              "bind=0.0.0.0 port=30000 extra-port=30001 pings=5 ping-interval=50 session-ttl=60000 "
              "max-sessions=65536 init-rate=10 init-burst=20 init-budget=500000 trains-per-address=4 resends=3 resend-interval=1000 "
              "quiet=no log-addresses=full metrics=off metrics-deadline=5000 ");
    // The table is data: tests/golden/server_options.txt.
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/server_options.txt");
    std::vector<std::pair<std::vector<std::string>, std::string>> cases;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream args(line.substr(0, line.find('\t')));
        cases.push_back({{std::istream_iterator<std::string>(args), {}}, line.substr(line.find('\t') + 1)});
    }
    ASSERT_GT(cases.size(), 30u);
    for (const auto& [args, shows] : cases) {
        const ServerCommandLine command_line = parse(args);
        SCOPED_TRACE(args.empty() ? "" : args.front() + (args.size() > 1 ? " " + args[1] : ""));
        if (shows.rfind("refused ", 0) != 0) {
            ASSERT_EQ(command_line.action, ServerCommandLine::Action::run) << command_line.text;
            EXPECT_NE(fields(command_line.options).find(shows), std::string::npos) << fields(command_line.options);
            continue;
        }
        EXPECT_EQ(command_line.action, ServerCommandLine::Action::error);
        EXPECT_EQ(command_line.text.rfind("punchprobe-server: ", 0), 0u) << command_line.text;
        EXPECT_NE(command_line.text.find(shows.substr(8)), std::string::npos) << command_line.text;
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
                               "--resend-interval", "--quiet", "--log-addresses", "--metrics", "-h [ --help ]",
                               "--version"})
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
