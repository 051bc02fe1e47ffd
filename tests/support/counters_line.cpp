#include "support/counters_line.hpp"

#include <cstdlib>
#include <sstream>

namespace punchprobe_test {

std::string counters_line_in(const std::string& out)
{
    const std::size_t line = out.rfind("counters ");
    if (line == std::string::npos || (line > 0 && out[line - 1] != '\n')) return std::string();
    return out.substr(line, out.find('\n', line) - line);
}

Counters counters_in(const std::string& out)
{
    Counters counters;
    std::istringstream words(counters_line_in(out));
    std::string word;
    words >> word;  // "counters"
    while (words >> word) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) continue;
        counters[word.substr(0, equals)] = std::atoll(word.c_str() + equals + 1);
    }
    return counters;
}

long long counter_or_minus_one(const Counters& counters, const std::string& key)
{
    const auto found = counters.find(key);
    return found != counters.end() ? found->second : -1;
}

}  // namespace punchprobe_test
