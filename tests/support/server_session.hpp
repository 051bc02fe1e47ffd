#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/server_process.hpp"

// Talking to punchprobe-server from a test: the session id in a reply (the
// requests: support/scripted_server.hpp; its listening line:
// support/server_process.hpp).
namespace punchprobe_test {

// The session id of an INIT reply, as the server wrote it; nothing when the
// reply names none.
std::optional<std::string> session_id_in(const std::string& reply);

}  // namespace punchprobe_test
