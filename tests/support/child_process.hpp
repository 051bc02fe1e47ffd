#pragma once

#include <chrono>
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

// A child process with its standard output and error captured. Standard
// input is /dev/null. The destructor kills a child that is still running.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Collects output until the child exits, killing it (SIGKILL) once the
    // limit is reached.
    ProcessResult wait(std::chrono::milliseconds limit);

    // Sends a signal to the child.
    void signal(int number);

    // Reads what the child has written to standard output so far, waiting at
    // most `limit` for `text` to appear. Returns everything read up to now.
    std::string wait_for_output(const std::string& text, std::chrono::milliseconds limit);

    pid_t pid() const { return pid_; }

private:
    bool pump(std::chrono::milliseconds slice);

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

// The punchprobe client built with this test suite.
std::string client_binary();

// The punchprobe-server built with this test suite.
std::string server_binary();

}  // namespace punchprobe_test
