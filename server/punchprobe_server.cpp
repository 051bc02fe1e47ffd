#include "server/punchprobe_server.hpp"

#include <algorithm>
#include <csignal>
#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::posix_time::time_duration;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// Often enough that an idle server logs an expired session soon after its
// time, rarely enough to cost nothing.
time_duration sweep_interval_for(const time_duration& ttl)
{
    return std::clamp(ttl / 4, time_duration(boost::posix_time::milliseconds(10)),
                      time_duration(boost::posix_time::seconds(1)));
}

ServerClock::duration to_clock(const time_duration& duration)
{
    return std::chrono::microseconds(duration.total_microseconds());
}

// The ping timer wakes at most this often; a PING may leave this much later
// than its interval says, and in return one wake-up serves many trains.
constexpr ServerClock::duration ping_timer_resolution = std::chrono::milliseconds(1);

void report_handler_error(std::ostream& err, const char* handler, const error_code& error)
{
    err << "Error in " << handler << ": " << error << " " << error.message() << std::endl;
}

}  // namespace

PunchprobeServer::PunchprobeServer(asio::io_service& io_service, const ServerOptions& options,
                                   std::ostream& out, std::ostream& err)
    : out_(out),
      err_(err),
      pings_(options.pings),
      ping_interval_(to_clock(options.ping_interval)),
      sweep_interval_(sweep_interval_for(options.session_ttl)),
      quiet_(options.quiet),
      main_socket_(io_service),
      extra_socket_(io_service),
      sessions_(to_clock(options.session_ttl), options.max_sessions),
      ping_timer_(io_service),
      sweep_timer_(io_service),
      signals_(io_service, SIGINT, SIGTERM)
{
    bind_sockets(options);
    print_listening();
    start_receive(ServerSocket::main);
    start_receive(ServerSocket::extra);
    start_sweep();
    start_signal_wait();
}

void PunchprobeServer::bind_sockets(const ServerOptions& options)
{
    const auto bind_one = [&options](udp::socket& socket, unsigned short port) {
        error_code error;
        socket.open(udp::v4(), error);
        if (error) throw system_error(error, "open");
        // A burst of clients (or of junk) must queue, not be dropped: the
        // clients never repeat a request. The kernel caps this at
        // net.core.rmem_max, and a smaller buffer still works, so a refusal
        // is no error.
        error_code ignored;
        socket.set_option(udp::socket::receive_buffer_size(receive_buffer_bytes), ignored);
        // Reads and sends are tried at once and give way when the kernel
        // has nothing to read or no room to send.
        socket.non_blocking(true, error);
        if (error) throw system_error(error, "non_blocking");
        socket.bind(udp::endpoint(options.bind_address, port), error);
        if (error) throw system_error(error, "bind");
        const udp::endpoint bound = socket.local_endpoint(error);
        if (error) throw system_error(error, "local_endpoint");
        return bound;
    };
    main_endpoint_ = bind_one(main_socket_, options.main_port);
    extra_endpoint_ = bind_one(extra_socket_, options.extra_port);
    handler_settings_.extra_port = extra_endpoint_.port();
}

void PunchprobeServer::print_listening()
{
    // Printed even when quiet: scripts read the system-chosen ports here.
    out_ << "punchprobe-server listening on " << main_endpoint_.address().to_string() << ":"
         << main_endpoint_.port() << " (main) and " << extra_endpoint_.address().to_string() << ":"
         << extra_endpoint_.port() << " (extra)" << std::endl;
}

void PunchprobeServer::start_receive(ServerSocket which)
{
    std::vector<char>& buffer = buffer_of(which);
    socket_of(which).async_receive_from(
        asio::buffer(buffer), sender_of(which), 0,
        [this, which](const error_code& error, std::size_t bytes_received) {
            handle_receive(error, bytes_received, which);
        });
}

void PunchprobeServer::handle_receive(const error_code& error, std::size_t bytes_received,
                                      ServerSocket which)
{
    if (stopped_ || error == asio::error::operation_aborted) return;
    if (!error || receive_error_allows_more(error)) {
        if (!error) handle_datagram_in_buffer(bytes_received, which);
        // Under load more datagrams already wait: read them without a round
        // through the loop each, a bounded batch so that the other socket
        // and the timers get their turn.
        udp::socket& socket = socket_of(which);
        for (int read = 1; read < receive_batch && !stopped_; ++read) {
            error_code read_error;
            const std::size_t bytes =
                socket.receive_from(asio::buffer(buffer_of(which)), sender_of(which), 0, read_error);
            if (read_error == asio::error::would_block) break;
            if (read_error) {
                if (receive_error_allows_more(read_error)) continue;
                break;
            }
            handle_datagram_in_buffer(bytes, which);
        }
    }
    if (!stopped_) start_receive(which);
}

bool PunchprobeServer::receive_error_allows_more(const error_code& error)
{
    // Some systems hand an ICMP port-unreachable for an earlier send to the
    // next receive: routine once a client has closed its socket before the
    // last PING. Any other error is reported. Neither stops the listening.
    if (error == asio::error::connection_refused) return true;
    report_handler_error(err_, "handle_receive", error);
    return false;
}

void PunchprobeServer::handle_datagram_in_buffer(std::size_t bytes_received, ServerSocket which)
{
    inbound_.bytes.assign(buffer_of(which).data(), bytes_received);
    inbound_.source = sender_of(which);
    inbound_.socket = which;
    inbound_.now = ServerClock::now();
    execute(handle_datagram(inbound_, sessions_, handler_settings_));
}

void PunchprobeServer::execute(Decision decision)
{
    for (const SessionReport& report : decision.ended) report_end(report);
    if (decision.session_created) ++counters_.sessions;
    if (decision.drop) counters_.count_drop(*decision.drop);
    if (decision.reply)
        send_datagram(std::move(decision.reply->bytes), decision.reply->from, decision.reply->destination);
    if (decision.ping_train) start_ping_train(std::move(*decision.ping_train));
}

void PunchprobeServer::send_datagram(std::string bytes, ServerSocket from, const udp::endpoint& destination)
{
    if (queued_sends_of(from) == 0) {
        error_code error;
        socket_of(from).send_to(asio::buffer(bytes), destination, 0, error);
        if (error != asio::error::would_block) {
            data_sent(error, bytes.size());
            return;
        }
    }
    queue_send(std::move(bytes), from, destination);
}

void PunchprobeServer::queue_send(std::string bytes, ServerSocket from, const udp::endpoint& destination)
{
    // The kernel's send queue is full: the loop sends when there is room.
    // The pending send owns its bytes until it completes.
    auto datagram = std::make_shared<std::string>(std::move(bytes));
    ++queued_sends_of(from);
    socket_of(from).async_send_to(asio::buffer(*datagram), destination, 0,
                                  [this, datagram, from](const error_code& error, std::size_t bytes_sent) {
                                      if (error == asio::error::operation_aborted) return;
                                      --queued_sends_of(from);
                                      data_sent(error, bytes_sent);
                                  });
}

void PunchprobeServer::data_sent(const error_code& error, std::size_t /*bytes_sent*/)
{
    // A lost answer is the client's timeout to report, not ours to retry.
    if (error && error != asio::error::operation_aborted) report_handler_error(err_, "data_sent", error);
}

void PunchprobeServer::start_ping_train(PingTrainOrder order)
{
    PingTrain train{std::move(order), {}};
    if (!send_next_ping(train)) return;
    train.next_ping = ServerClock::now() + ping_interval_;
    ping_trains_.push_back(std::move(train));
    arm_ping_timer(ping_trains_.front().next_ping);
}

bool PunchprobeServer::send_next_ping(PingTrain& train)
{
    SessionReport& report = train.order.report;
    if (report.pings_sent < pings_) {
        ++report.pings_sent;
        send_datagram(make_server_ping(train.order.session_id, report.pings_sent), ServerSocket::extra,
                      train.order.destination);
    }
    if (report.pings_sent < pings_) return true;
    report_end(report);
    return false;
}

void PunchprobeServer::arm_ping_timer(ServerClock::time_point not_before)
{
    if (ping_timer_armed_ || ping_trains_.empty()) return;
    ping_timer_armed_ = true;
    error_code error;
    ping_timer_.expires_at(std::max(ping_trains_.front().next_ping, not_before), error);
    if (error) throw system_error(error, "expires_at");
    ping_timer_.async_wait([this](const error_code& wait_error) { handle_ping_timer(wait_error); });
}

void PunchprobeServer::handle_ping_timer(const error_code& error)
{
    // After stop() the trains may already be gone with the server's state:
    // touch nothing.
    if (stopped_ || error == asio::error::operation_aborted) return;
    ping_timer_armed_ = false;
    const ServerClock::time_point now = ServerClock::now();
    // Only the trains queued now: one served again goes to the back, for
    // the next wake-up, even with no interval at all.
    for (std::size_t due = ping_trains_.size(); due > 0 && ping_trains_.front().next_ping <= now; --due) {
        PingTrain train = std::move(ping_trains_.front());
        ping_trains_.pop_front();
        if (!send_next_ping(train)) continue;
        train.next_ping = now + ping_interval_;
        ping_trains_.push_back(std::move(train));
    }
    arm_ping_timer(now + ping_timer_resolution);
}

void PunchprobeServer::report_end(const SessionReport& report)
{
    counters_.count_end(report);
    if (!quiet_) out_ << session_line(report) << std::endl;
}

void PunchprobeServer::start_sweep()
{
    error_code error;
    sweep_timer_.expires_from_now(sweep_interval_, error);
    if (error) throw system_error(error, "expires_from_now");
    sweep_timer_.async_wait([this](const error_code& wait_error) { handle_sweep(wait_error); });
}

void PunchprobeServer::handle_sweep(const error_code& error)
{
    if (stopped_ || error == asio::error::operation_aborted) return;
    // Datagrams expire sessions too, but an idle server must still log the
    // ones whose time ran out.
    for (const SessionReport& report : sessions_.expire(ServerClock::now())) report_end(report);
    start_sweep();
}

void PunchprobeServer::start_signal_wait()
{
    signals_.async_wait([this](const error_code& error, int signal_number) { handle_signal(error, signal_number); });
}

void PunchprobeServer::handle_signal(const error_code& error, int /*signal_number*/)
{
    if (stopped_ || error == asio::error::operation_aborted) return;
    // A session whose PING train is still under way has already shown its
    // mapping: log it with the PINGs sent so far rather than lose it.
    for (const PingTrain& train : ping_trains_) report_end(train.order.report);
    out_ << counters_line(counters_) << std::endl;
    stop();
}

void PunchprobeServer::stop()
{
    if (stopped_) return;
    stopped_ = true;
    error_code ignored;
    sweep_timer_.cancel(ignored);
    signals_.cancel(ignored);
    ping_timer_.cancel(ignored);
    main_socket_.close(ignored);
    extra_socket_.close(ignored);
}

udp::socket& PunchprobeServer::socket_of(ServerSocket which)
{
    return which == ServerSocket::main ? main_socket_ : extra_socket_;
}

std::vector<char>& PunchprobeServer::buffer_of(ServerSocket which)
{
    return which == ServerSocket::main ? main_buffer_ : extra_buffer_;
}

udp::endpoint& PunchprobeServer::sender_of(ServerSocket which)
{
    return which == ServerSocket::main ? main_sender_ : extra_sender_;
}

std::size_t& PunchprobeServer::queued_sends_of(ServerSocket which)
{
    return which == ServerSocket::main ? main_queued_sends_ : extra_queued_sends_;
}

}  // namespace punchprobe
