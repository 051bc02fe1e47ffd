#include "client/punchprobe_client.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "protocol/command_dispatch.hpp"
#include "protocol/server_messages.hpp"

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// Erases a status line: back to the line's start, clear to its end.
constexpr const char* erase_status = "\r\x1b[K";

}  // namespace

bool deadline_passed(const boost::posix_time::ptime& expiry, const boost::posix_time::ptime& now)
{
    return expiry <= now;
}

PunchprobeClient::PunchprobeClient(asio::io_service& io_service, const std::string& server_host,
                                   int server_port, const StepDurations& durations,
                                   const ClientOutput& output)
    : socket(io_service),
      socket_alt(io_service),
      resolver(io_service),
      server_host(server_host),
      server_port(server_port),
      deadline(io_service),
      durations(durations),
      output(output),
      facts(output.facts ? *output.facts : own_facts),
      countdown(io_service)
{
    facts.host = server_host;
    facts.port = server_port;
    bind_sockets();
}

PunchprobeClient::~PunchprobeClient() noexcept(false)
{
    // The entry may print an exception's text next: not behind a status line.
    clear_status();
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
    facts.local_port = local_port_value;
    facts.local_port_alt = local_port_alt_value;

    // One attempt only: for P = 65535 the alternate port wraps to 0 and the
    // system chooses it, while the value we report stays 65536.
    socket_alt.open(udp::v4(), error);
    if (error) throw system_error(error, "open");
    socket_alt.bind(udp::endpoint(udp::v4(), static_cast<unsigned short>(local_port_alt_value & 0xFFFF)),
                    error);
    if (error) throw system_error(error, "bind");

    say("Bound to local port " + std::to_string(local_port_value));
    say("Bound to local alternate port " + std::to_string(local_port_alt_value));

    // The timer has no expiry yet, so this wait stays pending until the first
    // send sets one: a slow lookup can never time out.
    deadline.async_wait([this](const error_code&) { check_deadline(); });

    resolve_server();
}

void PunchprobeClient::resolve_server()
{
    const udp::resolver::query query(udp::v4(), server_host, std::to_string(server_port));
    say("Resolving hostname '" + server_host + "'...");
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
        facts.verdict = Verdict::error;
        close();
        return;
    }
    server_endpoint = *results;
    facts.address = server_endpoint.address().to_string();
    facts.reached(facts.resolved);
    say("Resolved server host to be '" + *facts.address + "'");
    send_init();
}

void PunchprobeClient::send_init()
{
    say("Sending client INIT from port " + std::to_string(local_port_value) + " to " + server_address());
    send_message(PunchprobeMessage().make_init(local_port_value), socket, server_endpoint);
    move_deadline(durations.reply_timeout, "the server's reply to INIT");
}

void PunchprobeClient::send_init2()
{
    say("Sending client INIT2 [" + std::to_string(session) + "] from port " +
        std::to_string(local_port_alt_value) + " to " + server_address());
    send_message(PunchprobeMessage().make_init2(session, local_port_alt_value), socket_alt,
                 server_endpoint);
    move_deadline(durations.reply_timeout, "the server's reply to INIT2");
}

void PunchprobeClient::send_start()
{
    say("Sending cient START [" + std::to_string(session) + "] from port " +
        std::to_string(local_port_alt_value) + " to " + server_address());
    send_message(PunchprobeMessage().make_start(session), socket_alt, server_endpoint);
    move_deadline(durations.reply_timeout, "the server's reply to START");
}

void PunchprobeClient::send_ping()
{
    say("Sending client PING [" + std::to_string(session) + "] from port " + std::to_string(local_port_value) +
        " to " + server_host + ":" + std::to_string(extra_port_value));
    send_message(PunchprobeMessage().make_ping(session), socket, extra_endpoint);
    ping_phase = true;
    move_deadline(durations.ping_timeout, "the server's PINGs");
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

void PunchprobeClient::move_deadline(const boost::posix_time::time_duration& duration, const char* awaited)
{
    error_code error;
    deadline.expires_from_now(duration, error);
    if (error) throw system_error(error, "expires_from_now");
    waiting_for = awaited;
    // Redraw now and restart the once-a-second redraw from this deadline;
    // setting the countdown's expiry cancels its pending wait.
    if (output.countdown && !stopped) show_countdown(error_code());
}

void PunchprobeClient::show_countdown(const error_code& error)
{
    if (error || stopped) return;
    const auto left = deadline.expires_at() - asio::deadline_timer::traits_type::now();
    // Whole seconds, rounded up: "1 s left" until the very end.
    const long long seconds = std::max<long long>(0, (left.total_milliseconds() + 999) / 1000);
    std::cerr << erase_status << "waiting for " << waiting_for << ": " << seconds << " s left" << std::flush;
    status_shown = true;
    error_code ignored;
    countdown.expires_from_now(boost::posix_time::seconds(1), ignored);
    countdown.async_wait([this](const error_code& waited) { show_countdown(waited); });
}

void PunchprobeClient::clear_status()
{
    if (!status_shown) return;
    std::cerr << erase_status << std::flush;
    status_shown = false;
}

void PunchprobeClient::say(const std::string& line)
{
    if (!output.lines) return;
    clear_status();
    std::cout << line << std::endl;
}

void PunchprobeClient::report_handler_error(const char* handler, const error_code& error)
{
    // "Error in <handler>: <category>:<value> <message>".
    std::ostringstream line;
    line << "Error in " << handler << ": " << error << " " << error.message();
    clear_status();
    std::cerr << line.str() << std::endl;
    facts.record_error(line.str());
}

std::string PunchprobeClient::server_address() const
{
    return server_host + ":" + std::to_string(server_port);
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

    PunchprobeMessage message(received_text(received.recv_buffer.data(), bytes_received));

    if (stopped) {
        handle_after_verdict(message);
        return;
    }
    switch (command_of(message)) {
    case Command::init: handle_init(message); break;
    case Command::init2: handle_init2(message); break;
    case Command::start: handle_start(message); break;
    case Command::ping: handle_ping(message); break;
    }
}

void PunchprobeClient::handle_after_verdict(PunchprobeMessage& message)
{
    // A datagram that was already received when the verdict came. Only a
    // PING after SUCCESS still counts (and repeats the report); anything
    // else, and any datagram in --json mode, would contradict the verdict
    // or start I/O on closed sockets, so it is dropped without a word.
    if (!output.lines || facts.verdict != Verdict::success) return;
    try {
        if (command_of(message) == Command::ping) handle_ping(message);
    } catch (const std::exception&) {
        // A malformed stray cannot take back a verdict already given.
    }
}

void PunchprobeClient::handle_init(const PunchprobeMessage& message)
{
    const InitReply reply = read_init_reply(message.root);
    session = reply.session_id;
    public_address = reply.public_ip;
    public_port_value = reply.public_port;
    facts.session_id = session;
    facts.public_ip = public_address;
    facts.public_port = public_port_value;
    facts.reached(facts.init_reply);
    say("Received server INIT [" + std::to_string(session) + "]");
    say("Our public address is " + public_address + ":" + std::to_string(public_port_value));
    send_init2();
}

void PunchprobeClient::handle_init2(const PunchprobeMessage& message)
{
    public_port_alt_value = read_public_port_alt(message.root);
    facts.public_port_alt = public_port_alt_value;
    facts.reached(facts.init2_reply);
    say("Received server INIT2 [" + std::to_string(session) + "]");
    say("Our alternate public address is " + public_address + ":" + std::to_string(public_port_alt_value));
    send_start();
}

void PunchprobeClient::handle_start(const PunchprobeMessage& message)
{
    extra_port_value = read_extra_port(message.root);
    extra_endpoint = udp::endpoint(server_endpoint.address(),
                                   static_cast<unsigned short>(extra_port_value & 0xFFFF));
    facts.extra_port = extra_port_value;
    facts.reached(facts.start_reply);
    say("Received server START [" + std::to_string(session) + "]");
    say("Server extra port is " + std::to_string(extra_port_value));
    send_ping();
}

void PunchprobeClient::handle_ping(const PunchprobeMessage& message)
{
    ++pings_received;
    facts.pings_received = pings_received;
    facts.reached(facts.first_ping);
    if (pings_received >= 3) facts.reached(facts.third_ping);
    // Read before printing: a number JsonCpp refuses must end the run
    // without half a line.
    const std::string ping_number = read_ping_number(message.root);
    say("Received server PING(" + ping_number + ") [" + std::to_string(session) + "]");
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
    facts.verdict = Verdict::success;
    say("\n===========\n"
        "  SUCCESS  "
        "\n===========\n"
        "Received 3 pings from " + server_host + ":" + std::to_string(extra_port_value) + ".\n"
        "NAT negotiation works with your router and connection.\n"
        "==> You do not have to use port forwarding.");
}

void PunchprobeClient::report_failure()
{
    facts.verdict = Verdict::failure;
    say("\n===========\n"
        "  FAILURE  "
        "\n===========\n"
        "Failed to receive any pings from " + server_host + ":" + std::to_string(extra_port_value) + ".\n"
        "It appears your router and/or connection is not capable of NAT negotiation.\n"
        "==> You will need to use port forwarding and possibly configure a static port.");
}

void PunchprobeClient::report_timeout()
{
    facts.verdict = Verdict::timeout;
    say("The connection to " + server_host + " timed out.\n"
        "It is possible that the server is offline.");
}

void PunchprobeClient::close()
{
    stopped = true;
    deadline.cancel();
    error_code error;
    countdown.cancel(error);
    clear_status();
    socket.close(error);
    if (error) throw system_error(error, "close");
    socket_alt.close(error);
    if (error) throw system_error(error, "close");
}

}  // namespace punchprobe
