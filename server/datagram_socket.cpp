#include "server/datagram_socket.hpp"

#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// The socket's kernel queue: some thousands of datagrams. A burst of
// clients (or of junk) must queue, not be dropped: the clients never repeat
// a request.
constexpr int receive_buffer_bytes = 4 * 1024 * 1024;

}  // namespace

DatagramSocket::DatagramSocket(asio::io_service& io_service, ServerSocket which_socket,
                               const asio::ip::address_v4& address, unsigned short port, ErrorHandler on_send_error)
    : which(which_socket), socket(io_service), on_send_error_(std::move(on_send_error))
{
    // An operator with two servers, or a port in use, needs to know which
    // socket and which address failed.
    const std::string where = address.to_string() + ":" + std::to_string(port) +
                              (which == ServerSocket::main ? " (main port)" : " (extra port)");
    error_code error;
    socket.open(udp::v4(), error);
    if (error) throw system_error(error, "open " + where);
    // The kernel caps this at net.core.rmem_max, and a smaller buffer
    // still works, so a refusal is no error.
    error_code ignored;
    socket.set_option(udp::socket::receive_buffer_size(receive_buffer_bytes), ignored);
    // Reads and sends are tried at once and give way when the kernel has
    // nothing to read or no room to send.
    socket.non_blocking(true, error);
    if (error) throw system_error(error, "non_blocking " + where);
    socket.bind(udp::endpoint(address, port), error);
    if (error) throw system_error(error, "bind " + where);
    endpoint = socket.local_endpoint(error);
    if (error) throw system_error(error, "local_endpoint " + where);
}

bool DatagramSocket::has_room(std::size_t datagrams, std::size_t bytes, bool proven) const
{
    const std::size_t most_datagrams = proven ? max_queued_datagrams : max_unproven_queued_datagrams;
    const std::size_t most_bytes = proven ? max_queued_bytes : max_unproven_queued_bytes;
    return queued_sends + datagrams <= most_datagrams && queued_bytes + bytes <= most_bytes;
}

DatagramSocket::Sent DatagramSocket::send(std::string& bytes, const udp::endpoint& destination, bool proven)
{
    if (queued_sends == 0) {
        error_code error;
        socket.send_to(asio::buffer(bytes), destination, 0, error);
        if (!error) return Sent::yes;
        if (error != asio::error::would_block) {
            on_send_error_(error);
            return Sent::failed;
        }
    }
    // Behind a slow uplink the queue would grow with every forged request;
    // it is bounded, and unproven sources give way first.
    if (!has_room(1, bytes.size(), proven)) return Sent::no_room;
    // The pending send owns its bytes until it completes.
    auto queued = std::make_shared<std::string>(std::move(bytes));
    ++queued_sends;
    queued_bytes += queued->size();
    socket.async_send_to(asio::buffer(*queued), destination, 0,
                         [this, queued](const error_code& send_error, std::size_t) {
                             if (send_error == asio::error::operation_aborted) return;
                             --queued_sends;
                             queued_bytes -= queued->size();
                             if (send_error) on_send_error_(send_error);
                         });
    return Sent::yes;
}

}  // namespace punchprobe
