// The programs of this build, named by the tests' CMakeLists: kept apart
// from child_process.cpp, which the bench links without those names.
#include "support/child_process.hpp"

#include <cstdlib>

namespace punchprobe_test {

std::string client_binary()
{
    return PUNCHPROBE_CLIENT_BINARY;
}

std::string windows_client()
{
    const char* exe = std::getenv("PUNCHPROBE_WINDOWS_CLIENT");
    return exe ? exe : "";
}

bool client_is_windows_build()
{
    return !windows_client().empty();
}

std::vector<std::string> wine_argv(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{PUNCHPROBE_WINE_SCRIPT, PUNCHPROBE_WINE_PREFIX, "run", program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

std::vector<std::string> client_argv(const std::vector<std::string>& arguments)
{
    if (client_is_windows_build()) return wine_argv(windows_client(), arguments);
    std::vector<std::string> argv{client_binary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

bool alternate_port_taken(const std::string& error_text)
{
    return error_text.rfind("bind", 0) == 0;
}

ProcessResult run_client(const std::vector<std::string>& arguments, std::chrono::milliseconds limit)
{
    ProcessResult result;
    for (int attempt = 0; attempt < 5; ++attempt) {
        result = run_process(client_argv(arguments), limit);
        if (!alternate_port_taken(result.err)) break;
    }
    return result;
}

std::string console_text(const std::string& text)
{
    if (!client_is_windows_build()) return text;
    std::string crlf;
    for (const char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return crlf;
}

std::string server_binary()
{
    return PUNCHPROBE_SERVER_BINARY;
}

}  // namespace punchprobe_test
