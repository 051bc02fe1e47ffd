#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "protocol/wire_contract.hpp"
#include "server/rate_limit.hpp"
#include "server/session_cookie.hpp"
#include "server/session_log.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// The server's two UDP sockets.
enum class ServerSocket { main, extra };

struct InboundDatagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint source;
    ServerSocket socket = ServerSocket::main;
    ServerClock::time_point now;
    // Whether the server can take one more PING train to the source's
    // address; the trains are the server's to count. A PING that finds no
    // room leaves its session unspent, so a later one may try again.
    bool room_for_train = true;
};

struct OutboundDatagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint destination;
    ServerSocket from = ServerSocket::main;
    // False for a reply to an address that has not shown it receives our
    // datagrams: such replies give way first when sending gets tight.
    bool proven = true;
};

// Send the session's PINGs from the extra port to `destination`, the INIT's
// source; `report` is the session's log line but for pings_sent.
struct PingTrainOrder {
    std::int32_t session_id = 0;
    boost::asio::ip::udp::endpoint destination;
    SessionReport report;
    // From the INIT2 that proved the session to this PING.
    ServerClock::duration setup_time{};
};

// Why a datagram was dropped without an answer.
enum class DropReason {
    malformed,         // not one clean JSON object
    unknown_command,   // command missing or none of the four
    unknown_session,   // no live session with that id, and no valid INIT2 proof
    wrong_address,     // no longer given: a session is looked up with its address, so
                       // another address finds none (unknown_session); the key stays
                       // in the counters line, where scripts read keys by position
    wrong_socket,      // INIT, INIT2, START on the extra port; PING on the main port
    oversized,         // longer than any client request can be
    duplicate_ping,    // the session's ping train was already sent
    bad_source,        // a source no client can have: port below 1024, no unicast address
    own_socket,        // sent by one of this server's own sockets
    not_request,       // a known command, but not in the exact shape the client sends
    not_object,        // the first non-blank byte is not '{'
    too_deep,          // nested deeper than any request
    nul_byte,          // holds a NUL byte
    rate_limited,      // the source address used up its INIT replies for now
    amplification,     // the reply to an unproven source would outweigh its request
    send_queue,        // the socket's send queue has no room for this kind of datagram
    train_cap,         // as many PING trains live or waiting as sessions allowed
    count              // not a reason: how many there are, for tables indexed by reason
};

// What to do about one datagram. A drop comes with neither a reply nor a
// train; `ended` may accompany anything.
struct Decision {
    std::optional<OutboundDatagram> reply;
    std::optional<PingTrainOrder> ping_train;
    std::optional<DropReason> drop;
    bool init_answered = false;
    bool session_created = false;
    // Sessions that expired or were evicted while this datagram was handled.
    std::vector<SessionReport> ended;
};

struct HandlerSettings {
    // The server's own sockets, so that it never answers itself.
    boost::asio::ip::address_v4 bind_address;
    unsigned short main_port = 0;
    // The port START announces: the extra socket's bound port.
    unsigned short extra_port = 0;
    // With a wildcard bind: this host's addresses besides loopback.
    std::vector<boost::asio::ip::address_v4> local_addresses;
    // A reply to an unproven source is at most this many times the bytes of
    // its request, as QUIC allows 3x before an address is validated.
    double max_amplification = 1.6;
    // A proven session's last reply goes again after this long without the
    // client's next request, at most `resends` times in a row.
    ServerClock::duration resend_interval = std::chrono::seconds(1);
    int resends = 3;
};

// What the handler keeps between datagrams.
struct HandlerState {
    HandlerState(ServerClock::duration session_ttl, std::size_t max_sessions, RateLimit init_limit,
                 const SessionCookies::Key& cookie_key = SessionCookies::random_key(),
                 std::uint64_t limiter_key = SourceRateLimiter::random_key());

    SessionTable sessions;
    SessionCookies cookies;
    // INIT replies per source address: the only datagrams sent to addresses
    // that have not been proven.
    SourceRateLimiter init_limiter;
    // INIT2 proofs per source address, at the same rate: a client needs one
    // per test, while guessing an id takes thousands.
    SourceRateLimiter proof_limiter;
};

// Decides about one datagram against the state, changing it as the datagram
// asks. Never throws: whatever the network sends ends as a decision, at
// worst a drop.
Decision handle_datagram(const InboundDatagram& datagram, HandlerState& state,
                         const HandlerSettings& settings) noexcept;

// The replies whose session has waited in vain for the client's next
// request, at most `most` of them, to go again from the main socket. Each
// session waits once more while it has re-sends left. Only proven sessions
// have any: the INIT reply is never repeated.
std::vector<OutboundDatagram> due_resends(HandlerState& state, const HandlerSettings& settings,
                                          ServerClock::time_point now, std::size_t most);

}  // namespace punchprobe
