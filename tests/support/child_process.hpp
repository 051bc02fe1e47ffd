#pragma once

#include <chrono>
#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace punchprobe_test {

struct ProcessResult {
    std::string out;
    std::string err;
    int exit_status = -1;    // valid when the process exited normally
    int signal = 0;          // the signal that ended it, if any
    bool timed_out = false;  // killed by us at the time limit
    std::chrono::steady_clock::duration elapsed{};
};

// Where a child's standard streams go.
enum class Console {
    pipes,     // input from /dev/null; output and error captured apart
    terminal,  // a pseudo-terminal of its own: output and error mixed in `out`
    output,    // input from /dev/null; output captured, error left on ours
};

// A child process with its standard output and error captured. The
// destructor kills a child that is still running. This and the server's
// helpers need nothing but POSIX and the standard library, so that the
// bench starts its server the same way.
class ChildProcess {
public:
    // `cpu` >= 0 pins the child to that CPU before the exec, as taskset -c.
    explicit ChildProcess(const std::vector<std::string>& argv, Console console = Console::pipes, int cpu = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Collects output until the child exits, killing it (SIGKILL) once the
    // limit is reached.
    ProcessResult wait(std::chrono::milliseconds limit);

    // Sends `number` (SIGTERM by default), then collects output until the
    // child exits, killing it (SIGKILL) `limit` after the signal.
    ProcessResult terminate(std::chrono::milliseconds limit, int number = SIGTERM);

    // Sends a signal to the child.
    void signal(int number);

    // Reads what the child has written to standard output so far, waiting at
    // most `limit` for `text` to appear. Returns everything read up to now.
    std::string wait_for_output(const std::string& text, std::chrono::milliseconds limit);

    // Whether the child has exited (a zombie counts), without waiting.
    bool exited();

    // Types `text` into a terminal child's keyboard.
    void type(const std::string& text);

    pid_t pid() const { return pid_; }

private:
    bool pump(std::chrono::milliseconds slice);
    ProcessResult collect(std::chrono::steady_clock::time_point until);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    int wait_status_ = 0;
    std::chrono::steady_clock::time_point started_;
    ProcessResult result_;
};

// Runs a program to its end, or kills it at the limit.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Memory and CPU figures of a running process, from /proc/PID; zeros when
// it cannot be read.
struct ProcessUsage {
    long vm_rss_kb = 0;
    long vm_hwm_kb = 0;
    double cpu_seconds = 0;  // user + system
    double system_seconds = 0;
};
ProcessUsage process_usage(pid_t pid);

// Pins the calling thread to one CPU; does nothing for cpu < 0. Throws
// std::runtime_error when the system refuses.
void pin_to_cpu(int cpu);

// The programs of this build under test, defined by the tests' own support
// library (the bench names its server on its command line).

// The punchprobe client built with this test suite.
std::string client_binary();

// The Windows build under test, named by PUNCHPROBE_WINDOWS_CLIENT in the
// environment; empty when the Linux build is under test.
std::string windows_client();
bool client_is_windows_build();

// The command that runs `program` (a .exe, or one of Wine's own such as
// "cmd") under Wine, in the test run's prefix.
std::vector<std::string> wine_argv(const std::string& program, const std::vector<std::string>& arguments);

// The command that runs the client under test with `arguments`.
std::vector<std::string> client_argv(const std::vector<std::string>& arguments = {});

// Runs the client under test with `arguments` to its end. It binds its
// alternate socket to the port above the one the system chose, once: when a
// parallel test holds that port the run ends at set-up with "bind", and a
// fresh run (with a fresh port) is tried instead, a few times at most.
ProcessResult run_client(const std::vector<std::string>& arguments, std::chrono::milliseconds limit);
// Whether a client's error text says its set-up found that port taken.
bool alternate_port_taken(const std::string& error_text);

// What the client under test writes for `text`: a Windows console program
// ends its lines with CR LF.
std::string console_text(const std::string& text);

// The punchprobe-server built with this test suite.
std::string server_binary();

}  // namespace punchprobe_test
