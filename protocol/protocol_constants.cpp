#include "protocol/protocol_constants.hpp"

namespace punchprobe {

const std::string protocol_tag = "Punchprobe";

const std::string command_init = "INIT";
const std::string command_init2 = "INIT2";
const std::string command_start = "START";
const std::string command_ping = "PING";

}  // namespace punchprobe
