#pragma once

#include <cstdint>
#include <string>

#include "server/session_log.hpp"

namespace punchprobe {

// Why a datagram was dropped without an answer.
enum class DropReason {
    malformed,         // not a JSON object, or a member of the wrong type
    unknown_command,   // command missing or none of the four
    unknown_session,   // no live session with that id
    wrong_address,     // source address differs from the session's INIT
    wrong_socket,      // INIT, INIT2, START on the extra port; PING on the main port
    oversized,         // longer than any client message can be
    duplicate_ping,    // the session's ping train was already sent
};

// What the server has seen since it started. Printed once, at the end, for
// operators, the NAT lab and load tests.
struct ServerCounters {
    std::uint64_t sessions = 0;
    std::uint64_t completed = 0;
    std::uint64_t endpoint_independent = 0;
    std::uint64_t endpoint_dependent = 0;
    std::uint64_t expired = 0;
    std::uint64_t evicted = 0;
    std::uint64_t dropped_malformed = 0;
    std::uint64_t dropped_unknown_command = 0;
    std::uint64_t dropped_unknown_session = 0;
    std::uint64_t dropped_wrong_address = 0;
    std::uint64_t dropped_wrong_socket = 0;
    std::uint64_t dropped_oversized = 0;
    std::uint64_t dropped_duplicate_ping = 0;

    void count_drop(DropReason reason);
    // Counts one session's end: completed (with its mapping), expired or
    // evicted.
    void count_end(const SessionReport& report);
};

// "counters sessions=N completed=N ... dropped_duplicate_ping=N", without a
// line break. Keys and their order are fixed.
std::string counters_line(const ServerCounters& counters);

}  // namespace punchprobe
