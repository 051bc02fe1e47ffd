#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>

namespace punchprobe_test {

struct Datagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint source;
};

// A UDP socket on loopback that a test scripts by hand: wait for a datagram
// with a time limit, answer it, or send anything anywhere on 127.0.0.1.
class UdpPeer {
public:
    // Port 0 lets the system choose.
    explicit UdpPeer(unsigned short port = 0, const std::string& address = "127.0.0.1");

    unsigned short port() const;
    boost::asio::ip::udp::endpoint endpoint() const;

    // The next datagram, or nothing once `limit` has passed.
    std::optional<Datagram> receive(std::chrono::milliseconds limit);

    void send_to(const std::string& bytes, const boost::asio::ip::udp::endpoint& destination);

    // Room for this many bytes of datagrams not read yet (SO_RCVBUF; the
    // kernel doubles it and caps it at net.core.rmem_max).
    void set_receive_buffer(int bytes);

private:
    boost::asio::io_service io_service_;
    boost::asio::ip::udp::socket socket_;
};

}  // namespace punchprobe_test
