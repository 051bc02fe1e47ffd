#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

namespace punchprobe {

// The server's side of the wire: its replies and PINGs as the client reads
// them. Each builder returns one datagram, compact JSON ending in a line feed.
std::string make_init_reply(std::int32_t session_id, const std::string& public_ip, int public_port);
std::string make_init2_reply(std::int32_t session_id, int public_port_alt);
std::string make_start_reply(std::int32_t session_id, int extra_port);
// The server's PING number `ping_number` of a session's train.
std::string make_server_ping(std::int32_t session_id, int ping_number);

// The local port of an INIT byte for byte as the client writes it (its port
// 1024 to 65535), or none: anything else, however equal as JSON, goes the
// full way through the parser and the request checks. The server's fast
// path for the one request a flood is made of.
std::optional<int> client_init_port(std::string_view bytes);

// The client's reads of a reply, member by member in this order. A missing
// member reads as 0 or empty text; a value JsonCpp cannot convert throws its
// own exception, which ends the client's run.
struct InitReply {
    int session_id = 0;
    std::string public_ip;
    int public_port = 0;
};
InitReply read_init_reply(const Json::Value& root);
int read_public_port_alt(const Json::Value& root);
int read_extra_port(const Json::Value& root);
// Only printed, so a number or text alike.
std::string read_ping_number(const Json::Value& root);

}  // namespace punchprobe
