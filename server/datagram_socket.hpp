#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "server/server_core.hpp"

namespace punchprobe {

// One of the server's UDP sockets: non-blocking, read and written in
// batches of datagrams with one system call each, with a bounded queue for
// the sends the kernel could not take at once. Replies to unproven sources
// may fill only the first part of the queue, so that proven sessions'
// replies and PINGs always find room.
class DatagramSocket {
public:
    // Told of every send the kernel refused, at once or after it was queued.
    using ErrorHandler = std::function<void(const boost::system::error_code&)>;

    // Opens and binds. Throws boost::system::system_error whose text names
    // the step, the address and the socket ("bind 0.0.0.0:30000 (main
    // port)").
    DatagramSocket(boost::asio::io_service& io_service, ServerSocket which, const boost::asio::ip::address_v4& address,
                   unsigned short port, ErrorHandler on_send_error);
    ~DatagramSocket();

    // The batch slots point into the object.
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Reads what already waits, up to `most` (at most max_batch) datagrams,
    // with one call; each is then received(i) and sender(i) until the next
    // read. Nothing read sets `error`, would_block when nothing waits.
    std::size_t receive(std::size_t most, boost::system::error_code& error);
    // A datagram longer than any request is seen as such, even when cut to
    // its slot (receive_slot_size).
    std::string_view received(std::size_t index) const;
    const boost::asio::ip::udp::endpoint& sender(std::size_t index) const;

    enum class Sent { yes, no_room, failed };
    // Adds a datagram to the batch that send_batch() sends.
    void add(OutboundDatagram datagram);
    bool has_batch() const { return !batch_.empty(); }
    // Sends the batch in order, as many as the kernel takes at a time with one
    // call (max_batch a call), and queues the rest behind the first the kernel
    // pushed back. One the kernel refuses is reported through the error handler,
    // and those behind it still go. While sends are queued, the whole batch
    // queues behind them. `taken` hears of each datagram's fate, in order (its
    // bytes may be gone to the queue by then). Returns the calls that sent
    // anything.
    std::size_t send_batch(const std::function<void(const OutboundDatagram&, Sent)>& taken);
    bool has_room(std::size_t datagrams, std::size_t bytes, bool proven) const;

    static constexpr std::size_t max_queued_datagrams = 1024;
    static constexpr std::size_t max_queued_bytes = 128 * 1024;
    static constexpr std::size_t max_unproven_queued_datagrams = 256;
    static constexpr std::size_t max_unproven_queued_bytes = 32 * 1024;
    // Datagrams one system call reads or sends.
    static constexpr std::size_t max_batch = 32;
    // Longer than any request, so that a datagram cut to it still looks
    // oversized; small, so that a batch's slots stay 16 KiB.
    static constexpr std::size_t receive_slot_size = 512;

    const ServerSocket which;
    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::endpoint endpoint;
    // Sends waiting in the loop: while any wait, later ones queue behind
    // them and keep their order.
    std::size_t queued_sends = 0;
    std::size_t queued_bytes = 0;

private:
    struct Slots;

    Sent queue(std::string& bytes, const boost::asio::ip::udp::endpoint& destination, bool proven);

    ErrorHandler on_send_error_;
    std::unique_ptr<Slots> slots_;
    std::vector<OutboundDatagram> batch_;
};

}  // namespace punchprobe
