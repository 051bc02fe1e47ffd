#include "support/counters_line.hpp"

#include <cstdlib>
#include <sstream>

namespace punchprobe_test {

Counters counters_in(const std::string& out)
{
    Counters counters;
    const std::size_t line = out.rfind("counters ");
    if (line == std::string::npos || (line > 0 && out[line - 1] != '\n')) return counters;
    std::istringstream words(out.substr(line + 9, out.find('\n', line) - line - 9));
    std::string word;
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
