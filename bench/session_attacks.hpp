#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace punchprobe_test {
class ChildProcess;
}

namespace punchprobe_bench {

// A server on 127.0.0.1 that writes its session lines (no --quiet) to the
// standard output that `output` reads.
struct AttackedServer {
    unsigned short main_port = 0;
    unsigned short extra_port = 0;
    punchprobe_test::ChildProcess* output = nullptr;
};

struct PingSweepResult {
    std::uint64_t sent = 0;
    std::uint64_t send_errors = 0;
    // Forged PINGs that carried the session's own id.
    std::uint64_t right_id_sent = 0;
    // A PING of the train reached the INIT's socket before the session sent
    // its own.
    bool train_before_own_ping = false;
    // Own PINGs sent until the train came: the sweep's guesses spend the
    // tokens the session's own PING needs too, so the first may be refused.
    int own_pings = 0;
    // PINGs that reached the INIT's socket, before and after the own PING.
    int pings = 0;
    // From the server's line for the session; "missing" when none came.
    std::string mapping = "missing";
    int pings_sent = -1;
};

// Opens one session from two sockets on 127.0.0.1 as the client does (INIT
// from the first, INIT2 and START from the second) and, before its PING,
// sends forged PINGs from the first socket's address and port to the extra
// port for `time`, at `rate` a second: the id's port is the session's, and
// the MACs are tried one after another from a random one on, round and
// round. Then the session PINGs from its first socket, as the client does.
// Throws NoRawSocket when no raw socket can be opened, std::runtime_error
// when the session could not be opened.
PingSweepResult run_ping_sweep(const AttackedServer& server, std::uint64_t rate, std::chrono::seconds time);

struct Init2ReplayResult {
    // PINGs of the session's own train, and the server's count of them.
    int first_train_pings = 0;
    int pings_sent = -1;
    // Answers to the replayed INIT2s.
    int init2_answered = 0;
    bool start_answered = false;
    // Trains whose first PING reached the INIT's socket, the session's own
    // included.
    int trains = 0;
};

// Runs one session to the end of its train, then sends its INIT2 again,
// byte for byte from the same socket, `replays` times at once (well within
// the id's cookie slot), followed by the START and the PING that would
// order another train. Whether that PING ordered one is known once the
// PING of a second session sent after it has been answered: the extra
// port's datagrams are read in order. Throws std::runtime_error when a
// session could not be opened.
Init2ReplayResult run_init2_replay(const AttackedServer& server, int replays);

}  // namespace punchprobe_bench
