#pragma once

#include <map>
#include <string>

// The server's "counters key=value ..." line read back, for the tests and
// for the benchmark (so this code needs nothing but the standard library).
namespace punchprobe_test {

// The last "counters ..." line of `out`, without its line end; empty when
// there is none.
std::string counters_line_in(const std::string& out);

// Key to number, from the last "counters ..." line of `out`; empty when
// there is none.
using Counters = std::map<std::string, long long>;
Counters counters_in(const std::string& out);

// The value of `key`, or -1 when the line lacks it, as a server that does
// not count that thing would.
long long counter_or_minus_one(const Counters& counters, const std::string& key);

}  // namespace punchprobe_test
