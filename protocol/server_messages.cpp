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
    thread_local PunchprobeMessage reply = prepared(command_init, {"session_id", "public_ip", "public_port"});
    reply.root["session_id"] = Json::Value(session_id);
    reply.root["public_ip"] = Json::Value(public_ip);
    reply.root["public_port"] = Json::Value(public_port);
    return reply.encode();
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
