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

// The report of a session that ends without a PING train.
SessionReport unpinged_report(const Session& session, SessionEnd end);

// Proven sessions by address and id, without sockets or clocks of its own:
// the caller passes "now", so tests and fuzzers drive time by hand. Unproven
// clients have no entry (their ids are cookies), so nothing a forged source
// sends can take a place here. Every request of a session comes from its
// INIT's address, and two clients on one public port may draw the same
// cookie (one pair in 32,768): the address keeps them apart.
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
    // Adds a session under `id` at the endpoint's address, which must not
    // be live.
    Created create(std::int32_t id, const boost::asio::ip::udp::endpoint& public_endpoint,
                   ServerClock::time_point now);

    // Removes a live session without a report (its train reports it).
    void remove(std::int32_t id, const boost::asio::ip::address_v4& address);

    // A live session, or null. Does not expire anything: call expire first.
    Session* find(std::int32_t id, const boost::asio::ip::address_v4& address);

    // Removes every session whose time is up and returns the reports of
    // those that had not been pinged, oldest first.
    std::vector<SessionReport> expire(ServerClock::time_point now);

    std::size_t size() const { return sessions_.size(); }

private:
    using Key = std::uint64_t;
    static Key key_of(std::int32_t id, const boost::asio::ip::address_v4& address);

    struct Entry {
        Session session;
        std::list<Key>::iterator position;
    };

    std::optional<SessionReport> remove_oldest(SessionEnd end);

    ServerClock::duration ttl_;
    std::size_t max_sessions_;
    std::unordered_map<Key, Entry> sessions_;
    // Keys in order of creation, oldest first.
    std::list<Key> order_;
};

}  // namespace punchprobe
