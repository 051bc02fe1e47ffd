#include "bench/probe_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/wire.hpp"

namespace punchprobe_bench {

std::string dotted(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    const in_addr in{htonl(address)};
    return inet_ntop(AF_INET, &in, text, sizeof text);
}

Probe::Probe(std::uint32_t address) : address_(address)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const sockaddr_in local = ipv4_endpoint(address, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        if (fd_ >= 0) close(fd_);
        throw std::runtime_error("cannot bind a socket on " + dotted(address));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
}

Probe::~Probe()
{
    close(fd_);
}

void Probe::send(const std::string& bytes, unsigned short to_port) const
{
    const sockaddr_in to = ipv4_endpoint(INADDR_LOOPBACK, to_port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot send to 127.0.0.1");
}

bool Probe::receive(std::chrono::milliseconds wait, std::string& bytes) const
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char buffer[2048];
    // Bounded by the deadline: each pass reads or sleeps in poll.
    for (;;) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= 0) {
            bytes.assign(buffer, static_cast<std::size_t>(n));
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd ready{fd_, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(left));
    }
}

}  // namespace punchprobe_bench
