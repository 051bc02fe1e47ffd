// Every decision of the test server, each once, on ServerCore alone: virtual
// time moved by hand, fixed cookie and limiter keys, and every effect
// written out as text (a datagram as "SOCKET > DESTINATION BYTES", "?>" when
// it goes to an unproven address; session lines as they are).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "server/server_core.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::ServerClock;
using punchprobe::ServerOptions;
using punchprobe::proven_address_memory;
using punchprobe::SessionCookies;
using punchprobe_test::client_init;
using punchprobe_test::client_init2;
using punchprobe_test::client_ping;
using punchprobe_test::client_start;
constexpr auto on_main = punchprobe::ServerSocket::main;
constexpr auto on_extra = punchprobe::ServerSocket::extra;

// On a cookie slot's boundary, so that slot arithmetic is exact.
const ServerClock::time_point t0 = ServerClock::time_point() + 1h;
const SessionCookies::Key cookie_key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

udp::endpoint at(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    return {make_address_v4(text.substr(0, colon)), static_cast<unsigned short>(std::stoi(text.substr(colon + 1)))};
}

std::int32_t cookie(const std::string& source, ServerClock::time_point when = t0)
{
    return SessionCookies(cookie_key).issue(at(source), when);
}

// `golden` with "{0}", "{1}", ... replaced by the ids.
std::string fill(std::string golden, const std::vector<std::int32_t>& ids)
{
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string mark = "{" + std::to_string(i) + "}";
        for (std::size_t found; (found = golden.find(mark)) != std::string::npos;)
            golden.replace(found, mark.size(), std::to_string(ids[i]));
    }
    return golden;
}

// The core on ports 30000 and 30001 with its clock in the test's hand. It
// plays the shell's part in the counts: every datagram is taken at once.
class Core {
public:
    explicit Core(const ServerOptions& options = {}) : core(options, 30000, 30001, cookie_key, 0x9e3779b97f4a7c15ULL)
    {
    }

    std::string on(const std::string& bytes, const std::string& source, punchprobe::ServerSocket socket = on_main)
    {
        return effects(core.on_datagram(bytes, at(source), socket, now));
    }
    std::string tick(ServerClock::duration since_t0)
    {
        now = t0 + since_t0;
        return effects(core.on_time(now));
    }
    std::string finish() { return effects(core.finish()); }
    // INIT from `primary`, INIT2 from `alternate`: a proven session's id.
    std::int32_t open(const std::string& primary, const std::string& alternate)
    {
        EXPECT_NE(on(client_init(at(primary).port()), primary), "") << primary;
        const std::int32_t id = cookie(primary, now);
        EXPECT_NE(on(client_init2(id, at(alternate).port()), alternate), "") << alternate;
        // A PING counts only after START's reply, as the client sends it.
        EXPECT_NE(on(client_start(id), alternate), "") << alternate;
        return id;
    }
    // The counters that are not 0, in the counters line's order.
    std::string counts() const
    {
        std::string shown;
        for (const punchprobe::CounterValue& value : punchprobe::counter_values(core.counters()))
            if (value.value != 0)
                shown += (shown.empty() ? "" : " ") + (value.key + ("=" + std::to_string(value.value)));
        return shown;
    }
    // The next deadline after t0, -1 ms for none.
    ServerClock::duration deadline() const { return core.next_deadline().value_or(t0 - 1ms) - t0; }

    ServerClock::time_point now = t0;
    punchprobe::ServerCore core;

private:
    std::string effects(punchprobe::Effects& effects)
    {
        std::string shown;
        for (const punchprobe::OutboundDatagram& sent : effects.datagrams) {
            const std::string& bytes = sent.bytes;
            shown += (shown.empty() ? "" : "\n") + std::string(sent.from == on_main ? "main" : "extra") +
                     (sent.proven ? " > " : " ?> ") + sent.destination.address().to_string() + ":" +
                     std::to_string(sent.destination.port()) + " " + bytes.substr(0, bytes.find_last_not_of('\n') + 1);
            if (sent.count_when_sent) ++(core.counters().*sent.count_when_sent);
        }
        for (const std::string& line : effects.lines) shown += (shown.empty() ? "" : "\n") + line;
        return shown;
    }
};

// One step of a transcript: a request at `at` after t0 (no bytes: a
// wake-up), and its effects, "{0}" and so on standing for the ids.
struct Step {
    ServerClock::duration at;
    std::string request;
    std::string source;
    punchprobe::ServerSocket socket;
    std::string effects;
};

Step wake(ServerClock::duration at, std::string effects)
{
    return {at, "", "", on_main, std::move(effects)};
}

void play(Core& core, const std::vector<Step>& steps, const std::vector<std::int32_t>& ids)
{
    for (const Step& step : steps) {
        SCOPED_TRACE(std::to_string(step.at / 1ms) + " ms: " + (step.request.empty() ? "wake-up" : step.request));
        core.now = t0 + step.at;
        EXPECT_EQ(step.request.empty() ? core.tick(step.at) : core.on(step.request, step.source, step.socket),
                  fill(step.effects, ids));
    }
}

ServerOptions with(int pings, std::chrono::milliseconds ping_interval, int resends = 0)
{
    ServerOptions options;
    options.pings = pings;
    options.ping_interval = ping_interval;
    options.resends = resends;
    return options;
}

std::string ping_to(const std::string& destination, int number, int id = 0)
{
    return "extra > " + destination + " {\"command\":\"PING\",\"ping_number\":" + std::to_string(number) +
           ",\"session_id\":{" + std::to_string(id) + "}}";
}

// The line of a session whose INIT came from `primary` and INIT2 from the
// next port; without a PING when `pings` is -1.
std::string line(int id, const std::string& primary, int pings = -1)
{
    return "session id={" + std::to_string(id) + "} public=" + primary +
           " alt_port=" + std::to_string(at(primary).port() + 1) + " alt_is_main_plus_1=yes mapping=" +
           (pings < 0 ? "unknown ping_source=none pings_sent=0"
                      : "endpoint-independent ping_source=" + primary + " pings_sent=" + std::to_string(pings));
}

// ------------------------------------------------------------ requests

TEST(ServerCore, ExchangeAnswersEachRequestAndPingsTheInitSourceFromTheExtraSocket)
{
    Core core(with(3, 50ms, 3));
    const std::string primary = "203.0.113.5:40000", alternate = "203.0.113.5:40007";
    const std::int32_t id = cookie(primary);
    EXPECT_EQ(id >> 15, 40000) << "the id carries the INIT's port";
    // The PING comes from yet another port, as behind a router whose
    // mapping depends on the destination: the train still goes to the INIT's
    // source, at once and then every --ping-interval, and once only.
    play(core,
         {{0ms, client_init(40000), primary, on_main,
           R"(main ?> 203.0.113.5:40000 {"command":"INIT","public_ip":"203.0.113.5","public_port":40000,)"
           R"("session_id":{0}})"},
          {0ms, client_init2(id, 40007), alternate, on_main,
           R"(main > 203.0.113.5:40007 {"command":"INIT2","public_port_alt":40007,"session_id":{0}})"},
          {300ms, client_start(id), alternate, on_main,
           R"(main > 203.0.113.5:40007 {"command":"START","extra_port":30001,"session_id":{0}})"},
          {400ms, client_ping(id), "203.0.113.5:50123", on_extra, ping_to(primary, 1)},
          wake(449ms, ""),
          wake(450ms, ping_to(primary, 2)),
          {470ms, client_ping(id), primary, on_extra, ""}, wake(499ms, ""),
          wake(500ms, ping_to(primary, 3) + "\nsession id={0} public=203.0.113.5:40000 alt_port=40007 "
                                            "alt_is_main_plus_1=no mapping=endpoint-dependent "
                                            "ping_source=203.0.113.5:50123 pings_sent=3"),
          wake(5s, "")},
         {id});
    EXPECT_EQ(core.counts(), "sessions=1 completed=1 endpoint_dependent=1 dropped_duplicate_ping=1 inits_answered=1 inits_fast_path=1");
    EXPECT_EQ(core.core.setup_times().count(), 1u);
    EXPECT_DOUBLE_EQ(core.core.setup_times().sum_seconds(), 0.4) << "from the proving INIT2 to the PING";
    // A finished session stays, silent, until its time is up.
    EXPECT_EQ(core.deadline(), 60s);
    EXPECT_EQ(core.tick(60s), "");
    EXPECT_EQ(core.deadline(), -1ms);
    EXPECT_EQ(core.core.live_sessions(), 0u);
}

TEST(ServerCore, TakesOnlyRequestsInTheClientsExactShapeAndNoJunk)
{
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/server_requests.txt");
    int cases = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string counts, socket, name, bytes;
        std::getline(fields, counts, '\t');
        std::getline(fields, socket, '\t');
        std::getline(fields, name, '\t');
        std::getline(fields, bytes);
        Core core;
        const std::string effects = core.on(punchprobe_test::unescaped(bytes), "203.0.113.5:40000", socket == "main" ? on_main : on_extra);
        EXPECT_EQ(core.counts(), counts) << name;
        EXPECT_EQ(effects.empty(), counts.rfind("inits_answered=1", 0) != 0) << name << ": " << effects;
        ++cases;
    }
    EXPECT_EQ(cases, 41);
}

TEST(ServerCore, RefusesSourcesThatCannotBeAClient)
{
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/server_sources.txt");
    int cases = 0;
    for (std::string source, bind, counts; table >> source;) {
        if (source[0] == '#' && std::getline(table, source)) continue;  // a comment line
        std::getline(table >> bind >> std::ws, counts);
        ServerOptions options;
        options.bind_address = make_address_v4(bind.substr(0, bind.find('+')));
        Core core(options);
        if (bind.back() == '+') core.core.set_local_addresses({make_address_v4("192.0.2.10")});
        const std::string effects = core.on(client_init(40000), source);
        EXPECT_EQ(core.counts(), counts) << source;
        EXPECT_EQ(effects.empty(), counts.rfind("inits_answered=1", 0) != 0) << source << " bound to " << bind;
        ++cases;
    }
    EXPECT_EQ(cases, 19);
}

TEST(ServerCore, OnlyTheIdFromTheInitsAddressWithinTwoSlotsProvesASession)
{
    const std::string p = "198.51.100.9:61000", q = "198.51.100.9:61001", elsewhere = "198.51.100.10:61001";
    const std::int32_t id = cookie(p), other_key = SessionCookies(SessionCookies::Key{}).issue(at(p), t0);
    const struct {
        const char* name;
        std::string request;
        std::string source;
        ServerClock::duration after_init;
        bool proven_first;  // an INIT2 from q came first
        const char* counts;
    } cases[] = {
        {"from the INIT's address, any port", client_init2(id, 7778), "198.51.100.9:7777", 0s, false, "sessions=1"},
        {"in the next slot", client_init2(id, 61001), q, 19s, false, "sessions=1"},
        {"two slots later", client_init2(id, 61001), q, 20s, false, "dropped_unknown_session=1"},
        {"from another address", client_init2(id, 61001), elsewhere, 0s, false, "dropped_unknown_session=1"},
        {"a changed MAC bit", client_init2(id ^ 1, 61001), q, 0s, false, "dropped_unknown_session=1"},
        {"another port, same MAC", client_init2(id + (1 << 15), 61001), q, 0s, false, "dropped_unknown_session=1"},
        {"negative", client_init2(-id, 61001), q, 0s, false, "dropped_unknown_session=1"},
        {"port 0 in the id", client_init2(5, 61001), q, 0s, false, "dropped_unknown_session=1"},
        {"another key", client_init2(other_key, 61001), q, 0s, false, "dropped_unknown_session=1"},
        {"START unproven", client_start(id), p, 0s, false, "dropped_unknown_session=1"},
        {"PING unproven", client_ping(id), p, 0s, false, "dropped_unknown_session=1"},
        // A guessed id for one of our own sockets must not aim a train at it.
        {"our own socket's id", client_init2(cookie("127.0.0.1:30000"), 40001), "127.0.0.1:40001", 0s, false,
         "dropped_own_socket=1"},
        // Once proven, the id still means nothing from another address.
        {"START from elsewhere", client_start(id), elsewhere, 0s, true, "dropped_unknown_session=1"},
        {"INIT2 from elsewhere", client_init2(id, 61001), elsewhere, 0s, true, "dropped_unknown_session=1"},
    };
    for (const auto& c : cases) {
        Core core;
        EXPECT_NE(core.on(client_init(61000), p), "");
        if (c.proven_first) {
            EXPECT_NE(core.on(client_init2(id, 61001), q), "");
        }
        core.core.counters() = {};
        core.now = t0 + c.after_init;
        const bool ping = c.request.find("PING") != std::string::npos;
        const std::string effects = core.on(c.request, c.source, ping ? on_extra : on_main);
        EXPECT_EQ(core.counts(), c.counts) << c.name;
        EXPECT_EQ(effects.empty(), std::string(c.counts) != "sessions=1") << c.name;
    }

    // The MAC spreads: 1,000 sources on one port give nearly 1,000 ids (15
    // bits of MAC: some 15 pairs collide by chance).
    std::set<std::int32_t> ids;
    for (int host = 1; host <= 1000; ++host)
        ids.insert(cookie("198.51." + std::to_string(100 + host / 250) + "." + std::to_string(host % 250) + ":50000"));
    EXPECT_GT(ids.size(), 960u);
}

// ------------------------------------------------------------ unproven addresses

TEST(ServerCore, InitRepliesAndProofsSpendTheirAddresssTokensProvenTrafficNone)
{
    ServerOptions rate_alone;
    rate_alone.init_budget = 0;
    Core core(rate_alone);  // 10 a second, 20 at once
    const auto answers = [&core](const std::string& request, const std::string& source, int times) {
        int answered = 0;
        for (int time = 0; time < times; ++time) answered += !core.on(request, source).empty();
        return answered;
    };
    const std::string flooder = "198.51.100.7:40000", guesser = "198.51.100.20:40000";
    EXPECT_EQ(answers(client_init(40000), flooder, 100), 20);
    EXPECT_EQ(answers(client_init(40000), "198.51.100.8:40000", 1), 1) << "another address, another bucket";
    core.now = t0 + 99ms;
    EXPECT_EQ(answers(client_init(40000), flooder, 1), 0);
    core.now = t0 + 100ms;
    EXPECT_EQ(answers(client_init(40000), flooder, 5), 1) << "a token every 100 ms";
    core.now = t0 + 1h;
    EXPECT_EQ(answers(client_init(40000), flooder, 100), 20) << "a quiet hour refills to the burst, not beyond";

    // Its proven session (a carrier-grade NAT's other user) is served in
    // full: a live session's INIT2 proves nothing anew.
    const std::int32_t id = cookie(flooder, core.now), right = cookie(guesser, core.now);
    EXPECT_EQ(answers(client_init2(id, 40001), "198.51.100.7:40001", 50), 50);
    EXPECT_EQ(answers(client_start(id), "198.51.100.7:40001", 50), 50);
    EXPECT_NE(core.on(client_ping(id), flooder, on_extra), "");
    EXPECT_EQ(core.counts(), "sessions=1 inits_answered=42 dropped_rate_limited=165 inits_fast_path=207");

    // Guessing ids: every failed proof costs a token of the address and the
    // port its id names.
    EXPECT_EQ(answers(client_init2(right ^ 1, 40000), guesser, 20), 0);
    EXPECT_EQ(answers(client_init2(right, 40000), guesser, 1), 0) << "the bucket is empty";
    core.now += 100ms;
    EXPECT_EQ(answers(client_init2(right, 40000), guesser, 1), 1);
    EXPECT_EQ(core.counts(), "sessions=2 dropped_unknown_session=20 inits_answered=42 dropped_rate_limited=166 inits_fast_path=207");

    // --init-rate 0: no limit on either.
    ServerOptions unlimited;
    unlimited.init_rate = 0;
    Core open(unlimited);
    open.now = core.now;
    for (int time = 0; time < 1000; ++time) open.on(client_init(40000), flooder);
    for (int time = 0; time < 100; ++time) open.on(client_init2(right ^ 1, 40000), guesser);
    open.on(client_init2(right, 40000), guesser);
    EXPECT_EQ(open.counts(), "sessions=1 dropped_unknown_session=100 inits_answered=1000 inits_fast_path=1000");
}

// Bytes sent to `destination` in `effects`, as the test's Core shows them.
std::size_t bytes_to(const std::string& effects, const std::string& destination)
{
    std::size_t bytes = 0;
    std::istringstream lines(effects);
    for (std::string line; std::getline(lines, line);) {
        const std::string head = "main ?> " + destination + " ";
        if (line.compare(0, head.size(), head) == 0) bytes += line.size() - head.size() + 1;  // and its line feed
    }
    return bytes;
}

TEST(ServerCore, PastItsRateAnAddressIsServedFromABudgetAndAProvenOneFromItsOwn)
{
    // 1,000 forged INITs a second bearing a client's address for 3 s: its
    // bucket is soon empty, but the shared budget answers them all, the
    // client's own INITs among them.
    Core core;  // 10 a second, 20 at once, then 500,000 bytes a second
    const std::string victim = "203.0.113.9";
    int client_answered = 0;
    std::size_t reflected = 0;
    for (int ms = 0; ms < 3000; ++ms) {
        core.now = t0 + std::chrono::milliseconds(ms);
        reflected += bytes_to(core.on(client_init(50000 + ms % 1000), victim + ":" + std::to_string(50000 + ms % 1000)),
                              victim + ":" + std::to_string(50000 + ms % 1000));
        if (ms % 300 == 150) client_answered += core.on(client_init(40000), victim + ":40000") != "";
    }
    EXPECT_EQ(client_answered, 10);
    EXPECT_EQ(core.counts(), "inits_answered=3010 inits_shared_budget=2961 inits_fast_path=3010");
    EXPECT_LT(reflected, 3000u * 93) << "at most one reply of at most 93 bytes to each forged INIT";

    // The budget is bounded: a flooder past its rate gets a second's worth
    // at once and then the budget's rate, and an unproven address whose own
    // bucket it cannot refill in time is refused while it lasts. A flooder
    // that proved a session itself spends its own allowance first (ten
    // times the rate and burst), never another proven address's, which
    // still gets its own.
    ServerOptions small;
    small.init_budget = 2000;
    Core tight(small);
    const std::int32_t id = tight.open("198.51.100.2:40000", "198.51.100.2:40001");
    tight.on(client_ping(id), "198.51.100.2:40000", on_extra);
    tight.open("192.0.2.66:30000", "192.0.2.66:30001");
    std::size_t flood_bytes = 0;
    for (int n = 0; n < 2000; ++n) {
        tight.now = t0 + std::chrono::milliseconds(n);
        flood_bytes += bytes_to(tight.on(client_init(40000), "192.0.2.66:40000"), "192.0.2.66:40000");
    }
    EXPECT_LE(flood_bytes, (20 + 2 * 10) * 93 + (200 + 2 * 100) * 93 + 2000 + 2 * 2000)
        << "the burst and rate, its allowance, then the budget's";
    for (int n = 0; n < 20; ++n) {
        tight.on(client_init(50000 + n), "203.0.113.9:" + std::to_string(50000 + n));
        tight.on(client_init(50000 + n), "198.51.100.2:" + std::to_string(50000 + n));
    }
    EXPECT_EQ(tight.on(client_init(40000), "203.0.113.9:40000"), "") << "both its bucket and the budget are spent";
    EXPECT_NE(tight.on(client_init(40002), "198.51.100.2:40002"), "") << "its own allowance";
    EXPECT_EQ(tight.counts(),
              "sessions=2 inits_answered=540 dropped_rate_limited=1504 inits_proven_allowance=398 "
              "inits_shared_budget=62 inits_fast_path=2044");

    // A budget smaller than a reply still holds a second's worth of 256
    // bytes at once: two replies past the burst of 20.
    ServerOptions tiny;
    tiny.init_budget = 1;
    Core trickle(tiny);
    for (int n = 0; n < 30; ++n) trickle.on(client_init(40000), "192.0.2.77:40000");
    EXPECT_EQ(trickle.counts(), "inits_answered=22 dropped_rate_limited=8 inits_shared_budget=2 inits_fast_path=30");

    // Ten minutes on, the proof is forgotten; with one slot, a newer proof
    // pushes an older one out (counted), and its allowance with it.
    small.proven_address_slots = 1;
    Core one_slot(small);
    one_slot.open("198.51.100.2:40000", "198.51.100.2:40001");
    one_slot.open("198.51.100.3:40000", "198.51.100.3:40001");
    for (int n = 0; n < 20; ++n) one_slot.on(client_init(50000 + n), "198.51.100.2:" + std::to_string(50000 + n));
    EXPECT_EQ(one_slot.counts(), "sessions=2 inits_answered=22 inits_shared_budget=1 proven_addresses_pushed_out=1 inits_fast_path=22")
        << "the pushed-out address past its rate pays from the shared budget";
    one_slot.now += proven_address_memory;
    one_slot.open("198.51.100.4:40000", "198.51.100.4:40001");
    EXPECT_EQ(one_slot.counts(),
              "sessions=3 expired=2 inits_answered=23 inits_shared_budget=1 proven_addresses_pushed_out=1 inits_fast_path=23")
        << "a proof ten minutes old is forgotten, not pushed out";
}

TEST(ServerCore, AnInitReplyStaysWithinItsBoundOfTheRequest)
{
    // The widest reply (highest unicast address, port, id) to the smallest
    // INIT the shape allows: 93 bytes for 60, within 1.6 times.
    const std::string smallest = R"({"command":"INIT","local_port":1024,"protocol":"Punchprobe"})";
    ASSERT_EQ(smallest.size(), 60u);
    Core core;
    const auto& widest = core.core.on_datagram(smallest, at("223.255.255.255:65535"), on_main, t0).datagrams;
    ASSERT_EQ(widest.size(), 1u);
    EXPECT_EQ(widest[0].bytes.size(), 93u);
    // The bound is enforced, not just met.
    ServerOptions strict;
    strict.max_amplification = 1.5;
    Core refusing(strict);
    EXPECT_EQ(refusing.on(smallest, "223.255.255.255:65535"), "");
    EXPECT_EQ(refusing.counts(), "dropped_amplification=1");
}

// ------------------------------------------------------------ sessions

TEST(ServerCore, SessionsLiveTheirTtlAndOnlyANewerProvenOnePushesOneOut)
{
    ServerOptions options = with(5, 50ms);
    options.session_ttl = 10s;
    options.max_sessions = 2;
    Core core(options);
    const std::string a = "192.0.2.1:5000", b = "192.0.2.2:5000", c = "192.0.2.3:5000";
    const std::int32_t ia = core.open(a, "192.0.2.1:5001");
    core.now = t0 + 1s;
    const std::int32_t ib = core.open(b, "192.0.2.2:5001"), ic = cookie(c, t0 + 2s);
    play(core,
         {{2s, client_init(5000), c, on_main,
           R"(main ?> 192.0.2.3:5000 {"command":"INIT","public_ip":"192.0.2.3","public_port":5000,"session_id":{2}})"},
          {2s, client_init2(ic, 5001), "192.0.2.3:5001", on_main,
           R"(main > 192.0.2.3:5001 {"command":"INIT2","public_port_alt":5001,"session_id":{2}})" "\n" + line(0, a)},
          {2s, client_start(ia), "192.0.2.1:5001", on_main, ""}},
         {ia, ib, ic});
    // INITs leave no state, so a flood of them pushes nobody out.
    for (int n = 0; n < 5000; ++n)
        core.on(client_init(2000 + n), "203.0.113." + std::to_string(n % 250) + ":" + std::to_string(2000 + n));
    EXPECT_EQ(core.core.live_sessions(), 2u);
    EXPECT_EQ(core.deadline(), 11s);
    play(core,
         {{11s - 1ms, client_start(ib), "192.0.2.2:5001", on_main,
           R"(main > 192.0.2.2:5001 {"command":"START","extra_port":30001,"session_id":{1}})"},
          wake(11s, line(1, b)),
          {11s, client_start(ib), "192.0.2.2:5001", on_main, ""},
          // Past its time a session is gone before any wake-up.
          {12s, client_start(ic), "192.0.2.3:5001", on_main, line(2, c)}},
         {ia, ib, ic});
    EXPECT_EQ(core.counts(), "sessions=3 expired=2 evicted=1 dropped_unknown_session=3 inits_answered=5003 inits_fast_path=5003");
    EXPECT_EQ(core.deadline(), -1ms);
}

// What forged requests bearing a client's address can do to its session:
// replay its INIT2, PING before its START, sweep for its id, or guess ids
// of their own. None may start a second train, move the train, change the
// recorded mapping, or block the client's own proof.
TEST(ServerCore, ForgedRequestsAtAClientsAddressNeitherReplayNorHijackNorBlockIt)
{
    ServerOptions options = with(3, 0ms);
    Core core(options);  // 10 a second, 20 at once
    const std::string primary = "203.0.113.5:40000", alternate = "203.0.113.5:40001";
    const std::string forged = "203.0.113.5:50000";
    EXPECT_NE(core.on(client_init(40000), primary), "");
    const std::int32_t id = cookie(primary);

    // Guesses with ids of other ports, bearing the client's address, spend
    // tokens that are not the client's.
    for (int n = 0; n < 100; ++n) core.on(client_init2(id + (1 << 15) * (n % 7 + 1) + n, 40001), forged);
    const std::string init2 = core.on(client_init2(id, 40001), alternate);
    EXPECT_NE(init2, "") << "the client's own proof";
    EXPECT_EQ(core.on(client_init2(id, 40001), alternate), init2) << "its INIT2 again: the same reply";

    // A PING before START's reply decides nothing.
    EXPECT_EQ(core.on(client_ping(id), forged, on_extra), "");
    EXPECT_NE(core.on(client_start(id), alternate), "");

    // A sweep of PINGs for the client's id: the misses use up the tokens of
    // its (address, port), and then even the right id is refused.
    for (int mac = 0; mac < 1000; ++mac)
        if (((id ^ mac) & 0x7FFF) != 0) core.on(client_ping((id & ~0x7FFF) | mac), forged, on_extra);
    EXPECT_EQ(core.on(client_ping(id), forged, on_extra), "") << "no train, no mapping from a guess";
    core.now += 100ms;
    EXPECT_EQ(core.on(client_ping(id), primary, on_extra), fill(ping_to(primary, 1), {id}))
        << "a token later, the client's own";
    core.tick(101ms);
    EXPECT_EQ(core.tick(102ms), fill(ping_to(primary, 3) + "\n" + line(0, primary, 3), {id}));

    // Replays of the INIT2 within its slot start nothing.
    for (int n = 0; n < 100; ++n) EXPECT_EQ(core.on(client_init2(id, 40001), alternate), "");
    EXPECT_EQ(core.counts(),
              "sessions=1 completed=1 endpoint_independent=1 dropped_unknown_session=120 inits_answered=1 "
              "dropped_guess_limited=981 dropped_ping_before_start=1 dropped_replayed=100 inits_fast_path=1");
}

// ------------------------------------------------------------ PING trains

TEST(ServerCore, TrainsToOneAddressTakeTurnsAndAllTrainsAreCapped)
{
    ServerOptions options = with(2, 100ms);
    options.trains_per_address = 1;
    Core core(options);
    std::vector<std::string> c;
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 6; ++i) {
        c.push_back("203.0.113.5:" + std::to_string(41000 + 1000 * i));
        ids.push_back(core.open(c.back(), "203.0.113.5:" + std::to_string(41001 + 1000 * i)));
    }
    const auto ping = [&](int i, ServerClock::duration when, std::string effects = "") {
        return Step{when, client_ping(ids[i]), c[i], on_extra, std::move(effects)};
    };
    const auto turn = [&](int ending, int next) {
        return ping_to(c[ending], 2, ending) + "\n" + ping_to(c[next], 1, next) + "\n" + line(ending, c[ending], 2);
    };
    // Four turns wait for the address; a fifth PING is refused, its session
    // left unspent, and may come again.
    play(core,
         {ping(0, 0ms, ping_to(c[0], 1, 0)), ping(1, 0ms), ping(2, 0ms), ping(3, 0ms), ping(4, 0ms), ping(5, 0ms)},
         ids);
    EXPECT_EQ(core.core.live_ping_trains(), 5u);
    EXPECT_EQ(core.deadline(), 100ms);
    play(core,
         {wake(99ms, ""), wake(100ms, turn(0, 1)), ping(5, 150ms), wake(200ms, turn(1, 2)), wake(300ms, turn(2, 3)),
          wake(400ms, turn(3, 4)), wake(500ms, turn(4, 5)), wake(600ms, ping_to(c[5], 2, 5) + "\n" + line(5, c[5], 2))},
         ids);
    EXPECT_EQ(core.counts(),
              "sessions=6 completed=6 endpoint_independent=6 inits_answered=6 dropped_train_cap=1 trains_delayed=5 inits_fast_path=6");

    // Trains outlive their sessions: never more of them than --max-sessions.
    ServerOptions capped = with(2, 100ms);
    capped.max_sessions = 2;
    Core few(capped);
    const std::string a = "192.0.2.1:5000", b = "192.0.2.2:5000", d = "192.0.2.3:5000";
    const std::int32_t ia = few.open(a, "192.0.2.1:5001"), ib = few.open(b, "192.0.2.2:5001");
    EXPECT_EQ(few.on(client_ping(ia), a, on_extra), fill(ping_to(a, 1), {ia}));
    EXPECT_EQ(few.on(client_ping(ib), b, on_extra), fill(ping_to(b, 1), {ib}));
    const std::int32_t id = few.open(d, "192.0.2.3:5001");  // pushes a's session out: its train reports it
    EXPECT_EQ(few.on(client_ping(id), d, on_extra), "");
    EXPECT_EQ(few.tick(100ms),
              fill(ping_to(a, 2, 0) + "\n" + ping_to(b, 2, 1) + "\n" + line(0, a, 2) + "\n" + line(1, b, 2), {ia, ib}));
    EXPECT_EQ(few.on(client_ping(id), d, on_extra), fill(ping_to(d, 1), {id}));
    EXPECT_EQ(few.counts(), "sessions=3 completed=2 endpoint_independent=2 inits_answered=3 dropped_train_cap=1 inits_fast_path=3");
}

TEST(ServerCore, FinishEndsEveryTrainWithThePingsSentSoFar)
{
    for (const bool quiet : {false, true}) {
        ServerOptions options = with(5, 100ms);
        options.trains_per_address = 1;
        options.quiet = quiet;
        Core core(options);
        const std::string a = "203.0.113.5:40000", b = "203.0.113.5:41000";
        const std::int32_t ia = core.open(a, "203.0.113.5:40001"), ib = core.open(b, "203.0.113.5:41001");
        EXPECT_EQ(core.on(client_ping(ia), a, on_extra), fill(ping_to(a, 1), {ia}));
        EXPECT_EQ(core.on(client_ping(ib), b, on_extra), "");
        EXPECT_EQ(core.tick(100ms), fill(ping_to(a, 2), {ia}));
        // Under way and waiting alike; --quiet keeps the counts alone.
        EXPECT_EQ(core.finish(), quiet ? "" : fill(line(0, a, 2) + "\n" + line(1, b, 0), {ia, ib}));
        EXPECT_EQ(core.core.live_ping_trains(), 0u);
        EXPECT_EQ(core.deadline(), 60s) << "no more PINGs";
        EXPECT_EQ(core.counts(), "sessions=2 completed=2 endpoint_independent=2 inits_answered=2 trains_delayed=1 inits_fast_path=2");
    }
}

// ------------------------------------------------------------ re-sends

TEST(ServerCore, RepeatsAProvenSessionsLastReplyOnlyWhileItsNextRequestIsMissing)
{
    Core core(with(3, 50ms, 3));
    const std::string primary = "203.0.113.5:40000", alternate = "203.0.113.5:40001", other = "203.0.113.5:40002";
    const std::int32_t id = cookie(primary);
    EXPECT_NE(core.on(client_init(40000), primary), "");
    EXPECT_EQ(core.deadline(), -1ms) << "the INIT reply is never repeated";
    const std::string init2 =
        R"(main > 203.0.113.5:40001 {"command":"INIT2","public_port_alt":40001,"session_id":{0}})";
    const std::string start = R"(main > 203.0.113.5:40002 {"command":"START","extra_port":30001,"session_id":{0}})";
    play(core,
         {{0ms, client_init2(id, 40001), alternate, on_main, init2}, wake(999ms, ""), wake(1s, init2),
          wake(1500ms, ""), wake(2s, init2), wake(3s, init2), wake(9s, "")},
         {id});
    // The START's reply waits for the PING the same way, with a fresh
    // count, to the START's source; the PING ends the waiting.
    play(core,
         {{9s, client_start(id), other, on_main, start}, wake(10s, start),
          {10500ms, client_ping(id), primary, on_extra, ping_to(primary, 1)}, wake(10550ms, ping_to(primary, 2)),
          wake(10600ms, ping_to(primary, 3) + "\n" + line(0, primary, 3)), wake(11s, ""),
          {20s, client_start(id), other, on_main, start}, wake(30s, "")},
         {id});
    EXPECT_EQ(core.counts(), "sessions=1 completed=1 endpoint_independent=1 inits_answered=1 replies_resent=4 inits_fast_path=1");

    // A session whose time is up gets its line instead.
    ServerOptions short_lived = with(3, 50ms, 3);
    short_lived.session_ttl = 2s;
    Core expiring(short_lived);
    const std::int32_t expiring_id = expiring.open(primary, alternate);
    EXPECT_EQ(expiring.tick(1s),
              fill(R"(main > 203.0.113.5:40001 {"command":"START","extra_port":30001,"session_id":{0}})", {expiring_id}));
    EXPECT_EQ(expiring.deadline(), 2s);
    EXPECT_EQ(expiring.tick(2s), fill(line(0, primary), {expiring_id}));
    EXPECT_EQ(expiring.deadline(), -1ms);

    Core never(with(3, 50ms, 0));
    never.open(primary, alternate);
    EXPECT_EQ(never.deadline(), 60s) << "--resends 0: nothing but the expiry";

    // A crowd due at once goes a batch a wake-up, and the rest are due at once.
    ServerOptions many = with(3, 50ms, 1);
    many.init_rate = 0;
    Core crowd(many);
    for (int n = 0; n < 300; ++n)
        crowd.open("203.0.113.5:" + std::to_string(2000 + 2 * n), "203.0.113.5:" + std::to_string(2001 + 2 * n));
    const auto datagrams = [](const std::string& effects) {
        return std::count(effects.begin(), effects.end(), '\n') + 1;
    };
    EXPECT_EQ(datagrams(crowd.tick(1s)), 256);
    EXPECT_EQ(crowd.deadline(), 1s);
    EXPECT_EQ(datagrams(crowd.tick(1s)), 44);
    EXPECT_EQ(crowd.deadline(), 60s);
}

// ------------------------------------------------------------ session lines

TEST(ServerCore, SessionLinesShowOnlyWhatLogAddressesAllowsOfTheClient)
{
    // The lines are data: tests/golden/session_lines.txt.
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/session_lines.txt");
    std::map<std::string, std::string> expected;
    for (std::string row; std::getline(table, row);)
        if (!row.empty() && row[0] != '#')
            expected[row.substr(0, row.find('\t'))] += row.substr(row.find('\t') + 1) + "\n";
    using punchprobe::LogAddresses;
    for (const auto& [mode, addresses] : {std::pair{"full", LogAddresses::full},
                                          {"truncated", LogAddresses::truncated}, {"none", LogAddresses::none}}) {
        ServerOptions options = with(3, 50ms);
        options.session_ttl = 10s;
        options.log_addresses = addresses;
        Core core(options);
        const std::string a = "203.0.113.57:40000", b = "198.51.100.23:41000";
        const std::int32_t ia = core.open(a, "203.0.113.57:40007"), ib = core.open(b, "198.51.100.23:41001");
        // One step after the other: the train's end, then the expiry.
        std::string effects = core.on(client_ping(ia), "203.0.113.57:50123", on_extra);
        for (const auto at : {50ms, 100ms, 10000ms}) effects += "\n" + core.tick(at);
        std::istringstream shown(effects);
        std::string lines;
        for (std::string effect; std::getline(shown, effect);)
            if (effect.rfind("session ", 0) == 0) lines += effect + "\n";
        EXPECT_EQ(lines, fill(expected[mode], {ia, ib})) << mode;
        for (const char* address : {"203.0.113.57", "198.51.100.23"})
            EXPECT_EQ(lines.find(address) == std::string::npos, addresses != LogAddresses::full) << mode;
    }
}

// ------------------------------------------------------------ the counters line

TEST(ServerCore, CountersLineHasEveryKeyInItsFixedOrder)
{
    // Each key's value is its place in the line.
    punchprobe::ServerCounters counters;
    std::uint64_t* const named[] = {&counters.sessions,          &counters.completed,
                                    &counters.endpoint_independent, &counters.endpoint_dependent,
                                    &counters.expired,           &counters.evicted,
                                    &counters.inits_answered,    &counters.trains_delayed,
                                    &counters.log_lines_dropped, &counters.error_lines_suppressed,
                                    &counters.replies_resent,    &counters.metrics_refused,
                                    &counters.metrics_timeouts,  &counters.metrics_bad_requests,
                                    &counters.counters_lines_coalesced, &counters.metrics_pushed_out,
                                    &counters.inits_proven_allowance, &counters.inits_shared_budget,
                                    &counters.proven_addresses_pushed_out, &counters.receive_batches,
                                    &counters.send_batches, &counters.inits_fast_path};
    const std::uint64_t named_places[] = {1,  2,  3,  4,  5,  6,  14, 25, 26, 27, 28,
                                          29, 30, 31, 35, 36, 37, 38, 39, 40, 41, 42};
    for (std::size_t i = 0; i < std::size(named); ++i) *named[i] = named_places[i];
    const std::uint64_t drop_places[] = {7, 8, 9, 10, 11, 12, 13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 32, 33, 34};
    ASSERT_EQ(std::size(drop_places), counters.drops.size());
    std::copy(std::begin(drop_places), std::end(drop_places), counters.drops.begin());
    std::ifstream golden(PUNCHPROBE_GOLDEN_DIR "/counters_line.txt");
    std::string line;
    std::getline(golden, line);
    EXPECT_EQ(punchprobe::counters_line(counters), line);
}

}  // namespace
