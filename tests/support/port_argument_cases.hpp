#pragma once

#include <string>
#include <vector>

// The port argument as std::stoi reads it, and the program's own texts for
// what it refuses: one table for the parser's unit test and for the real
// program's command line (where the Windows build's C runtime must agree).
namespace punchprobe_test {

struct AcceptedPort {
    std::string text;
    int port;
};

enum class Refusal { invalid, out_of_range };

struct RefusedPort {
    std::string text;
    Refusal refusal;
    std::string what;
};

inline const std::vector<AcceptedPort>& accepted_ports()
{
    static const std::vector<AcceptedPort> cases = {
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
    return cases;
}

inline const std::vector<RefusedPort>& refused_ports()
{
    const std::string invalid = "invalid stoi argument";
    const std::string out_of_range = "stoi argument out of range";
    static const std::vector<RefusedPort> cases = {
        {"abc", Refusal::invalid, invalid},
        {"", Refusal::invalid, invalid},
        {"   ", Refusal::invalid, invalid},
        {"-", Refusal::invalid, invalid},
        {"+", Refusal::invalid, invalid},
        {"a1", Refusal::invalid, invalid},
        {"- 1", Refusal::invalid, invalid},
        {"99999999999", Refusal::out_of_range, out_of_range},
        {"2147483648", Refusal::out_of_range, out_of_range},
        {"-2147483649", Refusal::out_of_range, out_of_range},
        {"  99999999999abc", Refusal::out_of_range, out_of_range},
    };
    return cases;
}

}  // namespace punchprobe_test
