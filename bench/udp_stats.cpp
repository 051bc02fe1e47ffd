#include "bench/udp_stats.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace punchprobe_bench {

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

}  // namespace punchprobe_bench
