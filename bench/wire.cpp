#include "bench/wire.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace punchprobe_bench {

int format_init(char* out, std::size_t size, unsigned local_port)
{
    return std::snprintf(out, size, "{\"command\":\"INIT\",\"local_port\":%u,\"protocol\":\"Punchprobe\"}\n",
                         local_port);
}

int format_init2(char* out, std::size_t size, unsigned local_port_alt, long session_id)
{
    return std::snprintf(
        out, size, "{\"command\":\"INIT2\",\"local_port_alt\":%u,\"protocol\":\"Punchprobe\",\"session_id\":%ld}\n",
        local_port_alt, session_id);
}

int format_start(char* out, std::size_t size, long session_id)
{
    return std::snprintf(out, size, "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":%ld}\n",
                         session_id);
}

int format_ping(char* out, std::size_t size, long session_id)
{
    return std::snprintf(out, size, "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":%ld}\n",
                         session_id);
}

std::string init_request(unsigned local_port)
{
    char text[160];
    return std::string(text, static_cast<std::size_t>(format_init(text, sizeof text, local_port)));
}

std::string init2_request(unsigned local_port_alt, long session_id)
{
    char text[160];
    return std::string(text, static_cast<std::size_t>(format_init2(text, sizeof text, local_port_alt, session_id)));
}

std::string start_request(long session_id)
{
    char text[160];
    return std::string(text, static_cast<std::size_t>(format_start(text, sizeof text, session_id)));
}

std::string ping_request(long session_id)
{
    char text[160];
    return std::string(text, static_cast<std::size_t>(format_ping(text, sizeof text, session_id)));
}

bool find_int(const char* text, const char* key, long& value)
{
    const char* at = std::strstr(text, key);
    if (at == nullptr) return false;
    char* end = nullptr;
    value = std::strtol(at + std::strlen(key), &end, 10);
    return end != at + std::strlen(key);
}

sockaddr_in ipv4_endpoint(std::uint32_t address, unsigned short port)
{
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = htonl(address);
    return endpoint;
}

}  // namespace punchprobe_bench
