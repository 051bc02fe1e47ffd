#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "server/session_log.hpp"

namespace punchprobe {

using ServerClock = std::chrono::steady_clock;

// One client's test, from its INIT on.
struct Session {
    std::int32_t id = 0;
    // The source of the INIT: the client's primary socket as the world sees it.
    boost::asio::ip::udp::endpoint public_endpoint;
    // The source port of the latest INIT2; 0 until one came.
    unsigned short alt_port = 0;
    // Set once the client's PING was accepted. From then on the ping train
    // owns the session's end: the table drops the session silently and
    // refuses a second train.
    bool pinged = false;
    ServerClock::time_point created;
};

// Sessions by id, without sockets or clocks of its own: the caller passes
// "now", so tests and fuzzers drive time by hand.
//
// A session lives for `ttl` after its INIT, whatever happens meanwhile; the
// client's whole exchange takes well under a minute. At most `max_sessions`
// live at once, and a new one pushes out the oldest. Both orders are the
// order of creation, so one list serves expiry and eviction.
class SessionTable {
public:
    // Yields candidate ids; they must be positive. The default draws from
    // the system's random source, so ids cannot be guessed from earlier ones.
    using IdSource = std::function<std::int32_t()>;
    static IdSource random_ids();

    SessionTable(ServerClock::duration ttl, std::size_t max_sessions, IdSource ids = random_ids());

    struct Created {
        std::int32_t id;
        // The session pushed out to make room, if it still had to report.
        std::optional<SessionReport> evicted;
    };
    Created create(const boost::asio::ip::udp::endpoint& public_endpoint, ServerClock::time_point now);

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
    std::int32_t unused_id();

    ServerClock::duration ttl_;
    std::size_t max_sessions_;
    IdSource ids_;
    std::unordered_map<std::int32_t, Entry> sessions_;
    // Ids in order of creation, oldest first.
    std::list<std::int32_t> order_;
};

}  // namespace punchprobe
