#include "bench/garbage_flood.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace punchprobe_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int batch = 64;

sockaddr_in loopback(unsigned short port, unsigned last_octet)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(0x7F000000u | last_octet);
    return address;
}

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

GarbageFlood::GarbageFlood(const FloodSettings& settings) : settings_(settings)
{
    thread_ = std::thread(&GarbageFlood::run, this);
}

GarbageFlood::~GarbageFlood()
{
    stop();
}

FloodResult GarbageFlood::stop()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return result_;
}

void GarbageFlood::run()
{
    std::mt19937 random(20240601);
    const std::vector<std::string> payloads = fixed_payloads(random);
    const char* spoofed_formats[] = {
        "{\"command\":\"INIT2\",\"local_port_alt\":40001,\"protocol\":\"Punchprobe\",\"session_id\":%d}\n",
        "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":%d}\n",
        "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":%d}\n",
    };

    std::vector<int> sockets;
    for (int index = 0; index < settings_.sources; ++index) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const sockaddr_in source = loopback(0, 20 + static_cast<unsigned>(index));
        if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            // Reported as a flood that sent nothing, rather than ending the
            // process from this thread.
            std::perror("punchprobe-bench: flood socket");
            if (fd >= 0) close(fd);
            continue;
        }
        sockets.push_back(fd);
    }
    if (sockets.empty()) return;
    const sockaddr_in targets[] = {loopback(settings_.main_port, 1), loopback(settings_.extra_port, 1)};

    std::vector<std::string> spoofed(batch);
    std::vector<mmsghdr> messages(batch);
    std::vector<iovec> vectors(batch);
    const auto started = Clock::now();
    std::uint64_t next = 0;
    std::uint64_t attempted = 0;
    while (!stopping_) {
        // Due by now at the set rate; sent in batches, the rest of the time
        // asleep, so the rate stays even instead of bursting.
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const auto due = static_cast<std::uint64_t>(seconds * static_cast<double>(settings_.rate));
        if (attempted >= due) {
            usleep(200);
            continue;
        }
        const int count = static_cast<int>(std::min<std::uint64_t>(batch, due - attempted));
        const int fd = sockets[next % sockets.size()];
        for (int index = 0; index < count; ++index, ++next) {
            const std::string* payload;
            if (next % 2 == 0) {
                char text[160];
                const int id = static_cast<int>(random() & 0x7FFFFFFF);
                std::snprintf(text, sizeof text, spoofed_formats[(next / 2) % 3], id);
                spoofed[index] = text;
                payload = &spoofed[index];
            } else {
                payload = &payloads[(next / 2) % payloads.size()];
            }
            vectors[index].iov_base = const_cast<char*>(payload->data());
            vectors[index].iov_len = payload->size();
            messages[index] = mmsghdr{};
            messages[index].msg_hdr.msg_iov = &vectors[index];
            messages[index].msg_hdr.msg_iovlen = 1;
            messages[index].msg_hdr.msg_name = const_cast<sockaddr_in*>(&targets[(next / 3) % 2]);
            messages[index].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        attempted += static_cast<std::uint64_t>(count);
        const int sent = std::max(0, sendmmsg(fd, messages.data(), static_cast<unsigned>(count), 0));
        result_.sent += static_cast<std::uint64_t>(sent);
        result_.send_errors += static_cast<std::uint64_t>(count - sent);
    }

    // Whatever the server answered is still queued on the flood sockets.
    char buffer[2048];
    for (const int fd : sockets) {
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++result_.replies;
        close(fd);
    }
}

}  // namespace punchprobe_bench
