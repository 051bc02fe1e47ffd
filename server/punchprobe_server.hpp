#pragma once

#include <cstddef>
#include <deque>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "server/datagram_handler.hpp"
#include "server/server_counters.hpp"
#include "server/server_options.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// The test server: two UDP sockets on one loop. It carries out what
// handle_datagram decides (replies, ping trains), sweeps expired sessions,
// and ends on SIGINT or SIGTERM with the counters. All its work happens in
// completion handlers on the loop that the constructor receives.
//
// Built for many sessions a second on one core: a completed receive goes on
// to read what else already waits, a datagram is sent at once unless the
// kernel pushes back, and one timer paces every PING train.
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

    boost::asio::ip::udp::endpoint main_endpoint() const { return main_endpoint_; }
    boost::asio::ip::udp::endpoint extra_endpoint() const { return extra_endpoint_; }
    const ServerCounters& counters() const { return counters_; }

    // The single way out: cancels every timer and closes both sockets, so
    // that the loop runs out of work.
    void stop();

private:
    // Big enough that an oversized datagram is seen as oversized, not cut
    // down to something that looks whole.
    static constexpr std::size_t receive_buffer_size = 65536;
    // The socket's kernel queue: some thousands of datagrams.
    static constexpr int receive_buffer_bytes = 4 * 1024 * 1024;
    // Datagrams read per socket before the loop turns to other work.
    static constexpr int receive_batch = 32;

    struct PingTrain {
        PingTrainOrder order;
        ServerClock::time_point next_ping;
    };

    // Set-up.
    void bind_sockets(const ServerOptions& options);
    void print_listening();

    // Receiving and deciding.
    void start_receive(ServerSocket which);
    void handle_receive(const boost::system::error_code& error, std::size_t bytes_received,
                        ServerSocket which);
    // False when the error ends this round of reading.
    bool receive_error_allows_more(const boost::system::error_code& error);
    void handle_datagram_in_buffer(std::size_t bytes_received, ServerSocket which);
    void execute(Decision decision);

    // Sending.
    void send_datagram(std::string bytes, ServerSocket from,
                       const boost::asio::ip::udp::endpoint& destination);
    void queue_send(std::string bytes, ServerSocket from, const boost::asio::ip::udp::endpoint& destination);
    void data_sent(const boost::system::error_code& error, std::size_t bytes_sent);

    // Ping trains.
    void start_ping_train(PingTrainOrder order);
    // Sends the train's next PING; true when the train has more to send.
    bool send_next_ping(PingTrain& train);
    void arm_ping_timer(ServerClock::time_point not_before);
    void handle_ping_timer(const boost::system::error_code& error);

    // Session ends, expiry, shutdown.
    void report_end(const SessionReport& report);
    void start_sweep();
    void handle_sweep(const boost::system::error_code& error);
    void start_signal_wait();
    void handle_signal(const boost::system::error_code& error, int signal_number);

    boost::asio::ip::udp::socket& socket_of(ServerSocket which);
    std::vector<char>& buffer_of(ServerSocket which);
    boost::asio::ip::udp::endpoint& sender_of(ServerSocket which);
    std::size_t& queued_sends_of(ServerSocket which);

    std::ostream& out_;
    std::ostream& err_;
    const int pings_;
    const ServerClock::duration ping_interval_;
    const boost::posix_time::time_duration sweep_interval_;
    const bool quiet_;

    boost::asio::ip::udp::socket main_socket_;
    boost::asio::ip::udp::socket extra_socket_;
    boost::asio::ip::udp::endpoint main_endpoint_;
    boost::asio::ip::udp::endpoint extra_endpoint_;
    // One receive is pending per socket at a time, so each socket has one
    // buffer and one sender slot.
    std::vector<char> main_buffer_ = std::vector<char>(receive_buffer_size);
    std::vector<char> extra_buffer_ = std::vector<char>(receive_buffer_size);
    boost::asio::ip::udp::endpoint main_sender_;
    boost::asio::ip::udp::endpoint extra_sender_;
    // Reused for every datagram, so that reading one allocates nothing.
    InboundDatagram inbound_;
    // Sends still waiting in the loop, per socket: while any wait, later
    // ones queue behind them and keep their order.
    std::size_t main_queued_sends_ = 0;
    std::size_t extra_queued_sends_ = 0;

    SessionTable sessions_;
    HandlerSettings handler_settings_;
    ServerCounters counters_;
    // Trains in the order their next PING is due: each comes due one
    // interval after it was last served, so appending keeps the order.
    std::deque<PingTrain> ping_trains_;
    boost::asio::steady_timer ping_timer_;
    bool ping_timer_armed_ = false;
    boost::asio::deadline_timer sweep_timer_;
    boost::asio::signal_set signals_;
    bool stopped_ = false;
};

}  // namespace punchprobe
