#include "support/server_session.hpp"

#include <regex>

namespace punchprobe_test {

std::optional<std::string> session_id_in(const std::string& reply)
{
    std::smatch match;
    if (!std::regex_search(reply, match, std::regex("\"session_id\":([0-9]+)"))) return std::nullopt;
    return match[1].str();
}

}  // namespace punchprobe_test
