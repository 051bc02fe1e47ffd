#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/child_process.hpp"

// punchprobe-server started as a process, for the tests and the bench: the
// line it prints first, which scripts and operators rely on, the ports read
// back from it, and the session id in its INIT reply.
namespace punchprobe_test {

// The server's first line.
std::string listening_line(const std::string& address, unsigned short main, unsigned short extra);

struct Listening {
    std::string address;
    unsigned short main = 0;
    unsigned short extra = 0;
};

// The address and ports of the listening line that `out` starts with;
// nothing when it starts otherwise.
std::optional<Listening> listening_in(const std::string& out);

// The session id of an INIT reply, as the server wrote it; nothing when the
// reply names none.
std::optional<std::string> session_id_in(const std::string& reply);

// `binary` on 127.0.0.1 with system-chosen ports, then `options`.
std::vector<std::string> loopback_server_argv(const std::string& binary,
                                              const std::vector<std::string>& options = {});

// A started server whose listening line has been read. The destructor kills
// it if stop() was not called.
class ServerProcess {
public:
    // Starts `argv` (the server, or a command that runs it, such as
    // NetNamespace::exec_argv) and waits at most `limit` for its first line.
    explicit ServerProcess(const std::vector<std::string>& argv, Console console = Console::pipes, int cpu = -1,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

    // False when no listening line came; first_output() then shows what did.
    bool listening() const { return ports_.main != 0; }
    const Listening& ports() const { return ports_; }
    const std::string& first_output() const { return first_output_; }

    ChildProcess& process() { return process_; }
    pid_t pid() const { return process_.pid(); }

    // SIGTERM, then everything it writes until it exits; killed if it has
    // not exited `limit` after the signal.
    ProcessResult stop(std::chrono::milliseconds limit = std::chrono::seconds(15));

private:
    ChildProcess process_;
    std::string first_output_;
    Listening ports_;
};

}  // namespace punchprobe_test
