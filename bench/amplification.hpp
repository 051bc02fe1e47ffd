#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace punchprobe_bench {

// What one request brought back from the server.
struct AmplificationRow {
    bool proven = false;      // a step of a real session, or a stranger's datagram
    std::string request;
    const char* port = "";    // "main" or "extra"
    std::size_t bytes_in = 0;  // UDP payload bytes, as every figure here
    std::size_t datagrams_back = 0;
    std::size_t bytes_back = 0;
};

// Sends each request type once to a server on 127.0.0.1 that has seen
// nothing from these sources, each from a socket of its own on an address of
// its own, and counts what comes back to that socket within `wait`: INIT,
// INIT2/START/PING with a made-up id, reply-shaped datagrams, and one of each
// junk kind. Then runs one real session step by step and counts the same for
// each step, for contrast. The sources are 127.100.100.x, as long as an IPv4
// address gets, since the INIT reply repeats the address.
std::vector<AmplificationRow> measure_amplification(unsigned short main_port, unsigned short extra_port,
                                                    std::chrono::milliseconds wait);

void print_amplification(const std::vector<AmplificationRow>& rows, std::chrono::milliseconds wait);

}  // namespace punchprobe_bench
