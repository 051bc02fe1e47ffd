#include "support/child_process.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace punchprobe_test {

namespace {

void throw_errno(const char* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

bool set_affinity(int cpu)
{
    if (cpu < 0) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

long status_kb(const std::string& status, const std::string& key)
{
    const auto at = status.find(key + ":");
    if (at == std::string::npos) return 0;
    return std::strtol(status.c_str() + at + key.size() + 1, nullptr, 10);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Console console, int cpu)
{
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    started_ = std::chrono::steady_clock::now();
    if (console == Console::terminal) {
        int terminal = -1;
        pid_ = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid_ < 0) throw_errno("forkpty");
        if (pid_ == 0) {
            set_affinity(cpu);
            execv(args[0], args.data());
            _exit(127);
        }
        out_fd_ = terminal;
        return;
    }

    int out_pipe[2];
    int err_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    if (console == Console::pipes && pipe2(err_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    pid_ = fork();
    if (pid_ < 0) throw_errno("fork");
    if (pid_ == 0) {
        // The affinity survives the exec.
        set_affinity(cpu);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        if (err_pipe[1] >= 0) dup2(err_pipe[1], STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out_pipe[1]);
    out_fd_ = out_pipe[0];
    if (err_pipe[1] >= 0) {
        ::close(err_pipe[1]);
        err_fd_ = err_pipe[0];
    }
}

ChildProcess::~ChildProcess()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void ChildProcess::signal(int number)
{
    if (!reaped_) kill(pid_, number);
}

void ChildProcess::type(const std::string& text)
{
    if (out_fd_ >= 0 && write(out_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw_errno("write");
}

// Reads whatever is available within one slice; returns false once both
// pipes are at end of file.
bool ChildProcess::pump(std::chrono::milliseconds slice)
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const nfds_t count = 2;
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (out_fd_ < 0) fds[0].fd = -1;
    if (err_fd_ < 0) fds[1].fd = -1;
    const int ready = poll(fds, count, static_cast<int>(slice.count()));
    if (ready < 0 && errno != EINTR) throw_errno("poll");
    std::string* sinks[2] = {&result_.out, &result_.err};
    int* fd_of[2] = {&out_fd_, &err_fd_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            sinks[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

std::string ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (result_.out.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
        if (!pump(std::chrono::milliseconds(20))) break;
    }
    return result_.out;
}

ProcessResult ChildProcess::wait(std::chrono::milliseconds limit)
{
    return collect(started_ + limit);
}

ProcessResult ChildProcess::terminate(std::chrono::milliseconds limit, int number)
{
    signal(number);
    return collect(std::chrono::steady_clock::now() + limit);
}

bool ChildProcess::exited()
{
    if (!reaped_ && waitpid(pid_, &wait_status_, WNOHANG) == pid_) {
        reaped_ = true;
        result_.elapsed = std::chrono::steady_clock::now() - started_;
    }
    return reaped_;
}

ProcessResult ChildProcess::collect(std::chrono::steady_clock::time_point until)
{
    while (pump(std::chrono::milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= until && !result_.timed_out) {
            result_.timed_out = true;
            signal(SIGKILL);
        }
    }
    if (!reaped_) {
        waitpid(pid_, &wait_status_, 0);
        reaped_ = true;
        result_.elapsed = std::chrono::steady_clock::now() - started_;
    }
    if (WIFEXITED(wait_status_)) result_.exit_status = WEXITSTATUS(wait_status_);
    if (WIFSIGNALED(wait_status_)) result_.signal = WTERMSIG(wait_status_);
    return result_;
}

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds limit)
{
    ChildProcess child(argv);
    return child.wait(limit);
}

ProcessUsage process_usage(pid_t pid)
{
    ProcessUsage usage;
    std::ifstream status_file("/proc/" + std::to_string(pid) + "/status");
    std::stringstream status;
    status << status_file.rdbuf();
    usage.vm_rss_kb = status_kb(status.str(), "VmRSS");
    usage.vm_hwm_kb = status_kb(status.str(), "VmHWM");

    // Fields 14 and 15 of /proc/PID/stat, after the parenthesised name.
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
    const auto name_end = stat.rfind(')');
    if (name_end != std::string::npos) {
        std::istringstream fields(stat.substr(name_end + 2));
        std::string field;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14) utime = std::stoull(field);
            if (index == 15) stime = std::stoull(field);
        }
        const auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
        usage.cpu_seconds = static_cast<double>(utime + stime) / ticks;
        usage.system_seconds = static_cast<double>(stime) / ticks;
    }
    return usage;
}

void pin_to_cpu(int cpu)
{
    if (!set_affinity(cpu)) throw std::runtime_error("sched_setaffinity failed");
}

}  // namespace punchprobe_test
