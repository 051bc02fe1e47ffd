#pragma once

#include <cstddef>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "server/datagram_socket.hpp"
#include "server/log_writer.hpp"
#include "server/metrics_endpoint.hpp"
#include "server/rate_limit.hpp"
#include "server/server_core.hpp"
#include "server/server_options.hpp"

namespace punchprobe {

// The test server's shell: what needs the operating system. It reads
// datagrams from two UDP sockets, hands each to the ServerCore with the time,
// and carries out what the core decides: datagrams to send, lines to log. One
// timer wakes the core at its next deadline; signals print the counters
// (SIGUSR1) or end the server (SIGINT, SIGTERM). Lines are written by a
// thread of their own (LogWriter), so that a stalled reader never stalls
// the loop.
//
// Built for many sessions a second on one core: a socket that wakes the loop
// is read in batches of datagrams, one system call each, and the replies to
// a batch leave together, in the order of their requests, unless the kernel
// pushes back; then they wait in a bounded queue (DatagramSocket).
class PunchprobeServer {
public:
    // Binds both sockets, prints the listening line and starts receiving.
    // Throws boost::system::system_error when a socket cannot be set up;
    // its text names the step, the address and the socket.
    PunchprobeServer(boost::asio::io_service& io_service, const ServerOptions& options,
                     std::ostream& out = std::cout, std::ostream& err = std::cerr);

    PunchprobeServer(const PunchprobeServer&) = delete;
    PunchprobeServer& operator=(const PunchprobeServer&) = delete;

    boost::asio::ip::udp::endpoint main_endpoint() const { return main_.endpoint; }
    boost::asio::ip::udp::endpoint extra_endpoint() const { return extra_.endpoint; }
    const ServerCounters& counters() const { return core_.counters(); }
    // Where GET /metrics is served, when --metrics asked for it.
    std::optional<boost::asio::ip::tcp::endpoint> metrics_endpoint() const;
    // The page GET /metrics answers with.
    std::string metrics_page() const;

    // Waits until every line so far is written to the streams.
    void flush_log() { log_.flush(); }

    // The single way out: cancels the timer and the signal wait and closes
    // every socket, so that the loop runs out of work.
    void stop();

private:
    void print_first_lines();

    // From the socket to the core and back out.
    void start_receive(DatagramSocket& socket);
    void handle_receive(const boost::system::error_code& error, DatagramSocket& socket);
    void read_waiting(DatagramSocket& socket);
    bool receive_error_allows_more(const boost::system::error_code& error);
    // The core's effects: take() gathers the datagrams into their sockets'
    // batches (the core reuses its Effects) and posts the lines;
    // send_batches() sends what was gathered.
    void carry_out(Effects& effects);
    void take(Effects& effects);
    void send_batches();
    DatagramSocket::ErrorHandler send_errors();

    // The core's one timer.
    void arm_timer();
    void wait_until(ServerClock::time_point when);
    void handle_timer(const boost::system::error_code& error);

    void refresh_local_addresses(ServerClock::time_point now);
    void report_error(const char* handler, const boost::system::error_code& error);
    void start_signal_wait();
    void handle_signal(const boost::system::error_code& error, int signal_number);

    LogWriter log_;
    DatagramSocket main_;
    DatagramSocket extra_;
    ServerCore core_;
    boost::asio::steady_timer timer_;
    // When the pending wait ends; nothing while none is pending.
    std::optional<ServerClock::time_point> timer_at_;
    boost::asio::signal_set signals_;
    std::unique_ptr<MetricsEndpoint> metrics_;
    ServerClock::time_point next_address_refresh_{};
    // One source cannot fill the journal with errors it provokes.
    TokenBucket error_lines_;
    bool stopped_ = false;
};

}  // namespace punchprobe
