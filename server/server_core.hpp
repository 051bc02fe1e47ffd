#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "server/metrics_text.hpp"
#include "server/rate_limit.hpp"
#include "server/server_counters.hpp"
#include "server/server_options.hpp"
#include "server/session_cookie.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// The server's two UDP sockets.
enum class ServerSocket { main, extra };

// One datagram for the shell to send.
struct OutboundDatagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint destination;
    ServerSocket from = ServerSocket::main;
    // False for a reply to an address that has not shown it receives our
    // datagrams: such replies give way first when sending gets tight.
    bool proven = true;
    // The counter that says this datagram left (or waits to leave), raised
    // by the shell once the socket has taken it.
    std::uint64_t ServerCounters::*count_when_sent = nullptr;
};

// What to do: datagrams to send, in order, and session lines for standard
// output.
struct Effects {
    std::vector<OutboundDatagram> datagrams;
    std::vector<std::string> lines;
};

// Everything the test server decides, and nothing it does: which requests
// are answered and how, which sources are refused, the cookies, the
// per-source buckets, the sessions, the PING trains (caps, turns per
// address, waiting, pacing), the re-sends, expiry and every counter of a
// decision. It holds no socket or timer and never reads a clock: time comes
// with each call, so that tests drive it in virtual time.
//
// The shell feeds it datagrams and wake-ups, carries out the effects and
// calls again at next_deadline(). The effects returned stay valid until the
// next call.
class ServerCore {
public:
    // `main_port` and `extra_port` are the bound ports: the core never
    // answers its own sockets, and START announces the extra one.
    ServerCore(const ServerOptions& options, unsigned short main_port, unsigned short extra_port,
               const SessionCookies::Key& cookie_key = SessionCookies::random_key(),
               std::uint64_t limiter_key = SourceRateLimiter::random_key());

    // One datagram from `source`, received on `socket`. Never throws:
    // whatever the network sends ends as effects, at worst a counted drop.
    // At most one datagram answers it.
    Effects& on_datagram(std::string_view bytes, const boost::asio::ip::udp::endpoint& source, ServerSocket socket,
                         ServerClock::time_point now) noexcept;

    // What is due by `now`: expired sessions, re-sends, the trains' next
    // PINGs.
    Effects& on_time(ServerClock::time_point now);

    // When on_time next has work; nothing while nothing waits.
    std::optional<ServerClock::time_point> next_deadline() const;

    // Ends every PING train under way or waiting, for shutdown: such a
    // session has already shown its mapping, so its line and its count
    // come with the PINGs sent so far rather than be lost.
    Effects& finish();

    // With a wildcard bind: this host's addresses besides loopback, which
    // the shell looks up now and then.
    void set_local_addresses(std::vector<boost::asio::ip::address_v4> addresses);

    // The shell adds what only it can see: send-queue drops, lost log
    // lines, the metrics endpoint's refusals.
    ServerCounters& counters() { return counters_; }
    const ServerCounters& counters() const { return counters_; }
    const SetupHistogram& setup_times() const { return setup_times_; }
    std::size_t live_sessions() const { return sessions_.size(); }
    // Under way plus waiting for their turn.
    std::size_t live_ping_trains() const { return trains_.size() + waiting_train_count_; }

    // Re-sends and PINGs per wake-up, so that a crowd of them due at once
    // leaves the sockets their turn; the rest follow at once.
    static constexpr std::size_t batch = 256;

private:
    struct PingTrain {
        std::int32_t session_id = 0;
        boost::asio::ip::udp::endpoint destination;
        // The session's line but for pings_sent.
        SessionReport report;
        ServerClock::time_point next_ping;
    };

    std::optional<DropReason> decide(std::string_view bytes, const boost::asio::ip::udp::endpoint& source,
                                     ServerSocket socket, ServerClock::time_point now);
    bool from_own_socket(const boost::asio::ip::udp::endpoint& source) const;
    std::optional<DropReason> screen_source(const boost::asio::ip::udp::endpoint& source) const;
    std::optional<DropReason> answer_init(std::size_t request_size, const boost::asio::ip::udp::endpoint& source,
                                          ServerClock::time_point now);
    bool init_past_rate_payable(TokenBucket* allowance, ServerClock::time_point now);
    bool pay_init_past_rate(TokenBucket* allowance, std::size_t bytes, ServerClock::time_point now);
    std::optional<DropReason> answer_init2(std::int32_t id, const boost::asio::ip::udp::endpoint& source,
                                           ServerClock::time_point now);
    void answer_session(Session& session, Command answered, const boost::asio::ip::udp::endpoint& source,
                        ServerClock::time_point now);
    std::optional<DropReason> answer_ping(Session& session, const boost::asio::ip::udp::endpoint& source,
                                          ServerClock::time_point now);
    std::string reply_for(const Session& session, Command answered) const;
    void send(std::string bytes, const boost::asio::ip::udp::endpoint& destination, ServerSocket from,
              bool proven, std::uint64_t ServerCounters::*count_when_sent = nullptr);

    // PING trains.
    int live_trains_to(std::uint32_t address) const;
    bool room_for_train(std::uint32_t address) const;
    void start_train(PingTrain train, ServerClock::time_point now);
    void launch_train(PingTrain train, ServerClock::time_point now);
    // Sends the train's next PING; false once the train has ended.
    bool send_next_ping(PingTrain& train, ServerClock::time_point now);
    void train_ended(std::uint32_t address, ServerClock::time_point now);
    void send_due_resends(ServerClock::time_point now);
    void send_due_pings(ServerClock::time_point now);

    void expire(ServerClock::time_point now);
    void report_end(const SessionReport& report);
    Effects& fresh_effects();

    const ServerOptions options_;
    const unsigned short main_port_;
    const unsigned short extra_port_;
    std::vector<boost::asio::ip::address_v4> local_addresses_;

    SessionTable sessions_;
    SessionCookies cookies_;
    // INIT replies per source address: the only datagrams sent to addresses
    // that have not been proven.
    SourceRateLimiter init_limiter_;
    // What an address past its own rate may still get: a forged flood
    // bearing its address drains its bucket, not its service. An address
    // that proved a session lately has an allowance of its own, which no
    // flood bearing another address can spend; then all share the budget.
    RateLimit init_budget_limit_;
    RateLimit proven_allowance_limit_;
    TokenBucket shared_init_budget_;
    ProvenAddresses proven_addresses_;
    // INIT2 proofs, and START and PING for sessions that do not exist, per
    // source address and the port the id names, at the same rate: a client
    // needs one proof per test and never names a missing session, while
    // guessing an id takes thousands. Keyed by the port too, so that
    // guesses bearing a client's address with other ids leave its own
    // test alone.
    SourceRateLimiter proof_limiter_;
    SourceRateLimiter guess_limiter_;

    // Trains under way, in the order their next PING is due: each comes due
    // one interval after it was last served, so appending keeps the order.
    std::deque<PingTrain> trains_;
    // Per destination address: trains under way, and trains waiting for one
    // of those to end.
    std::unordered_map<std::uint32_t, int> live_trains_;
    std::unordered_map<std::uint32_t, std::deque<PingTrain>> waiting_trains_;
    std::size_t waiting_train_count_ = 0;
    bool launching_waiting_trains_ = false;

    ServerCounters counters_;
    SetupHistogram setup_times_;
    // Reused by every call, so that a datagram allocates no lists.
    Effects effects_;
};

}  // namespace punchprobe
