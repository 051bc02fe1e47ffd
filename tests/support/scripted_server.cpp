#include "support/scripted_server.hpp"

#include <cstdio>
#include <exception>
#include <utility>

#include <gtest/gtest.h>

namespace punchprobe_test {

using boost::asio::ip::udp;

namespace {

// Datagrams shown in failure messages with their control bytes visible.
std::string visible(const std::string& bytes)
{
    std::string shown;
    for (const unsigned char c : bytes) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

}  // namespace

std::string client_init(int local_port)
{
    return "{\"command\":\"INIT\",\"local_port\":" + std::to_string(local_port) +
           ",\"protocol\":\"Punchprobe\"}\n";
}

std::string client_init2(int session, int local_port_alt)
{
    return "{\"command\":\"INIT2\",\"local_port_alt\":" + std::to_string(local_port_alt) +
           ",\"protocol\":\"Punchprobe\",\"session_id\":" + std::to_string(session) + "}\n";
}

std::string client_start(int session)
{
    return "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":" +
           std::to_string(session) + "}\n";
}

std::string client_ping(int session)
{
    return "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":" +
           std::to_string(session) + "}\n";
}

std::string server_ping(const std::string& ping_number_json)
{
    if (ping_number_json.empty()) return "{\"command\":\"PING\",\"protocol\":\"Punchprobe\"}\n";
    return "{\"command\":\"PING\",\"ping_number\":" + ping_number_json +
           ",\"protocol\":\"Punchprobe\"}\n";
}

udp::endpoint loopback(unsigned short port)
{
    return udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port);
}

bool expect_datagram(UdpPeer& peer, const std::string& what, const std::string& bytes,
                     unsigned short source_port, std::chrono::milliseconds limit,
                     const std::string& source_address)
{
    const auto datagram = peer.receive(limit);
    if (!datagram) {
        ADD_FAILURE() << "no " << what << " arrived at port " << peer.port() << " within "
                      << limit.count() << " ms";
        return false;
    }
    bool as_expected = true;
    if (datagram->bytes != bytes) {
        ADD_FAILURE() << what << " reads\n  " << visible(datagram->bytes) << "\nexpected\n  "
                      << visible(bytes);
        as_expected = false;
    }
    if (datagram->source.port() != source_port ||
        datagram->source.address().to_string() != source_address) {
        ADD_FAILURE() << what << " came from " << datagram->source.address().to_string() << ":"
                      << datagram->source.port() << ", expected " << source_address << ":"
                      << source_port;
        as_expected = false;
    }
    return as_expected;
}

void expect_no_datagram(UdpPeer& peer, const std::string& peer_name, std::chrono::milliseconds limit)
{
    if (const auto datagram = peer.receive(limit)) {
        ADD_FAILURE() << peer_name << " got an unexpected datagram from port "
                      << datagram->source.port() << ":\n  " << visible(datagram->bytes);
    }
}

Transcript::Transcript(std::string host, int server_port, int local_port)
    : host_(std::move(host)), server_port_(server_port), local_port_(local_port)
{
}

Transcript& Transcript::line(const std::string& text)
{
    text_ += text;
    text_ += '\n';
    return *this;
}

Transcript& Transcript::using_server()
{
    return line("Using server " + host_ + ":" + std::to_string(server_port_));
}

Transcript& Transcript::looking_up()
{
    line("Bound to local port " + std::to_string(local_port_));
    line("Bound to local alternate port " + std::to_string(local_port_ + 1));
    return line("Resolving hostname '" + host_ + "'...");
}

Transcript& Transcript::set_up(const std::string& resolved_address)
{
    return looking_up().line("Resolved server host to be '" + resolved_address + "'");
}

Transcript& Transcript::sending_init()
{
    return line("Sending client INIT from port " + std::to_string(local_port_) + " to " + host_ +
                ":" + std::to_string(server_port_));
}

Transcript& Transcript::received_init(int session, const std::string& public_ip, int public_port)
{
    line("Received server INIT [" + std::to_string(session) + "]");
    return line("Our public address is " + public_ip + ":" + std::to_string(public_port));
}

Transcript& Transcript::sending_init2(int session)
{
    return line("Sending client INIT2 [" + std::to_string(session) + "] from port " +
                std::to_string(local_port_ + 1) + " to " + host_ + ":" + std::to_string(server_port_));
}

Transcript& Transcript::received_init2(int session, const std::string& public_ip, int public_port_alt)
{
    line("Received server INIT2 [" + std::to_string(session) + "]");
    return line("Our alternate public address is " + public_ip + ":" +
                std::to_string(public_port_alt));
}

Transcript& Transcript::sending_start(int session)
{
    // "cient" is how this line has always read; users and scripts match it.
    return line("Sending cient START [" + std::to_string(session) + "] from port " +
                std::to_string(local_port_ + 1) + " to " + host_ + ":" + std::to_string(server_port_));
}

Transcript& Transcript::received_start(int session, int extra_port)
{
    line("Received server START [" + std::to_string(session) + "]");
    return line("Server extra port is " + std::to_string(extra_port));
}

Transcript& Transcript::sending_ping(int session, int extra_port)
{
    return line("Sending client PING [" + std::to_string(session) + "] from port " +
                std::to_string(local_port_) + " to " + host_ + ":" + std::to_string(extra_port));
}

Transcript& Transcript::received_ping(const std::string& ping_number, int session)
{
    return line("Received server PING(" + ping_number + ") [" + std::to_string(session) + "]");
}

Transcript& Transcript::answered_until_start(int session, const std::string& public_ip,
                                             int public_port, int public_port_alt)
{
    return received_init(session, public_ip, public_port)
        .sending_init2(session)
        .received_init2(session, public_ip, public_port_alt)
        .sending_start(session);
}

Transcript& Transcript::pinged(int session, int extra_port)
{
    return received_start(session, extra_port).sending_ping(session, extra_port);
}

Transcript& Transcript::success(int extra_port)
{
    text_ += "\n===========\n  SUCCESS  \n===========\nReceived 3 pings from " + host_ + ":" +
             std::to_string(extra_port) +
             ".\nNAT negotiation works with your router and connection.\n"
             "==> You do not have to use port forwarding.\n";
    return *this;
}

Transcript& Transcript::failure(int extra_port)
{
    text_ += "\n===========\n  FAILURE  \n===========\nFailed to receive any pings from " + host_ +
             ":" + std::to_string(extra_port) +
             ".\nIt appears your router and/or connection is not capable of NAT negotiation.\n"
             "==> You will need to use port forwarding and possibly configure a static port.\n";
    return *this;
}

Transcript& Transcript::timed_out()
{
    text_ += "The connection to " + host_ + " timed out.\nIt is possible that the server is offline.\n";
    return *this;
}

std::string lookup_error_line(const boost::system::error_code& error)
{
    return "Error in hostname_resolved: " + std::string(error.category().name()) + ":" +
           std::to_string(error.value()) + " " + error.message() + "\n";
}

int printed_local_port(const std::string& out)
{
    const std::string label = "Bound to local port ";
    const auto at = out.find(label);
    if (at == std::string::npos) return -1;
    try {
        return std::stoi(out.substr(at + label.size()));
    } catch (const std::exception&) {
        return -1;
    }
}

const char* name_of(Step step)
{
    switch (step) {
    case Step::init_reply: return "INIT reply";
    case Step::init2_reply: return "INIT2 reply";
    case Step::start_reply: return "START reply";
    case Step::pings: return "server PINGs";
    }
    return "";
}

namespace {

// At most this many fresh clients when the alternate port is taken.
constexpr int start_attempts = 5;
// Bounds a client that lost its way before its INIT.
constexpr std::chrono::milliseconds start_limit{30000};
// How often the wait for INIT looks whether the client has ended instead.
constexpr std::chrono::milliseconds init_slice{50};

// Waits for INIT in slices until `ended` says the client will send none.
template <typename Ended>
bool take_init_unless(ScriptedServer& server, Ended ended)
{
    const auto deadline = std::chrono::steady_clock::now() + default_receive_limit;
    while (std::chrono::steady_clock::now() < deadline) {
        // Asked before the slice, so that an INIT sent just before the end
        // is still taken.
        const bool over = ended();
        if (server.take_init(init_slice, true)) return true;
        if (over) return false;
    }
    return false;
}

}  // namespace

std::unique_ptr<InProcessClient> ScriptedServer::start_client(const punchprobe::StepDurations& durations)
{
    for (int attempt = 0; attempt < start_attempts; ++attempt) {
        auto client = std::make_unique<InProcessClient>(host, server.port(), durations);
        if (take_init_unless(*this, [&] { return client->ended(); })) return client;
        client->wait(start_limit);
        if (client->ending() != Ending::other_exception || !alternate_port_taken(client->exception_text())) {
            ADD_FAILURE() << "no INIT, and the run ended with: " << client->exception_text();
            return nullptr;
        }
    }
    ADD_FAILURE() << "the client's alternate port was taken " << start_attempts << " times over";
    return nullptr;
}

std::unique_ptr<ChildProcess> ScriptedServer::start_process(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command = arguments;
    command.push_back(host);
    command.push_back(std::to_string(server.port()));
    for (int attempt = 0; attempt < start_attempts; ++attempt) {
        auto client = std::make_unique<ChildProcess>(client_argv(command));
        if (take_init_unless(*this, [&] { return client->exited(); })) return client;
        const ProcessResult result = client->wait(start_limit);
        if (!alternate_port_taken(result.err)) {
            ADD_FAILURE() << "no INIT, and the client said: " << result.err;
            return nullptr;
        }
    }
    ADD_FAILURE() << "the client's alternate port was taken " << start_attempts << " times over";
    return nullptr;
}

bool ScriptedServer::take_init(std::chrono::milliseconds limit, bool quiet)
{
    const auto init = server.receive(limit);
    if (!init) {
        if (!quiet) ADD_FAILURE() << "no INIT reached the server within " << limit.count() << " ms";
        return false;
    }
    p = init->source.port();
    if (init->bytes != client_init(p) || init->source.address().to_string() != "127.0.0.1") {
        ADD_FAILURE() << "INIT from " << init->source.address().to_string() << ":" << p << " reads\n  "
                      << visible(init->bytes) << "\nexpected\n  " << visible(client_init(p));
        return false;
    }
    return true;
}

std::string ScriptedServer::reply_at(Step step) const
{
    switch (step) {
    case Step::init_reply: return punchprobe::make_init_reply(session_id, public_ip, public_port);
    case Step::init2_reply: return punchprobe::make_init2_reply(session_id, public_port_alt);
    case Step::start_reply: return punchprobe::make_start_reply(session_id, extra.port());
    case Step::pings: break;
    }
    return punchprobe::make_server_ping(session_id, 1);
}

void ScriptedServer::send_at(Step step, const std::string& bytes)
{
    switch (step) {
    case Step::init_reply: server.send_to(bytes, loopback(p)); break;
    case Step::init2_reply:
    case Step::start_reply: server.send_to(bytes, loopback(p + 1)); break;
    case Step::pings: extra.send_to(bytes, loopback(p)); break;
    }
}

bool ScriptedServer::expect_request_after(Step step)
{
    switch (step) {
    case Step::init_reply: return expect_datagram(server, "INIT2", client_init2(session_id, p + 1), p + 1);
    case Step::init2_reply: return expect_datagram(server, "START", client_start(session_id), p + 1);
    case Step::start_reply: return expect_datagram(extra, "PING", client_ping(session_id), p);
    case Step::pings: break;
    }
    return true;
}

bool ScriptedServer::play(Step from, Step until)
{
    for (Step step = from; step != until; step = static_cast<Step>(static_cast<int>(step) + 1)) {
        send_at(step, reply_at(step));
        if (!expect_request_after(step)) return false;
    }
    return true;
}

void ScriptedServer::send_pings(int count, int first)
{
    for (int number = first; number < first + count; ++number)
        send_at(Step::pings, punchprobe::make_server_ping(session_id, number));
}

Transcript ScriptedServer::printed_until(Step step) const
{
    Transcript transcript(host, server.port(), p);
    if (using_server_line) transcript.using_server();
    transcript.set_up().sending_init();
    if (step == Step::init_reply) return transcript;
    transcript.received_init(session_id, public_ip, public_port).sending_init2(session_id);
    if (step == Step::init2_reply) return transcript;
    transcript.received_init2(session_id, public_ip, public_port_alt).sending_start(session_id);
    if (step == Step::start_reply) return transcript;
    return transcript.pinged(session_id, extra.port());
}

std::string ScriptedServer::printed_on_success(const std::vector<std::string>& ping_numbers) const
{
    Transcript transcript = printed_until(Step::pings);
    for (const auto& number : ping_numbers) transcript.received_ping(number, session_id);
    return transcript.success(extra.port()).text();
}

}  // namespace punchprobe_test
