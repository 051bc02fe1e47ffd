#include "server/punchprobe_server.hpp"

#include <algorithm>
#include <csignal>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "protocol/server_messages.hpp"
#include "server/local_addresses.hpp"

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// Often enough that an idle server logs an expired session soon after its
// time, rarely enough to cost nothing.
ServerClock::duration sweep_interval_for(ServerClock::duration ttl)
{
    return std::clamp<ServerClock::duration>(ttl / 4, std::chrono::milliseconds(10), std::chrono::seconds(1));
}

// The ping timer wakes at most this often; a PING may leave this much later
// than its interval says, and in return one wake-up serves many trains.
constexpr ServerClock::duration ping_timer_resolution = std::chrono::milliseconds(1);

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

// Runs `handler` on the loop at `when`.
template <typename Handler>
void wait_until(asio::steady_timer& timer, ServerClock::time_point when, Handler handler)
{
    error_code error;
    timer.expires_at(when, error);
    if (error) throw system_error(error, "expires_at");
    timer.async_wait(std::move(handler));
}

std::uint32_t address_key(const udp::endpoint& endpoint)
{
    return endpoint.address().to_v4().to_uint();
}

}  // namespace

PunchprobeServer::Listener::Listener(asio::io_service& io_service, ServerSocket which_socket)
    : which(which_socket), socket(io_service)
{
}

void PunchprobeServer::Listener::bind(const asio::ip::address_v4& address, unsigned short port)
{
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
    socket.bind(udp::endpoint(address, port), error);
    if (error) throw system_error(error, "bind");
    endpoint = socket.local_endpoint(error);
    if (error) throw system_error(error, "local_endpoint");
}

PunchprobeServer::PunchprobeServer(asio::io_service& io_service, const ServerOptions& options,
                                   std::ostream& out, std::ostream& err)
    : log_(out, err),
      pings_(options.pings),
      ping_interval_(options.ping_interval),
      sweep_interval_(sweep_interval_for(options.session_ttl)),
      quiet_(options.quiet),
      max_trains_(options.max_sessions),
      trains_per_address_(options.trains_per_address),
      max_waiting_per_address_(static_cast<std::size_t>(options.trains_per_address) * waiting_turns_per_address),
      main_(io_service, ServerSocket::main),
      extra_(io_service, ServerSocket::extra),
      state_(options.session_ttl, options.max_sessions,
             RateLimit{options.init_rate, options.init_burst}),
      ping_timer_(io_service),
      resend_timer_(io_service),
      sweep_timer_(io_service),
      signals_(io_service, SIGINT, SIGTERM)
{
    if (counters_signal != 0) signals_.add(counters_signal);
    main_.bind(options.bind_address, options.main_port);
    extra_.bind(options.bind_address, options.extra_port);
    handler_settings_.bind_address = options.bind_address;
    handler_settings_.main_port = main_.endpoint.port();
    handler_settings_.extra_port = extra_.endpoint.port();
    handler_settings_.resends = options.resends;
    handler_settings_.resend_interval = options.resend_interval;
    if (options.metrics)
        metrics_ = std::make_unique<MetricsEndpoint>(io_service, *options.metrics, options.metrics_deadline,
                                                     counters_, [this] { return metrics_page(); });
    print_listening();
    print_metrics_line();
    refresh_local_addresses(ServerClock::now());
    start_receive(main_);
    start_receive(extra_);
    start_sweep();
    start_signal_wait();
    if (metrics_) metrics_->start();
}

void PunchprobeServer::print_listening()
{
    // Printed even when quiet, and never dropped: scripts read the
    // system-chosen ports here.
    std::ostringstream line;
    line << "punchprobe-server listening on " << main_.endpoint.address().to_string() << ":"
         << main_.endpoint.port() << " (main) and " << extra_.endpoint.address().to_string() << ":"
         << extra_.endpoint.port() << " (extra)";
    log_.post_always(LogWriter::Stream::out, line.str());
}

void PunchprobeServer::print_metrics_line()
{
    // Like the listening line: scripts read a system-chosen port here.
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
    gauges.live_sessions = state_.sessions.size();
    gauges.live_ping_trains = ping_trains_.size() + waiting_train_count_;
    gauges.queued_sends = main_.queued_sends + extra_.queued_sends;
    return metrics_text(counters_, gauges, setup_times_);
}

void PunchprobeServer::start_receive(Listener& listener)
{
    listener.socket.async_receive_from(asio::buffer(listener.buffer), listener.sender, 0,
                                       [this, &listener](const error_code& error, std::size_t bytes_received) {
                                           handle_receive(error, bytes_received, listener);
                                       });
}

void PunchprobeServer::handle_receive(const error_code& error, std::size_t bytes_received, Listener& listener)
{
    // The error first: after the server is gone its pending operations
    // complete as aborted, and nothing of it may be read then.
    if (error == asio::error::operation_aborted || stopped_) return;
    if (!error || receive_error_allows_more(error)) {
        if (!error) handle_datagram_in_buffer(bytes_received, listener);
        // Under load more datagrams already wait: read them without a round
        // through the loop each, a bounded batch so that the other socket
        // and the timers get their turn.
        for (int read = 1; read < receive_batch && !stopped_; ++read) {
            error_code read_error;
            const std::size_t bytes =
                listener.socket.receive_from(asio::buffer(listener.buffer), listener.sender, 0, read_error);
            if (read_error == asio::error::would_block) break;
            if (read_error) {
                if (receive_error_allows_more(read_error)) continue;
                break;
            }
            handle_datagram_in_buffer(bytes, listener);
        }
    }
    if (!stopped_) start_receive(listener);
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

void PunchprobeServer::handle_datagram_in_buffer(std::size_t bytes_received, Listener& listener)
{
    inbound_.bytes.assign(listener.buffer.data(), bytes_received);
    inbound_.source = listener.sender;
    inbound_.socket = listener.which;
    inbound_.now = ServerClock::now();
    // Only the extra port takes PINGs; elsewhere the answer does not matter.
    inbound_.room_for_train = listener.which != ServerSocket::extra || room_for_train(address_key(listener.sender));
    execute(handle_datagram(inbound_, state_, handler_settings_));
    arm_resend_timer();
}

void PunchprobeServer::execute(Decision decision)
{
    for (const SessionReport& report : decision.ended) report_end(report);
    if (decision.session_created) ++counters_.sessions;
    if (decision.drop) counters_.count_drop(*decision.drop);
    if (decision.reply) {
        OutboundDatagram& reply = decision.reply.value();
        // The handler names the socket; the listener is ours.
        Listener& from = reply.from == ServerSocket::main ? main_ : extra_;
        const bool sent = send_datagram(std::move(reply.bytes), from, reply.destination, reply.proven);
        if (sent && decision.init_answered) ++counters_.inits_answered;
    }
    if (decision.ping_train) {
        setup_times_.observe(decision.ping_train->setup_time);
        start_ping_train(std::move(*decision.ping_train));
    }
}

bool PunchprobeServer::has_room(const Listener& listener, std::size_t bytes, bool proven) const
{
    const std::size_t datagrams = proven ? max_queued_datagrams : max_unproven_queued_datagrams;
    const std::size_t total_bytes = proven ? max_queued_bytes : max_unproven_queued_bytes;
    return listener.queued_sends < datagrams && listener.queued_bytes + bytes <= total_bytes;
}

bool PunchprobeServer::send_datagram(std::string bytes, Listener& from, const udp::endpoint& destination,
                                     bool proven)
{
    if (from.queued_sends == 0) {
        error_code error;
        from.socket.send_to(asio::buffer(bytes), destination, 0, error);
        if (error != asio::error::would_block) {
            data_sent(error, bytes.size());
            return !error;
        }
    }
    // Behind a slow uplink the queue would grow with every forged request;
    // it is bounded, and unproven sources give way first.
    if (!has_room(from, bytes.size(), proven)) {
        counters_.count_drop(DropReason::send_queue);
        return false;
    }
    queue_send(std::move(bytes), from, destination);
    return true;
}

void PunchprobeServer::queue_send(std::string bytes, Listener& from, const udp::endpoint& destination)
{
    // The kernel's send queue is full: the loop sends when there is room.
    // The pending send owns its bytes until it completes.
    auto datagram = std::make_shared<std::string>(std::move(bytes));
    ++from.queued_sends;
    from.queued_bytes += datagram->size();
    from.socket.async_send_to(asio::buffer(*datagram), destination, 0,
                              [this, datagram, &from](const error_code& error, std::size_t bytes_sent) {
                                  if (error == asio::error::operation_aborted) return;
                                  --from.queued_sends;
                                  from.queued_bytes -= datagram->size();
                                  data_sent(error, bytes_sent);
                              });
}

void PunchprobeServer::data_sent(const error_code& error, std::size_t /*bytes_sent*/)
{
    // Only reported: a proven session's reply goes again anyway while the
    // client's next request is missing.
    if (error && error != asio::error::operation_aborted) report_error("data_sent", error);
}

int PunchprobeServer::live_trains_to(std::uint32_t address) const
{
    const auto live = live_trains_.find(address);
    return live == live_trains_.end() ? 0 : live->second;
}

bool PunchprobeServer::room_for_train(std::uint32_t address) const
{
    // One address waits for a few turns at most, and all trains together
    // never outnumber the sessions the table may hold.
    if (ping_trains_.size() + waiting_train_count_ >= max_trains_) return false;
    if (live_trains_to(address) < trains_per_address_) return true;
    const auto waiting = waiting_trains_.find(address);
    return waiting == waiting_trains_.end() || waiting->second.size() < max_waiting_per_address_;
}

void PunchprobeServer::start_ping_train(PingTrainOrder order)
{
    const std::uint32_t address = address_key(order.destination);
    if (live_trains_to(address) >= trains_per_address_) {
        // Its turn comes when one of the address's trains ends, a few
        // PING intervals from now: well within the client's 20 s.
        waiting_trains_[address].push_back(std::move(order));
        ++waiting_train_count_;
        ++counters_.trains_delayed;
        return;
    }
    launch_ping_train(std::move(order));
}

void PunchprobeServer::launch_ping_train(PingTrainOrder order)
{
    ++live_trains_[address_key(order.destination)];
    PingTrain train{std::move(order), ServerClock::now()};
    if (!has_room(extra_, 0, true)) {
        // The send queue is full: the first PING waits for the timer too.
        ping_trains_.push_front(std::move(train));
        arm_ping_timer(ServerClock::now() + ping_timer_resolution);
        return;
    }
    if (!send_next_ping(train)) return;
    train.next_ping = ServerClock::now() + ping_interval_;
    ping_trains_.push_back(std::move(train));
    arm_ping_timer(ping_trains_.front().next_ping);
}

void PunchprobeServer::ping_train_ended(const udp::endpoint& destination)
{
    const std::uint32_t address = address_key(destination);
    const auto live = live_trains_.find(address);
    if (live != live_trains_.end() && --live->second <= 0) live_trains_.erase(live);
    // A train launched below may end at once (a single PING) and come back
    // here: the outer call goes on launching, so the stack stays flat.
    if (launching_waiting_trains_) return;
    launching_waiting_trains_ = true;
    for (auto waiting = waiting_trains_.find(address);
         waiting != waiting_trains_.end() && live_trains_to(address) < trains_per_address_;
         waiting = waiting_trains_.find(address)) {
        PingTrainOrder next = std::move(waiting->second.front());
        waiting->second.pop_front();
        if (waiting->second.empty()) waiting_trains_.erase(waiting);
        --waiting_train_count_;
        launch_ping_train(std::move(next));
    }
    launching_waiting_trains_ = false;
}

bool PunchprobeServer::send_next_ping(PingTrain& train)
{
    SessionReport& report = train.order.report;
    if (report.pings_sent < pings_) {
        ++report.pings_sent;
        send_datagram(make_server_ping(train.order.session_id, report.pings_sent), extra_, train.order.destination,
                      true);
    }
    if (report.pings_sent < pings_) return true;
    report_end(report);
    ping_train_ended(train.order.destination);
    return false;
}

void PunchprobeServer::arm_ping_timer(ServerClock::time_point not_before)
{
    if (ping_timer_armed_ || ping_trains_.empty()) return;
    ping_timer_armed_ = true;
    wait_until(ping_timer_, std::max(ping_trains_.front().next_ping, not_before),
               [this](const error_code& wait_error) { handle_ping_timer(wait_error); });
}

void PunchprobeServer::handle_ping_timer(const error_code& error)
{
    // After stop() the trains may already be gone with the server's state:
    // touch nothing.
    if (error == asio::error::operation_aborted || stopped_) return;
    ping_timer_armed_ = false;
    const ServerClock::time_point now = ServerClock::now();
    // Only the trains queued now: one served again goes to the back, for
    // the next wake-up, even with no interval at all. While the send queue
    // is full, the trains wait rather than lose PINGs.
    for (std::size_t due = ping_trains_.size();
         due > 0 && ping_trains_.front().next_ping <= now && has_room(extra_, 0, true); --due) {
        PingTrain train = std::move(ping_trains_.front());
        ping_trains_.pop_front();
        if (!send_next_ping(train)) continue;
        train.next_ping = now + ping_interval_;
        ping_trains_.push_back(std::move(train));
    }
    arm_ping_timer(now + ping_timer_resolution);
}

void PunchprobeServer::arm_resend_timer()
{
    // Every re-send is scheduled one interval after the present, so a new
    // one is never due before the one the timer already waits for.
    if (resend_timer_armed_ || stopped_) return;
    const auto next = state_.sessions.next_resend();
    if (!next) return;
    resend_timer_armed_ = true;
    wait_until(resend_timer_, *next, [this](const error_code& wait_error) { handle_resend_timer(wait_error); });
}

void PunchprobeServer::handle_resend_timer(const error_code& error)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    resend_timer_armed_ = false;
    const ServerClock::time_point now = ServerClock::now();
    // A session past its time gets no re-send, but its report.
    expire_sessions(now);
    for (OutboundDatagram& reply : due_resends(state_, handler_settings_, now, resend_batch))
        if (send_datagram(std::move(reply.bytes), main_, reply.destination, reply.proven)) ++counters_.replies_resent;
    arm_resend_timer();
}

void PunchprobeServer::report_end(const SessionReport& report)
{
    counters_.count_end(report);
    if (quiet_) return;
    if (!log_.post(LogWriter::Stream::out, session_line(report))) ++counters_.log_lines_dropped;
}

void PunchprobeServer::report_error(const char* handler, const error_code& error)
{
    if (!error_lines_.take(error_line_limit, ServerClock::now())) {
        ++counters_.error_lines_suppressed;
        return;
    }
    std::ostringstream line;
    line << "Error in " << handler << ": " << error << " " << error.message();
    if (!log_.post(LogWriter::Stream::err, line.str())) ++counters_.log_lines_dropped;
}

void PunchprobeServer::expire_sessions(ServerClock::time_point now)
{
    for (const SessionReport& report : state_.sessions.expire(now)) report_end(report);
}

void PunchprobeServer::start_sweep()
{
    wait_until(sweep_timer_, ServerClock::now() + sweep_interval_,
               [this](const error_code& wait_error) { handle_sweep(wait_error); });
}

void PunchprobeServer::handle_sweep(const error_code& error)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    // Datagrams expire sessions too, but an idle server must still log the
    // ones whose time ran out.
    const ServerClock::time_point now = ServerClock::now();
    expire_sessions(now);
    refresh_local_addresses(now);
    start_sweep();
}

void PunchprobeServer::refresh_local_addresses(ServerClock::time_point now)
{
    // A server bound to one address knows its own sockets already.
    if (!handler_settings_.bind_address.is_unspecified() || now < next_address_refresh_) return;
    handler_settings_.local_addresses = local_ipv4_addresses();
    next_address_refresh_ = now + local_address_refresh;
}

void PunchprobeServer::start_signal_wait()
{
    signals_.async_wait([this](const error_code& error, int signal_number) { handle_signal(error, signal_number); });
}

void PunchprobeServer::handle_signal(const error_code& error, int signal_number)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    if (signal_number == counters_signal) {
        // The operator's look at the counters; service goes on.
        log_.post_always(LogWriter::Stream::out, counters_line(counters_));
        start_signal_wait();
        return;
    }
    // A session whose PING train is under way or waiting has already shown
    // its mapping: log it with the PINGs sent so far rather than lose it.
    for (const PingTrain& train : ping_trains_) report_end(train.order.report);
    for (const auto& waiting : waiting_trains_)
        for (const PingTrainOrder& order : waiting.second) report_end(order.report);
    log_.post_always(LogWriter::Stream::out, counters_line(counters_));
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
    resend_timer_.cancel(ignored);
    main_.socket.close(ignored);
    extra_.socket.close(ignored);
    if (metrics_) metrics_->stop();
}

}  // namespace punchprobe
