#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/system/error_code.hpp>

#include "client/run_facts.hpp"
#include "protocol/punchprobe_message.hpp"
#include "protocol/wire_contract.hpp"

namespace punchprobe {

// How long the client waits for each step. The program always uses the
// defaults; in-process tests shorten them.
struct StepDurations {
    boost::posix_time::time_duration reply_timeout = boost::posix_time::seconds(10);
    boost::posix_time::time_duration ping_timeout = boost::posix_time::seconds(20);
};

// How a run talks. The program's default is today's console lines alone;
// --json turns the lines off and writes the facts at the end instead.
struct ClientOutput {
    bool lines = true;          // progress lines and the verdict on standard output
    bool countdown = false;     // a status line on standard error, for terminals only
    RunFacts* facts = nullptr;  // where the run records what it learns (else its own)
};

// A deadline has passed when its expiry is at or before now. An expiry never
// set (not-a-date-time) ranks after every real time, so it never passes.
bool deadline_passed(const boost::posix_time::ptime& expiry, const boost::posix_time::ptime& now);

// One whole test run: two UDP sockets on neighbouring ports, the exchange
// INIT, INIT2, START, PING with the test server, the count of the server's
// PINGs and the verdict. Everything after construction happens in completion
// handlers on the loop that the constructor receives.
class PunchprobeClient {
public:
    // Binds both sockets, prints their ports, arms the deadline check and
    // starts the name lookup. Throws boost::system::system_error ("open",
    // "bind", "local_endpoint") when a socket cannot be set up.
    PunchprobeClient(boost::asio::io_service& io_service, const std::string& server_host,
                     int server_port, const StepDurations& durations = StepDurations(),
                     const ClientOutput& output = ClientOutput());

    // Closes the sockets still open; throws "close" when that fails, unless
    // an exception is already unwinding the caller.
    ~PunchprobeClient() noexcept(false);

    PunchprobeClient(const PunchprobeClient&) = delete;
    PunchprobeClient& operator=(const PunchprobeClient&) = delete;

private:
    // A receive owns its bytes and its sender until its handler has run, so
    // datagrams that arrive back to back never overwrite each other.
    struct PendingReceive {
        std::vector<char> recv_buffer = std::vector<char>(client_receive_buffer_size, 0);
        boost::asio::ip::udp::endpoint sender_endpoint;
    };

    // Set-up.
    void bind_sockets();
    void resolve_server();
    void hostname_resolved(const boost::system::error_code& error,
                           boost::asio::ip::udp::resolver::iterator results);

    // Exchange.
    void send_init();
    void send_init2();
    void send_start();
    void send_ping();
    void send_message(std::string text, boost::asio::ip::udp::socket& from,
                      const boost::asio::ip::udp::endpoint& to);
    // `awaited` names what the client now waits for, for the countdown.
    void move_deadline(const boost::posix_time::time_duration& duration, const char* awaited);
    void data_sent(const boost::system::error_code& error, std::size_t bytes_sent);
    // Sends and receives are started only while the client runs.
    void start_receive(boost::asio::ip::udp::socket& on);
    // Whether an error only reports work that `close` cut off: such errors
    // print nothing.
    bool cut_off_by_close(const boost::system::error_code& error) const;
    void _data_received(const boost::system::error_code& error, std::size_t bytes_received,
                        const PendingReceive& received);
    void handle_after_verdict(PunchprobeMessage& message);
    void handle_init(const PunchprobeMessage& message);
    void handle_init2(const PunchprobeMessage& message);
    void handle_start(const PunchprobeMessage& message);
    void handle_ping(const PunchprobeMessage& message);

    // Supervision and verdict.
    void check_deadline();
    void report_success();
    void report_failure();
    void report_timeout();
    void close();

    // Console. Every line goes through say() or report_handler_error(),
    // which first erase the countdown's status line.
    void say(const std::string& line);
    void report_handler_error(const char* handler, const boost::system::error_code& error);
    void show_countdown(const boost::system::error_code& error);
    void clear_status();
    std::string server_address() const;

    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::socket socket_alt;
    boost::asio::ip::udp::resolver resolver;
    boost::asio::ip::udp::endpoint server_endpoint;
    boost::asio::ip::udp::endpoint extra_endpoint;
    std::string server_host;
    int server_port;
    int extra_port_value = 0;
    int local_port_value = 0;
    int local_port_alt_value = 0;
    std::string public_address;
    int public_port_value = 0;
    int public_port_alt_value = 0;
    int session = 0;
    int pings_received = 0;
    bool ping_phase = false;
    boost::asio::deadline_timer deadline;
    bool stopped = false;
    StepDurations durations;
    ClientOutput output;
    RunFacts own_facts;
    RunFacts& facts;
    boost::asio::deadline_timer countdown;
    const char* waiting_for = "";
    bool status_shown = false;
};

}  // namespace punchprobe
