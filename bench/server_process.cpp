#include "bench/server_process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace punchprobe_bench {

namespace {

long status_kb(const std::string& status, const std::string& key)
{
    const auto at = status.find(key + ":");
    if (at == std::string::npos) return 0;
    return std::strtol(status.c_str() + at + key.size() + 1, nullptr, 10);
}

}  // namespace

long udp_receive_buffer_errors()
{
    // Two "Udp:" lines: the names, then the values.
    std::ifstream snmp("/proc/net/snmp");
    std::string names;
    std::string line;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream name_fields(names);
        std::istringstream value_fields(line);
        std::string name;
        std::string value;
        while (name_fields >> name && value_fields >> value)
            if (name == "RcvbufErrors") return std::stol(value);
        break;
    }
    return -1;
}

long input_queue_drops()
{
    // One line per CPU, hex fields; the second is the drops.
    std::ifstream table("/proc/net/softnet_stat");
    std::string line;
    long drops = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string processed;
        std::string dropped;
        if (fields >> processed >> dropped) drops += std::strtol(dropped.c_str(), nullptr, 16);
    }
    return drops;
}

UdpSocketState udp_socket_state(unsigned short port)
{
    // "sl local_address rem_address st tx_queue:rx_queue tr:when retrnsmt
    // uid timeout inode ref pointer drops", addresses as hex in host order.
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    UdpSocketState state;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st, queues, timer, retransmits, uid, timeout, inode, refs, pointer;
        long drops = 0;
        if (!(fields >> slot >> local >> remote >> st >> queues >> timer >> retransmits >> uid >> timeout >> inode >>
              refs >> pointer >> drops) ||
            local != wanted)
            continue;
        const auto colon = queues.find(':');
        if (colon == std::string::npos) continue;
        state.found = true;
        state.queued_bytes = std::strtol(queues.c_str() + colon + 1, nullptr, 16);
        state.drops = drops;
        return state;
    }
    return state;
}

void pin_to_cpu(int cpu)
{
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) throw std::runtime_error("sched_setaffinity failed");
}

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& extra_arguments,
                             int cpu)
{
    std::vector<std::string> arguments = {binary,  "--bind",       "127.0.0.1", "--port",
                                          "0",     "--extra-port", "0",         "--quiet"};
    arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The same as `taskset -c CPU`: the affinity survives the exec.
        if (cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::perror("execv");
        _exit(127);
    }
    close(out[1]);
    out_fd_ = out[0];

    // "punchprobe-server listening on 127.0.0.1:P (main) and 127.0.0.1:Q (extra)"
    const std::string line = read_line(10000);
    unsigned main_port = 0;
    unsigned extra_port = 0;
    if (std::sscanf(line.c_str(), "punchprobe-server listening on 127.0.0.1:%u (main) and 127.0.0.1:%u (extra)",
                    &main_port, &extra_port) != 2) {
        stop();
        throw std::runtime_error("the server did not come up; it said: '" + line + "'");
    }
    main_port_ = static_cast<unsigned short>(main_port);
    extra_port_ = static_cast<unsigned short>(extra_port);
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
}

std::string ServerProcess::read_line(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::string();
        pollfd fd{out_fd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return std::string();
        char buffer[4096];
        const ssize_t n = read(out_fd_, buffer, sizeof buffer);
        if (n <= 0) return std::string();
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

ProcessUsage ServerProcess::usage() const
{
    ProcessUsage usage;
    std::ifstream status_file("/proc/" + std::to_string(pid_) + "/status");
    std::stringstream status;
    status << status_file.rdbuf();
    usage.vm_rss_kb = status_kb(status.str(), "VmRSS");
    usage.vm_hwm_kb = status_kb(status.str(), "VmHWM");

    // Fields 14 and 15 of /proc/PID/stat, after the parenthesised name.
    std::ifstream stat_file("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
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

std::string ServerProcess::stop()
{
    if (pid_ <= 0) return std::string();
    kill(pid_, SIGTERM);
    std::string counters;
    for (int lines = 0; lines < 100; ++lines) {
        const std::string line = read_line(10000);
        if (line.empty()) break;
        if (line.rfind("counters ", 0) == 0) {
            counters = line;
            break;
        }
    }
    // Bounded: a server that ignores SIGTERM is killed.
    for (int tries = 0; tries < 100; ++tries) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return counters;
        }
        usleep(50000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return counters;
}

}  // namespace punchprobe_bench
