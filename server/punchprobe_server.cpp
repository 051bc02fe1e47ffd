#include "server/punchprobe_server.hpp"

#include <algorithm>
#include <csignal>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/error.hpp>

#include "client/host_network.hpp"

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;

namespace {

// While the extra socket's queue could not take a whole batch of PINGs, the
// trains wait rather than lose them, and look again this soon.
constexpr ServerClock::duration full_queue_pause = std::chrono::milliseconds(1);
// The longest PING a train sends.
constexpr std::size_t max_ping_bytes = 96;

// Datagrams read per socket before the loop turns to other work.
constexpr std::size_t receive_batch = 32;

// Error lines a second, and at once: enough to see what goes wrong, too few
// to flood a journal.
const RateLimit error_line_limit{10, 20};

// Interfaces come and go rarely; a wildcard-bound server looks again this
// often for the addresses it must not answer.
constexpr ServerClock::duration local_address_refresh = std::chrono::seconds(30);

// Prints the counters line without stopping. Only POSIX has it; elsewhere
// the counters come at the end alone.
#ifdef SIGUSR1
constexpr int counters_signal = SIGUSR1;
#else
constexpr int counters_signal = 0;
#endif

}  // namespace

PunchprobeServer::PunchprobeServer(asio::io_service& io_service, const ServerOptions& options,
                                   std::ostream& out, std::ostream& err)
    : log_(out, err),
      main_(io_service, ServerSocket::main, options.bind_address, options.main_port, send_errors()),
      extra_(io_service, ServerSocket::extra, options.bind_address, options.extra_port, send_errors()),
      core_(options, main_.endpoint.port(), extra_.endpoint.port()),
      timer_(io_service),
      signals_(io_service, SIGINT, SIGTERM)
{
    if (counters_signal != 0) signals_.add(counters_signal);
    if (options.metrics)
        metrics_ = std::make_unique<MetricsEndpoint>(io_service, *options.metrics, options.metrics_deadline,
                                                     core_.counters(), [this] { return metrics_page(); });
    print_first_lines();
    refresh_local_addresses(ServerClock::now());
    start_receive(main_);
    start_receive(extra_);
    start_signal_wait();
    if (metrics_) metrics_->start();
}

void PunchprobeServer::print_first_lines()
{
    // Printed even when quiet, and never dropped: scripts read the
    // system-chosen ports here.
    std::ostringstream line;
    line << "punchprobe-server listening on " << main_.endpoint.address().to_string() << ":"
         << main_.endpoint.port() << " (main) and " << extra_.endpoint.address().to_string() << ":"
         << extra_.endpoint.port() << " (extra)";
    log_.post_always(LogWriter::Stream::out, line.str());
    if (!metrics_) return;
    const asio::ip::tcp::endpoint where = metrics_->endpoint();
    log_.post_always(LogWriter::Stream::out, "metrics on http://" + where.address().to_string() + ":" +
                                                 std::to_string(where.port()) + "/metrics");
}

std::optional<asio::ip::tcp::endpoint> PunchprobeServer::metrics_endpoint() const
{
    if (!metrics_) return std::nullopt;
    return metrics_->endpoint();
}

std::string PunchprobeServer::metrics_page() const
{
    MetricsGauges gauges;
    gauges.live_sessions = core_.live_sessions();
    gauges.live_ping_trains = core_.live_ping_trains();
    gauges.queued_sends = main_.queued_sends + extra_.queued_sends;
    return metrics_text(core_.counters(), gauges, core_.setup_times());
}

void PunchprobeServer::start_receive(DatagramSocket& listener)
{
    // Only a wait: the reads themselves take a batch each.
    listener.socket.async_wait(udp::socket::wait_read,
                               [this, &listener](const error_code& error) { handle_receive(error, listener); });
}

void PunchprobeServer::handle_receive(const error_code& error, DatagramSocket& listener)
{
    // The error first: after the server is gone its pending operations
    // complete as aborted, and nothing of it may be read then.
    if (error == asio::error::operation_aborted || stopped_) return;
    if (!error || receive_error_allows_more(error)) read_waiting(listener);
    arm_timer();
    if (!stopped_) start_receive(listener);
}

void PunchprobeServer::read_waiting(DatagramSocket& listener)
{
    // Under load more datagrams already wait: read them in batches, a
    // bounded number a wake-up so that the other socket and the timer get
    // their turn. Each batch's replies leave together before the next read.
    std::size_t read = 0;
    for (std::size_t calls = 0; read < receive_batch && calls < receive_batch && !stopped_; ++calls) {
        error_code read_error;
        const std::size_t wanted = std::min(receive_batch - read, DatagramSocket::max_batch);
        const std::size_t count = listener.receive(wanted, read_error);
        if (read_error == asio::error::would_block) return;
        if (read_error && !receive_error_allows_more(read_error)) return;
        if (read_error) continue;
        if (count == 0) return;
        ++core_.counters().receive_batches;
        // One look at the clock serves the batch: it came in at once.
        const ServerClock::time_point now = ServerClock::now();
        refresh_local_addresses(now);
        for (std::size_t i = 0; i < count; ++i)
            take(core_.on_datagram(listener.received(i), listener.sender(i), listener.which, now));
        send_batches();
        read += count;
        // Fewer than asked for: the kernel's queue is empty.
        if (count < wanted) return;
    }
}

bool PunchprobeServer::receive_error_allows_more(const error_code& error)
{
    // Some systems hand an ICMP port-unreachable for an earlier send to the
    // next receive: routine once a client has closed its socket before the
    // last PING. Any other error is reported. Neither stops the listening.
    if (error == asio::error::connection_refused) return true;
    report_error("handle_receive", error);
    return false;
}

void PunchprobeServer::carry_out(Effects& effects)
{
    take(effects);
    send_batches();
}

void PunchprobeServer::take(Effects& effects)
{
    for (OutboundDatagram& datagram : effects.datagrams)
        (datagram.from == ServerSocket::main ? main_ : extra_).add(std::move(datagram));
    for (std::string& line : effects.lines)
        if (!log_.post(LogWriter::Stream::out, std::move(line))) ++core_.counters().log_lines_dropped;
}

void PunchprobeServer::send_batches()
{
    const auto count = [this](const OutboundDatagram& datagram, DatagramSocket::Sent sent) {
        switch (sent) {
        case DatagramSocket::Sent::yes:
            if (datagram.count_when_sent) ++(core_.counters().*datagram.count_when_sent);
            break;
        case DatagramSocket::Sent::no_room: core_.counters().count_drop(DropReason::send_queue); break;
        case DatagramSocket::Sent::failed: break;  // reported through send_errors()
        }
    };
    for (DatagramSocket* socket : {&main_, &extra_})
        if (socket->has_batch()) core_.counters().send_batches += socket->send_batch(count);
}

DatagramSocket::ErrorHandler PunchprobeServer::send_errors()
{
    // Only reported: a proven session's reply goes again anyway while the
    // client's next request is missing.
    return [this](const error_code& error) { report_error("data_sent", error); };
}

void PunchprobeServer::arm_timer()
{
    const auto deadline = core_.next_deadline();
    if (stopped_ || !deadline || (timer_at_ && *timer_at_ <= *deadline)) return;
    wait_until(*deadline);
}

void PunchprobeServer::wait_until(ServerClock::time_point when)
{
    // Moving the expiry cancels a later wait, whose handler then returns.
    timer_at_ = when;
    timer_.expires_at(when);
    timer_.async_wait([this](const error_code& error) { handle_timer(error); });
}

void PunchprobeServer::handle_timer(const error_code& error)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    timer_at_.reset();
    const ServerClock::time_point now = ServerClock::now();
    if (!extra_.has_room(ServerCore::batch, ServerCore::batch * max_ping_bytes, true)) {
        wait_until(now + full_queue_pause);
        return;
    }
    carry_out(core_.on_time(now));
    arm_timer();
}

void PunchprobeServer::refresh_local_addresses(ServerClock::time_point now)
{
    // A server bound to one address knows its own sockets already.
    if (!main_.endpoint.address().is_unspecified() || now < next_address_refresh_) return;
    core_.set_local_addresses(local_ipv4_addresses());
    next_address_refresh_ = now + local_address_refresh;
}

void PunchprobeServer::report_error(const char* handler, const error_code& error)
{
    if (!error_lines_.take(error_line_limit, ServerClock::now())) {
        ++core_.counters().error_lines_suppressed;
        return;
    }
    std::ostringstream line;
    line << "Error in " << handler << ": " << error << " " << error.message();
    if (!log_.post(LogWriter::Stream::err, line.str())) ++core_.counters().log_lines_dropped;
}

void PunchprobeServer::start_signal_wait()
{
    signals_.async_wait([this](const error_code& error, int signal_number) { handle_signal(error, signal_number); });
}

void PunchprobeServer::handle_signal(const error_code& error, int signal_number)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    if (signal_number == counters_signal) {
        // The operator's look at the counters; service goes on. A storm of
        // requests behind a stalled reader keeps one line, the latest.
        if (log_.post_latest(LogWriter::Stream::out, counters_line(core_.counters())))
            ++core_.counters().counters_lines_coalesced;
        start_signal_wait();
        return;
    }
    carry_out(core_.finish());
    log_.post_always(LogWriter::Stream::out, counters_line(core_.counters()));
    stop();
}

void PunchprobeServer::stop()
{
    if (stopped_) return;
    stopped_ = true;
    error_code ignored;
    signals_.cancel(ignored);
    timer_.cancel(ignored);
    main_.socket.close(ignored);
    extra_.socket.close(ignored);
    if (metrics_) metrics_->stop();
}

}  // namespace punchprobe
