// The command line: the port argument read the way std::stoi reads it (with
// the program's own texts for what it refuses), in the parser and through the
// real program, whose C runtime (the Windows one too) must agree; and the
// exact words that the first argument may be.
#include <fstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "app/port_argument.hpp"
#include "app/usage.hpp"
#include "support/child_process.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;

// tests/golden/port_arguments.txt: a text and the port read from it, or the
// text of its refusal.
std::vector<std::pair<std::string, std::string>> port_cases()
{
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/port_arguments.txt");
    std::vector<std::pair<std::string, std::string>> cases;
    for (std::string line; std::getline(table, line);)
        if (!line.empty() && line[0] != '#')
            cases.push_back({unescaped(line.substr(0, line.find('\t'))), line.substr(line.find('\t') + 1)});
    EXPECT_EQ(cases.size(), 26u);
    return cases;
}

bool refused(const std::string& result)
{
    return result.find("stoi") != std::string::npos;
}

TEST(CommandLine, PortIsReadLikeStoi)
{
    for (const auto& [text, result] : port_cases()) {
        SCOPED_TRACE("argument \"" + text + "\"");
        if (!refused(result)) {
            EXPECT_EQ(punchprobe::parse_port_argument(text), std::stoi(result));
            continue;
        }
        try {
            ADD_FAILURE() << "accepted as " << punchprobe::parse_port_argument(text);
        } catch (const std::exception& error) {
            const bool out_of_range = result.find("range") != std::string::npos;
            EXPECT_EQ(typeid(error), out_of_range ? typeid(std::out_of_range) : typeid(std::invalid_argument));
            EXPECT_EQ(error.what(), result);
        }
    }
}

// A refused port ends the run with its text; an accepted one is the port of
// the first line, after which the run is cut short. Its INIT goes to an
// address of this test's own; ports that a wildcard socket of a parallel test
// might hold (the ephemeral range) are left to the parser's test.
TEST(CommandLine, PortTableThroughTheProgram)
{
    const std::string host = "127.84." + std::to_string(getpid() % 250 + 1) + ".1";
    for (const auto& [text, result] : port_cases()) {
        SCOPED_TRACE("argument \"" + text + "\"");
        if (refused(result)) {
            const ProcessResult run = run_process(client_argv({host, text}), 10s);
            EXPECT_FALSE(run.timed_out);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, console_text(result + "\n"));
            EXPECT_EQ(run.exit_status, 0);
            continue;
        }
        if (std::stoi(result) >= 32768 && std::stoi(result) <= 60999) continue;
        ChildProcess child(client_argv({host, text}));
        const std::string out = child.wait_for_output(console_text("\n"), 10s);
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), console_text("Using server " + host + ":" + result + "\n"));
    }
}

// Near misses are hosts as they always were; as hosts they would start a
// name lookup, so they are decided here, the exact words by the program rows.
TEST(CommandLine, OnlyTheExactWordsAskForHelpOrTheVersion)
{
    using punchprobe::EntryRequest;
    const std::pair<std::vector<const char*>, EntryRequest> cases[] = {
        {{"punchprobe"}, EntryRequest::run},
        {{"punchprobe", "--help"}, EntryRequest::help},
        {{"punchprobe", "-h"}, EntryRequest::help},
        {{"punchprobe", "--version"}, EntryRequest::version},
        {{"punchprobe", "--json", "--help"}, EntryRequest::run},
        {{"punchprobe", "--HELP"}, EntryRequest::run},
        {{"punchprobe", "-help"}, EntryRequest::run},
        {{"punchprobe", "--h"}, EntryRequest::run},
        {{"punchprobe", "-H"}, EntryRequest::run},
        {{"punchprobe", "--help "}, EntryRequest::run},
        {{"punchprobe", "--version=1"}, EntryRequest::run},
        {{"punchprobe", "-v"}, EntryRequest::run},
        {{"punchprobe", "-V"}, EntryRequest::run},
        {{"punchprobe", "--JSON"}, EntryRequest::run},
        {{"punchprobe", ""}, EntryRequest::run},
        {{"punchprobe", "127.0.0.1", "--help"}, EntryRequest::run},
        {{"punchprobe", "127.0.0.1", "-h", "--version"}, EntryRequest::run},
    };
    for (const auto& [argv, request] : cases) {
        std::string shown;
        for (const char* argument : argv) shown += std::string(" \"") + argument + "\"";
        EXPECT_EQ(punchprobe::entry_request(static_cast<int>(argv.size()), argv.data()), request) << shown;
    }
}

// The options that may lead a run, in either order, each once; whatever
// follows them is the host and port, as it always was.
TEST(CommandLine, LeadingOptionsInEitherOrder)
{
    struct Case {
        std::vector<const char*> argv;
        bool json, port_mapping;
        std::vector<std::string> operands;
    };
    const Case cases[] = {
        {{"punchprobe", "h"}, false, false, {"h"}},
        {{"punchprobe", "--json", "h", "1"}, true, false, {"h", "1"}},
        {{"punchprobe", "--port-mapping", "h"}, false, true, {"h"}},
        {{"punchprobe", "--json", "--port-mapping", "h"}, true, true, {"h"}},
        {{"punchprobe", "--port-mapping", "--json", "h", "1"}, true, true, {"h", "1"}},
        {{"punchprobe", "--json", "--json", "h"}, true, false, {"--json", "h"}},
        {{"punchprobe", "--port-mapping", "--port-mapping"}, false, true, {"--port-mapping"}},
        {{"punchprobe", "h", "--port-mapping"}, false, false, {"h", "--port-mapping"}},
        {{"punchprobe", "--json", "--port-mapping"}, true, true, {}},
        {{"punchprobe", "--Port-Mapping", "h"}, false, false, {"--Port-Mapping", "h"}},
    };
    for (const auto& [argv, json, port_mapping, operands] : cases) {
        std::string shown;
        for (const char* argument : argv) shown += std::string(" \"") + argument + "\"";
        const auto options = punchprobe::run_options(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(options.json, json) << shown;
        EXPECT_EQ(options.port_mapping, port_mapping) << shown;
        EXPECT_EQ(options.operands, operands) << shown;
    }
}

}  // namespace
