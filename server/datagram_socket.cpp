#include "server/datagram_socket.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <utility>

#include <sys/socket.h>
#include <sys/uio.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "server/junk_filter.hpp"

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

// The kernel cuts a longer datagram to its slot, and the cut still holds
// more bytes than a request can have: the core drops it as oversized, as it
// would the whole.
static_assert(DatagramSocket::receive_slot_size > max_request_size,
              "a datagram cut to its slot must still be longer than any request");

error_code last_error()
{
    return error_code(errno, boost::system::system_category());
}

}  // namespace

// The buffers and headers of one batch, set up once: each call only says
// what changed.
struct DatagramSocket::Slots {
    std::array<std::array<char, receive_slot_size>, max_batch> bytes;
    std::array<udp::endpoint, max_batch> senders;
    std::array<iovec, max_batch> receive_parts;
    std::array<mmsghdr, max_batch> receives;
    std::array<iovec, max_batch> send_parts;
    std::array<mmsghdr, max_batch> sends;
};

DatagramSocket::DatagramSocket(asio::io_service& io_service, ServerSocket which_socket,
                               const asio::ip::address_v4& address, unsigned short port, ErrorHandler on_send_error)
    : which(which_socket), socket(io_service), on_send_error_(std::move(on_send_error)), slots_(std::make_unique<Slots>())
{
    for (std::size_t i = 0; i < max_batch; ++i) {
        slots_->receive_parts[i] = {slots_->bytes[i].data(), receive_slot_size};
        slots_->receives[i] = {};
        slots_->receives[i].msg_hdr.msg_iov = &slots_->receive_parts[i];
        slots_->receives[i].msg_hdr.msg_iovlen = 1;
        slots_->receives[i].msg_hdr.msg_name = slots_->senders[i].data();
        slots_->sends[i] = {};
        slots_->sends[i].msg_hdr.msg_iov = &slots_->send_parts[i];
        slots_->sends[i].msg_hdr.msg_iovlen = 1;
    }
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

DatagramSocket::~DatagramSocket() = default;

std::size_t DatagramSocket::receive(std::size_t most, error_code& error)
{
    error = {};
    const std::size_t asked = std::min(most, max_batch);
    if (asked == 0) return 0;
    for (std::size_t i = 0; i < asked; ++i)
        slots_->receives[i].msg_hdr.msg_namelen = static_cast<socklen_t>(slots_->senders[i].capacity());
    for (;;) {
        const int got = ::recvmmsg(socket.native_handle(), slots_->receives.data(), static_cast<unsigned>(asked),
                                   MSG_DONTWAIT, nullptr);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno == EINTR) continue;
        error = last_error();
        return 0;
    }
}

std::string_view DatagramSocket::received(std::size_t index) const
{
    return {slots_->bytes[index].data(), slots_->receives[index].msg_len};
}

const udp::endpoint& DatagramSocket::sender(std::size_t index) const
{
    return slots_->senders[index];
}

void DatagramSocket::add(OutboundDatagram datagram)
{
    batch_.push_back(std::move(datagram));
}

std::size_t DatagramSocket::send_batch(const std::function<void(const OutboundDatagram&, Sent)>& taken)
{
    std::size_t calls = 0;
    std::size_t next = 0;
    while (next < batch_.size() && queued_sends == 0) {
        const std::size_t count = std::min(batch_.size() - next, max_batch);
        for (std::size_t i = 0; i < count; ++i) {
            OutboundDatagram& datagram = batch_[next + i];
            slots_->send_parts[i] = {datagram.bytes.data(), datagram.bytes.size()};
            slots_->sends[i].msg_hdr.msg_name = datagram.destination.data();
            slots_->sends[i].msg_hdr.msg_namelen = static_cast<socklen_t>(datagram.destination.size());
        }
        const int sent =
            ::sendmmsg(socket.native_handle(), slots_->sends.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
        if (sent > 0) {
            ++calls;
            for (int i = 0; i < sent; ++i) taken(batch_[next++], Sent::yes);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        // The kernel's buffer is full: the rest wait in the queue.
        if (sent == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
        // The call stops at a datagram it cannot send (a destination no
        // route leads to, say); the datagrams behind it still go.
        on_send_error_(last_error());
        taken(batch_[next++], Sent::failed);
    }
    for (; next < batch_.size(); ++next) {
        OutboundDatagram& datagram = batch_[next];
        taken(datagram, queue(datagram.bytes, datagram.destination, datagram.proven));
    }
    batch_.clear();
    return calls;
}

bool DatagramSocket::has_room(std::size_t datagrams, std::size_t bytes, bool proven) const
{
    const std::size_t most_datagrams = proven ? max_queued_datagrams : max_unproven_queued_datagrams;
    const std::size_t most_bytes = proven ? max_queued_bytes : max_unproven_queued_bytes;
    return queued_sends + datagrams <= most_datagrams && queued_bytes + bytes <= most_bytes;
}

DatagramSocket::Sent DatagramSocket::queue(std::string& bytes, const udp::endpoint& destination, bool proven)
{
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
