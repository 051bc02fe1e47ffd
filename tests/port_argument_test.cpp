// The port argument is read the way std::stoi reads it, but the failures
// carry the program's own texts, which the entry prints as they are.

#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

#include "app/port_argument.hpp"

namespace {

struct Accepted {
    std::string text;
    int port;
};

TEST(PortArgument, AcceptsWhatStoiReads)
{
    const Accepted cases[] = {
        {"30000", 30000},
        {"54321", 54321},
        {"0", 0},
        {"007", 7},
        {"   123", 123},         // leading blanks
        {"\t\n\v\f\r 42", 42},   // any leading white space
        {"123abc", 123},         // digits, then letters: the digits count
        {"12 34", 12},           // stops at the first non-digit
        {"80.5", 80},
        {"0x1F", 0},             // base 10 only
        {"+7", 7},
        {"-1", -1},              // no range check against port numbers
        {"65536", 65536},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        EXPECT_EQ(punchprobe::parse_port_argument(c.text), c.port);
    }
}

struct Refused {
    std::string text;
    const std::type_info& type;
    std::string what;
};

TEST(PortArgument, RefusesWithExactTypeAndText)
{
    const std::type_info& invalid = typeid(std::invalid_argument);
    const std::type_info& out_of_range = typeid(std::out_of_range);
    const Refused cases[] = {
        {"abc", invalid, "invalid stoi argument"},
        {"", invalid, "invalid stoi argument"},
        {"   ", invalid, "invalid stoi argument"},
        {"-", invalid, "invalid stoi argument"},
        {"+", invalid, "invalid stoi argument"},
        {"a1", invalid, "invalid stoi argument"},
        {"- 1", invalid, "invalid stoi argument"},
        {"99999999999", out_of_range, "stoi argument out of range"},
        {"2147483648", out_of_range, "stoi argument out of range"},
        {"-2147483649", out_of_range, "stoi argument out of range"},
        {"  99999999999abc", out_of_range, "stoi argument out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        try {
            const int port = punchprobe::parse_port_argument(c.text);
            ADD_FAILURE() << "accepted as " << port;
        } catch (const std::exception& error) {
            EXPECT_EQ(typeid(error), c.type) << "thrown: " << typeid(error).name();
            EXPECT_STREQ(error.what(), c.what.c_str());
        }
    }
}

}  // namespace
