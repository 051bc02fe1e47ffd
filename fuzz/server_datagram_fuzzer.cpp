// Drives the server's datagram handler with a sequence of datagrams, each
// from a chosen source and socket at a chosen moment, against one handler
// state with fixed keys. A model of the proven sessions follows along, and
// after every datagram the fuzzer checks the rules that keep the server from
// being abused:
//  - handle_datagram never throws out (it is noexcept: a throw terminates);
//  - a drop comes with neither a reply nor a train, anything else with
//    exactly one; sources the server must not answer are dropped as such;
//  - the table holds at most max_sessions, exactly the sessions of the model:
//    one is only created by an INIT2 whose id is the cookie of the INIT2's
//    address (as an INIT reply to that address gave it, this slot or the
//    last), and an INIT leaves no state at all;
//  - replies go back to the source from the main socket; the unproven ones
//    are INIT replies within the amplification bound; nothing goes to a port
//    below 1024, a non-unicast address or one of the server's own sockets;
//  - every server datagram is one JSON object in FastWriter's text, fits the
//    client's buffer, carries no "protocol" and is refused as a request;
//  - a train goes to a proven session's INIT source, for a PING from its
//    address, once per session until an INIT2 replaces the session;
//  - what is sent again goes only to the address of a live, unpinged proven
//    session, is that session's INIT2 or START reply byte for byte, and at
//    most one re-send waits per session.
//
// Input: records of one header byte, a 16-bit little-endian length and that
// many payload bytes. Header bits: 0 the socket (main, extra); 1-4 the
// source, from `sources`; 5-6 how far the clock moves first, from `steps`;
// 7 put the id of the latest INIT reply in place of the payload's first
// session_id number, so that an input can follow an exchange through its
// cookie.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "protocol/punchprobe_message.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/wire_contract.hpp"
#include "server/datagram_handler.hpp"
#include "server/junk_filter.hpp"
#include "server/server_options.hpp"
#include "server/session_cookie.hpp"
#include "server/session_table.hpp"

namespace {

using boost::asio::ip::address_v4;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::Decision;
using punchprobe::DropReason;
using punchprobe::HandlerSettings;
using punchprobe::HandlerState;
using punchprobe::InboundDatagram;
using punchprobe::Mapping;
using punchprobe::PingTrainOrder;
using punchprobe::ServerClock;
using punchprobe::ServerSocket;
using punchprobe::Session;
using punchprobe::SessionCookies;
using punchprobe::SessionEnd;
using punchprobe::SessionReport;
using punchprobe::unpinged_report;

constexpr std::chrono::seconds ttl{60};
// Small, so that eviction happens within a few records.
constexpr std::size_t max_sessions = 4;
constexpr unsigned short main_port = 30000;
constexpr unsigned short extra_port = 30001;
constexpr double max_amplification = 1.6;
constexpr std::size_t max_records = 64;
// An id is the INIT's public port above a MAC of this many bits.
constexpr int cookie_mac_bits = 15;

// One INIT reply per second, two at once: a third INIT in a row is limited.
const punchprobe::RateLimit init_limit{1, 2};
// Fixed keys, so that an input means the same on every run.
const SessionCookies::Key cookie_key = {0x70, 0x75, 0x6e, 0x63, 0x68, 0x70, 0x72, 0x6f,
                                        0x62, 0x65, 0x20, 0x66, 0x75, 0x7a, 0x7a, 0x21};
constexpr std::uint64_t limiter_key = 0x9e3779b97f4a7c15;
// An hour in: the slot before the first datagram's is a real one, and the
// bucket that fresh_state used at the clock's zero is full again.
constexpr ServerClock::duration start_time = std::chrono::hours(1);

// How the server must screen a source before it looks at the bytes.
enum class Screen { pass, own_socket, bad_source };

struct Source {
    const char* address;
    unsigned short port;
    Screen screen;
};

const std::array<Source, 16> sources = {{
    {"203.0.113.7", 40000, Screen::pass},   // client A's primary socket
    {"203.0.113.7", 40001, Screen::pass},   // A's alternate socket
    {"203.0.113.7", 65535, Screen::pass},   // A again: the largest id, another mapping
    {"198.51.100.1", 40000, Screen::pass},  // client B, on A's port
    {"198.51.100.1", 1024, Screen::pass},   // the lowest port answered
    {"127.0.0.1", 40000, Screen::pass},     // a client on the server's own address
    {"127.0.0.2", main_port, Screen::pass},  // the main port's number, not the bind address
    {"203.0.113.7", extra_port, Screen::pass},
    {"127.0.0.1", main_port, Screen::own_socket},
    {"127.0.0.1", extra_port, Screen::own_socket},
    {"203.0.113.7", 1023, Screen::bad_source},
    {"203.0.113.7", 0, Screen::bad_source},
    {"198.51.100.1", 53, Screen::bad_source},  // a DNS server would answer back
    {"0.0.0.0", 40000, Screen::bad_source},
    {"224.0.0.1", 40000, Screen::bad_source},
    {"255.255.255.255", 40000, Screen::bad_source},
}};

// Nothing, half a rate-limit token, a cookie slot, a session's life.
const std::array<ServerClock::duration, 4> steps = {std::chrono::seconds(0), std::chrono::milliseconds(500),
                                                    SessionCookies::slot, ttl};

[[noreturn]] void finding(const char* what)
{
    // abort() makes libFuzzer keep the input as a crash artifact.
    std::fprintf(stderr, "server_datagram_fuzzer: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition) finding(what);
}

HandlerSettings make_settings()
{
    HandlerSettings settings;
    settings.bind_address = make_address_v4("127.0.0.1");
    settings.main_port = main_port;
    settings.extra_port = extra_port;
    settings.max_amplification = max_amplification;
    return settings;
}

// An independent look at a datagram: a JSON object, or nothing. More lenient
// than the server (deeper nesting allowed), so whatever the server accepts
// this accepts too.
std::optional<Json::Value> parse_object(const std::string& bytes)
{
    thread_local const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    Json::Value root;
    try {
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, nullptr)) return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt;
    }
    if (!root.isObject()) return std::nullopt;
    return root;
}

std::string string_member(const Json::Value& root, const char* name)
{
    const Json::Value* value = root.find(name, name + std::char_traits<char>::length(name));
    return value != nullptr && value->isString() ? value->asString() : std::string();
}

// Integers only, as the server reads them: no 1.0, no "1".
std::optional<std::int64_t> int_member(const Json::Value& root, const char* name)
{
    const Json::Value* value = root.find(name, name + std::char_traits<char>::length(name));
    if (value == nullptr || (value->type() != Json::intValue && value->type() != Json::uintValue) ||
        !value->isInt64())
        return std::nullopt;
    return value->asInt64();
}

bool has_exactly(const Json::Value& root, std::initializer_list<const char*> members)
{
    return root.size() == members.size() &&
           std::all_of(members.begin(), members.end(), [&root](const char* member) { return root.isMember(member); });
}

// What the client's encoder, FastWriter, makes of a value.
std::string fast_writer_text(const Json::Value& root)
{
    punchprobe::PunchprobeMessage message;
    message.root = root;
    return message.encode();
}

address_v4 address_of(const udp::endpoint& endpoint)
{
    return endpoint.address().to_v4();
}

// Where the server may send anything at all: a unicast address, a port a
// client can have, and none of its own sockets.
bool answerable(const udp::endpoint& destination, const HandlerSettings& settings)
{
    const auto first_octet = address_of(destination).to_bytes()[0];
    const bool own = address_of(destination) == settings.bind_address &&
                     (destination.port() == settings.main_port || destination.port() == settings.extra_port);
    return first_octet != 0 && first_octet < 224 && destination.port() >= punchprobe::lowest_client_port && !own;
}

// The checks take the handler's own cookies, under the same key, for what a
// valid id is.
const SessionCookies& cookie_oracle()
{
    static const SessionCookies oracle(cookie_key);
    return oracle;
}

// The oracle is only sound when an id depends on the address, the port and
// the slot: were the address left out, a cookie would pass from any address
// and every check below would agree. Checked once, on ids that a proper MAC
// makes equal one time in 32,768.
void require_sound_oracle()
{
    const std::array<address_v4, 3> addresses = {make_address_v4("203.0.113.7"), make_address_v4("198.51.100.1"),
                                                 make_address_v4("127.0.0.1")};
    int equal = 0;
    for (int slot = 0; slot < 8; ++slot) {
        const ServerClock::time_point now(start_time + slot * SessionCookies::slot);
        for (const unsigned short port : {1024, 40000, 65535}) {
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                const std::int32_t id = cookie_oracle().issue(udp::endpoint(addresses[i], port), now);
                require(static_cast<std::uint32_t>(id) >> cookie_mac_bits == port, "cookie without its port");
                const std::size_t next = (i + 1) % addresses.size();
                equal += id == cookie_oracle().issue(udp::endpoint(addresses[next], port), now);
                equal += id == cookie_oracle().issue(udp::endpoint(addresses[i], port), now + SessionCookies::slot);
            }
        }
    }
    require(equal <= 2, "cookies do not depend on the address or the slot");
}

// Whether `id` is the cookie of an INIT from `address` in this slot or the
// last, whoever computed it. An id no INIT reply gave can still be right:
// libFuzzer learns compared values, and a 15-bit MAC is guessable by design,
// so the rule is about the id, not about who sent it.
bool is_cookie(std::int64_t id, const address_v4& address, ServerClock::time_point now)
{
    if (id <= 0 || id > Json::Value::maxInt) return false;
    const auto port = static_cast<unsigned short>(static_cast<std::uint32_t>(id) >> cookie_mac_bits);
    if (port < punchprobe::lowest_client_port) return false;
    const udp::endpoint init_source(address, port);
    return cookie_oracle().issue(init_source, now) == id ||
           cookie_oracle().issue(init_source, now - SessionCookies::slot) == id;
}

// Drop reasons that the datagram alone decides. A server datagram fed back
// must meet one of these: any other means it passed as a request and only
// the (empty) state refused it.
bool is_stateless(DropReason reason)
{
    switch (reason) {
    case DropReason::bad_source:
    case DropReason::own_socket:
    case DropReason::oversized:
    case DropReason::not_object:
    case DropReason::too_deep:
    case DropReason::nul_byte:
    case DropReason::malformed:
    case DropReason::unknown_command:
    case DropReason::wrong_socket:
    case DropReason::not_request: return true;
    default: return false;
    }
}

// A server datagram arriving at a server, this one or another, must never
// pass for a request: that is how two servers, or one forged source, start
// an endless exchange. A fresh state without a rate limit, so that nothing
// but the datagram's shape can refuse it.
void require_refused(const std::string& bytes, const udp::endpoint& from, ServerClock::time_point now,
                     const HandlerSettings& settings, const char* what)
{
    for (const ServerSocket socket : {ServerSocket::main, ServerSocket::extra}) {
        HandlerState throwaway(ttl, max_sessions, punchprobe::RateLimit{}, cookie_key, limiter_key);
        const InboundDatagram echo{bytes, from, socket, now};
        const Decision decision = punchprobe::handle_datagram(echo, throwaway, settings);
        require(decision.drop && is_stateless(*decision.drop) && !decision.reply && !decision.ping_train &&
                    throwaway.sessions.size() == 0,
                what);
    }
}

// The rules for the text of every datagram the server sends; returns it
// parsed.
Json::Value check_server_text(const std::string& bytes)
{
    require(!bytes.empty() && bytes.size() <= punchprobe::client_receive_buffer_size && bytes.back() == '\n',
            "server datagram larger than the client reads, or without its line feed");
    require(bytes.find('\0') == std::string::npos, "NUL byte in a server datagram");
    const auto root = parse_object(bytes);
    require(root.has_value(), "server datagram is not a JSON object");
    require(fast_writer_text(*root) == bytes, "server datagram differs from FastWriter's text of it");
    require(!root->isMember("protocol"), "server datagram carries a protocol member");
    return *root;
}

// Puts `id` in place of the number after the first "session_id", or leaves
// the bytes as they are when there is none. A quote before the number is
// skipped, so that the right id also arrives as text.
std::string with_session_id(std::string bytes, std::int32_t id)
{
    static const std::string key = "\"session_id\"";
    std::size_t at = bytes.find(key);
    if (at == std::string::npos) return bytes;
    at += key.size();
    while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == ':' || bytes[at] == '"')) ++at;
    std::size_t end = at;
    while (end < bytes.size() && (bytes[end] == '-' || (bytes[end] >= '0' && bytes[end] <= '9'))) ++end;
    bytes.replace(at, end - at, std::to_string(id));
    return bytes;
}

// The handler state, as new, for the next input. The limiters allocate
// their 65,536 buckets at first use: a megabyte of fresh pages per input
// would cost more than all of the input's datagrams. So one state serves
// every input, reset to a copy of a prepared one whose buckets exist (its
// table is empty, so the copy shares nothing with it).
HandlerState& fresh_state()
{
    static HandlerState prepared = [] {
        HandlerState state(ttl, max_sessions, init_limit, cookie_key, limiter_key);
        // The tokens taken at the clock's zero are back long before start_time.
        state.init_limiter.allow(make_address_v4("192.0.2.1"), ServerClock::time_point{});
        state.proof_limiter.allow(make_address_v4("192.0.2.1"), ServerClock::time_point{});
        return state;
    }();
    static HandlerState state = prepared;
    state = prepared;
    return state;
}

// One input's run: the handler's state and what the fuzzer expects of it.
struct Run {
    HandlerSettings settings = make_settings();
    HandlerState& state = fresh_state();
    // The live proven sessions, oldest first: the table's expiry and
    // eviction order.
    std::vector<Session> model;
    std::optional<std::int32_t> last_cookie;

    // Sessions are kept by id and address together, as the table keeps them.
    Session* modeled(std::int64_t id, const address_v4& address)
    {
        const auto found = std::find_if(model.begin(), model.end(), [id, &address](const Session& s) {
            return s.id == id && address_of(s.public_endpoint) == address;
        });
        return found == model.end() ? nullptr : &*found;
    }
};

// What a record asks for once the fuzzer has read it.
struct Step {
    InboundDatagram datagram;
    const Source* source;
    std::optional<Json::Value> request;
    std::string command;
    std::optional<std::int64_t> id;
    // Reports the table owes: expiries now, an eviction once a session is created.
    std::vector<SessionReport> ended;
};

void check_drop(Run& run, const Step& step, DropReason reason)
{
    const bool main_socket = step.datagram.socket == ServerSocket::main;
    const address_v4 address = address_of(step.datagram.source);
    switch (reason) {
    case DropReason::rate_limited: {
        // INITs, and INIT2s that must prove a session, spend tokens.
        const Session* session = step.id ? run.modeled(*step.id, address) : nullptr;
        require(main_socket && (step.command == "INIT" ||
                                (step.command == "INIT2" && (session == nullptr || session->pinged))),
                "rate_limited for something that spends no token");
        return;
    }
    case DropReason::amplification:
        require(step.command == "INIT" && main_socket, "INIT drop for something else than an INIT");
        return;
    case DropReason::wrong_socket:
        require(step.request && (step.command == "PING") == main_socket, "wrong_socket for the right socket");
        return;
    case DropReason::unknown_session:
    case DropReason::wrong_address:
    case DropReason::duplicate_ping: break;
    default: return;
    }
    require(step.id.has_value() && (step.command == "INIT2" || step.command == "START" || step.command == "PING"),
            "session drop for a datagram without a session");
    const Session* session = run.modeled(*step.id, address);
    if (reason == DropReason::unknown_session) {
        require(session == nullptr, "unknown_session for a live session");
        require(step.command != "INIT2" || !is_cookie(*step.id, address, step.datagram.now),
                "INIT2 with a valid cookie refused as unknown_session");
    } else if (reason == DropReason::wrong_address) {
        finding("wrong_address, which sessions kept by address never give");
    } else {
        require(step.command == "PING" && session != nullptr && session->pinged &&
                    address_of(session->public_endpoint) == address,
                "duplicate_ping for a session without a train");
    }
}

void check_init_reply(Run& run, const Step& step, const Decision& decision, const Json::Value& answer)
{
    const auto& reply = *decision.reply;
    const udp::endpoint& source = step.datagram.source;
    require(!reply.proven && decision.init_answered, "INIT reply not marked as unproven");
    require(static_cast<double>(reply.bytes.size()) <=
                max_amplification * static_cast<double>(step.datagram.bytes.size()),
            "INIT reply outweighs its request beyond the amplification bound");
    require(has_exactly(answer, {"command", "session_id", "public_ip", "public_port"}), "INIT reply members");
    require(string_member(answer, "public_ip") == source.address().to_string() &&
                int_member(answer, "public_port") == source.port(),
            "INIT reply reports another address");
    const auto id = int_member(answer, "session_id");
    require(id == cookie_oracle().issue(source, step.datagram.now), "INIT reply's id is not its source's cookie");
    run.last_cookie = static_cast<std::int32_t>(*id);
}

void check_init2_reply(Run& run, Step& step, const Decision& decision, const Json::Value& answer)
{
    const udp::endpoint& source = step.datagram.source;
    require(has_exactly(answer, {"command", "session_id", "public_port_alt"}) &&
                int_member(answer, "public_port_alt") == source.port(),
            "INIT2 reply members");
    const std::int64_t id = *step.id;
    const bool cookie = is_cookie(id, address_of(source), step.datagram.now);
    Session* session = run.modeled(id, address_of(source));
    if (!decision.session_created) {
        require(session != nullptr && address_of(session->public_endpoint) == address_of(source),
                "INIT2 answered without a live session of its address");
        require(!(session->pinged && cookie), "finished session not replaced by an INIT2 with a valid cookie");
        session->alt_port = source.port();
        return;
    }

    require(cookie, "session created for an id that is not the cookie of the INIT2's address");
    if (session != nullptr) {
        require(session->pinged && address_of(session->public_endpoint) == address_of(source),
                "live session replaced before its train");
        // A finished session ends with its train, which reports it.
        run.model.erase(run.model.begin() + (session - run.model.data()));
    }
    if (run.model.size() >= max_sessions) {
        if (!run.model.front().pinged) step.ended.push_back(unpinged_report(run.model.front(), SessionEnd::evicted));
        run.model.erase(run.model.begin());
    }
    Session created;
    created.id = static_cast<std::int32_t>(id);
    created.public_endpoint =
        udp::endpoint(source.address(), static_cast<unsigned short>(static_cast<std::uint32_t>(id) >> cookie_mac_bits));
    created.alt_port = source.port();
    created.created = step.datagram.now;
    run.model.push_back(created);
}

void check_reply(Run& run, Step& step, const Decision& decision)
{
    const auto& reply = *decision.reply;
    require(reply.destination == step.datagram.source, "reply not sent back to the source");
    require(reply.from == ServerSocket::main && step.datagram.socket == ServerSocket::main,
            "reply from the extra socket, or to a datagram on it");
    require(answerable(reply.destination, run.settings), "reply to a source that must never be answered");

    const Json::Value answer = check_server_text(reply.bytes);
    require(step.request.has_value(), "reply to something that is not a JSON object");
    require(string_member(answer, "command") == step.command, "reply names another command");
    require(step.command == "INIT" || (step.id && int_member(answer, "session_id") == step.id),
            "reply for another session");
    require(!decision.session_created || step.command == "INIT2", "session created by something else than INIT2");
    require(reply.proven == (step.command != "INIT") && decision.init_answered == (step.command == "INIT"),
            "only an INIT reply goes to an unproven source");

    if (step.command == "INIT") {
        check_init_reply(run, step, decision, answer);
    } else if (step.command == "INIT2") {
        check_init2_reply(run, step, decision, answer);
    } else if (step.command == "START") {
        require(has_exactly(answer, {"command", "session_id", "extra_port"}) &&
                    int_member(answer, "extra_port") == run.settings.extra_port,
                "START reply members");
        const Session* session = run.modeled(*step.id, address_of(step.datagram.source));
        require(session != nullptr && address_of(session->public_endpoint) == address_of(step.datagram.source),
                "START answered without a live session of its address");
    } else {
        finding("reply to a command that gets none");
    }
    require_refused(reply.bytes, reply.destination, step.datagram.now, run.settings,
                    "a reply fed back to a server passes for a request");
}

void check_train(Run& run, const Step& step, const Decision& decision)
{
    const PingTrainOrder& order = *decision.ping_train;
    const udp::endpoint& source = step.datagram.source;
    require(step.datagram.socket == ServerSocket::extra && step.command == "PING" && step.id == order.session_id,
            "ping train for something that is not that session's PING on the extra port");
    Session* session = run.modeled(order.session_id, address_of(source));
    require(session != nullptr, "ping train for a session that is not live and proven");
    require(!session->pinged, "second ping train for one session");
    require(address_of(session->public_endpoint) == address_of(source), "ping train for a stranger's PING");
    require(order.destination == session->public_endpoint, "ping train not aimed at the INIT's source");
    require(answerable(order.destination, run.settings), "ping train towards a destination never to be sent to");

    const SessionReport& report = order.report;
    const Mapping mapping =
        source.port() == session->public_endpoint.port() ? Mapping::endpoint_independent : Mapping::endpoint_dependent;
    require(report.id == session->id && report.public_endpoint == session->public_endpoint &&
                report.alt_port == session->alt_port && report.ping_source == source && report.mapping == mapping &&
                report.end == SessionEnd::completed,
            "ping train's report differs from the session");
    session->pinged = true;

    for (int number = 1; number <= punchprobe::default_ping_count; ++number) {
        const std::string ping = punchprobe::make_server_ping(order.session_id, number);
        const Json::Value root = check_server_text(ping);
        require(has_exactly(root, {"command", "session_id", "ping_number"}) &&
                    string_member(root, "command") == "PING" && int_member(root, "session_id") == order.session_id &&
                    int_member(root, "ping_number") == number,
                "server PING members");
        require_refused(ping, order.destination, step.datagram.now, run.settings,
                        "a server PING fed back to a server passes for a request");
    }
}

void check_ended(const Decision& decision, const Step& step)
{
    require(decision.ended.size() == step.ended.size(), "the table reported other sessions than expired or evicted");
    for (std::size_t i = 0; i < step.ended.size(); ++i) {
        const SessionReport& got = decision.ended[i];
        const SessionReport& expected = step.ended[i];
        require(got.id == expected.id && got.end == expected.end && got.public_endpoint == expected.public_endpoint &&
                    got.alt_port == expected.alt_port && got.mapping == Mapping::unknown && !got.ping_source &&
                    got.pings_sent == 0,
                "report of an ended session differs from the session");
    }
}

void check_table(Run& run)
{
    require(run.state.sessions.size() <= max_sessions, "table grew past its cap");
    require(run.state.sessions.size() == run.model.size(), "table holds sessions that no INIT2 created");
    for (const Session& expected : run.model) {
        const Session* held = run.state.sessions.find(expected.id, address_of(expected.public_endpoint));
        require(held != nullptr && held->public_endpoint == expected.public_endpoint &&
                    held->alt_port == expected.alt_port && held->pinged == expected.pinged &&
                    held->created == expected.created,
                "table's session differs from what its datagrams made of it");
    }
}

void check(Run& run, Step& step, const Decision& decision)
{
    if (decision.drop) {
        require(!decision.reply && !decision.ping_train && !decision.session_created && !decision.init_answered,
                "a drop that still answers");
    } else {
        require(decision.reply.has_value() != decision.ping_train.has_value(),
                "neither a drop nor exactly one answer");
    }

    if (step.source->screen == Screen::own_socket)
        require(decision.drop == DropReason::own_socket, "datagram from the server's own socket not dropped as such");
    else if (step.source->screen == Screen::bad_source)
        require(decision.drop == DropReason::bad_source, "datagram from a source no client has not dropped as such");
    else if (step.datagram.bytes.size() > punchprobe::max_request_size)
        require(decision.drop == DropReason::oversized, "oversized datagram not dropped as such");

    if (decision.drop) check_drop(run, step, *decision.drop);
    if (decision.reply) check_reply(run, step, decision);
    if (decision.ping_train) check_train(run, step, decision);
    check_ended(decision, step);
    check_table(run);
}

// The re-sends due before the next datagram, against the model.
void check_resends(Run& run, ServerClock::time_point now)
{
    require(run.state.sessions.scheduled_resends() <= run.model.size(), "a re-send waits without its session");
    for (const punchprobe::OutboundDatagram& again :
         punchprobe::due_resends(run.state, run.settings, now, max_sessions + 1)) {
        require(again.from == ServerSocket::main && again.proven && answerable(again.destination, run.settings),
                "a re-send from the wrong socket or to where nothing may go");
        const auto answer = parse_object(again.bytes);
        require(answer.has_value(), "a re-send that is no JSON object");
        const auto id = int_member(*answer, "session_id");
        const Session* session = id ? run.modeled(*id, address_of(again.destination)) : nullptr;
        require(session != nullptr && !session->pinged, "a re-send to no live, unpinged session at that address");
        require(again.bytes == punchprobe::make_init2_reply(session->id, session->alt_port) ||
                    again.bytes == punchprobe::make_start_reply(session->id, extra_port),
                "a re-send that is not the session's INIT2 or START reply");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    require_sound_oracle();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Run run;
    ServerClock::time_point now(start_time);

    std::size_t at = 0;
    for (std::size_t record = 0; record < max_records && at + 3 <= size; ++record) {
        const std::uint8_t header = data[at];
        std::size_t length = data[at + 1] | (static_cast<std::size_t>(data[at + 2]) << 8);
        at += 3;
        if (length > size - at) length = size - at;

        Step step;
        step.datagram.bytes.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        if ((header & 0x80) && run.last_cookie)
            step.datagram.bytes = with_session_id(step.datagram.bytes, *run.last_cookie);
        step.datagram.socket = (header & 1) ? ServerSocket::extra : ServerSocket::main;
        step.source = &sources[(header >> 1) & 15];
        step.datagram.source = udp::endpoint(make_address_v4(step.source->address), step.source->port);
        now += steps[(header >> 5) & 3];
        step.datagram.now = now;
        check_resends(run, now);

        step.request = parse_object(step.datagram.bytes);
        if (step.request) {
            step.command = string_member(*step.request, "command");
            step.id = int_member(*step.request, "session_id");
        }
        // The table expires sessions before it looks at the datagram.
        while (!run.model.empty() && run.model.front().created + ttl <= now) {
            if (!run.model.front().pinged)
                step.ended.push_back(unpinged_report(run.model.front(), SessionEnd::expired));
            run.model.erase(run.model.begin());
        }

        const Decision decision = punchprobe::handle_datagram(step.datagram, run.state, run.settings);
        check(run, step, decision);
    }
    return 0;
}
