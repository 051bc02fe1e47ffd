#include "server/datagram_handler.hpp"

#include <exception>
#include <initializer_list>
#include <memory>

#include <json/reader.h>

#include "protocol/command_dispatch.hpp"
#include "protocol/protocol_constants.hpp"
#include "protocol/punchprobe_message.hpp"

namespace punchprobe {

using boost::asio::ip::udp;

namespace {

// The client's own decoder forgives a lot (comments, a broken-off object,
// trailing bytes); the server accepts only one clean JSON object, so that
// junk from the network is dropped instead of half-read.
std::unique_ptr<Json::CharReader> make_strict_reader()
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // Deep nesting fits in a small datagram; keep the reader's recursion short.
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

void reply_from_main(Decision& decision, std::string bytes, const udp::endpoint& destination)
{
    decision.reply = OutboundDatagram{std::move(bytes), destination, ServerSocket::main};
}

// Every datagram of one command has the same members, so each kind is
// refilled in one message per thread rather than built afresh: the server
// writes several datagrams per session and most of their cost was building
// the document.
PunchprobeMessage prepared(const std::string& command, std::initializer_list<const char*> members)
{
    PunchprobeMessage message;
    message.command_name = command;
    for (const char* member : members) message.root[member] = Json::Value();
    message.finish();
    return message;
}

std::string make_init_reply(std::int32_t session_id, const udp::endpoint& source)
{
    thread_local PunchprobeMessage reply = prepared(command_init, {"session_id", "public_ip", "public_port"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["public_ip"] = Json::Value(source.address().to_string());
    reply.root["public_port"] = Json::Value(source.port());
    return reply.encode();
}

std::string make_init2_reply(std::int32_t session_id, const udp::endpoint& source)
{
    thread_local PunchprobeMessage reply = prepared(command_init2, {"session_id", "public_port_alt"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["public_port_alt"] = Json::Value(source.port());
    return reply.encode();
}

std::string make_start_reply(std::int32_t session_id, unsigned short extra_port)
{
    thread_local PunchprobeMessage reply = prepared(command_start, {"session_id", "extra_port"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["extra_port"] = Json::Value(extra_port);
    return reply.encode();
}

// Returns the drop reason, or nothing when `decision` holds the answer.
std::optional<DropReason> decide(const InboundDatagram& datagram, SessionTable& table,
                                 const HandlerSettings& settings, Decision& decision)
{
    if (datagram.bytes.size() > max_request_size) return DropReason::oversized;

    PunchprobeMessage message;
    if (!parse_strict(datagram.bytes, message.root))
        return DropReason::malformed;

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

    if (command == Command::init) {
        SessionTable::Created created = table.create(datagram.source, datagram.now);
        if (created.evicted) decision.ended.push_back(*created.evicted);
        decision.session_created = true;
        reply_from_main(decision, make_init_reply(created.id, datagram.source), datagram.source);
        return std::nullopt;
    }

    const Json::Value& session_id = message.root["session_id"];
    if (!session_id.isInt()) return DropReason::malformed;
    Session* session = table.find(session_id.asInt());
    if (session == nullptr) return DropReason::unknown_session;
    // Only the address is compared: the ports are what the test measures.
    if (datagram.source.address() != session->public_endpoint.address())
        return DropReason::wrong_address;

    switch (command) {
    case Command::init2:
        session->alt_port = datagram.source.port();
        reply_from_main(decision, make_init2_reply(session->id, datagram.source), datagram.source);
        return std::nullopt;
    case Command::start:
        reply_from_main(decision, make_start_reply(session->id, settings.extra_port), datagram.source);
        return std::nullopt;
    case Command::ping: {
        // One train per session bounds what anyone can make us send to an
        // address.
        if (session->pinged) return DropReason::duplicate_ping;
        session->pinged = true;
        PingTrainOrder order;
        order.session_id = session->id;
        // To the INIT's source, not the PING's: only a router that kept the
        // same mapping for the extra port lets these through.
        order.destination = session->public_endpoint;
        order.report.id = session->id;
        order.report.public_endpoint = session->public_endpoint;
        order.report.alt_port = session->alt_port;
        order.report.mapping = datagram.source.port() == session->public_endpoint.port()
                                   ? Mapping::endpoint_independent
                                   : Mapping::endpoint_dependent;
        order.report.ping_source = datagram.source;
        order.report.end = SessionEnd::completed;
        decision.ping_train = std::move(order);
        return std::nullopt;
    }
    case Command::init: break;
    }
    return std::nullopt;
}

}  // namespace

Decision handle_datagram(const InboundDatagram& datagram, SessionTable& table,
                         const HandlerSettings& settings) noexcept
{
    Decision decision;
    try {
        // Expire first, so that a session past its time is unknown even when
        // the sweep has not come round yet.
        decision.ended = table.expire(datagram.now);
        decision.drop = decide(datagram, table, settings, decision);
    } catch (const std::exception&) {
        // JsonCpp's own exceptions (its reader throws on deep nesting) and
        // anything else a hostile datagram might provoke: drop it, keep
        // serving, and still report the sessions that ended on the way.
        decision.reply.reset();
        decision.ping_train.reset();
        decision.drop = DropReason::malformed;
    }
    return decision;
}

std::string make_server_ping(std::int32_t session_id, int ping_number)
{
    thread_local PunchprobeMessage ping = prepared(command_ping, {"session_id", "ping_number"});
    ping.root["session_id"] = Json::Value(session_id);
    ping.root["ping_number"] = Json::Value(ping_number);
    return ping.encode();
}

}  // namespace punchprobe
