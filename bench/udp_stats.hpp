#pragma once

// What the kernel tells about UDP on this machine, for the bench's loss
// figures; the server process itself: tests/support/server_process.hpp.
namespace punchprobe_bench {

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

}  // namespace punchprobe_bench
