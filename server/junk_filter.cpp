#include "server/junk_filter.hpp"

namespace punchprobe {

namespace {

bool is_json_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::optional<DropReason> screen_junk(std::string_view bytes)
{
    if (bytes.size() > max_request_size) return DropReason::oversized;

    std::size_t first = 0;
    while (first < bytes.size() && is_json_blank(bytes[first])) ++first;
    if (first == bytes.size() || bytes[first] != '{') return DropReason::not_object;

    // Brackets inside strings are text, not nesting; the parser decides
    // later whether the string itself is well formed.
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t at = first; at < bytes.size(); ++at) {
        const char c = bytes[at];
        if (c == '\0') return DropReason::nul_byte;
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            continue;
        }
        switch (c) {
        case '"': in_string = true; break;
        case '{':
        case '[':
            if (++depth > max_request_depth) return DropReason::too_deep;
            break;
        case '}':
        case ']': --depth; break;
        // Outside strings a slash can only open a comment, which no request
        // has and JsonCpp takes even in its strict mode.
        case '/': return DropReason::malformed;
        default: break;
        }
    }
    return std::nullopt;
}

}  // namespace punchprobe
