#include "support/server_process.hpp"

#include <regex>

namespace punchprobe_test {

std::string listening_line(const std::string& address, unsigned short main, unsigned short extra)
{
    return "punchprobe-server listening on " + address + ":" + std::to_string(main) + " (main) and " +
           address + ":" + std::to_string(extra) + " (extra)\n";
}

std::optional<Listening> listening_in(const std::string& out)
{
    // Only picks the values out; the line they make must then be the one
    // listening_line() builds, byte for byte.
    std::smatch match;
    if (!std::regex_search(out, match, std::regex("^[^\n]* on ([^ \n]+):([0-9]{1,5}) [^\n]*:([0-9]{1,5}) [^\n]*\n")))
        return std::nullopt;
    const Listening read{match[1], static_cast<unsigned short>(std::stoi(match[2])),
                         static_cast<unsigned short>(std::stoi(match[3]))};
    if (out.compare(0, match.length(0), listening_line(read.address, read.main, read.extra)) != 0)
        return std::nullopt;
    return read;
}

std::optional<std::string> session_id_in(const std::string& reply)
{
    std::smatch match;
    if (!std::regex_search(reply, match, std::regex("\"session_id\":([0-9]+)"))) return std::nullopt;
    return match[1].str();
}

std::vector<std::string> loopback_server_argv(const std::string& binary, const std::vector<std::string>& options)
{
    std::vector<std::string> argv{binary, "--bind", "127.0.0.1", "--port", "0", "--extra-port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

ServerProcess::ServerProcess(const std::vector<std::string>& argv, Console console, int cpu,
                             std::chrono::milliseconds limit)
    : process_(argv, console, cpu), first_output_(process_.wait_for_output("\n", limit))
{
    ports_ = listening_in(first_output_).value_or(Listening{});
}

ProcessResult ServerProcess::stop(std::chrono::milliseconds limit)
{
    return process_.terminate(limit);
}

}  // namespace punchprobe_test
