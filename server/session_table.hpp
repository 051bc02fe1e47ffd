#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "protocol/command_dispatch.hpp"
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

    // The last reply, to be sent again while the client's next request has
    // not come: on a lossy path either may be lost, and the client, which
    // never repeats a request by itself, repeats its step when a reply comes
    // again. `answered` is INIT2 or START.
    Command answered = Command::init2;
    boost::asio::ip::udp::endpoint reply_to;
    int resends_left = 0;
    // Set while a re-send is scheduled; the table keeps the schedule.
    std::optional<ServerClock::time_point> resend_at;
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

    // Schedules the session's last reply to go again at `at`, instead of
    // any earlier schedule.
    void schedule_resend(Session& session, ServerClock::time_point at);
    void cancel_resend(Session& session);
    // The session whose re-send is due first, if due by `now`, taken off the
    // schedule; null when none is due.
    Session* take_due_resend(ServerClock::time_point now);
    // When the next re-send is due, if any is scheduled.
    std::optional<ServerClock::time_point> next_resend() const;
    // When the oldest session's time is up, if any lives.
    std::optional<ServerClock::time_point> next_expiry() const;

    std::size_t size() const { return sessions_.size(); }
    std::size_t scheduled_resends() const { return resends_.size(); }

private:
    using Key = std::uint64_t;
    static Key key_of(std::int32_t id, const boost::asio::ip::address_v4& address);
    static Key key_of(const Session& session);

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
    // Scheduled re-sends, soonest first; at most one per live session.
    std::set<std::pair<ServerClock::time_point, Key>> resends_;
};

}  // namespace punchprobe
