#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/child_process.hpp"

// Talking to punchprobe-server from a test: the requests that name a session,
// the session id in a reply, and the line the server prints first.
namespace punchprobe_test {

// A request that names session `id` and carries nothing else: INIT2, START
// or PING as `command`.
std::string with_id(const std::string& command, const std::string& id);
std::string with_id(const std::string& command, std::int32_t id);

// The session id of an INIT reply, as the server wrote it; nothing when the
// reply names none.
std::optional<std::string> session_id_in(const std::string& reply);

// The server's first line, which scripts and operators rely on.
std::string listening_line(const std::string& address, unsigned short main, unsigned short extra);

struct Listening {
    std::string address;
    unsigned short main = 0;
    unsigned short extra = 0;
};

// Waits for the server's first line and reads its address and ports. Records
// a test failure and returns main == 0 when the line does not come or reads
// otherwise.
Listening wait_until_listening(ChildProcess& server);

}  // namespace punchprobe_test
