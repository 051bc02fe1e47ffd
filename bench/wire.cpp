#include "bench/wire.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "protocol/punchprobe_message.hpp"

namespace punchprobe_bench {

using punchprobe::PunchprobeMessage;

namespace {

// A request as the client's own builder writes it, cut around its numbers:
// the bench sends the client's bytes without paying for JSON on its hot
// path. Built once from the builder's output with marker numbers no request
// text can contain otherwise.
class RequestShape {
public:
    RequestShape(const std::string& text, std::initializer_list<long> markers)
    {
        std::vector<std::pair<std::size_t, std::size_t>> found;  // position, marker index
        std::size_t index = 0;
        for (const long marker : markers) found.emplace_back(text.find(std::to_string(marker)), index++);
        std::sort(found.begin(), found.end());
        std::size_t from = 0;
        for (const auto& [at, marker] : found) {
            pieces_.push_back(text.substr(from, at - from));
            order_.push_back(marker);
            from = at + std::to_string(*(markers.begin() + marker)).size();
        }
        pieces_.push_back(text.substr(from));
    }

    // The request with `values` in place of the markers, in the markers'
    // order; returns the length as snprintf does.
    int format(char* out, std::size_t size, std::initializer_list<long> values) const
    {
        std::string text = pieces_[0];
        for (std::size_t i = 0; i < order_.size(); ++i) {
            char number[24];
            const int n = std::snprintf(number, sizeof number, "%ld", *(values.begin() + order_[i]));
            text.append(number, static_cast<std::size_t>(n));
            text += pieces_[i + 1];
        }
        if (size > 0) {
            const std::size_t copied = std::min(size - 1, text.size());
            std::memcpy(out, text.data(), copied);
            out[copied] = '\0';
        }
        return static_cast<int>(text.size());
    }

private:
    std::vector<std::string> pieces_;
    std::vector<std::size_t> order_;
};

constexpr long marker_a = 1111111111;
constexpr long marker_b = 1222222221;

const RequestShape& init_shape()
{
    static const RequestShape shape(PunchprobeMessage().make_init(marker_a), {marker_a});
    return shape;
}

const RequestShape& init2_shape()
{
    static const RequestShape shape(PunchprobeMessage().make_init2(marker_b, marker_a), {marker_a, marker_b});
    return shape;
}

const RequestShape& start_shape()
{
    static const RequestShape shape(PunchprobeMessage().make_start(marker_a), {marker_a});
    return shape;
}

const RequestShape& ping_shape()
{
    static const RequestShape shape(PunchprobeMessage().make_ping(marker_a), {marker_a});
    return shape;
}

}  // namespace

int format_init(char* out, std::size_t size, unsigned local_port)
{
    return init_shape().format(out, size, {static_cast<long>(local_port)});
}

int format_init2(char* out, std::size_t size, unsigned local_port_alt, long session_id)
{
    return init2_shape().format(out, size, {static_cast<long>(local_port_alt), session_id});
}

int format_start(char* out, std::size_t size, long session_id)
{
    return start_shape().format(out, size, {session_id});
}

int format_ping(char* out, std::size_t size, long session_id)
{
    return ping_shape().format(out, size, {session_id});
}

std::string init_request(unsigned local_port)
{
    return PunchprobeMessage().make_init(static_cast<int>(local_port));
}

std::string init2_request(unsigned local_port_alt, long session_id)
{
    return PunchprobeMessage().make_init2(static_cast<int>(session_id), static_cast<int>(local_port_alt));
}

std::string start_request(long session_id)
{
    return PunchprobeMessage().make_start(static_cast<int>(session_id));
}

std::string ping_request(long session_id)
{
    return PunchprobeMessage().make_ping(static_cast<int>(session_id));
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
