#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "server/datagram_handler.hpp"
#include "server/log_writer.hpp"
#include "server/metrics_endpoint.hpp"
#include "server/metrics_text.hpp"
#include "server/rate_limit.hpp"
#include "server/server_counters.hpp"
#include "server/server_options.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// The test server: two UDP sockets on one loop. It carries out what
// handle_datagram decides (replies, ping trains), sweeps expired sessions,
// prints its counters on SIGUSR1 and ends on SIGINT or SIGTERM with them.
// All its work happens in completion handlers on the loop that the
// constructor receives; its lines
// are written by a thread of their own (LogWriter).
//
// Built for many sessions a second on one core: a completed receive goes on
// to read what else already waits, a datagram is sent at once unless the
// kernel pushes back, and one timer paces every PING train. Everything that
// grows is bounded: the session table (with its re-sends), the send queues,
// the trains and the log queue.
class PunchprobeServer {
public:
    // Binds both sockets, prints the listening line and starts the receive
    // loops, the expiry sweep and the signal wait. Throws
    // boost::system::system_error ("open", "bind", "local_endpoint") when a
    // socket cannot be set up.
    PunchprobeServer(boost::asio::io_service& io_service, const ServerOptions& options,
                     std::ostream& out = std::cout, std::ostream& err = std::cerr);

    PunchprobeServer(const PunchprobeServer&) = delete;
    PunchprobeServer& operator=(const PunchprobeServer&) = delete;

    boost::asio::ip::udp::endpoint main_endpoint() const { return main_.endpoint; }
    boost::asio::ip::udp::endpoint extra_endpoint() const { return extra_.endpoint; }
    const ServerCounters& counters() const { return counters_; }
    // Where GET /metrics is served, when --metrics asked for it.
    std::optional<boost::asio::ip::tcp::endpoint> metrics_endpoint() const;
    // The page GET /metrics answers with.
    std::string metrics_page() const;

    // Waits until every line so far is written to the streams.
    void flush_log() { log_.flush(); }

    // The single way out: cancels every timer and closes both sockets, so
    // that the loop runs out of work.
    void stop();

    // Per socket, datagrams the kernel could not take at once wait in the
    // loop, within these bounds. Replies to unproven sources may fill only
    // the first part, so that proven sessions' replies and PINGs always
    // find room.
    static constexpr std::size_t max_queued_datagrams = 1024;
    static constexpr std::size_t max_queued_bytes = 128 * 1024;
    static constexpr std::size_t max_unproven_queued_datagrams = 256;
    static constexpr std::size_t max_unproven_queued_bytes = 32 * 1024;

private:
    // Big enough that an oversized datagram is seen as oversized, not cut
    // down to something that looks whole.
    static constexpr std::size_t receive_buffer_size = 65536;
    // The socket's kernel queue: some thousands of datagrams.
    static constexpr int receive_buffer_bytes = 4 * 1024 * 1024;
    // Datagrams read per socket before the loop turns to other work.
    static constexpr int receive_batch = 32;
    // Re-sends per wake-up, so that a crowd of them due at once leaves the
    // sockets their turn.
    static constexpr std::size_t resend_batch = 256;
    // Trains that may wait for one address, in turns of --trains-per-address.
    static constexpr std::size_t waiting_turns_per_address = 4;

    // One of the two sockets with what belongs to it alone.
    struct Listener {
        Listener(boost::asio::io_service& io_service, ServerSocket which);
        // Throws boost::system::system_error ("open", "non_blocking",
        // "bind", "local_endpoint").
        void bind(const boost::asio::ip::address_v4& address, unsigned short port);

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
    };

    struct PingTrain {
        PingTrainOrder order;
        ServerClock::time_point next_ping;
    };

    // Set-up.
    void print_listening();
    void print_metrics_line();

    // Receiving and deciding.
    void start_receive(Listener& listener);
    void handle_receive(const boost::system::error_code& error, std::size_t bytes_received, Listener& listener);
    // False when the error ends this round of reading.
    bool receive_error_allows_more(const boost::system::error_code& error);
    void handle_datagram_in_buffer(std::size_t bytes_received, Listener& listener);
    void execute(Decision decision);

    // Sending. False when the datagram was dropped for want of room, or the
    // kernel refused it at once.
    bool has_room(const Listener& listener, std::size_t bytes, bool proven) const;
    bool send_datagram(std::string bytes, Listener& from, const boost::asio::ip::udp::endpoint& destination,
                       bool proven);
    void queue_send(std::string bytes, Listener& from, const boost::asio::ip::udp::endpoint& destination);
    void data_sent(const boost::system::error_code& error, std::size_t bytes_sent);

    // Ping trains.
    void start_ping_train(PingTrainOrder order);
    void launch_ping_train(PingTrainOrder order);
    void ping_train_ended(const boost::asio::ip::udp::endpoint& destination);
    int live_trains_to(std::uint32_t address) const;
    bool room_for_train(std::uint32_t address) const;
    // Sends the train's next PING; true when the train has more to send.
    bool send_next_ping(PingTrain& train);
    void arm_ping_timer(ServerClock::time_point not_before);
    void handle_ping_timer(const boost::system::error_code& error);

    // Replies sent again while the client's next request is missing.
    void arm_resend_timer();
    void handle_resend_timer(const boost::system::error_code& error);

    // Session ends, logging, expiry, shutdown.
    void report_end(const SessionReport& report);
    void report_error(const char* handler, const boost::system::error_code& error);
    void expire_sessions(ServerClock::time_point now);
    void start_sweep();
    void handle_sweep(const boost::system::error_code& error);
    void refresh_local_addresses(ServerClock::time_point now);
    void start_signal_wait();
    void handle_signal(const boost::system::error_code& error, int signal_number);

    LogWriter log_;
    const int pings_;
    const ServerClock::duration ping_interval_;
    const ServerClock::duration sweep_interval_;
    const bool quiet_;
    const std::size_t max_trains_;
    const int trains_per_address_;
    const std::size_t max_waiting_per_address_;

    Listener main_;
    Listener extra_;
    // Reused for every datagram, so that reading one allocates nothing.
    InboundDatagram inbound_;

    HandlerState state_;
    HandlerSettings handler_settings_;
    ServerClock::time_point next_address_refresh_{};
    ServerCounters counters_;
    // One source cannot fill the journal with errors it provokes.
    TokenBucket error_lines_;

    // Trains under way, in the order their next PING is due: each comes due
    // one interval after it was last served, so appending keeps the order.
    std::deque<PingTrain> ping_trains_;
    // Per destination address: trains under way, and trains waiting for one
    // of those to end.
    std::unordered_map<std::uint32_t, int> live_trains_;
    std::unordered_map<std::uint32_t, std::deque<PingTrainOrder>> waiting_trains_;
    std::size_t waiting_train_count_ = 0;
    bool launching_waiting_trains_ = false;
    boost::asio::steady_timer ping_timer_;
    bool ping_timer_armed_ = false;

    boost::asio::steady_timer resend_timer_;
    bool resend_timer_armed_ = false;

    boost::asio::steady_timer sweep_timer_;
    boost::asio::signal_set signals_;
    SetupHistogram setup_times_;
    std::unique_ptr<MetricsEndpoint> metrics_;
    bool stopped_ = false;
};

}  // namespace punchprobe
