#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace punchprobe_bench {

// "127.0.0.1" for 0x7F000001.
std::string dotted(std::uint32_t address);

// A UDP socket on one loopback address (host order), system-chosen port,
// closed on destruction: one socket of a session the bench runs by hand.
class Probe {
public:
    explicit Probe(std::uint32_t address);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    int fd() const { return fd_; }
    std::uint32_t address() const { return address_; }
    unsigned short port() const { return port_; }

    // To 127.0.0.1:`to_port`; throws std::runtime_error when the system
    // refuses.
    void send(const std::string& bytes, unsigned short to_port) const;

    // The next datagram, waiting at most `wait`; false when none came.
    bool receive(std::chrono::milliseconds wait, std::string& bytes) const;

private:
    int fd_ = -1;
    std::uint32_t address_;
    unsigned short port_ = 0;
};

}  // namespace punchprobe_bench
