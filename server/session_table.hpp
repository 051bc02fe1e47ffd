#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "server/session_log.hpp"

namespace punchprobe {

using ServerClock = std::chrono::steady_clock;

// One client's test, from the INIT2 that proved its address on.
struct Session {
    std::int32_t id = 0;
    // The source of the INIT: the client's primary socket as the world sees it.
    boost::asio::ip::udp::endpoint public_endpoint;
    // The source port of the latest INIT2.
    unsigned short alt_port = 0;
    // Set once the client's PING was accepted. From then on the ping train
    // owns the session's end: the table drops the session silently and
    // refuses a second train.
    bool pinged = false;
    ServerClock::time_point created;
};

// Proven sessions by id, without sockets or clocks of its own: the caller
// passes "now", so tests and fuzzers drive time by hand. Unproven clients
// have no entry (their ids are cookies), so nothing a forged source sends
// can take a place here.
//
// A session lives for `ttl` after it was proven, whatever happens meanwhile;
// the client's whole exchange takes well under a minute. At most
// `max_sessions` live at once, and a new one pushes out the oldest. Both
// orders are the order of creation, so one list serves expiry and eviction.
class SessionTable {
public:
    SessionTable(ServerClock::duration ttl, std::size_t max_sessions);

    struct Created {
        Session* session;
        // The session pushed out to make room, if it still had to report.
        std::optional<SessionReport> evicted;
    };
    // Adds a session under `id`, which must not be live.
    Created create(std::int32_t id, const boost::asio::ip::udp::endpoint& public_endpoint,
                   ServerClock::time_point now);

    // Removes a live session without a report (its train reports it).
    void remove(std::int32_t id);

    // A live session, or null. Does not expire anything: call expire first.
    Session* find(std::int32_t id);

    // Removes every session whose time is up and returns the reports of
    // those that had not been pinged, oldest first.
    std::vector<SessionReport> expire(ServerClock::time_point now);

    std::size_t size() const { return sessions_.size(); }

private:
    struct Entry {
        Session session;
        std::list<std::int32_t>::iterator position;
    };

    std::optional<SessionReport> remove_oldest(SessionEnd end);

    ServerClock::duration ttl_;
    std::size_t max_sessions_;
    std::unordered_map<std::int32_t, Entry> sessions_;
    // Ids in order of creation, oldest first.
    std::list<std::int32_t> order_;
};

}  // namespace punchprobe
