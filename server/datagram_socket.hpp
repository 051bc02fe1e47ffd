#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "server/server_core.hpp"

namespace punchprobe {

// One of the server's UDP sockets: non-blocking, with one receive buffer
// and a bounded queue for the sends the kernel could not take at once.
// Replies to unproven sources may fill only the first part of the queue, so
// that proven sessions' replies and PINGs always find room.
class DatagramSocket {
public:
    // Told of every send the kernel refused, at once or after it was queued.
    using ErrorHandler = std::function<void(const boost::system::error_code&)>;

    // Opens and binds. Throws boost::system::system_error whose text names
    // the step, the address and the socket ("bind 0.0.0.0:30000 (main
    // port)").
    DatagramSocket(boost::asio::io_service& io_service, ServerSocket which, const boost::asio::ip::address_v4& address,
                   unsigned short port, ErrorHandler on_send_error);

    enum class Sent { yes, no_room, failed };
    // Sends at once, or queues behind earlier sends.
    Sent send(std::string& bytes, const boost::asio::ip::udp::endpoint& destination, bool proven);
    bool has_room(std::size_t datagrams, std::size_t bytes, bool proven) const;

    static constexpr std::size_t max_queued_datagrams = 1024;
    static constexpr std::size_t max_queued_bytes = 128 * 1024;
    static constexpr std::size_t max_unproven_queued_datagrams = 256;
    static constexpr std::size_t max_unproven_queued_bytes = 32 * 1024;
    // Big enough that an oversized datagram is seen as oversized, not cut
    // down to something that looks whole.
    static constexpr std::size_t receive_buffer_size = 65536;

    const ServerSocket which;
    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::endpoint endpoint;
    // One receive is pending at a time, so one buffer and one sender slot.
    std::vector<char> buffer = std::vector<char>(receive_buffer_size);
    boost::asio::ip::udp::endpoint sender;
    // Sends waiting in the loop: while any wait, later ones queue behind
    // them and keep their order.
    std::size_t queued_sends = 0;
    std::size_t queued_bytes = 0;

private:
    ErrorHandler on_send_error_;
};

}  // namespace punchprobe
