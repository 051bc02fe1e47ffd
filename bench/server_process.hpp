#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace punchprobe_bench {

// Memory and CPU figures of a running process, from /proc/PID.
struct ProcessUsage {
    long vm_rss_kb = 0;
    long vm_hwm_kb = 0;
    double cpu_seconds = 0;  // user + system
    double system_seconds = 0;
};

// A punchprobe-server started by the bench on 127.0.0.1 with system-chosen
// ports, optionally pinned to one CPU. The destructor kills it if stop() was
// not called.
class ServerProcess {
public:
    // Starts `binary` with `--bind 127.0.0.1 --port 0 --extra-port 0 --quiet`
    // and `extra_arguments`, and waits (at most a few seconds) for its
    // listening line. `cpu` < 0 leaves the affinity alone. Throws
    // std::runtime_error when the server does not come up.
    ServerProcess(const std::string& binary, const std::vector<std::string>& extra_arguments, int cpu);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    unsigned short main_port() const { return main_port_; }
    unsigned short extra_port() const { return extra_port_; }

    ProcessUsage usage() const;

    // SIGTERM, then waits for the exit and returns the counters line the
    // server prints on its way out (empty if none came).
    std::string stop();

private:
    std::string read_line(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string pending_;
    unsigned short main_port_ = 0;
    unsigned short extra_port_ = 0;
};

// UDP receive errors of the whole machine (/proc/net/snmp): datagrams the
// kernel dropped because a socket's receive buffer was full.
long udp_receive_buffer_errors();

// Datagrams the kernel's per-CPU input queues dropped (/proc/net/softnet_stat,
// all CPUs): on loopback every datagram passes through one of them.
long input_queue_drops();

// One UDP socket of this network namespace as /proc/net/udp shows it.
struct UdpSocketState {
    bool found = false;
    long queued_bytes = 0;  // received, not yet read by the owner
    long drops = 0;         // refused for want of room in its receive buffer
};

// The IPv4 UDP socket bound to 127.0.0.1:`port`.
UdpSocketState udp_socket_state(unsigned short port);

// Pins the calling thread to one CPU; does nothing for cpu < 0.
void pin_to_cpu(int cpu);

}  // namespace punchprobe_bench
