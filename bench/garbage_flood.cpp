#include "bench/garbage_flood.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "bench/wire.hpp"
#include "support/forged_udp.hpp"

namespace punchprobe_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int batch = 64;

struct KindName {
    FloodKind kind;
    const char* name;
};

const KindName kind_names[] = {
    {FloodKind::mixed, "mixed"},
    {FloodKind::init_forged, "init-forged"},
    {FloodKind::init_one_host, "init-one-host"},
    {FloodKind::init_at_victim, "init-at-victim"},
    {FloodKind::init2_at_victim, "init2-at-victim"},
    {FloodKind::junk_brackets, "junk-brackets"},
    {FloodKind::junk_deep, "junk-deep"},
    {FloodKind::junk_nul, "junk-nul"},
    {FloodKind::junk_oversized, "junk-oversized"},
    {FloodKind::junk_text, "junk-text"},
    {FloodKind::junk_broken_json, "junk-broken-json"},
    {FloodKind::junk_not_request, "junk-not-request"},
};

// A pool of hostile payloads made once, so that the flood costs the sender
// little and the server sees a steady mix. Spoofed ids are drawn per
// datagram.
std::vector<std::string> fixed_payloads(std::mt19937& random)
{
    std::vector<std::string> payloads = {
        "",
        "hello",
        "{",
        "{\"command\":\"INIT2\",\"session_id\":",
        "[1,2,3]",
        "42",
        "\"PING\"",
        "null",
        "{\"command\":\"init\"}",
        "{\"command\":5,\"session_id\":1}",
        "{\"command\":\"PING\",\"session_id\":\"1\"}",
        "{\"command\":\"START\",\"session_id\":1.5}",
        "{\"command\":\"PING\"}",
        "{\"command\":\"START\",\"session_id\":99999999999}",
        "// comment\n{\"command\":\"PING\",\"session_id\":1}",
        std::string(1500, 'x'),
        std::string(64, '[') ,
        std::string(1024, '{'),
    };
    for (int count = 0; count < 8; ++count) {
        std::string bytes(1 + random() % 200, '\0');
        for (char& byte : bytes) byte = static_cast<char>(random());
        payloads.push_back(bytes);
    }
    return payloads;
}

}  // namespace

bool parse_flood_kind(const std::string& name, FloodKind& kind)
{
    for (const KindName& entry : kind_names) {
        if (name != entry.name) continue;
        kind = entry.kind;
        return true;
    }
    return false;
}

const char* flood_kind_name(FloodKind kind)
{
    for (const KindName& entry : kind_names)
        if (entry.kind == kind) return entry.name;
    return "?";
}

std::string flood_kind_names()
{
    std::string names;
    for (const KindName& entry : kind_names) names += (names.empty() ? "" : ", ") + std::string(entry.name);
    return names;
}

bool is_junk_kind(FloodKind kind)
{
    const std::vector<FloodKind>& junk = junk_kinds();
    return std::find(junk.begin(), junk.end(), kind) != junk.end();
}

bool is_init_kind(FloodKind kind)
{
    return kind == FloodKind::init_forged || kind == FloodKind::init_one_host || kind == FloodKind::init_at_victim;
}

bool is_forged_kind(FloodKind kind)
{
    return kind == FloodKind::init_forged || kind == FloodKind::init_at_victim ||
           kind == FloodKind::init2_at_victim;
}

const std::vector<FloodKind>& junk_kinds()
{
    static const std::vector<FloodKind> kinds = {
        FloodKind::junk_brackets, FloodKind::junk_deep,        FloodKind::junk_nul,
        FloodKind::junk_oversized, FloodKind::junk_text,       FloodKind::junk_broken_json,
        FloodKind::junk_not_request,
    };
    return kinds;
}

std::string junk_payload(FloodKind kind)
{
    switch (kind) {
    case FloodKind::junk_brackets: return std::string(34, '[');
    case FloodKind::junk_deep:
        // 200 bytes, under the request size limit, so that only the nesting
        // is wrong.
        return "{\"a\":" + std::string(97, '[') + std::string(97, ']') + "}";
    case FloodKind::junk_nul: {
        std::string text = "{\"command\":\"PING\",\"protocol\":\"Punch?probe\",\"session_id\":12345}\n";
        text[text.find('?')] = '\0';
        return text;
    }
    case FloodKind::junk_oversized: {
        // A well-formed INIT but for its padding, as long as a full
        // Ethernet frame's payload allows.
        std::string text = "{\"command\":\"INIT\",\"local_port\":40000,\"protocol\":\"Punchprobe\",\"padding\":\"";
        text.append(1400 - text.size() - 3, 'x');
        return text + "\"}\n";
    }
    case FloodKind::junk_text: return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: probe\r\n\r\n";
    case FloodKind::junk_broken_json:
        // Parsed to its very end before it fails: the closing brace is missing.
        return "{\"command\":\"INIT\",\"local_port\":40000,\"protocol\":\"Punchprobe\"\n";
    case FloodKind::junk_not_request:
        // Valid JSON and a known command; the port is a string.
        return "{\"command\":\"INIT\",\"local_port\":\"40000\",\"protocol\":\"Punchprobe\"}\n";
    case FloodKind::mixed:
    case FloodKind::init_forged:
    case FloodKind::init_one_host:
    case FloodKind::init_at_victim:
    case FloodKind::init2_at_victim: break;
    }
    return std::string();
}

GarbageFlood::GarbageFlood(const FloodSettings& settings) : settings_(settings)
{
    if (is_forged_kind(settings_.kind)) {
        // Forged sources must not reach past this machine.
        if (settings_.victim >> 24 != 127) throw std::invalid_argument("the victim address must be on 127.0.0.0/8");
        std::string why_not;
        forged_ = punchprobe_test::ForgedUdpSender::create(why_not);
        if (!forged_) throw NoRawSocket(std::string("flood kind ") + flood_kind_name(settings_.kind) + ": " + why_not);
        result_.replies_seen = false;
    }
    thread_ = std::thread(&GarbageFlood::run, this);
}

GarbageFlood::~GarbageFlood()
{
    stop();
}

void GarbageFlood::stop_sending()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

FloodResult GarbageFlood::stop()
{
    stop_sending();
    char buffer[2048];
    for (const int fd : sockets_) {
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT)) >= 0;) {
            ++result_.replies;
            buffer[n] = '\0';
            if (settings_.kind == FloodKind::mixed && std::strstr(buffer, "\"command\":\"INIT2\"") != nullptr)
                ++result_.guessed_ids_answered;
        }
        close(fd);
    }
    sockets_.clear();
    result_.sent = sent_;
    return result_;
}

void GarbageFlood::run()
{
    using boost::asio::ip::address_v4;
    using boost::asio::ip::udp;

    std::mt19937 random(20240601);
    const std::vector<std::string> payloads = fixed_payloads(random);
    const std::string junk = junk_payload(settings_.kind);

    std::vector<int>& sockets = sockets_;
    // Each socket's INIT names the socket's own port, as the client's does.
    std::vector<std::string> inits;
    for (int index = 0; index < settings_.sources && !forged_; ++index) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const unsigned last_octet = settings_.kind == FloodKind::init_one_host ? 20 : 20 + static_cast<unsigned>(index);
        const sockaddr_in source = ipv4_endpoint(0x7F000000u | last_octet, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            // Reported as a flood that sent nothing, rather than ending the
            // process from this thread.
            std::perror("punchprobe-bench: flood socket");
            if (fd >= 0) close(fd);
            continue;
        }
        // Room for the INIT kinds' answers between two drains.
        const int receive_buffer = 4 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        sockets.push_back(fd);
        inits.push_back(init_request(ntohs(bound.sin_port)));
    }
    if (sockets.empty() && !forged_) return;
    const sockaddr_in targets[] = {ipv4_endpoint(INADDR_LOOPBACK, settings_.main_port),
                                   ipv4_endpoint(INADDR_LOOPBACK, settings_.extra_port)};
    const udp::endpoint forged_target(address_v4::loopback(), settings_.main_port);

    std::vector<std::string> spoofed(batch);
    std::vector<mmsghdr> messages(batch);
    std::vector<iovec> vectors(batch);
    std::string forged;
    char text[160];
    char buffer[2048];
    const auto started = Clock::now();
    std::uint64_t next = 0;
    std::uint64_t attempted = 0;
    std::uint64_t rounds = 0;
    while (!stopping_) {
        // INIT answers are read as they come, so that a full queue does not
        // hide them; bounded, so that the sending goes on. The other kinds
        // expect none and look once at the end.
        if (settings_.kind == FloodKind::init_one_host)
            for (const int fd : sockets)
                for (int reads = 0; reads < 4 * batch && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0;
                     ++reads)
                    ++result_.replies;

        // Due by now at the set rate; sent in batches, the rest of the time
        // asleep, so the rate stays even instead of bursting.
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const auto due = static_cast<std::uint64_t>(seconds * static_cast<double>(settings_.rate));
        if (attempted >= due) {
            usleep(200);
            continue;
        }
        const int count = static_cast<int>(std::min<std::uint64_t>(batch, due - attempted));
        attempted += static_cast<std::uint64_t>(count);

        if (forged_) {
            for (int index = 0; index < count; ++index) {
                std::uint32_t address = settings_.victim;
                // x >= 1 keeps clear of the clients (127.0.0.N) and the
                // server; the last octet avoids .0 and .255.
                if (settings_.kind == FloodKind::init_forged)
                    address = 0x7F000000u | (1 + random() % 254) << 16 | (random() % 256) << 8 | (1 + random() % 254);
                unsigned short port = 0;
                if (settings_.kind == FloodKind::init2_at_victim) {
                    // The INIT2 comes from the alternate port, above 1024 in
                    // a request; the id names an INIT's port, and the server
                    // issues none below 1024.
                    port = static_cast<unsigned short>(1025 + random() % (65536 - 1025));
                    const unsigned long id_port =
                        settings_.victim_id_port != 0 ? settings_.victim_id_port : 1024 + random() % (65536 - 1024);
                    const long id = static_cast<long>(id_port << 15 | (random() & 0x7FFF));
                    forged.assign(text, static_cast<std::size_t>(format_init2(text, sizeof text, port, id)));
                } else {
                    // Below the system's ephemeral ports (32768 up), where the
                    // real client's sockets are: on this host every 127.x
                    // address is local, and an answer to a forged source
                    // would otherwise reach the client now and then, as it
                    // never would across the Internet.
                    port = static_cast<unsigned short>(1024 + random() % (32768 - 1024));
                    forged.assign(text, static_cast<std::size_t>(format_init(text, sizeof text, port)));
                }
                if (forged_->send(udp::endpoint(address_v4(address), port), forged_target, forged))
                    ++sent_;
                else
                    ++result_.send_errors;
            }
            continue;
        }

        // Batches take turns among the sources.
        const std::size_t socket_index = rounds++ % sockets.size();
        for (int index = 0; index < count; ++index, ++next) {
            const std::string* payload = &junk;
            const sockaddr_in* target = &targets[0];
            if (settings_.kind == FloodKind::init_one_host) {
                payload = &inits[socket_index];
            } else if (settings_.kind == FloodKind::mixed) {
                if (next % 2 == 0) {
                    const long id = static_cast<long>(random() & 0x7FFFFFFF);
                    switch ((next / 2) % 3) {
                    case 0: format_init2(text, sizeof text, 40001, id); break;
                    case 1: format_start(text, sizeof text, id); break;
                    default: format_ping(text, sizeof text, id); break;
                    }
                    spoofed[index] = text;
                    payload = &spoofed[index];
                } else {
                    payload = &payloads[(next / 2) % payloads.size()];
                }
                target = &targets[(next / 3) % 2];
            }
            vectors[index].iov_base = const_cast<char*>(payload->data());
            vectors[index].iov_len = payload->size();
            messages[index] = mmsghdr{};
            messages[index].msg_hdr.msg_iov = &vectors[index];
            messages[index].msg_hdr.msg_iovlen = 1;
            messages[index].msg_hdr.msg_name = const_cast<sockaddr_in*>(target);
            messages[index].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        const int sent = std::max(0, sendmmsg(sockets[socket_index], messages.data(), static_cast<unsigned>(count), 0));
        sent_ += static_cast<std::uint64_t>(sent);
        result_.send_errors += static_cast<std::uint64_t>(count - sent);
    }
}

}  // namespace punchprobe_bench
