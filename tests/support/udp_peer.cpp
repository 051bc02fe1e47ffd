#include "support/udp_peer.hpp"

#include <poll.h>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace punchprobe_test {

using boost::asio::ip::udp;

UdpPeer::UdpPeer(unsigned short port, const std::string& address)
    : socket_(io_service_, udp::endpoint(boost::asio::ip::make_address_v4(address), port))
{
}

unsigned short UdpPeer::port() const
{
    return socket_.local_endpoint().port();
}

udp::endpoint UdpPeer::endpoint() const
{
    return socket_.local_endpoint();
}

std::optional<Datagram> UdpPeer::receive(std::chrono::milliseconds limit)
{
    pollfd fd{socket_.native_handle(), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    std::vector<char> buffer(65536);
    Datagram datagram;
    const std::size_t n = socket_.receive_from(boost::asio::buffer(buffer), datagram.source);
    datagram.bytes.assign(buffer.data(), n);
    return datagram;
}

void UdpPeer::send_to(const std::string& bytes, const udp::endpoint& destination)
{
    socket_.send_to(boost::asio::buffer(bytes), destination);
}

void UdpPeer::set_receive_buffer(int bytes)
{
    socket_.set_option(udp::socket::receive_buffer_size(bytes));
}

}  // namespace punchprobe_test
