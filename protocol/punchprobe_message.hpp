#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace punchprobe {

// One test message: a JSON document and the command to write into it when it
// is finished for sending. A message serves one send or one dispatch.
class PunchprobeMessage {
public:
    PunchprobeMessage() = default;

    // Decodes a received text. Bad JSON is not reported: root keeps whatever
    // the reader built (null for a text that is no JSON at all).
    explicit PunchprobeMessage(const std::string& text);

    // Builders: each is called once, on a fresh message, and returns the
    // datagram to send.
    std::string make_init(int local_port);
    std::string make_init2(int session_id, int local_port_alt);
    std::string make_start(int session_id);
    std::string make_ping(int session_id);

    // Adds "protocol" and "command", then encodes.
    std::string finish();

    // Compact JSON, members in key order, one line feed at the end.
    std::string encode() const;

    Json::Value root;
    std::string command_name;
};

// The text the client takes from a received datagram: what fits its buffer
// (client_receive_buffer_size; a longer datagram arrives cut), up to the
// first NUL byte, if any.
std::string received_text(const char* bytes, std::size_t size);

}  // namespace punchprobe
