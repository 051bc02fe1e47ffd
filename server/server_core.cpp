#include "server/server_core.hpp"

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <memory>
#include <utility>

#include <json/reader.h>

#include "protocol/command_dispatch.hpp"
#include "protocol/protocol_constants.hpp"
#include "protocol/punchprobe_message.hpp"
#include "protocol/server_messages.hpp"
#include "server/junk_filter.hpp"

namespace punchprobe {

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

namespace {

// A PING may leave this much later than its interval says, and in return
// one wake-up serves many trains.
constexpr ServerClock::duration ping_resolution = std::chrono::milliseconds(1);

// Trains that may wait for one address, in turns of --trains-per-address.
constexpr std::size_t waiting_turns_per_address = 4;

// The client's own decoder forgives a lot (comments, a broken-off object,
// trailing bytes); the server accepts only one clean JSON object, so that
// junk from the network is dropped instead of half-read.
std::unique_ptr<Json::CharReader> make_strict_reader()
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // The junk filter already refused anything nested; this is a second
    // line, in case that ever changes.
    builder.settings_["stackLimit"] = 32;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

bool parse_strict(std::string_view bytes, Json::Value& root)
{
    // Building a reader costs more than parsing a datagram with it, and a
    // reader starts afresh on every parse: one per thread serves all. No
    // error text is asked for, since nobody reads it.
    thread_local const std::unique_ptr<Json::CharReader> reader = make_strict_reader();
    return reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, nullptr) && root.isObject();
}

// No client sends from 0.0.0.0/8, a multicast or reserved address, or the
// broadcast address; answering such a source only ever hits someone else.
bool is_unicast(const address_v4& address)
{
    const std::uint32_t bits = address.to_uint();
    return (bits >> 24) != 0 && (bits >> 28) < 14;
}

bool is_integer_in(const Json::Value& value, Json::Int64 low, Json::Int64 high)
{
    // Only integers as the client writes them: no 40000.0, no "40000".
    if (value.type() != Json::intValue && value.type() != Json::uintValue) return false;
    return value.isInt64() && value.asInt64() >= low && value.asInt64() <= high;
}

bool has_exactly(const Json::Value& root, std::initializer_list<const char*> members)
{
    if (root.size() != members.size()) return false;
    return std::all_of(members.begin(), members.end(), [&root](const char* member) { return root.isMember(member); });
}

// A request only in the exact shape the client sends it. Replies carry other
// members (public_ip, extra_port, ping_number, a session_id on INIT), so a
// reply, ours or another server's, is never taken for a request.
bool is_request(const Json::Value& root, Command command)
{
    if (root["protocol"] != Json::Value(protocol_tag)) return false;
    const bool id_ok = is_integer_in(root["session_id"], Json::Value::minInt, Json::Value::maxInt);
    switch (command) {
    case Command::init:
        return has_exactly(root, {"command", "local_port", "protocol"}) &&
               is_integer_in(root["local_port"], lowest_client_port, 65535);
    case Command::init2:
        // The client's alternate port is its primary one + 1, so 65536
        // after a primary port of 65535.
        return has_exactly(root, {"command", "local_port_alt", "protocol", "session_id"}) && id_ok &&
               is_integer_in(root["local_port_alt"], lowest_client_port + 1, 65536);
    case Command::start:
    case Command::ping: return has_exactly(root, {"command", "protocol", "session_id"}) && id_ok;
    }
    return false;
}

std::uint32_t address_key(const udp::endpoint& endpoint)
{
    return endpoint.address().to_v4().to_uint();
}

// The address and the INIT port an id names (its top bits): the unit that
// guessing one session's id works on.
std::uint64_t guess_key(const address_v4& address, std::int32_t id)
{
    return (std::uint64_t{address.to_uint()} << 16) | ((static_cast<std::uint32_t>(id) >> 15) & 0xFFFF);
}

}  // namespace

ServerCore::ServerCore(const ServerOptions& options, unsigned short main_port, unsigned short extra_port,
                       const SessionCookies::Key& cookie_key, std::uint64_t limiter_key)
    : options_(options),
      main_port_(main_port),
      extra_port_(extra_port),
      sessions_(options.session_ttl, options.max_sessions),
      cookies_(cookie_key),
      init_limiter_(RateLimit{options.init_rate, options.init_burst}, limiter_key),
      // A second's worth at once, and never less than a reply.
      init_budget_limit_{options.init_budget, std::max(options.init_budget, 256.0)},
      proven_allowance_limit_{proven_allowance_factor * options.init_rate,
                              proven_allowance_factor * options.init_burst},
      proven_addresses_(options.proven_address_slots, proven_address_memory, limiter_key ^ 0xD6E8FEB86659FD93ull),
      proof_limiter_(RateLimit{options.init_rate, options.init_burst}, ~limiter_key),
      guess_limiter_(RateLimit{options.init_rate, options.init_burst}, limiter_key * 0x9E3779B97F4A7C15ull)
{
}

void ServerCore::set_local_addresses(std::vector<address_v4> addresses)
{
    local_addresses_ = std::move(addresses);
}

Effects& ServerCore::fresh_effects()
{
    effects_.datagrams.clear();
    effects_.lines.clear();
    return effects_;
}

Effects& ServerCore::on_datagram(std::string_view bytes, const udp::endpoint& source, ServerSocket socket,
                                 ServerClock::time_point now) noexcept
{
    Effects& effects = fresh_effects();
    try {
        // Expire first, so that a session past its time is unknown even
        // before the next wake-up.
        expire(now);
        if (const auto drop = decide(bytes, source, socket, now)) counters_.count_drop(*drop);
    } catch (const std::exception&) {
        // JsonCpp's own exceptions and anything else a hostile datagram
        // might provoke: drop it and keep serving. Lines of sessions that
        // ended on the way stay.
        effects.datagrams.clear();
        counters_.count_drop(DropReason::malformed);
    }
    return effects;
}

// Returns the drop reason, or nothing when the effects hold the answer.
std::optional<DropReason> ServerCore::decide(std::string_view bytes, const udp::endpoint& source,
                                             ServerSocket socket, ServerClock::time_point now)
{
    if (auto reason = screen_source(source)) return reason;
    // The client's INIT byte for byte, the one request a flood is made of,
    // skips the parser: it would pass every check below.
    if (socket == ServerSocket::main && client_init_port(bytes)) {
        ++counters_.inits_fast_path;
        return answer_init(bytes.size(), source, now);
    }
    if (auto reason = screen_junk(bytes)) return reason;

    PunchprobeMessage message;
    if (!parse_strict(bytes, message.root)) return DropReason::malformed;

    Command command;
    try {
        command = command_of(message);
    } catch (const std::runtime_error&) {
        return DropReason::unknown_command;
    }

    // Replies go back through the socket the request came in on: INIT,
    // INIT2 and START belong to the main port, the client's PING to the
    // extra one.
    const ServerSocket expected_socket = command == Command::ping ? ServerSocket::extra : ServerSocket::main;
    if (socket != expected_socket) return DropReason::wrong_socket;
    const Json::Value& root = message.root;
    if (!is_request(root, command)) return DropReason::not_request;

    if (command == Command::init) return answer_init(bytes.size(), source, now);
    const std::int32_t id = root["session_id"].asInt();
    if (command == Command::init2) return answer_init2(id, source, now);

    // Sessions are found by id and address together: a request from
    // another address than the INIT's finds none. Only the address counts:
    // the ports are what the test measures.
    const address_v4 address = source.address().to_v4();
    Session* session = sessions_.find(id, address);
    // A START or PING for a missing session is a guess at an id, and costs
    // a token; once they are gone, even a right guess is refused, so that a
    // sweep cannot find a live session's id and take over its train.
    const std::uint64_t key = guess_key(address, id);
    if (session == nullptr) return guess_limiter_.allow(key, now) ? DropReason::unknown_session : DropReason::guess_limited;
    if (!guess_limiter_.available(key, now)) return DropReason::guess_limited;
    if (command == Command::ping) return answer_ping(*session, source, now);
    answer_session(*session, Command::start, source, now);
    return std::nullopt;
}

bool ServerCore::from_own_socket(const udp::endpoint& source) const
{
    if (source.port() != main_port_ && source.port() != extra_port_) return false;
    const address_v4 address = source.address().to_v4();
    if (!options_.bind_address.is_unspecified()) return address == options_.bind_address;
    return address.is_loopback() ||
           std::find(local_addresses_.begin(), local_addresses_.end(), address) != local_addresses_.end();
}

std::optional<DropReason> ServerCore::screen_source(const udp::endpoint& source) const
{
    // Answering ourselves, or anything below 1024 (an echo or time service
    // answers back), is how one forged datagram becomes an endless loop.
    if (from_own_socket(source)) return DropReason::own_socket;
    if (source.port() < lowest_client_port || !is_unicast(source.address().to_v4())) return DropReason::bad_source;
    return std::nullopt;
}

std::optional<DropReason> ServerCore::answer_init(std::size_t request_size, const udp::endpoint& source,
                                                  ServerClock::time_point now)
{
    // Nothing is stored: the id is a cookie that only the real source gets
    // to see, and the rate limit bounds what a forged one costs others.
    const address_v4 address = source.address().to_v4();
    const bool within_rate = init_limiter_.allow(address, now);
    TokenBucket* const allowance = within_rate ? nullptr : proven_addresses_.allowance(address, now);
    // Refused before the cookie is made, which is most of an answer's cost.
    if (!within_rate && !init_past_rate_payable(allowance, now)) return DropReason::rate_limited;
    const std::int32_t id = cookies_.issue(source, now);
    std::string reply = make_init_reply(id, source.address().to_string(), source.port());
    if (static_cast<double>(reply.size()) > options_.max_amplification * static_cast<double>(request_size))
        return DropReason::amplification;
    if (!within_rate && !pay_init_past_rate(allowance, reply.size(), now)) return DropReason::rate_limited;
    send(std::move(reply), source, ServerSocket::main, false, &ServerCounters::inits_answered);
    return std::nullopt;
}

bool ServerCore::init_past_rate_payable(TokenBucket* allowance, ServerClock::time_point now)
{
    if (init_budget_limit_.per_second <= 0) return false;
    return (allowance != nullptr && allowance->has_token(proven_allowance_limit_, now)) ||
           shared_init_budget_.has_token(init_budget_limit_, now);
}

bool ServerCore::pay_init_past_rate(TokenBucket* allowance, std::size_t bytes, ServerClock::time_point now)
{
    if (allowance != nullptr && allowance->take(proven_allowance_limit_, now)) {
        ++counters_.inits_proven_allowance;
        return true;
    }
    if (shared_init_budget_.take(init_budget_limit_, now, static_cast<double>(bytes))) {
        ++counters_.inits_shared_budget;
        return true;
    }
    return false;
}

std::optional<DropReason> ServerCore::answer_init2(std::int32_t id, const udp::endpoint& source,
                                                   ServerClock::time_point now)
{
    const address_v4 address = source.address().to_v4();
    Session* session = sessions_.find(id, address);
    // One id from one address proves one session: ids change with the
    // cookie's slot, and a session lives longer than its id is valid, so a
    // replayed INIT2 finds its session and cannot order a second train.
    if (session != nullptr && session->pinged) return DropReason::replayed;
    if (session == nullptr) {
        // The proof: the id came back from the address its INIT came from,
        // so that address receives what we send it. Each attempt costs a
        // token of the address and the port the id names, so that guessing
        // ids is slow.
        if (!proof_limiter_.allow(guess_key(address, id), now)) return DropReason::rate_limited;
        const auto init_source = cookies_.redeem(id, address, now);
        if (!init_source) return DropReason::unknown_session;
        // No INIT from our own sockets got an id, but a guessed one must not
        // aim a PING train at them either.
        if (from_own_socket(*init_source)) return DropReason::own_socket;
        if (proven_addresses_.remember(address, now)) ++counters_.proven_addresses_pushed_out;
        SessionTable::Created created = sessions_.create(id, *init_source, now);
        if (created.evicted) report_end(*created.evicted);
        ++counters_.sessions;
        session = created.session;
    }
    session->alt_port = source.port();
    answer_session(*session, Command::init2, source, now);
    return std::nullopt;
}

std::string ServerCore::reply_for(const Session& session, Command answered) const
{
    return answered == Command::init2 ? make_init2_reply(session.id, session.alt_port)
                                      : make_start_reply(session.id, extra_port_);
}

// Answers a session's INIT2 or START. Until the client's next request comes,
// the reply is repeated now and then: on a lossy path the reply or the
// request may be lost, and a repeated reply makes the client repeat its step.
// A session whose PING has come waits for nothing.
void ServerCore::answer_session(Session& session, Command answered, const udp::endpoint& source,
                                ServerClock::time_point now)
{
    send(reply_for(session, answered), source, ServerSocket::main, true);
    if (session.pinged) return;
    session.answered = answered;
    session.reply_to = source;
    session.resends_left = options_.resends;
    if (session.resends_left > 0)
        sessions_.schedule_resend(session, now + options_.resend_interval);
    else
        sessions_.cancel_resend(session);
}

std::optional<DropReason> ServerCore::answer_ping(Session& session, const udp::endpoint& source,
                                                  ServerClock::time_point now)
{
    // One train per session bounds what anyone can make us send to an
    // address. A PING that finds no room leaves its session unspent, so a
    // later one may try again.
    if (session.pinged) return DropReason::duplicate_ping;
    // The client PINGs once START's reply has come; a PING before it is
    // not the client's, and must not decide where the train goes or what
    // the mapping was.
    if (session.answered != Command::start) return DropReason::ping_before_start;
    if (!room_for_train(address_key(session.public_endpoint))) return DropReason::train_cap;
    session.pinged = true;
    sessions_.cancel_resend(session);
    setup_times_.observe(now - session.created);

    PingTrain train;
    train.session_id = session.id;
    // To the INIT's source, not the PING's: only a router that kept the
    // same mapping for the extra port lets these through.
    train.destination = session.public_endpoint;
    SessionReport& report = train.report;
    report.id = session.id;
    report.public_endpoint = session.public_endpoint;
    report.alt_port = session.alt_port;
    report.mapping = source.port() == session.public_endpoint.port() ? Mapping::endpoint_independent
                                                                      : Mapping::endpoint_dependent;
    report.ping_source = source;
    report.end = SessionEnd::completed;
    start_train(std::move(train), now);
    return std::nullopt;
}

void ServerCore::send(std::string bytes, const udp::endpoint& destination, ServerSocket from, bool proven,
                      std::uint64_t ServerCounters::*count_when_sent)
{
    effects_.datagrams.push_back(OutboundDatagram{std::move(bytes), destination, from, proven, count_when_sent});
}

int ServerCore::live_trains_to(std::uint32_t address) const
{
    const auto live = live_trains_.find(address);
    return live == live_trains_.end() ? 0 : live->second;
}

bool ServerCore::room_for_train(std::uint32_t address) const
{
    // One address waits for a few turns at most, and all trains together
    // never outnumber the sessions the table may hold.
    if (live_ping_trains() >= options_.max_sessions) return false;
    if (live_trains_to(address) < options_.trains_per_address) return true;
    const auto waiting = waiting_trains_.find(address);
    return waiting == waiting_trains_.end() ||
           waiting->second.size() < static_cast<std::size_t>(options_.trains_per_address) * waiting_turns_per_address;
}

void ServerCore::start_train(PingTrain train, ServerClock::time_point now)
{
    const std::uint32_t address = address_key(train.destination);
    if (live_trains_to(address) >= options_.trains_per_address) {
        // Its turn comes when one of the address's trains ends, a few PING
        // intervals from now: well within the client's 20 s.
        waiting_trains_[address].push_back(std::move(train));
        ++waiting_train_count_;
        ++counters_.trains_delayed;
        return;
    }
    launch_train(std::move(train), now);
}

void ServerCore::launch_train(PingTrain train, ServerClock::time_point now)
{
    ++live_trains_[address_key(train.destination)];
    // The first PING answers the client's at once.
    if (send_next_ping(train, now)) trains_.push_back(std::move(train));
}

bool ServerCore::send_next_ping(PingTrain& train, ServerClock::time_point now)
{
    SessionReport& report = train.report;
    if (report.pings_sent < options_.pings) {
        ++report.pings_sent;
        send(make_server_ping(train.session_id, report.pings_sent), train.destination, ServerSocket::extra, true);
    }
    if (report.pings_sent < options_.pings) {
        train.next_ping = now + std::max<ServerClock::duration>(options_.ping_interval, ping_resolution);
        return true;
    }
    report_end(report);
    train_ended(address_key(train.destination), now);
    return false;
}

void ServerCore::train_ended(std::uint32_t address, ServerClock::time_point now)
{
    const auto live = live_trains_.find(address);
    if (live != live_trains_.end() && --live->second <= 0) live_trains_.erase(live);
    // A train launched below may end at once (a single PING) and come back
    // here: the outer call goes on launching, so the stack stays flat.
    if (launching_waiting_trains_) return;
    launching_waiting_trains_ = true;
    for (auto waiting = waiting_trains_.find(address);
         waiting != waiting_trains_.end() && live_trains_to(address) < options_.trains_per_address;
         waiting = waiting_trains_.find(address)) {
        PingTrain next = std::move(waiting->second.front());
        waiting->second.pop_front();
        if (waiting->second.empty()) waiting_trains_.erase(waiting);
        --waiting_train_count_;
        launch_train(std::move(next), now);
    }
    launching_waiting_trains_ = false;
}

Effects& ServerCore::on_time(ServerClock::time_point now)
{
    Effects& effects = fresh_effects();
    // A session past its time gets no re-send, but its line.
    expire(now);
    send_due_resends(now);
    send_due_pings(now);
    return effects;
}

void ServerCore::send_due_resends(ServerClock::time_point now)
{
    // Only proven sessions have any: the INIT reply is never repeated.
    for (std::size_t sent = 0; sent < batch; ++sent) {
        Session* session = sessions_.take_due_resend(now);
        if (session == nullptr) return;
        send(reply_for(*session, session->answered), session->reply_to, ServerSocket::main, true,
             &ServerCounters::replies_resent);
        if (--session->resends_left > 0) sessions_.schedule_resend(*session, now + options_.resend_interval);
    }
}

void ServerCore::send_due_pings(ServerClock::time_point now)
{
    // Only the trains queued now: one served again goes to the back, due
    // no sooner than the next wake-up.
    const std::size_t due = std::min(trains_.size(), batch);
    for (std::size_t served = 0; served < due && trains_.front().next_ping <= now; ++served) {
        PingTrain train = std::move(trains_.front());
        trains_.pop_front();
        if (send_next_ping(train, now)) trains_.push_back(std::move(train));
    }
}

std::optional<ServerClock::time_point> ServerCore::next_deadline() const
{
    std::optional<ServerClock::time_point> next = sessions_.next_resend();
    const auto sooner = [&next](ServerClock::time_point candidate) {
        if (!next || candidate < *next) next = candidate;
    };
    if (const auto expiry = sessions_.next_expiry()) sooner(*expiry);
    if (!trains_.empty()) sooner(trains_.front().next_ping);
    return next;
}

Effects& ServerCore::finish()
{
    Effects& effects = fresh_effects();
    for (const PingTrain& train : trains_) report_end(train.report);
    for (const auto& waiting : waiting_trains_)
        for (const PingTrain& train : waiting.second) report_end(train.report);
    trains_.clear();
    waiting_trains_.clear();
    live_trains_.clear();
    waiting_train_count_ = 0;
    return effects;
}

void ServerCore::expire(ServerClock::time_point now)
{
    for (const SessionReport& report : sessions_.expire(now)) report_end(report);
}

void ServerCore::report_end(const SessionReport& report)
{
    counters_.count_end(report);
    if (!options_.quiet) effects_.lines.push_back(session_line(report, options_.log_addresses));
}

}  // namespace punchprobe
