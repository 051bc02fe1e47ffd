#include "bench/amplification.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/garbage_flood.hpp"
#include "bench/probe_socket.hpp"
#include "bench/wire.hpp"

namespace punchprobe_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long made_up_id = 123456789;

// Everything that reaches `probes` until `wait` is up. A step of the
// session expects an answer: the wait then starts at its first datagram,
// which may take up to the client's own 10 s on a busy machine. The first
// datagram read from probes[0] is kept in `first`, for the session's next
// step.
void collect(const std::vector<const Probe*>& probes, std::chrono::milliseconds wait, AmplificationRow& row,
             bool expect_answer, std::string* first = nullptr)
{
    auto deadline = Clock::now() + (expect_answer ? std::chrono::milliseconds(10000) : wait);
    std::vector<pollfd> fds;
    for (const Probe* probe : probes) fds.push_back(pollfd{probe->fd(), POLLIN, 0});
    // Bounded by the deadline; every pass either reads or sleeps in poll.
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) <= 0) continue;
        for (std::size_t index = 0; index < fds.size(); ++index) {
            if (!(fds[index].revents & POLLIN)) continue;
            char buffer[2048];
            const ssize_t n = recv(fds[index].fd, buffer, sizeof buffer - 1, 0);
            if (n < 0) continue;
            if (expect_answer && row.datagrams_back == 0) deadline = Clock::now() + wait;
            ++row.datagrams_back;
            row.bytes_back += static_cast<std::size_t>(n);
            if (first != nullptr && index == 0 && first->empty()) first->assign(buffer, static_cast<std::size_t>(n));
        }
    }
}

// The request a stranger sends, given its own socket's address and port.
struct StrangerRequest {
    std::string name;
    bool to_extra;
    std::string bytes;
};

std::vector<StrangerRequest> stranger_requests(std::uint32_t address, unsigned short port)
{
    std::vector<StrangerRequest> requests = {
        {"INIT", false, init_request(port)},
        {"INIT2, made-up id", false, init2_request(port, made_up_id)},
        {"START, made-up id", false, start_request(made_up_id)},
        {"PING, made-up id", true, ping_request(made_up_id)},
        // What a server sends, posing as a request: must not be taken for one.
        {"INIT reply shape", false,
         "{\"command\":\"INIT\",\"public_ip\":\"" + dotted(address) + "\",\"public_port\":" + std::to_string(port) +
             ",\"session_id\":" + std::to_string(made_up_id) + "}\n"},
        {"PING reply shape", true,
         "{\"command\":\"PING\",\"ping_number\":1,\"session_id\":" + std::to_string(made_up_id) + "}\n"},
    };
    for (const FloodKind kind : junk_kinds()) requests.push_back({flood_kind_name(kind), false, junk_payload(kind)});
    return requests;
}

// Sends `bytes` from `from` and adds a row with what reached `listen`.
void measure(std::vector<AmplificationRow>& rows, bool proven, const std::string& request, const Probe& from,
             const std::vector<const Probe*>& listen, const std::string& bytes, bool to_extra, unsigned short to_port,
             std::chrono::milliseconds wait, std::string* reply = nullptr)
{
    AmplificationRow row;
    row.proven = proven;
    row.request = request;
    row.port = to_extra ? "extra" : "main";
    row.bytes_in = bytes.size();
    from.send(bytes, to_port);
    collect(listen, wait, row, proven, reply);
    rows.push_back(row);
}

}  // namespace

std::vector<AmplificationRow> measure_amplification(unsigned short main_port, unsigned short extra_port,
                                                    std::chrono::milliseconds wait)
{
    // 127.100.100.100 and up: fifteen characters, the longest an address
    // can be in the INIT reply.
    std::uint32_t next_address = 0x7F646464u;
    std::vector<AmplificationRow> rows;
    // Every request gets a fresh source; the list is the same for each, only
    // the one at `index` is sent.
    const std::size_t count = stranger_requests(next_address, 0).size();
    for (std::size_t index = 0; index < count; ++index) {
        const Probe probe(next_address++);
        const StrangerRequest request = stranger_requests(probe.address(), probe.port())[index];
        measure(rows, false, request.name, probe, {&probe}, request.bytes, request.to_extra,
                request.to_extra ? extra_port : main_port, wait);
    }

    // One whole session, as the client runs it: INIT from the primary
    // socket, INIT2 and START from the alternate one, PING to the extra port.
    const Probe primary(next_address);
    const Probe alternate(next_address);
    const std::vector<const Probe*> on_primary = {&primary, &alternate};
    const std::vector<const Probe*> on_alternate = {&alternate, &primary};
    std::string reply;
    long id = 0;
    long extra = 0;
    measure(rows, true, "INIT", primary, on_primary, init_request(primary.port()), false, main_port, wait, &reply);
    if (!find_int(reply.c_str(), "\"session_id\":", id)) return rows;
    reply.clear();
    measure(rows, true, "INIT2", alternate, on_alternate, init2_request(alternate.port(), id), false, main_port,
            wait, &reply);
    if (reply.empty()) return rows;
    reply.clear();
    measure(rows, true, "START", alternate, on_alternate, start_request(id), false, main_port, wait, &reply);
    if (!find_int(reply.c_str(), "\"extra_port\":", extra)) return rows;
    measure(rows, true, "PING", primary, on_primary, ping_request(id), true, static_cast<unsigned short>(extra),
            wait);
    return rows;
}

void print_amplification(const std::vector<AmplificationRow>& rows, std::chrono::milliseconds wait)
{
    std::printf("amplification wait_ms=%lld (UDP payload bytes; what reached the sending socket, or either socket "
                "of the session, within the wait)\n",
                static_cast<long long>(wait.count()));
    std::printf("%-9s %-18s %-5s %8s %14s %10s %6s\n", "source", "request", "to", "bytes_in", "datagrams_back",
                "bytes_back", "factor");
    for (const AmplificationRow& row : rows)
        std::printf("%-9s %-18s %-5s %8zu %14zu %10zu %6.2f\n", row.proven ? "session" : "stranger",
                    row.request.c_str(), row.port, row.bytes_in, row.datagrams_back, row.bytes_back,
                    row.bytes_in ? static_cast<double>(row.bytes_back) / static_cast<double>(row.bytes_in) : 0.0);
    std::fflush(stdout);
}

}  // namespace punchprobe_bench
