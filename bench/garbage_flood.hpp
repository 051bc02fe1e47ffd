#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace punchprobe_test {
class ForgedUdpSender;
}

namespace punchprobe_bench {

// What the flood thread sends.
enum class FloodKind {
    // INIT2, START and PING with random ids alternating with a pool of junk,
    // to both ports.
    mixed,
    // Client-shaped INITs from random forged sources 127.x.y.z (x >= 1) and
    // ports >= 1024, through a raw socket (needs root).
    init_forged,
    // Client-shaped INITs from 127.0.0.20, plain sockets.
    init_one_host,
    // Client-shaped INITs from the victim's address and random ports >=
    // 1024, through a raw socket: they spend the INIT tokens of the address
    // the victim's own INIT needs.
    init_at_victim,
    // Client-shaped INIT2s from the victim's address and random ports, with
    // random ids (or ids naming one port), through a raw socket: each
    // spends a proof token of the address and the port its id names.
    init2_at_victim,
    // One fixed datagram per junk class, to the main port; see junk_payload.
    junk_brackets,
    junk_deep,
    junk_nul,
    junk_oversized,
    junk_text,
    junk_broken_json,
    junk_not_request,
};

// "mixed", "init-forged", ... "junk-not-request"; false for an unknown name.
bool parse_flood_kind(const std::string& name, FloodKind& kind);
const char* flood_kind_name(FloodKind kind);
// Every name, comma-separated, for the help text.
std::string flood_kind_names();
bool is_junk_kind(FloodKind kind);
bool is_init_kind(FloodKind kind);
// Sent from forged sources through a raw socket (needs root).
bool is_forged_kind(FloodKind kind);
const std::vector<FloodKind>& junk_kinds();
// The one datagram a junk kind sends, over and over.
std::string junk_payload(FloodKind kind);

struct FloodSettings {
    FloodKind kind = FloodKind::mixed;
    unsigned short main_port = 0;
    unsigned short extra_port = 0;
    // Datagrams per second, spread evenly over the run.
    std::uint64_t rate = 100000;
    // Flood sources: 127.0.0.20 .. 127.0.0.(20 + sources - 1), never a
    // client's address, so a spoofed id that happens to be live still comes
    // from the wrong address. init-one-host puts all of them on 127.0.0.20.
    int sources = 4;
    // The address the *-at-victim kinds forge, host order; on 127.0.0.0/8,
    // so that the server's answers stay on this machine.
    std::uint32_t victim = 0x7F000001u;
    // The port init2-at-victim's ids name; 0: a random one per datagram.
    unsigned short victim_id_port = 0;
};

// A flood or an attack needs a raw socket and none can be opened here.
class NoRawSocket : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FloodResult {
    std::uint64_t sent = 0;
    std::uint64_t send_errors = 0;
    // Anything the server sent back to a flood source: nothing, except for
    // the INIT kinds. Forged sources cannot see their replies.
    std::uint64_t replies = 0;
    // Of those, INIT2 answers to the mixed flood's made-up ids: an id is a
    // short MAC, and now and then a guess is right (about 2 in 32,768).
    std::uint64_t guessed_ids_answered = 0;
    bool replies_seen = true;

    // Replies there should not have been.
    std::uint64_t unexpected_replies() const { return replies - guessed_ids_answered; }
};

// Sends one kind of hostile datagram to the server from its own thread until
// stop_sending() or stop(). Throws NoRawSocket from the constructor when the kind needs a raw
// socket and none can be opened.
class GarbageFlood {
public:
    explicit GarbageFlood(const FloodSettings& settings);
    ~GarbageFlood();
    GarbageFlood(const GarbageFlood&) = delete;
    GarbageFlood& operator=(const GarbageFlood&) = delete;

    // Sent so far; may be read while the flood runs.
    std::uint64_t sent() const { return sent_; }

    // Ends the sending; the sources stay open, so that answers the server
    // still owes them are counted by stop().
    void stop_sending();
    // Ends the sending if it still runs, counts the answers queued on the
    // sources and closes them.
    FloodResult stop();

private:
    void run();

    FloodSettings settings_;
    std::unique_ptr<punchprobe_test::ForgedUdpSender> forged_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> sent_{0};
    FloodResult result_;
    // Opened by the flood's thread, read and closed by stop() after it ends.
    std::vector<int> sockets_;
    std::thread thread_;
};

}  // namespace punchprobe_bench
