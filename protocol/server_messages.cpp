#include "protocol/server_messages.hpp"

#include <initializer_list>

#include "protocol/protocol_constants.hpp"
#include "protocol/punchprobe_message.hpp"

namespace punchprobe {

namespace {

// Every datagram of one command has the same members, so each kind is
// refilled in one message per thread rather than built afresh: the server
// writes several datagrams per session and most of their cost was building
// the document. Server datagrams carry no protocol member: the client never
// reads it, and without it the largest INIT reply (93 bytes) stays within
// 1.6 times the smallest INIT (60).
PunchprobeMessage prepared(const std::string& command, std::initializer_list<const char*> members)
{
    PunchprobeMessage message;
    message.root["command"] = Json::Value(command);
    for (const char* member : members) message.root[member] = Json::Value();
    return message;
}

}  // namespace

std::string make_init_reply(std::int32_t session_id, const std::string& public_ip, int public_port)
{
    // Written out rather than through JsonCpp: the reply every INIT gets,
    // forged ones included, in the writer's own bytes (members in name
    // order, no blanks, a line feed); the tests hold the two to each other.
    std::string reply;
    reply.reserve(96);
    reply += "{\"command\":\"";
    reply += command_init;
    reply += "\",\"public_ip\":\"";
    reply += public_ip;
    reply += "\",\"public_port\":";
    reply += std::to_string(public_port);
    reply += ",\"session_id\":";
    reply += std::to_string(session_id);
    reply += "}\n";
    return reply;
}

std::optional<int> client_init_port(std::string_view bytes)
{
    static const std::string head = "{\"command\":\"" + command_init + "\",\"local_port\":";
    static const std::string tail = ",\"protocol\":\"" + protocol_tag + "\"}\n";
    if (bytes.size() < head.size() + 4 + tail.size() || bytes.size() > head.size() + 5 + tail.size()) return std::nullopt;
    if (bytes.substr(0, head.size()) != head || bytes.substr(bytes.size() - tail.size()) != tail) return std::nullopt;
    const std::string_view digits = bytes.substr(head.size(), bytes.size() - head.size() - tail.size());
    int port = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        port = port * 10 + (digit - '0');
    }
    if (digits[0] == '0' || port < 1024 || port > 65535) return std::nullopt;
    return port;
}

std::string make_init2_reply(std::int32_t session_id, int public_port_alt)
{
    thread_local PunchprobeMessage reply = prepared(command_init2, {"session_id", "public_port_alt"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["public_port_alt"] = Json::Value(public_port_alt);
    return reply.encode();
}

std::string make_start_reply(std::int32_t session_id, int extra_port)
{
    thread_local PunchprobeMessage reply = prepared(command_start, {"session_id", "extra_port"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["extra_port"] = Json::Value(extra_port);
    return reply.encode();
}

std::string make_server_ping(std::int32_t session_id, int ping_number)
{
    thread_local PunchprobeMessage ping = prepared(command_ping, {"session_id", "ping_number"});
    ping.root["session_id"] = Json::Value(session_id);
    ping.root["ping_number"] = Json::Value(ping_number);
    return ping.encode();
}

InitReply read_init_reply(const Json::Value& root)
{
    InitReply reply;
    reply.session_id = root["session_id"].asInt();
    reply.public_ip = root["public_ip"].asString();
    reply.public_port = root["public_port"].asInt();
    return reply;
}

int read_public_port_alt(const Json::Value& root) { return root["public_port_alt"].asInt(); }

int read_extra_port(const Json::Value& root) { return root["extra_port"].asInt(); }

std::string read_ping_number(const Json::Value& root) { return root["ping_number"].asString(); }

}  // namespace punchprobe
