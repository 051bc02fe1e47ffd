#include "support/server_session.hpp"

#include <chrono>
#include <regex>

#include <gtest/gtest.h>

namespace punchprobe_test {

std::string with_id(const std::string& command, const std::string& id)
{
    return "{\"command\":\"" + command + "\",\"protocol\":\"Punchprobe\",\"session_id\":" + id + "}\n";
}

std::string with_id(const std::string& command, std::int32_t id)
{
    return with_id(command, std::to_string(id));
}

std::optional<std::string> session_id_in(const std::string& reply)
{
    std::smatch match;
    if (!std::regex_search(reply, match, std::regex("\"session_id\":([0-9]+)"))) return std::nullopt;
    return match[1].str();
}

std::string listening_line(const std::string& address, unsigned short main, unsigned short extra)
{
    return "punchprobe-server listening on " + address + ":" + std::to_string(main) + " (main) and " +
           address + ":" + std::to_string(extra) + " (extra)\n";
}

Listening wait_until_listening(ChildProcess& server)
{
    const std::string out = server.wait_for_output("\n", std::chrono::seconds(10));
    std::smatch match;
    const std::regex line(
        "^punchprobe-server listening on ([0-9.]+):([0-9]+) \\(main\\) and \\1:([0-9]+) \\(extra\\)\n");
    if (!std::regex_search(out, match, line)) {
        ADD_FAILURE() << "no listening line in: " << out;
        return {};
    }
    return {match[1], static_cast<unsigned short>(std::stoi(match[2])),
            static_cast<unsigned short>(std::stoi(match[3]))};
}

}  // namespace punchprobe_test
