// The command line: the port argument read the way std::stoi reads it (with
// the program's own texts for what it refuses), in the parser and through the
// real program, whose C runtime (the Windows one too) must agree; and the
// exact words that the first argument may be.
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "app/port_argument.hpp"
#include "app/usage.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;

struct Accepted {
    std::string text;
    int port;
};

const Accepted accepted[] = {
    {"30000", 30000},
    {"54321", 54321},
    {"0", 0},
    {"007", 7},
    {"   123", 123},        // leading blanks
    {"\t\n\v\f\r 42", 42},  // any leading white space
    {"123abc", 123},        // digits, then letters: the digits count
    {"12 34", 12},          // stops at the first non-digit
    {"80.5", 80},
    {"0x1F", 0},  // base 10 only
    {"+7", 7},
    {"-1", -1},  // no range check against port numbers
    {"65536", 65536},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
};

struct Refused {
    std::string text;
    bool out_of_range;  // else invalid
};

const Refused refused[] = {
    {"abc", false},         {"", false},           {"   ", false},         {"-", false},
    {"+", false},           {"a1", false},         {"- 1", false},        {"99999999999", true},
    {"2147483648", true},   {"-2147483649", true}, {"  99999999999abc", true},
};

std::string refusal_text(const Refused& c)
{
    return c.out_of_range ? "stoi argument out of range" : "invalid stoi argument";
}

TEST(CommandLine, PortIsReadLikeStoi)
{
    for (const auto& c : accepted) EXPECT_EQ(punchprobe::parse_port_argument(c.text), c.port) << '"' << c.text << '"';
    for (const auto& c : refused) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        try {
            ADD_FAILURE() << "accepted as " << punchprobe::parse_port_argument(c.text);
        } catch (const std::exception& error) {
            EXPECT_EQ(typeid(error), c.out_of_range ? typeid(std::out_of_range) : typeid(std::invalid_argument));
            EXPECT_EQ(error.what(), refusal_text(c));
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
    for (const auto& c : refused) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        const ProcessResult result = run_process(client_argv({host, c.text}), 10s);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, console_text(refusal_text(c) + "\n"));
        EXPECT_EQ(result.exit_status, 0);
    }
    for (const auto& c : accepted) {
        if (c.port >= 32768 && c.port <= 60999) continue;
        SCOPED_TRACE("argument \"" + c.text + "\"");
        ChildProcess child(client_argv({host, c.text}));
        const std::string out = child.wait_for_output(console_text("\n"), 10s);
        EXPECT_EQ(out.substr(0, out.find('\n') + 1),
                  console_text("Using server " + host + ":" + std::to_string(c.port) + "\n"));
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
        {{"punchprobe", "--json"}, EntryRequest::json},
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

}  // namespace
