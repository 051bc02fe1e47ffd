#include "support/child_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace punchprobe_test {

namespace {

void throw_errno(const char* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Console console)
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
            execv(args[0], args.data());
            _exit(127);
        }
        out_fd_ = terminal;
        return;
    }

    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    if (pipe2(err_pipe, O_CLOEXEC) != 0) throw_errno("pipe2");
    pid_ = fork();
    if (pid_ < 0) throw_errno("fork");
    if (pid_ == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
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
    const auto until = started_ + limit;
    while (pump(std::chrono::milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= until && !result_.timed_out) {
            result_.timed_out = true;
            kill(pid_, SIGKILL);
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
