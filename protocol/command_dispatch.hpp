#pragma once

#include <stdexcept>

#include "protocol/punchprobe_message.hpp"

namespace punchprobe {

enum class Command { init, init2, start, ping };

// Selects the handler of a received message by its "command" member alone.
// The member is taken through the modifying access, so a null root becomes an
// object and a root of any other non-object kind makes JsonCpp throw its
// logic error. Equality is JSON equality: a non-string never matches.
// Throws std::runtime_error "Unsupported PunchprobeMessage command" when
// nothing matches.
Command command_of(PunchprobeMessage& message);

}  // namespace punchprobe
