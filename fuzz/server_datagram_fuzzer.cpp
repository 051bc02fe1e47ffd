// Drives one ServerCore with fixed keys in virtual time: a sequence of
// datagrams, each from a chosen source and socket at a chosen moment, and
// on_time at every deadline the clock passes on the way, as the server's
// timer would. A model of the proven sessions and of the PING trains follows
// along, and after every call the fuzzer checks the rules that keep the
// server from being abused:
//  - on_datagram never throws (it is noexcept: a throw terminates);
//  - at most one datagram answers a datagram: a reply, or the first PING of
//    the train an accepted PING starts (none while that train waits its
//    turn); a drop sends nothing; sources the server must not answer, and
//    oversized datagrams, are dropped as such;
//  - the table holds at most max_sessions, exactly the sessions of the model:
//    one is only created by an INIT2 whose id is the cookie of its address
//    (this slot or the last), and an INIT leaves no state at all;
//  - replies go back to the source from the main socket; the unproven ones
//    are INIT replies within the amplification bound; nothing goes to a port
//    below 1024, a non-unicast address or one of the server's own sockets;
//  - every server datagram is one JSON object in FastWriter's text, fits the
//    client's buffer, carries no "protocol" and is refused as a request;
//  - a live session is never replaced, and a PING is accepted only once its
//    session's START was answered;
//  - PINGs go from the extra socket to a proven session's INIT source, one
//    train per accepted PING, once per session,
//    numbered 1..pings in order; at most trains_per_address trains are under
//    way per address, and never more trains live than max_sessions;
//  - re-sends go only to the address of a live, unpinged proven session and
//    are its INIT2 or START reply byte for byte;
//  - next_deadline() is never in the past, and once every session's time is
//    up the deadlines run out with every train ended.
//
// Input: records of one header byte, a 16-bit little-endian length and that
// many payload bytes. Header bits: 0 the socket (main, extra); 1-4 the
// source, from `sources`; 5-6 how far the clock moves first, from `steps`;
// 7 put the id of the latest INIT reply in place of the payload's first
// session_id number, so that an input can follow an exchange through its
// cookie.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "protocol/punchprobe_message.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/wire_contract.hpp"
#include "server/junk_filter.hpp"
#include "server/server_core.hpp"

namespace {

using boost::asio::ip::address_v4;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using punchprobe::DropReason;
using punchprobe::OutboundDatagram;
using punchprobe::ServerClock;
using punchprobe::ServerCore;
using punchprobe::ServerCounters;
using punchprobe::ServerSocket;
using punchprobe::Session;
using punchprobe::SessionCookies;

constexpr std::chrono::seconds ttl{60};
// Small, so that eviction and the train caps happen within a few records.
constexpr std::size_t max_sessions = 4;
constexpr int trains_per_address = 1;
constexpr int pings = punchprobe::default_ping_count;
constexpr unsigned short main_port = 30000;
constexpr unsigned short extra_port = 30001;
// The fuzzer's own bound, not the core's constant, so that a change there shows.
constexpr double max_amplification = 1.6;
constexpr std::size_t max_records = 64;
// An id is the INIT's public port above a MAC of this many bits.
constexpr int cookie_mac_bits = 15;

// Fixed keys, so that an input means the same on every run.
const SessionCookies::Key cookie_key = {0x70, 0x75, 0x6e, 0x63, 0x68, 0x70, 0x72, 0x6f,
                                        0x62, 0x65, 0x20, 0x66, 0x75, 0x7a, 0x7a, 0x21};
constexpr std::uint64_t limiter_key = 0x9e3779b97f4a7c15;
// An hour in, so that the slot before the first datagram's is a real one.
constexpr ServerClock::duration start_time = std::chrono::hours(1);

// How the server must screen a source before it looks at the bytes.
enum class Screen { pass, own_socket, bad_source };

struct Source {
    const char* address;
    unsigned short port;
    Screen screen;
};

const std::array<Source, 16> sources = {{
    {"203.0.113.7", 40000, Screen::pass},   // client A's primary socket
    {"203.0.113.7", 40001, Screen::pass},   // A's alternate socket
    {"203.0.113.7", 65535, Screen::pass},   // A again: the largest id, another mapping
    {"198.51.100.1", 40000, Screen::pass},  // client B, on A's port
    {"198.51.100.1", 1024, Screen::pass},   // the lowest port answered
    {"127.0.0.1", 40000, Screen::pass},     // a client on the server's own address
    {"127.0.0.2", main_port, Screen::pass},  // the main port's number, not the bind address
    {"203.0.113.7", extra_port, Screen::pass},
    {"127.0.0.1", main_port, Screen::own_socket},
    {"127.0.0.1", extra_port, Screen::own_socket},
    {"203.0.113.7", 1023, Screen::bad_source},
    {"203.0.113.7", 0, Screen::bad_source},
    {"198.51.100.1", 53, Screen::bad_source},  // a DNS server would answer back
    {"0.0.0.0", 40000, Screen::bad_source},
    {"224.0.0.1", 40000, Screen::bad_source},
    {"255.255.255.255", 40000, Screen::bad_source},
}};

// Nothing, half a rate-limit token, a cookie slot, a session's life.
const std::array<ServerClock::duration, 4> steps = {std::chrono::seconds(0), std::chrono::milliseconds(500),
                                                    SessionCookies::slot, ttl};

[[noreturn]] void finding(const char* what)
{
    // abort() makes libFuzzer keep the input as a crash artifact.
    std::fprintf(stderr, "server_datagram_fuzzer: %s\n", what);
    std::abort();
}

void require(bool condition, const char* what)
{
    if (!condition) finding(what);
}

// One INIT reply per second, two at once: a third INIT in a row is limited.
// A rate of 0 serves the throwaway core that only screens shapes.
punchprobe::ServerOptions make_options(double init_rate)
{
    punchprobe::ServerOptions options;
    options.bind_address = make_address_v4("127.0.0.1");
    options.main_port = main_port;
    options.extra_port = extra_port;
    options.pings = pings;
    options.session_ttl = ttl;
    options.max_sessions = max_sessions;
    options.init_rate = init_rate;
    options.init_burst = 2;
    options.trains_per_address = trains_per_address;
    return options;
}

// An independent look at a datagram: a JSON object, or nothing. More lenient
// than the server (deeper nesting allowed), so whatever the server accepts
// this accepts too.
std::optional<Json::Value> parse_object(const std::string& bytes)
{
    thread_local const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    Json::Value root;
    try {
        if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, nullptr)) return std::nullopt;
    } catch (const Json::Exception&) {
        return std::nullopt;
    }
    if (!root.isObject()) return std::nullopt;
    return root;
}

std::string string_member(const Json::Value& root, const char* name)
{
    const Json::Value* value = root.find(name, name + std::char_traits<char>::length(name));
    return value != nullptr && value->isString() ? value->asString() : std::string();
}

// Integers only, as the server reads them: no 1.0, no "1".
std::optional<std::int64_t> int_member(const Json::Value& root, const char* name)
{
    const Json::Value* value = root.find(name, name + std::char_traits<char>::length(name));
    if (value == nullptr || (value->type() != Json::intValue && value->type() != Json::uintValue) ||
        !value->isInt64())
        return std::nullopt;
    return value->asInt64();
}

address_v4 address_of(const udp::endpoint& endpoint)
{
    return endpoint.address().to_v4();
}

// Where the server may send anything at all: a unicast address, a port a
// client can have, and none of its own sockets.
bool answerable(const udp::endpoint& destination)
{
    const auto first_octet = address_of(destination).to_bytes()[0];
    const bool own = address_of(destination) == make_address_v4("127.0.0.1") &&
                     (destination.port() == main_port || destination.port() == extra_port);
    return first_octet != 0 && first_octet < 224 && destination.port() >= punchprobe::lowest_client_port && !own;
}

// The checks take the core's own cookies, under the same key, for what a
// valid id is.
const SessionCookies& cookie_oracle()
{
    static const SessionCookies oracle(cookie_key);
    return oracle;
}

// The oracle is only sound when an id depends on the address, the port and
// the slot: were the address left out, a cookie would pass from any address
// and every check below would agree. Checked once, on ids that a proper MAC
// makes equal one time in 32,768.
void require_sound_oracle()
{
    const std::array<address_v4, 3> addresses = {make_address_v4("203.0.113.7"), make_address_v4("198.51.100.1"),
                                                 make_address_v4("127.0.0.1")};
    int equal = 0;
    for (int slot = 0; slot < 8; ++slot) {
        const ServerClock::time_point now(start_time + slot * SessionCookies::slot);
        for (const unsigned short port : {1024, 40000, 65535}) {
            for (std::size_t i = 0; i < addresses.size(); ++i) {
                const std::int32_t id = cookie_oracle().issue(udp::endpoint(addresses[i], port), now);
                require(static_cast<std::uint32_t>(id) >> cookie_mac_bits == port, "cookie without its port");
                const std::size_t next = (i + 1) % addresses.size();
                equal += id == cookie_oracle().issue(udp::endpoint(addresses[next], port), now);
                equal += id == cookie_oracle().issue(udp::endpoint(addresses[i], port), now + SessionCookies::slot);
            }
        }
    }
    require(equal <= 2, "cookies do not depend on the address or the slot");
}

// Whether `id` is the cookie of an INIT from `address` in this slot or the
// last, whoever computed it. An id no INIT reply gave can still be right:
// libFuzzer learns compared values, and a 15-bit MAC is guessable by design,
// so the rule is about the id, not about who sent it.
bool is_cookie(std::int64_t id, const address_v4& address, ServerClock::time_point now)
{
    if (id <= 0 || id > Json::Value::maxInt) return false;
    const auto port = static_cast<unsigned short>(static_cast<std::uint32_t>(id) >> cookie_mac_bits);
    if (port < punchprobe::lowest_client_port) return false;
    const udp::endpoint init_source(address, port);
    return cookie_oracle().issue(init_source, now) == id ||
           cookie_oracle().issue(init_source, now - SessionCookies::slot) == id;
}

// The reason the core counted since `before`, if any: a datagram gets one
// at most.
std::optional<DropReason> drop_since(const ServerCounters& before, const ServerCounters& after)
{
    std::optional<DropReason> drop;
    for (std::size_t i = 0; i < before.drops.size(); ++i) {
        if (after.drops[i] == before.drops[i]) continue;
        require(after.drops[i] == before.drops[i] + 1 && !drop, "more than one drop counted for one datagram");
        drop = static_cast<DropReason>(i);
    }
    return drop;
}

// A server datagram arriving at a server, this one or another, must never
// pass for a request: that is how two servers, or one forged source, start
// an endless exchange. A core without a rate limit and without sessions, so
// that nothing but the datagram's shape can refuse it.
void require_refused(const std::string& bytes, const udp::endpoint& from, ServerClock::time_point now)
{
    static ServerCore echo(make_options(0), main_port, extra_port, cookie_key, limiter_key);
    for (const ServerSocket socket : {ServerSocket::main, ServerSocket::extra}) {
        const ServerCounters before = echo.counters();
        const bool answered = !echo.on_datagram(bytes, from, socket, now).datagrams.empty();
        const auto drop = drop_since(before, echo.counters());
        require(!answered && drop && *drop != DropReason::unknown_session && *drop != DropReason::rate_limited &&
                    echo.live_sessions() == 0,
                "a server datagram fed back to a server passes for a request");
    }
}

// The rules for every datagram the server sends; returns it parsed.
Json::Value check_sent(const OutboundDatagram& datagram, ServerClock::time_point now)
{
    const std::string& bytes = datagram.bytes;
    require(answerable(datagram.destination), "datagram to a destination that must never be sent to");
    require(!bytes.empty() && bytes.size() <= punchprobe::client_receive_buffer_size && bytes.back() == '\n' &&
                bytes.find('\0') == std::string::npos,
            "server datagram larger than the client reads, with a NUL, or without its line feed");
    const auto root = parse_object(bytes);
    require(root.has_value(), "server datagram is not a JSON object");
    punchprobe::PunchprobeMessage as_written;
    as_written.root = *root;
    require(as_written.encode() == bytes, "server datagram differs from FastWriter's text of it");
    require(!root->isMember("protocol"), "server datagram carries a protocol member");
    require_refused(bytes, datagram.destination, now);
    return *root;
}

// Puts `id` in place of the number after the first "session_id", or leaves
// the bytes as they are when there is none. A quote before the number is
// skipped, so that the right id also arrives as text.
std::string with_session_id(std::string bytes, std::int32_t id)
{
    static const std::string key = "\"session_id\"";
    std::size_t at = bytes.find(key);
    if (at == std::string::npos) return bytes;
    at += key.size();
    while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == ':' || bytes[at] == '"')) ++at;
    std::size_t end = at;
    while (end < bytes.size() && (bytes[end] == '-' || (bytes[end] >= '0' && bytes[end] <= '9'))) ++end;
    bytes.replace(at, end - at, std::to_string(id));
    return bytes;
}

struct Train {
    std::int32_t id;
    udp::endpoint destination;
    // PINGs seen so far; 0 while the train waits for its turn.
    int sent = 0;
};

// One record once the fuzzer has read it.
struct Request {
    std::string bytes;
    udp::endpoint source;
    ServerSocket socket;
    Screen screen;
    ServerClock::time_point now;
    std::optional<Json::Value> root;
    std::string command;
    std::optional<std::int64_t> id;
};

// One input's run: a fresh core, and what the fuzzer expects of it.
class Run {
public:
    void datagram(const Request& request);
    // on_time at every deadline up to `until`, as the server's timer fires.
    void catch_up(ServerClock::time_point until);
    void require_all_ended();

    std::optional<std::int32_t> last_cookie;

private:
    Session* modeled(std::int64_t id, const address_v4& address);
    void expire(ServerClock::time_point now);
    void create(std::int32_t id, const address_v4& address, ServerClock::time_point now);
    void accept_ping(const Request& request);
    void check_reply(const OutboundDatagram& reply, const Json::Value& root, const Request& request);
    void check_ping(const OutboundDatagram& ping, const Json::Value& root);
    void check_resend(const OutboundDatagram& again, const Json::Value& root);
    void check_state(ServerClock::time_point now);

    ServerCore core_{make_options(1), main_port, extra_port, cookie_key, limiter_key};
    // The live proven sessions, oldest first: the table's expiry and
    // eviction order.
    std::vector<Session> sessions_;
    // Trains under way or waiting, in the order their PINGs were accepted.
    std::vector<Train> trains_;
};

// Sessions are kept by id and address together, as the table keeps them.
Session* Run::modeled(std::int64_t id, const address_v4& address)
{
    const auto found = std::find_if(sessions_.begin(), sessions_.end(), [id, &address](const Session& s) {
        return s.id == id && address_of(s.public_endpoint) == address;
    });
    return found == sessions_.end() ? nullptr : &*found;
}

// The core expires sessions first thing in every call.
void Run::expire(ServerClock::time_point now)
{
    while (!sessions_.empty() && sessions_.front().created + ttl <= now) sessions_.erase(sessions_.begin());
}

void Run::create(std::int32_t id, const address_v4& address, ServerClock::time_point now)
{
    require(modeled(id, address) == nullptr, "a live session replaced: one id from one address proves one session");
    if (sessions_.size() >= max_sessions) sessions_.erase(sessions_.begin());
    Session created;
    created.id = id;
    created.public_endpoint =
        udp::endpoint(address, static_cast<unsigned short>(static_cast<std::uint32_t>(id) >> cookie_mac_bits));
    created.created = now;
    sessions_.push_back(created);
}

void Run::datagram(const Request& request)
{
    expire(request.now);
    const ServerCounters before = core_.counters();
    const auto& sent = core_.on_datagram(request.bytes, request.source, request.socket, request.now).datagrams;
    const auto drop = drop_since(before, core_.counters());

    if (request.screen == Screen::own_socket)
        require(drop == DropReason::own_socket, "datagram from the server's own socket not dropped as such");
    else if (request.screen == Screen::bad_source)
        require(drop == DropReason::bad_source, "datagram from a source no client has not dropped as such");
    else if (request.bytes.size() > punchprobe::max_request_size)
        require(drop == DropReason::oversized, "oversized datagram not dropped as such");
    require(sent.size() <= (drop ? 0u : 1u), "a drop that answers, or more than one datagram for one");

    if (core_.counters().sessions != before.sessions) {
        require(request.command == "INIT2" && request.id &&
                    is_cookie(*request.id, address_of(request.source), request.now),
                "session created for an id that is not the cookie of the INIT2's address");
        create(static_cast<std::int32_t>(*request.id), address_of(request.source), request.now);
    }
    if (!drop && request.command == "PING")
        accept_ping(request);
    else
        require(drop || sent.size() == 1, "a request accepted without its reply");

    for (const OutboundDatagram& datagram : sent) {
        const Json::Value root = check_sent(datagram, request.now);
        if (datagram.from == ServerSocket::extra) {
            require(request.command == "PING", "PING for something that is not an accepted PING");
            check_ping(datagram, root);
        } else {
            check_reply(datagram, root, request);
        }
    }
    check_state(request.now);
}

void Run::accept_ping(const Request& request)
{
    Session* session = request.id ? modeled(*request.id, address_of(request.source)) : nullptr;
    require(request.socket == ServerSocket::extra && session != nullptr && !session->pinged,
            "PING accepted without a live, unpinged session of its address, or on the main socket");
    require(session->answered == punchprobe::Command::start, "PING accepted before its session's START was answered");
    session->pinged = true;
    trains_.push_back(Train{session->id, session->public_endpoint});
}

void Run::check_reply(const OutboundDatagram& reply, const Json::Value& root, const Request& request)
{
    require(reply.destination == request.source && reply.from == ServerSocket::main &&
                request.socket == ServerSocket::main,
            "reply not sent back to the source from the main socket");
    require(request.root && string_member(root, "command") == request.command && request.command != "PING",
            "reply names another command");
    require(reply.proven == (request.command != "INIT"), "only an INIT reply goes to an unproven source");
    if (request.command == "INIT") {
        require(static_cast<double>(reply.bytes.size()) <=
                    max_amplification * static_cast<double>(request.bytes.size()),
                "INIT reply outweighs its request beyond the amplification bound");
        last_cookie = static_cast<std::int32_t>(int_member(root, "session_id").value_or(0));
        return;
    }
    const auto id = static_cast<std::int32_t>(*request.id);
    Session* session = modeled(id, address_of(request.source));
    require(session != nullptr, "INIT2 or START answered without a live session of its address");
    if (request.command == "INIT2") session->alt_port = request.source.port();
    if (request.command == "START") session->answered = punchprobe::Command::start;
    require(reply.bytes == (request.command == "INIT2" ? punchprobe::make_init2_reply(id, session->alt_port)
                                                       : punchprobe::make_start_reply(id, extra_port)),
            "INIT2 or START reply differs from the session's");
}

void Run::check_ping(const OutboundDatagram& ping, const Json::Value& root)
{
    require(ping.from == ServerSocket::extra && ping.proven && root.size() == 3 &&
                string_member(root, "command") == "PING",
            "server PING from the main socket, or with other members");
    const auto id = int_member(root, "session_id");
    const auto number = int_member(root, "ping_number");
    const auto train = std::find_if(trains_.begin(), trains_.end(), [&](const Train& t) {
        return t.id == id && t.destination == ping.destination && number == t.sent + 1;
    });
    require(train != trains_.end(), "PING of no accepted PING's train, to another address, or out of order");
    if (++train->sent == pings) trains_.erase(train);
    const auto under_way = std::count_if(trains_.begin(), trains_.end(), [&](const Train& t) {
        return t.sent > 0 && t.destination.address() == ping.destination.address();
    });
    require(under_way <= trains_per_address, "more trains under way to one address than allowed");
}

void Run::check_resend(const OutboundDatagram& again, const Json::Value& root)
{
    const auto id = int_member(root, "session_id");
    const Session* session = id ? modeled(*id, address_of(again.destination)) : nullptr;
    require(again.proven && session != nullptr && !session->pinged,
            "a re-send to no live, unpinged session at that address");
    require(again.bytes == punchprobe::make_init2_reply(session->id, session->alt_port) ||
                again.bytes == punchprobe::make_start_reply(session->id, extra_port),
            "a re-send that is not the session's INIT2 or START reply");
}

void Run::catch_up(ServerClock::time_point until)
{
    // Each call must move the deadline past itself (check_state), so this
    // ends; the bound only turns a core that never lets go into a finding.
    for (int calls = 0;; ++calls) {
        const auto now = core_.next_deadline();
        if (!now || *now > until) return;
        require(calls < 10000, "on_time never catches up with the clock");
        expire(*now);
        for (const OutboundDatagram& datagram : core_.on_time(*now).datagrams) {
            const Json::Value root = check_sent(datagram, *now);
            if (datagram.from == ServerSocket::extra)
                check_ping(datagram, root);
            else
                check_resend(datagram, root);
        }
        check_state(*now);
    }
}

void Run::check_state(ServerClock::time_point now)
{
    require(core_.live_sessions() == sessions_.size() && sessions_.size() <= max_sessions,
            "table holds other sessions than the INIT2s proved, or more than it may");
    require(core_.live_ping_trains() == trains_.size() && trains_.size() <= max_sessions,
            "trains other than the accepted PINGs', or more than the sessions allowed");
    const auto deadline = core_.next_deadline();
    require(!deadline || *deadline > now, "next_deadline() in the past");
}

void Run::require_all_ended()
{
    require(!core_.next_deadline() && trains_.empty() && sessions_.empty(),
            "deadlines, trains or sessions left after every session's time");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    require_sound_oracle();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Run run;
    ServerClock::time_point now(start_time);

    std::size_t at = 0;
    for (std::size_t record = 0; record < max_records && at + 3 <= size; ++record) {
        const std::uint8_t header = data[at];
        std::size_t length = data[at + 1] | (static_cast<std::size_t>(data[at + 2]) << 8);
        at += 3;
        if (length > size - at) length = size - at;

        Request request;
        request.bytes.assign(reinterpret_cast<const char*>(data + at), length);
        at += length;
        if ((header & 0x80) && run.last_cookie) request.bytes = with_session_id(request.bytes, *run.last_cookie);
        request.socket = (header & 1) ? ServerSocket::extra : ServerSocket::main;
        const Source& source = sources[(header >> 1) & 15];
        request.source = udp::endpoint(make_address_v4(source.address), source.port);
        request.screen = source.screen;
        now += steps[(header >> 5) & 3];
        request.now = now;
        request.root = parse_object(request.bytes);
        if (request.root) {
            request.command = string_member(*request.root, "command");
            request.id = int_member(*request.root, "session_id");
        }

        run.catch_up(now);
        run.datagram(request);
    }
    // Sessions, re-sends and trains all end well within two session lives.
    run.catch_up(now + 2 * ttl);
    run.require_all_ended();
    return 0;
}
