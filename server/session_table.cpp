#include "server/session_table.hpp"

#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

namespace punchprobe {

namespace {

SessionReport unpinged_report(const Session& session, SessionEnd end)
{
    SessionReport report;
    report.id = session.id;
    report.public_endpoint = session.public_endpoint;
    report.alt_port = session.alt_port;
    report.end = end;
    return report;
}

}  // namespace

SessionTable::IdSource SessionTable::random_ids()
{
    // std::random_device reads the kernel's random source: unlike a seeded
    // engine, its output does not reveal the next id. Shared, because
    // std::function needs a copyable target.
    auto device = std::make_shared<std::random_device>();
    return [device]() {
        std::uniform_int_distribution<std::int32_t> positive(1, std::numeric_limits<std::int32_t>::max());
        return positive(*device);
    };
}

SessionTable::SessionTable(ServerClock::duration ttl, std::size_t max_sessions, IdSource ids)
    : ttl_(ttl), max_sessions_(max_sessions), ids_(std::move(ids))
{
    if (max_sessions_ == 0) throw std::invalid_argument("SessionTable needs room for one session");
}

SessionTable::Created SessionTable::create(const boost::asio::ip::udp::endpoint& public_endpoint,
                                           ServerClock::time_point now)
{
    Created created{0, std::nullopt};
    if (sessions_.size() >= max_sessions_) created.evicted = remove_oldest(SessionEnd::evicted);

    created.id = unused_id();
    order_.push_back(created.id);
    Entry& entry = sessions_[created.id];
    entry.session.id = created.id;
    entry.session.public_endpoint = public_endpoint;
    entry.session.created = now;
    entry.position = std::prev(order_.end());
    return created;
}

Session* SessionTable::find(std::int32_t id)
{
    const auto found = sessions_.find(id);
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
    order_.pop_front();
    sessions_.erase(found);
    return report;
}

std::int32_t SessionTable::unused_id()
{
    // The table holds far fewer ids than there are, so this rarely loops.
    for (;;) {
        const std::int32_t id = ids_();
        if (id > 0 && sessions_.count(id) == 0) return id;
    }
}

}  // namespace punchprobe
