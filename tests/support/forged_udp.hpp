#pragma once

#include <memory>
#include <string>

#include <boost/asio/ip/udp.hpp>

namespace punchprobe_test {

// Sends UDP datagrams whose IPv4 source address and port are whatever the
// caller says, through a raw socket (IP_HDRINCL). Needs CAP_NET_RAW (root).
//
// This is how the attack tests and the load benchmark pose as peers the
// server has never heard from, without owning their addresses. The
// destination must be on loopback (127.0.0.0/8) or inside a network
// namespace the caller created itself: a forged source must never leave the
// machine. Nothing here checks that; it is the caller's duty.
//
// Depends only on Boost, the standard library and POSIX, so that the
// benchmark links it without GoogleTest.
class ForgedUdpSender {
public:
    // Returns nullptr and sets why_not when a raw socket cannot be opened
    // here (not root).
    static std::unique_ptr<ForgedUdpSender> create(std::string& why_not);

    ~ForgedUdpSender();
    ForgedUdpSender(const ForgedUdpSender&) = delete;
    ForgedUdpSender& operator=(const ForgedUdpSender&) = delete;

    // Sends one datagram; false (and errno kept) when the kernel refuses it.
    // Non-blocking: a full buffer is a false, not a wait. IPv6 endpoints and
    // payloads that do not fit one IPv4 datagram are refused the same way
    // (errno EAFNOSUPPORT, EMSGSIZE).
    bool send(const boost::asio::ip::udp::endpoint& forged_source,
              const boost::asio::ip::udp::endpoint& destination,
              const std::string& payload);

private:
    explicit ForgedUdpSender(int fd) : fd_(fd) {}

    int fd_;
};

}  // namespace punchprobe_test
