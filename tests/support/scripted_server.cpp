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

std::string server_init(int session, const std::string& public_ip, int public_port)
{
    return "{\"command\":\"INIT\",\"protocol\":\"Punchprobe\",\"public_ip\":\"" + public_ip +
           "\",\"public_port\":" + std::to_string(public_port) +
           ",\"session_id\":" + std::to_string(session) + "}\n";
}

std::string server_init2(int public_port_alt)
{
    return "{\"command\":\"INIT2\",\"protocol\":\"Punchprobe\",\"public_port_alt\":" +
           std::to_string(public_port_alt) + "}\n";
}

std::string server_start(int extra_port)
{
    return "{\"command\":\"START\",\"extra_port\":" + std::to_string(extra_port) +
           ",\"protocol\":\"Punchprobe\"}\n";
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

std::optional<unsigned short> expect_client_init(UdpPeer& server, std::chrono::milliseconds limit)
{
    const auto datagram = server.receive(limit);
    if (!datagram) {
        ADD_FAILURE() << "no INIT reached the server within " << limit.count() << " ms";
        return std::nullopt;
    }
    const unsigned short port = datagram->source.port();
    if (datagram->bytes != client_init(port)) {
        ADD_FAILURE() << "INIT from port " << port << " reads\n  " << visible(datagram->bytes)
                      << "\nexpected\n  " << visible(client_init(port));
        return std::nullopt;
    }
    if (datagram->source.address().to_string() != "127.0.0.1") {
        ADD_FAILURE() << "INIT came from " << datagram->source.address().to_string();
        return std::nullopt;
    }
    return port;
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

unsigned short answer_init_and_init2(UdpPeer& server, int session, const std::string& public_ip,
                                     int public_port, int public_port_alt)
{
    const auto primary = expect_client_init(server);
    if (!primary) return 0;
    const unsigned short p = *primary;
    server.send_to(server_init(session, public_ip, public_port), loopback(p));
    if (!expect_datagram(server, "INIT2", client_init2(session, p + 1), p + 1)) return 0;
    server.send_to(server_init2(public_port_alt), loopback(p + 1));
    if (!expect_datagram(server, "START", client_start(session), p + 1)) return 0;
    return p;
}

unsigned short answer_until_ping(UdpPeer& server, UdpPeer& extra, int session, const std::string& public_ip,
                                 int public_port, int public_port_alt)
{
    const unsigned short p = answer_init_and_init2(server, session, public_ip, public_port, public_port_alt);
    if (p == 0) return 0;
    server.send_to(server_start(extra.port()), loopback(p + 1));
    return expect_datagram(extra, "PING", client_ping(session), p) ? p : 0;
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

}  // namespace punchprobe_test
