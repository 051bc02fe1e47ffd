#include "protocol/command_dispatch.hpp"

#include "protocol/protocol_constants.hpp"

namespace punchprobe {

Command command_of(PunchprobeMessage& message)
{
    const Json::Value& command = message.root["command"];
    if (command == Json::Value(command_init)) return Command::init;
    if (command == Json::Value(command_init2)) return Command::init2;
    if (command == Json::Value(command_start)) return Command::start;
    if (command == Json::Value(command_ping)) return Command::ping;
    throw std::runtime_error("Unsupported PunchprobeMessage command");
}

}  // namespace punchprobe
