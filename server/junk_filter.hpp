#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "server/server_counters.hpp"

namespace punchprobe {

// The longest request the server reads. The client's longest, an INIT2 with
// the widest numbers, is 92 bytes; the rest is margin.
constexpr std::size_t max_request_size = 256;

// Requests are flat objects: one level of braces, nothing inside.
constexpr int max_request_depth = 1;

// Refuses junk before a JSON parser sees it, in one pass over the bytes: a
// general parser spends far more on some junk (thousands of open brackets)
// than on a request. Nothing when the datagram may be a request.
std::optional<DropReason> screen_junk(std::string_view bytes);

}  // namespace punchprobe
