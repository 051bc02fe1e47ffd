#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/server_process.hpp"

// Talking to punchprobe-server from a test: the requests that name a session
// and the session id in a reply (its listening line: support/server_process.hpp).
namespace punchprobe_test {

// A request that names session `id` and carries nothing else: INIT2, START
// or PING as `command`.
std::string with_id(const std::string& command, const std::string& id);
std::string with_id(const std::string& command, std::int32_t id);

// The session id of an INIT reply, as the server wrote it; nothing when the
// reply names none.
std::optional<std::string> session_id_in(const std::string& reply);

}  // namespace punchprobe_test
