#pragma once

#include <string>

// The console lines of a run against the real server, whose session id and
// public ports only the run itself knows. Only server_end_to_end_test builds
// its transcripts this way; the client's own tests compare with the files of
// tests/golden/ instead.
namespace punchprobe_test {

class Transcript {
public:
    Transcript(std::string host, int server_port, int local_port)
        : host_(std::move(host)), server_(host_ + ":" + std::to_string(server_port)), p_(local_port)
    {
    }
    Transcript& using_server() { return line("Using server " + server_); }
    Transcript& set_up()
    {
        line("Bound to local port " + std::to_string(p_));
        line("Bound to local alternate port " + std::to_string(p_ + 1));
        line("Resolving hostname '" + host_ + "'...");
        return line("Resolved server host to be '" + host_ + "'");
    }
    Transcript& sending_init()
    {
        return line("Sending client INIT from port " + std::to_string(p_) + " to " + server_);
    }
    Transcript& answered_until_start(int session, const std::string& public_ip, int public_port, int public_port_alt)
    {
        const std::string id = " [" + std::to_string(session) + "]";
        line("Received server INIT" + id);
        line("Our public address is " + public_ip + ":" + std::to_string(public_port));
        line("Sending client INIT2" + id + " from port " + std::to_string(p_ + 1) + " to " + server_);
        line("Received server INIT2" + id);
        line("Our alternate public address is " + public_ip + ":" + std::to_string(public_port_alt));
        return line("Sending cient START" + id + " from port " + std::to_string(p_ + 1) + " to " + server_);
    }
    Transcript& pinged(int session, int extra_port)
    {
        line("Received server START [" + std::to_string(session) + "]");
        line("Server extra port is " + std::to_string(extra_port));
        return line("Sending client PING [" + std::to_string(session) + "] from port " + std::to_string(p_) +
                    " to " + host_ + ":" + std::to_string(extra_port));
    }
    Transcript& received_ping(const std::string& number, int session)
    {
        return line("Received server PING(" + number + ") [" + std::to_string(session) + "]");
    }
    Transcript& success(int extra_port)
    {
        return line("\n===========\n  SUCCESS  \n===========\nReceived 3 pings from " + host_ + ":" +
                    std::to_string(extra_port) +
                    ".\nNAT negotiation works with your router and connection.\n"
                    "==> You do not have to use port forwarding.");
    }
    Transcript& failure(int extra_port)
    {
        return line("\n===========\n  FAILURE  \n===========\nFailed to receive any pings from " + host_ + ":" +
                    std::to_string(extra_port) +
                    ".\nIt appears your router and/or connection is not capable of NAT negotiation.\n"
                    "==> You will need to use port forwarding and possibly configure a static port.");
    }
    const std::string& text() const { return text_; }

private:
    Transcript& line(const std::string& text)
    {
        text_ += text + "\n";
        return *this;
    }

    std::string host_;
    std::string server_;
    int p_;
    std::string text_;
};

}  // namespace punchprobe_test
