#include "client/punchprobe_client.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "protocol/command_dispatch.hpp"

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// The one format of every error a completion handler reports:
// "Error in <handler>: <category>:<value> <message>".
void report_handler_error(const char* handler, const error_code& error)
{
    std::cerr << "Error in " << handler << ": " << error << " " << error.message() << std::endl;
}

}  // namespace

bool deadline_passed(const boost::posix_time::ptime& expiry, const boost::posix_time::ptime& now)
{
    return expiry <= now;
}

PunchprobeClient::PunchprobeClient(asio::io_service& io_service, const std::string& server_host,
                                   int server_port, const StepDurations& durations)
    : socket(io_service),
      socket_alt(io_service),
      resolver(io_service),
      server_host(server_host),
      server_port(server_port),
      deadline(io_service),
      durations(durations)
{
    bind_sockets();
}

PunchprobeClient::~PunchprobeClient() noexcept(false)
{
    error_code error;
    if (socket.is_open()) socket.close(error);
    if (!error && socket_alt.is_open()) socket_alt.close(error);
    // A throw while another exception unwinds would end the process; the
    // sockets are released with the members either way.
    if (error && std::uncaught_exceptions() == 0) throw system_error(error, "close");
}

void PunchprobeClient::bind_sockets()
{
    error_code error;
    socket.open(udp::v4(), error);
    if (error) throw system_error(error, "open");
    socket.bind(udp::endpoint(udp::v4(), 0), error);
    if (error) throw system_error(error, "bind");
    const udp::endpoint local = socket.local_endpoint(error);
    if (error) throw system_error(error, "local_endpoint");

    local_port_value = local.port();
    local_port_alt_value = local_port_value + 1;

    // One attempt only: for P = 65535 the alternate port wraps to 0 and the
    // system chooses it, while the value we report stays 65536.
    socket_alt.open(udp::v4(), error);
    if (error) throw system_error(error, "open");
    socket_alt.bind(udp::endpoint(udp::v4(), static_cast<unsigned short>(local_port_alt_value & 0xFFFF)),
                    error);
    if (error) throw system_error(error, "bind");

    std::cout << "Bound to local port " << local_port_value << std::endl;
    std::cout << "Bound to local alternate port " << local_port_alt_value << std::endl;

    // The timer has no expiry yet, so this wait stays pending until the first
    // send sets one: a slow lookup can never time out.
    deadline.async_wait([this](const error_code&) { check_deadline(); });

    resolve_server();
}

void PunchprobeClient::resolve_server()
{
    const udp::resolver::query query(udp::v4(), server_host, std::to_string(server_port));
    std::cout << "Resolving hostname '" << server_host << "'..." << std::endl;
    resolver.async_resolve(query, [this](const error_code& error, udp::resolver::iterator results) {
        hostname_resolved(error, results);
    });
}

void PunchprobeClient::hostname_resolved(const error_code& error, udp::resolver::iterator results)
{
    if (error) {
        report_handler_error("hostname_resolved", error);
        // Nothing else will ever happen in this run: close, so that the loop
        // runs out of work and the program ends instead of waiting forever.
        close();
        return;
    }
    server_endpoint = *results;
    std::cout << "Resolved server host to be '" << server_endpoint.address().to_string() << "'"
              << std::endl;
    send_init();
}

void PunchprobeClient::send_init()
{
    std::cout << "Sending client INIT from port " << local_port_value << " to " << server_host << ":"
              << server_port << std::endl;
    send_message(PunchprobeMessage().make_init(local_port_value), socket, server_endpoint);
    move_deadline(durations.reply_timeout);
}

void PunchprobeClient::send_init2()
{
    std::cout << "Sending client INIT2 [" << session << "] from port " << local_port_alt_value << " to "
              << server_host << ":" << server_port << std::endl;
    send_message(PunchprobeMessage().make_init2(session, local_port_alt_value), socket_alt,
                 server_endpoint);
    move_deadline(durations.reply_timeout);
}

void PunchprobeClient::send_start()
{
    std::cout << "Sending cient START [" << session << "] from port " << local_port_alt_value << " to "
              << server_host << ":" << server_port << std::endl;
    send_message(PunchprobeMessage().make_start(session), socket_alt, server_endpoint);
    move_deadline(durations.reply_timeout);
}

void PunchprobeClient::send_ping()
{
    std::cout << "Sending client PING [" << session << "] from port " << local_port_value << " to "
              << server_host << ":" << extra_port_value << std::endl;
    send_message(PunchprobeMessage().make_ping(session), socket, extra_endpoint);
    ping_phase = true;
    move_deadline(durations.ping_timeout);
}

void PunchprobeClient::send_message(std::string text, udp::socket& from, const udp::endpoint& to)
{
    if (stopped) return;
    // The pending send owns its bytes until it completes.
    auto datagram = std::make_shared<std::string>(std::move(text));
    from.async_send_to(asio::buffer(*datagram), to, 0,
                       [this, datagram](const error_code& error, std::size_t bytes_sent) {
                           data_sent(error, bytes_sent);
                       });
}

bool PunchprobeClient::cut_off_by_close(const error_code& error) const
{
    // Windows reports the abort as 995, but Wine (and a socket closed under
    // a pending overlapped call) may report another code: after `close`
    // every error is the close's doing.
    return stopped || error == asio::error::operation_aborted;
}

void PunchprobeClient::move_deadline(const boost::posix_time::time_duration& duration)
{
    error_code error;
    deadline.expires_from_now(duration, error);
    if (error) throw system_error(error, "expires_from_now");
}

void PunchprobeClient::data_sent(const error_code& error, std::size_t /*bytes_sent*/)
{
    if (error) {
        if (!cut_off_by_close(error)) report_handler_error("data_sent", error);
        return;
    }
    // Receives are started here and nowhere else: one per socket for every
    // completed send.
    start_receive(socket);
    start_receive(socket_alt);
}

void PunchprobeClient::start_receive(udp::socket& on)
{
    if (stopped) return;
    auto pending = std::make_shared<PendingReceive>();
    on.async_receive_from(asio::buffer(pending->recv_buffer), pending->sender_endpoint, 0,
                          [this, pending](const error_code& error, std::size_t bytes_received) {
                              _data_received(error, bytes_received, *pending);
                          });
}

void PunchprobeClient::_data_received(const error_code& error, std::size_t bytes_received,
                                      const PendingReceive& received)
{
    if (error) {
        if (!cut_off_by_close(error)) report_handler_error("_data_received", error);
        return;
    }
    server_endpoint = received.sender_endpoint;

    // A datagram longer than the buffer arrives cut to the buffer's size; the
    // text ends at the first NUL byte, if any.
    const auto begin = received.recv_buffer.begin();
    const auto end = std::find(begin, begin + static_cast<std::ptrdiff_t>(bytes_received), '\0');
    PunchprobeMessage message(std::string(begin, end));

    switch (command_of(message)) {
    case Command::init: handle_init(message); break;
    case Command::init2: handle_init2(message); break;
    case Command::start: handle_start(message); break;
    case Command::ping: handle_ping(message); break;
    }
}

void PunchprobeClient::handle_init(const PunchprobeMessage& message)
{
    session = message.root["session_id"].asInt();
    public_address = message.root["public_ip"].asString();
    public_port_value = message.root["public_port"].asInt();
    std::cout << "Received server INIT [" << session << "]" << std::endl;
    std::cout << "Our public address is " << public_address << ":" << public_port_value << std::endl;
    send_init2();
}

void PunchprobeClient::handle_init2(const PunchprobeMessage& message)
{
    public_port_alt_value = message.root["public_port_alt"].asInt();
    std::cout << "Received server INIT2 [" << session << "]" << std::endl;
    std::cout << "Our alternate public address is " << public_address << ":" << public_port_alt_value
              << std::endl;
    send_start();
}

void PunchprobeClient::handle_start(const PunchprobeMessage& message)
{
    extra_port_value = message.root["extra_port"].asInt();
    extra_endpoint = udp::endpoint(server_endpoint.address(),
                                   static_cast<unsigned short>(extra_port_value & 0xFFFF));
    std::cout << "Received server START [" << session << "]" << std::endl;
    std::cout << "Server extra port is " << extra_port_value << std::endl;
    send_ping();
}

void PunchprobeClient::handle_ping(const PunchprobeMessage& message)
{
    ++pings_received;
    // Read before printing: a number JsonCpp refuses must end the run
    // without half a line.
    const std::string ping_number = message.root["ping_number"].asString();
    std::cout << "Received server PING(" << ping_number << ") [" << session << "]" << std::endl;
    if (pings_received >= 3) {
        report_success();
        close();
    }
}

void PunchprobeClient::check_deadline()
{
    if (stopped) return;

    // Compare with the current time rather than trusting how the wait ended:
    // a send may have moved the deadline since this wait started.
    if (deadline_passed(deadline.expires_at(), asio::deadline_timer::traits_type::now())) {
        if (ping_phase)
            report_failure();
        else
            report_timeout();
        close();
    }
    deadline.async_wait([this](const error_code&) { check_deadline(); });
}

void PunchprobeClient::report_success()
{
    std::cout << "\n===========\n"
              << "  SUCCESS  "
              << "\n===========\n"
              << "Received 3 pings from " << server_host << ":" << extra_port_value << ".\n"
              << "NAT negotiation works with your router and connection.\n"
              << "==> You do not have to use port forwarding." << std::endl;
}

void PunchprobeClient::report_failure()
{
    std::cout << "\n===========\n"
              << "  FAILURE  "
              << "\n===========\n"
              << "Failed to receive any pings from " << server_host << ":" << extra_port_value << ".\n"
              << "It appears your router and/or connection is not capable of NAT negotiation.\n"
              << "==> You will need to use port forwarding and possibly configure a static port."
              << std::endl;
}

void PunchprobeClient::report_timeout()
{
    std::cout << "The connection to " << server_host << " timed out.\n"
              << "It is possible that the server is offline." << std::endl;
}

void PunchprobeClient::close()
{
    stopped = true;
    deadline.cancel();
    error_code error;
    socket.close(error);
    if (error) throw system_error(error, "close");
    socket_alt.close(error);
    if (error) throw system_error(error, "close");
}

}  // namespace punchprobe
