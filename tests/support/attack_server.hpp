#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "support/counters_line.hpp"
#include "support/forged_udp.hpp"
#include "support/net_namespace.hpp"
#include "support/scripted_server.hpp"
#include "support/server_process.hpp"
#include "support/udp_peer.hpp"

// The attacker's side of the server tests: the real server binary started as
// an operator would, what it reports at the end, and floods of forged INITs.
namespace punchprobe_test {

// The value of `key` in a counters line (support/counters_line.hpp);
// records a test failure and gives -1 when the line lacks it.
long long counter(const Counters& counters, const std::string& key);

// The server inside `ns` on all addresses with ports 30000 and 30001, then
// `options`: the namespace is ours alone, so the ports cannot clash and a
// firewall rule can name them. PUNCHPROBE_ATTACK_SERVER, when set, names
// another build to attack. Records a test failure when no listening line
// comes.
class AttackServer {
public:
    static constexpr unsigned short main_port = 30000;

    AttackServer(const NetNamespace& ns, const std::vector<std::string>& options = {});

    bool listening() const { return server_.listening(); }
    // On 127.0.0.1.
    boost::asio::ip::udp::endpoint main() const { return loopback(server_.ports().main); }
    boost::asio::ip::udp::endpoint extra() const { return loopback(server_.ports().extra); }
    pid_t pid() const { return server_.pid(); }
    ChildProcess& process() { return server_.process(); }

    // SIGTERM, then everything it wrote until it exits; records a failure
    // unless it exits by itself, with status 0.
    ProcessResult stop();

private:
    ServerProcess server_;
};

// Makes what leaves port `port` inside `ns` a slow link (`rate` as tc writes
// it), while everything else keeps full speed: replies pile up in the
// sender's buffer while requests still pour in. Throws std::runtime_error
// when tc fails.
void throttle_source_port(const NetNamespace& ns, unsigned short port, const std::string& rate);

// Sends `request` until an answer arrives on `answer_on`, as a client would
// that repeats what a loaded network lost; stale answers are dropped first.
std::optional<Datagram> ask(UdpPeer& from, const boost::asio::ip::udp::endpoint& to, const std::string& request,
                            UdpPeer& answer_on, int attempts = 1,
                            std::chrono::milliseconds wait = std::chrono::seconds(5));

// The session id of an INIT reply, 0 when it names none.
int id_in(const Datagram& reply);

// INIT from `primary`, INIT2 and START from `alternate`: the session's id
// once all are answered, each within `wait`.
std::optional<int> open_session(UdpPeer& primary, UdpPeer& alternate, const boost::asio::ip::udp::endpoint& main,
                                std::chrono::milliseconds wait = std::chrono::seconds(5));

// Client-shaped INITs from random sources on 127.128.0.0/9 (where no test
// listens), sent by a thread of its own as fast as the sender takes them, or
// at most `ceiling` a second, until finish() or the time limit.
class ForgedInitFlood {
public:
    struct Report {
        long sent = 0;
        double seconds = 0;
        double per_second() const { return seconds > 0 ? sent / seconds : 0; }
    };

    ForgedInitFlood(ForgedUdpSender& sender, const boost::asio::ip::udp::endpoint& destination,
                    std::chrono::milliseconds limit, double ceiling = 0);
    ~ForgedInitFlood() { finish(); }
    ForgedInitFlood(const ForgedInitFlood&) = delete;
    ForgedInitFlood& operator=(const ForgedInitFlood&) = delete;

    bool running() const { return !ended_; }
    // Waits until `count` datagrams have gone; false after `limit`.
    bool wait_until_sent(long count, std::chrono::milliseconds limit) const;
    // Stops the flood (if still going) and reports it.
    Report finish();

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::atomic<long> sent_{0};
    Report report_;
    std::thread thread_;
};

}  // namespace punchprobe_test
