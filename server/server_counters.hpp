#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/session_log.hpp"

namespace punchprobe {

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
    guess_limited,     // START or PING naming an (address, port) whose failed guesses used up its tokens
    ping_before_start, // a PING for a session whose START was never answered
    replayed,          // INIT2 for a session that already had its PING train
    count              // not a reason: how many there are, for tables indexed by reason
};

// What the server has seen since it started. Printed at the end, for
// operators, the NAT lab and load tests.
struct ServerCounters {
    std::uint64_t sessions = 0;  // proven: an INIT2 came back from the INIT's address
    std::uint64_t completed = 0;
    std::uint64_t endpoint_independent = 0;
    std::uint64_t endpoint_dependent = 0;
    std::uint64_t expired = 0;
    std::uint64_t evicted = 0;
    std::uint64_t inits_answered = 0;
    std::uint64_t trains_delayed = 0;
    std::uint64_t log_lines_dropped = 0;
    std::uint64_t error_lines_suppressed = 0;
    std::uint64_t replies_resent = 0;  // a proven session's last reply, sent again
    // The metrics endpoint's limits: connections over its cap, connections
    // closed at their deadline, requests answered with an error.
    std::uint64_t metrics_refused = 0;
    std::uint64_t metrics_timeouts = 0;
    std::uint64_t metrics_bad_requests = 0;
    // Counters lines asked for while one still waited to be written: the
    // waiting one was brought up to date instead.
    std::uint64_t counters_lines_coalesced = 0;
    // Metrics connections still sending their request, closed to make room
    // for a new one when every slot was taken.
    std::uint64_t metrics_pushed_out = 0;
    // INIT replies past their address's --init-rate granted from the
    // allowance of an address that proved a session lately, or from the
    // shared budget (the shell may still drop one for want of room).
    std::uint64_t inits_proven_allowance = 0;
    std::uint64_t inits_shared_budget = 0;
    // Addresses that proved a session lately, forgotten early because
    // another one took their slot.
    std::uint64_t proven_addresses_pushed_out = 0;
    // The shell's system calls that read datagrams and those that sent
    // them, counted when they moved at least one: datagrams per call show
    // how well batching works under load.
    std::uint64_t receive_batches = 0;
    std::uint64_t send_batches = 0;
    // INITs matched byte for byte as the client writes them, which skip the
    // parser: of a flood's INITs, how many took the fast path.
    std::uint64_t inits_fast_path = 0;
    // Datagrams dropped, by reason.
    std::array<std::uint64_t, static_cast<std::size_t>(DropReason::count)> drops{};

    void count_drop(DropReason reason) { ++drops[static_cast<std::size_t>(reason)]; }
    std::uint64_t dropped(DropReason reason) const { return drops[static_cast<std::size_t>(reason)]; }
    // Counts one session's end: completed (with its mapping), expired or
    // evicted.
    void count_end(const SessionReport& report);
};

// One key of the counters line with its value. A drop reason's key is
// "dropped_" and the reason.
struct CounterValue {
    const char* key;
    std::uint64_t value;
    bool drop_reason;
};

// Every key of the counters line with its value, in the line's order: the
// one list that the line and the metrics endpoint both show.
std::vector<CounterValue> counter_values(const ServerCounters& counters);

// "counters sessions=N completed=N ... error_lines_suppressed=N", without a
// line break. Keys and their order are fixed; new keys go at the end.
std::string counters_line(const ServerCounters& counters);

}  // namespace punchprobe
