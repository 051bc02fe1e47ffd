// Drives the server's datagram handler with a sequence of datagrams, each
// from a chosen source and socket at a chosen moment, against one session
// table. After every datagram it checks the rules that keep the server from
// being abused: handle_datagram never throws out (it is noexcept, so a throw
// would terminate), the table stays within its cap, and nothing is answered
// unless it belongs to a live session from the same address, except an INIT
// on the main port, which creates one.
//
// Input: records of one header byte, a 16-bit little-endian length and that
// many payload bytes. Header bits: 0 the socket (main, extra); 1-2 the source
// address; 3-4 the source port; 5-7 how far the clock moves first.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "protocol/protocol_constants.hpp"
#include "protocol/punchprobe_message.hpp"
#include "server/datagram_handler.hpp"
#include "server/session_table.hpp"

namespace {

using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::Decision;
using punchprobe::InboundDatagram;
using punchprobe::ServerClock;
using punchprobe::ServerSocket;
using punchprobe::Session;
using punchprobe::SessionEnd;
using punchprobe::SessionTable;

constexpr std::chrono::seconds ttl{60};
// Small, so that eviction happens within a few records.
constexpr std::size_t max_sessions = 4;
// Ids cycle through 1..8: few enough to guess and to check one by one, and
// with at most four in use there is always a free one.
constexpr std::int32_t id_cycle = 8;
constexpr unsigned short extra_port = 30001;
constexpr std::size_t max_records = 64;

const std::array<const char*, 4> addresses = {"127.0.0.1", "127.0.0.2", "203.0.113.7", "198.51.100.1"};
const std::array<unsigned short, 4> ports = {40000, 40001, 50000, 65535};
const std::array<ServerClock::duration, 8> steps = {
    std::chrono::seconds(0), std::chrono::milliseconds(1), std::chrono::seconds(1), ttl / 2,
    ttl - std::chrono::nanoseconds(1), ttl, ttl + std::chrono::seconds(1), ttl * 10};

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "server_datagram_fuzzer: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition) finding(what);
}

// An independent look at a datagram: a JSON object, or nothing. More lenient
// than the server (deeper nesting allowed), so whatever the server accepts
// this accepts too.
std::optional<Json::Value> parse_object(const std::string& bytes)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &errors)) return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt;
    }
    if (!root.isObject()) return std::nullopt;
    return root;
}

std::string string_member(const Json::Value& root, const char* name)
{
    const Json::Value& value = root[name];
    return value.isString() ? value.asString() : std::string();
}

std::optional<std::int32_t> int_member(const Json::Value& root, const char* name)
{
    const Json::Value& value = root[name];
    if (!value.isInt()) return std::nullopt;
    return value.asInt();
}

// What the client's encoder, FastWriter, makes of a value.
std::string fast_writer_text(const Json::Value& root)
{
    punchprobe::PunchprobeMessage message;
    message.root = root;
    return message.encode();
}

using Snapshot = std::array<std::optional<Session>, id_cycle + 1>;

Snapshot live_sessions(SessionTable& table, ServerClock::time_point now)
{
    Snapshot snapshot;
    for (std::int32_t id = 1; id <= id_cycle; ++id) {
        Session* session = table.find(id);
        if (session != nullptr && session->created + ttl > now) snapshot[id] = *session;
    }
    return snapshot;
}

const Session* live(const Snapshot& snapshot, std::int32_t id)
{
    if (id < 1 || id > id_cycle || !snapshot[id]) return nullptr;
    return &*snapshot[id];
}

void check_reply(const InboundDatagram& datagram, const Decision& decision, const Snapshot& before,
                 SessionTable& table)
{
    const auto& reply = *decision.reply;
    require(reply.destination == datagram.source, "reply not sent back to the source");
    require(reply.from == ServerSocket::main, "reply from the extra socket");
    require(datagram.socket == ServerSocket::main, "reply to a datagram on the extra socket");
    require(!reply.bytes.empty() && reply.bytes.size() <= 1024 && reply.bytes.back() == '\n',
            "reply larger than the client reads, or without its line feed");
    require(reply.bytes.find('\0') == std::string::npos, "NUL byte in a reply");

    const auto answer = parse_object(reply.bytes);
    require(answer.has_value(), "reply is not a JSON object");
    require(fast_writer_text(*answer) == reply.bytes, "reply differs from FastWriter's text of it");
    const auto request = parse_object(datagram.bytes);
    require(request.has_value(), "reply to something that is not a JSON object");
    const std::string command = string_member(*request, "command");
    require(string_member(*answer, "command") == command, "reply names another command");
    const auto answered_id = int_member(*answer, "session_id");
    require(answered_id.has_value(), "reply without a session id");

    if (command == "INIT") {
        require(decision.session_created, "INIT answered without a new session");
        const Session* created = table.find(*answered_id);
        require(created != nullptr && created->public_endpoint == datagram.source &&
                    created->created == datagram.now,
                "INIT reply names no fresh session of its source");
        require(string_member(*answer, "public_ip") == datagram.source.address().to_string() &&
                    int_member(*answer, "public_port") == datagram.source.port(),
                "INIT reply reports another address");
        return;
    }

    require(command == "INIT2" || command == "START", "reply to a command that gets none");
    require(!decision.session_created, "session created by something else than INIT");
    require(int_member(*request, "session_id") == answered_id, "reply for another session");
    const Session* session = live(before, *answered_id);
    require(session != nullptr, "reply for a session that is not live");
    require(session->public_endpoint.address() == datagram.source.address(),
            "reply to a stranger's address");
    if (command == "INIT2") {
        require(int_member(*answer, "public_port_alt") == datagram.source.port(), "INIT2 reply port");
        const Session* now = table.find(*answered_id);
        require(now != nullptr && now->alt_port == datagram.source.port(), "INIT2 port not stored");
    } else {
        require(int_member(*answer, "extra_port") == extra_port, "START reply port");
    }
}

void check_ping_train(const InboundDatagram& datagram, const Decision& decision, const Snapshot& before,
                      SessionTable& table)
{
    const auto& order = *decision.ping_train;
    require(datagram.socket == ServerSocket::extra, "ping train for a PING on the main port");
    require(!decision.session_created, "session created by a PING");
    const auto request = parse_object(datagram.bytes);
    require(request.has_value() && string_member(*request, "command") == "PING" &&
                int_member(*request, "session_id") == order.session_id,
            "ping train for something that is not that session's PING");
    const Session* session = live(before, order.session_id);
    require(session != nullptr, "ping train for a session that is not live");
    require(!session->pinged, "second ping train for one session");
    require(session->public_endpoint.address() == datagram.source.address(),
            "ping train for a stranger's PING");
    require(order.destination == session->public_endpoint, "ping train not aimed at the INIT's source");
    const Session* now = table.find(order.session_id);
    require(now != nullptr && now->pinged, "session not marked as pinged");
}

void check_ended(const InboundDatagram& datagram, const Decision& decision, const Snapshot& before,
                 const Snapshot& held)
{
    for (const auto& report : decision.ended) {
        require(report.id >= 1 && report.id <= id_cycle && held[report.id].has_value(),
                "report of a session that was not in the table");
        const Session& session = *held[report.id];
        require(!session.pinged, "pinged session reported by the table");
        if (report.end == SessionEnd::expired)
            require(session.created + ttl <= datagram.now, "session reported expired before its time");
        else if (report.end == SessionEnd::evicted)
            require(decision.session_created && live(before, report.id) != nullptr,
                    "eviction without a new session");
        else
            finding("the table reported a completed session");
    }
}

void check(const InboundDatagram& datagram, const Decision& decision, const Snapshot& before,
           const Snapshot& held, SessionTable& table)
{
    require(table.size() <= max_sessions, "table grew past its cap");
    if (decision.drop) {
        require(!decision.reply && !decision.ping_train && !decision.session_created,
                "a drop that still answers");
    } else {
        require(decision.reply.has_value() != decision.ping_train.has_value(),
                "neither a drop nor exactly one answer");
    }
    if (decision.session_created)
        require(datagram.socket == ServerSocket::main && decision.reply, "session created without an INIT reply");
    if (decision.reply) check_reply(datagram, decision, before, table);
    if (decision.ping_train) check_ping_train(datagram, decision, before, table);
    check_ended(datagram, decision, before, held);
}

// Every session in the table, live or not yet swept.
Snapshot held_sessions(SessionTable& table)
{
    Snapshot snapshot;
    for (std::int32_t id = 1; id <= id_cycle; ++id)
        if (Session* session = table.find(id)) snapshot[id] = *session;
    return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::int32_t next_id = 0;
    SessionTable table(ttl, max_sessions, [&next_id] { return next_id++ % id_cycle + 1; });
    punchprobe::HandlerSettings settings;
    settings.extra_port = extra_port;
    ServerClock::time_point now{};

    std::size_t at = 0;
    for (std::size_t record = 0; record < max_records && at + 3 <= size; ++record) {
        const std::uint8_t header = data[at];
        std::size_t length = data[at + 1] | (static_cast<std::size_t>(data[at + 2]) << 8);
        at += 3;
        if (length > size - at) length = size - at;

        InboundDatagram datagram;
        datagram.bytes.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        datagram.socket = (header & 1) ? ServerSocket::extra : ServerSocket::main;
        datagram.source = udp::endpoint(make_address_v4(addresses[(header >> 1) & 3]), ports[(header >> 3) & 3]);
        now += steps[(header >> 5) & 7];
        datagram.now = now;

        const Snapshot before = live_sessions(table, now);
        const Snapshot held = held_sessions(table);
        const Decision decision = punchprobe::handle_datagram(datagram, table, settings);
        check(datagram, decision, before, held, table);
    }
    return 0;
}
