// --help, -h and --version as the first argument answer on standard output
// and exit 0; every other command line keeps its old meaning. The real
// program is run for the exact bytes; the near misses are decided in-process
// because as a host they would start a name lookup.

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/usage.hpp"
#include "punchprobe/version.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::client_argv;
using punchprobe_test::console_text;
using punchprobe_test::ProcessResult;

struct Answered {
    std::vector<std::string> arguments;
    std::string out;
};

TEST(CliHelp, FirstArgumentAnswersOnStandardOutput)
{
    const std::string help = punchprobe::help_text();
    const std::string version = punchprobe::version_text();
    const Answered cases[] = {
        {{"--help"}, help},
        {{"-h"}, help},
        // Only the first argument counts; the rest is ignored, not an error.
        {{"--help", "x", "y"}, help},
        {{"-h", "127.0.0.1", "30000"}, help},
        {{"--help", "--version"}, help},
        {{"--version"}, version},
        {{"--version", "--help"}, version},
        {{"--version", "127.0.0.1"}, version},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& argument : c.arguments) shown += " " + argument;
        SCOPED_TRACE("punchprobe" + shown);
        const ProcessResult result = punchprobe_test::run_process(client_argv(c.arguments), 10s);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.out, console_text(c.out));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
    }
}

// In the port's place the words are an ordinary port argument, which fails
// the parse before anything is printed on standard output.
TEST(CliHelp, LaterArgumentsKeepTheirOldMeaning)
{
    for (const char* word : {"--help", "-h", "--version"}) {
        SCOPED_TRACE(word);
        const ProcessResult result = punchprobe_test::run_process(client_argv({"127.0.0.1", word}), 10s);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, console_text("invalid stoi argument\n"));
        EXPECT_EQ(result.exit_status, 0);
    }
}

TEST(CliHelp, OnlyTheExactWordsAreRecognised)
{
    struct Case {
        std::vector<const char*> argv;
        punchprobe::EntryRequest request;
    };
    using punchprobe::EntryRequest;
    const Case cases[] = {
        {{"punchprobe"}, EntryRequest::run},  // the usage error stays as it was
        {{"punchprobe", "--help"}, EntryRequest::help},
        {{"punchprobe", "-h"}, EntryRequest::help},
        {{"punchprobe", "--version"}, EntryRequest::version},
        {{"punchprobe", "--HELP"}, EntryRequest::run},
        {{"punchprobe", "-help"}, EntryRequest::run},
        {{"punchprobe", "--h"}, EntryRequest::run},
        {{"punchprobe", "-H"}, EntryRequest::run},
        {{"punchprobe", "--help "}, EntryRequest::run},
        {{"punchprobe", "--version=1"}, EntryRequest::run},
        {{"punchprobe", "-v"}, EntryRequest::run},
        {{"punchprobe", "-V"}, EntryRequest::run},
        {{"punchprobe", ""}, EntryRequest::run},
        {{"punchprobe", "127.0.0.1", "--help"}, EntryRequest::run},
        {{"punchprobe", "127.0.0.1", "-h", "--version"}, EntryRequest::run},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const char* argument : c.argv) shown += std::string(" \"") + argument + "\"";
        SCOPED_TRACE(shown);
        EXPECT_EQ(punchprobe::entry_request(static_cast<int>(c.argv.size()), c.argv.data()), c.request);
    }
}

TEST(CliHelp, TextsNameTheVersionAndExplainEachVerdict)
{
    // The generated header carries the project version, never an empty or
    // unsubstituted placeholder.
    EXPECT_TRUE(std::regex_match(std::string(punchprobe::version), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")))
        << punchprobe::version;
    EXPECT_EQ(punchprobe::version_text(), "punchprobe " + std::string(punchprobe::version) + "\n");

    const std::string help = punchprobe::help_text();
    // The help begins with the same usage line that a missing host prints.
    EXPECT_EQ(help.rfind(punchprobe::usage_line() + "\n", 0), 0u) << help;
    EXPECT_EQ(punchprobe::usage_line(), "Usage: punchprobe <server_host> [<server_port>]");
    for (const char* must : {"--help", "-h", "--version", "30000", "\n  SUCCESS ", "\n  FAILURE ",
                             "\n  timed out ", "20 seconds", "10 seconds", "port forwarding", "Exit status"}) {
        EXPECT_NE(help.find(must), std::string::npos) << "help lacks \"" << must << "\"";
    }
    // Fits an 80-column terminal.
    std::size_t line_start = 0;
    for (std::size_t end = help.find('\n'); end != std::string::npos; end = help.find('\n', line_start)) {
        EXPECT_LE(end - line_start, 79u) << help.substr(line_start, end - line_start);
        line_start = end + 1;
    }
    EXPECT_EQ(line_start, help.size()) << "help must end with a line break";
}

}  // namespace
