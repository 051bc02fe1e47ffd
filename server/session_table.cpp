#include "server/session_table.hpp"

#include <stdexcept>

namespace punchprobe {

SessionReport unpinged_report(const Session& session, SessionEnd end)
{
    SessionReport report;
    report.id = session.id;
    report.public_endpoint = session.public_endpoint;
    report.alt_port = session.alt_port;
    report.end = end;
    return report;
}

SessionTable::SessionTable(ServerClock::duration ttl, std::size_t max_sessions)
    : ttl_(ttl), max_sessions_(max_sessions)
{
    if (max_sessions_ == 0) throw std::invalid_argument("SessionTable needs room for one session");
}

SessionTable::Key SessionTable::key_of(std::int32_t id, const boost::asio::ip::address_v4& address)
{
    return (static_cast<Key>(static_cast<std::uint32_t>(id)) << 32) | address.to_uint();
}

SessionTable::Created SessionTable::create(std::int32_t id, const boost::asio::ip::udp::endpoint& public_endpoint,
                                           ServerClock::time_point now)
{
    Created created{nullptr, std::nullopt};
    if (sessions_.size() >= max_sessions_) created.evicted = remove_oldest(SessionEnd::evicted);

    const Key key = key_of(id, public_endpoint.address().to_v4());
    order_.push_back(key);
    Entry& entry = sessions_[key];
    entry.session = Session{};
    entry.session.id = id;
    entry.session.public_endpoint = public_endpoint;
    entry.session.created = now;
    entry.position = std::prev(order_.end());
    created.session = &entry.session;
    return created;
}

void SessionTable::remove(std::int32_t id, const boost::asio::ip::address_v4& address)
{
    const auto found = sessions_.find(key_of(id, address));
    if (found == sessions_.end()) return;
    cancel_resend(found->second.session);
    order_.erase(found->second.position);
    sessions_.erase(found);
}

SessionTable::Key SessionTable::key_of(const Session& session)
{
    return key_of(session.id, session.public_endpoint.address().to_v4());
}

Session* SessionTable::find(std::int32_t id, const boost::asio::ip::address_v4& address)
{
    const auto found = sessions_.find(key_of(id, address));
    return found == sessions_.end() ? nullptr : &found->second.session;
}

std::vector<SessionReport> SessionTable::expire(ServerClock::time_point now)
{
    std::vector<SessionReport> reports;
    while (!order_.empty() && sessions_.at(order_.front()).session.created + ttl_ <= now) {
        if (auto report = remove_oldest(SessionEnd::expired)) reports.push_back(*report);
    }
    return reports;
}

std::optional<SessionReport> SessionTable::remove_oldest(SessionEnd end)
{
    const auto found = sessions_.find(order_.front());
    std::optional<SessionReport> report;
    if (!found->second.session.pinged) report = unpinged_report(found->second.session, end);
    cancel_resend(found->second.session);
    order_.pop_front();
    sessions_.erase(found);
    return report;
}

void SessionTable::schedule_resend(Session& session, ServerClock::time_point at)
{
    cancel_resend(session);
    resends_.emplace(at, key_of(session));
    session.resend_at = at;
}

void SessionTable::cancel_resend(Session& session)
{
    if (!session.resend_at) return;
    resends_.erase({*session.resend_at, key_of(session)});
    session.resend_at.reset();
}

Session* SessionTable::take_due_resend(ServerClock::time_point now)
{
    while (!resends_.empty() && resends_.begin()->first <= now) {
        const auto found = sessions_.find(resends_.begin()->second);
        resends_.erase(resends_.begin());
        // Every removal cancels its re-send; should one ever slip through,
        // it is dropped here rather than thrown out of the server's loop.
        if (found == sessions_.end()) continue;
        found->second.session.resend_at.reset();
        return &found->second.session;
    }
    return nullptr;
}

std::optional<ServerClock::time_point> SessionTable::next_resend() const
{
    if (resends_.empty()) return std::nullopt;
    return resends_.begin()->first;
}

std::optional<ServerClock::time_point> SessionTable::next_expiry() const
{
    if (order_.empty()) return std::nullopt;
    return sessions_.at(order_.front()).session.created + ttl_;
}

}  // namespace punchprobe
