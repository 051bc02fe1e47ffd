#include "server/datagram_handler.hpp"

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <memory>

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

bool parse_strict(const std::string& bytes, Json::Value& root)
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

bool from_own_socket(const udp::endpoint& source, const HandlerSettings& settings)
{
    if (source.port() != settings.main_port && source.port() != settings.extra_port) return false;
    const address_v4 address = source.address().to_v4();
    if (!settings.bind_address.is_unspecified()) return address == settings.bind_address;
    return address.is_loopback() || std::find(settings.local_addresses.begin(), settings.local_addresses.end(),
                                              address) != settings.local_addresses.end();
}

std::optional<DropReason> screen_source(const udp::endpoint& source, const HandlerSettings& settings)
{
    // Answering ourselves, or anything below 1024 (an echo or time service
    // answers back), is how one forged datagram becomes an endless loop.
    if (from_own_socket(source, settings)) return DropReason::own_socket;
    if (source.port() < lowest_client_port || !is_unicast(source.address().to_v4())) return DropReason::bad_source;
    return std::nullopt;
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
    const Json::Value& session_id = root["session_id"];
    const bool id_ok = is_integer_in(session_id, Json::Value::minInt, Json::Value::maxInt);
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

void reply_from_main(Decision& decision, std::string bytes, const udp::endpoint& destination, bool proven)
{
    decision.reply = OutboundDatagram{std::move(bytes), destination, ServerSocket::main, proven};
}

// The reply to a session's INIT2 or START, as first sent and as sent again.
std::string reply_for(const Session& session, Command answered, const HandlerSettings& settings)
{
    return answered == Command::init2 ? make_init2_reply(session.id, session.alt_port)
                                      : make_start_reply(session.id, settings.extra_port);
}

// Answers a session's INIT2 or START. Until the client's next request comes,
// the reply is repeated now and then: on a lossy path the reply or the
// request may be lost, and a repeated reply makes the client repeat its step.
// A session whose PING has come waits for nothing.
void answer_session(const InboundDatagram& datagram, Session& session, Command answered, HandlerState& state,
                    const HandlerSettings& settings, Decision& decision)
{
    reply_from_main(decision, reply_for(session, answered, settings), datagram.source, true);
    if (session.pinged) return;
    session.answered = answered;
    session.reply_to = datagram.source;
    session.resends_left = settings.resends;
    if (session.resends_left > 0)
        state.sessions.schedule_resend(session, datagram.now + settings.resend_interval);
    else
        state.sessions.cancel_resend(session);
}

std::optional<DropReason> answer_init(const InboundDatagram& datagram, HandlerState& state,
                                      const HandlerSettings& settings, Decision& decision)
{
    // Nothing is stored: the id is a cookie that only the real source gets
    // to see, and the rate limit bounds what a forged one costs others.
    if (!state.init_limiter.allow(datagram.source.address().to_v4(), datagram.now)) return DropReason::rate_limited;
    const std::int32_t id = state.cookies.issue(datagram.source, datagram.now);
    std::string reply = make_init_reply(id, datagram.source.address().to_string(), datagram.source.port());
    if (static_cast<double>(reply.size()) > settings.max_amplification * static_cast<double>(datagram.bytes.size()))
        return DropReason::amplification;
    decision.init_answered = true;
    reply_from_main(decision, std::move(reply), datagram.source, false);
    return std::nullopt;
}

std::optional<DropReason> answer_init2(const InboundDatagram& datagram, std::int32_t id, HandlerState& state,
                                       const HandlerSettings& settings, Decision& decision)
{
    const udp::endpoint& source = datagram.source;
    const address_v4 address = source.address().to_v4();
    Session* session = state.sessions.find(id, address);
    if (session == nullptr || session->pinged) {
        // The proof: the id came back from the address its INIT came from,
        // so that address receives what we send it. A finished session
        // under the same id is an earlier test from the same public
        // endpoint, and this INIT2 starts the next one. Each attempt costs
        // the address a token, so that guessing ids is slow and restarting
        // finished sessions cannot order trains without end.
        if (!state.proof_limiter.allow(address, datagram.now)) return DropReason::rate_limited;
        const auto init_source = state.cookies.redeem(id, address, datagram.now);
        // No INIT from our own sockets got an id, but a guessed one must not
        // aim a PING train at them either.
        if (init_source && from_own_socket(*init_source, settings)) return DropReason::own_socket;
        if (init_source) {
            if (session != nullptr) state.sessions.remove(id, address);
            SessionTable::Created created = state.sessions.create(id, *init_source, datagram.now);
            if (created.evicted) decision.ended.push_back(*created.evicted);
            decision.session_created = true;
            session = created.session;
        } else if (session == nullptr) {
            return DropReason::unknown_session;
        }
    }
    session->alt_port = source.port();
    answer_session(datagram, *session, Command::init2, state, settings, decision);
    return std::nullopt;
}

PingTrainOrder train_for(const Session& session, const udp::endpoint& ping_source)
{
    PingTrainOrder order;
    order.session_id = session.id;
    // To the INIT's source, not the PING's: only a router that kept the
    // same mapping for the extra port lets these through.
    order.destination = session.public_endpoint;
    order.report.id = session.id;
    order.report.public_endpoint = session.public_endpoint;
    order.report.alt_port = session.alt_port;
    order.report.mapping = ping_source.port() == session.public_endpoint.port() ? Mapping::endpoint_independent
                                                                                 : Mapping::endpoint_dependent;
    order.report.ping_source = ping_source;
    order.report.end = SessionEnd::completed;
    return order;
}

// Returns the drop reason, or nothing when `decision` holds the answer.
std::optional<DropReason> decide(const InboundDatagram& datagram, HandlerState& state,
                                 const HandlerSettings& settings, Decision& decision)
{
    if (auto reason = screen_source(datagram.source, settings)) return reason;
    if (auto reason = screen_junk(datagram.bytes)) return reason;

    PunchprobeMessage message;
    if (!parse_strict(datagram.bytes, message.root)) return DropReason::malformed;

    Command command;
    try {
        command = command_of(message);
    } catch (const std::runtime_error&) {
        return DropReason::unknown_command;
    }

    // Replies go back through the socket the request came in on: INIT,
    // INIT2 and START belong to the main port, the client's PING to the extra one.
    const ServerSocket expected_socket = command == Command::ping ? ServerSocket::extra : ServerSocket::main;
    if (datagram.socket != expected_socket) return DropReason::wrong_socket;
    const Json::Value& root = message.root;
    if (!is_request(root, command)) return DropReason::not_request;

    if (command == Command::init) return answer_init(datagram, state, settings, decision);
    const std::int32_t id = root["session_id"].asInt();
    if (command == Command::init2) return answer_init2(datagram, id, state, settings, decision);

    // Sessions are found by id and address together: a request from
    // another address than the INIT's finds none. Only the address counts:
    // the ports are what the test measures.
    Session* session = state.sessions.find(id, datagram.source.address().to_v4());
    if (session == nullptr) return DropReason::unknown_session;

    if (command == Command::start) {
        answer_session(datagram, *session, Command::start, state, settings, decision);
        return std::nullopt;
    }
    // One train per session bounds what anyone can make us send to an
    // address.
    if (session->pinged) return DropReason::duplicate_ping;
    if (!datagram.room_for_train) return DropReason::train_cap;
    session->pinged = true;
    state.sessions.cancel_resend(*session);
    decision.ping_train = train_for(*session, datagram.source);
    decision.ping_train->setup_time = datagram.now - session->created;
    return std::nullopt;
}

}  // namespace

HandlerState::HandlerState(ServerClock::duration session_ttl, std::size_t max_sessions, RateLimit init_limit,
                           const SessionCookies::Key& cookie_key, std::uint64_t limiter_key)
    : sessions(session_ttl, max_sessions),
      cookies(cookie_key),
      init_limiter(init_limit, limiter_key),
      proof_limiter(init_limit, ~limiter_key)
{
}

Decision handle_datagram(const InboundDatagram& datagram, HandlerState& state,
                         const HandlerSettings& settings) noexcept
{
    Decision decision;
    try {
        // Expire first, so that a session past its time is unknown even when
        // the sweep has not come round yet.
        decision.ended = state.sessions.expire(datagram.now);
        decision.drop = decide(datagram, state, settings, decision);
    } catch (const std::exception&) {
        // JsonCpp's own exceptions and anything else a hostile datagram
        // might provoke: drop it, keep serving, and still report the
        // sessions that ended on the way.
        decision.reply.reset();
        decision.ping_train.reset();
        decision.init_answered = false;
        decision.drop = DropReason::malformed;
    }
    return decision;
}

std::vector<OutboundDatagram> due_resends(HandlerState& state, const HandlerSettings& settings,
                                          ServerClock::time_point now, std::size_t most)
{
    std::vector<OutboundDatagram> replies;
    for (Session* session = nullptr; replies.size() < most && (session = state.sessions.take_due_resend(now));) {
        replies.push_back(OutboundDatagram{reply_for(*session, session->answered, settings), session->reply_to,
                                           ServerSocket::main, true});
        if (--session->resends_left > 0) state.sessions.schedule_resend(*session, now + settings.resend_interval);
    }
    return replies;
}

}  // namespace punchprobe
