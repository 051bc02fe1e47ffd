#pragma once

#include <string>

namespace punchprobe {

// Value of the "protocol" member of every outgoing message.
extern const std::string protocol_tag;

// Command names; the server's replies carry the same name as the request.
extern const std::string command_init;
extern const std::string command_init2;
extern const std::string command_start;
extern const std::string command_ping;

}  // namespace punchprobe
