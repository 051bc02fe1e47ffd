#include "support/scripted_server.hpp"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "punchprobe/version.hpp"
#include "support/in_process_client.hpp"

namespace punchprobe_test {

using boost::asio::ip::udp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string replaced(std::string text, const std::string& key, const std::string& value)
{
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

std::string with_session(const std::string& request, int session)
{
    return replaced(request, "{SESSION}", std::to_string(session));
}

const std::string init_template = "{\"command\":\"INIT\",\"local_port\":{P},\"protocol\":\"Punchprobe\"}\n";
const std::string init2_template =
    "{\"command\":\"INIT2\",\"local_port_alt\":{P1},\"protocol\":\"Punchprobe\",\"session_id\":{SESSION}}\n";
const std::string start_template = "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":{SESSION}}\n";
const std::string ping_template = "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":{SESSION}}\n";
const std::string stderr_marker = "-- stderr --\n";

// Datagrams shown in failure messages with their control bytes visible.
std::string visible(const std::string& bytes)
{
    std::string shown;
    for (const unsigned char c : bytes) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        shown += c == '\n' ? "\\n" : (c < 0x20 || c >= 0x7F) ? escaped : std::string(1, static_cast<char>(c));
    }
    return shown;
}

bool expect_datagram(UdpPeer& peer, const std::string& bytes, const udp::endpoint& source)
{
    const auto datagram = peer.receive(default_receive_limit);
    if (!datagram) {
        ADD_FAILURE() << "no datagram arrived at port " << peer.port() << ", expected\n  " << visible(bytes);
        return false;
    }
    EXPECT_EQ(visible(datagram->bytes), visible(bytes)) << "at port " << peer.port();
    EXPECT_EQ(datagram->source, source);
    return datagram->bytes == bytes && datagram->source == source;
}

std::size_t open_descriptors()
{
    std::size_t count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

// --json lines with their milestones as "T", after checking their order.
std::string with_times_masked(const std::string& out)
{
    Json::Value root;
    std::istringstream line(out);
    std::string errors;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), line, &root, &errors)) return out;
    long long previous = 0;
    for (const char* at : {"resolved", "init_reply", "init2_reply", "start_reply", "first_ping", "third_ping"}) {
        if (root["elapsed_ms"][at].isNull()) continue;
        EXPECT_GE(root["elapsed_ms"][at].asInt64(), previous) << at << " in " << out;
        previous = root["elapsed_ms"][at].asInt64();
    }
    const auto begin = out.find("\"elapsed_ms\":{");
    const auto end = out.find('}', begin);
    if (begin == std::string::npos || end == std::string::npos) return out;
    return out.substr(0, begin) + std::regex_replace(out.substr(begin, end - begin), std::regex(":[0-9]+"), ":T") +
           out.substr(end);
}

// A loopback address of this test program's own, whose port 30000 is free.
std::string default_port_address()
{
    for (int fourth = 1; fourth <= 40; ++fourth) {
        const std::string address = "127.83." + std::to_string(getpid() % 250 + 1) + "." + std::to_string(fourth);
        try {
            UdpPeer probe(punchprobe::default_server_port, address);
            return address;
        } catch (const std::exception&) {
        }
    }
    return "";
}

}  // namespace

std::string client_init(int local_port)
{
    return replaced(init_template, "{P}", std::to_string(local_port));
}

std::string client_init2(int session, int local_port_alt)
{
    return replaced(init2_request(session), "{P1}", std::to_string(local_port_alt));
}

std::string client_start(int session)
{
    return start_request(session);
}

std::string client_ping(int session)
{
    return ping_request(session);
}

std::string init2_request(int session)
{
    return with_session(init2_template, session);
}

std::string start_request(int session)
{
    return with_session(start_template, session);
}

std::string ping_request(int session)
{
    return with_session(ping_template, session);
}

std::string server_ping(const std::string& ping_number_json)
{
    if (ping_number_json.empty()) return "{\"command\":\"PING\",\"protocol\":\"Punchprobe\"}\n";
    return "{\"command\":\"PING\",\"ping_number\":" + ping_number_json + ",\"protocol\":\"Punchprobe\"}\n";
}

udp::endpoint loopback(unsigned short port)
{
    return udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port);
}

void expect_no_datagram(UdpPeer& peer, const std::string& peer_name, std::chrono::milliseconds limit)
{
    if (const auto datagram = peer.receive(limit))
        ADD_FAILURE() << peer_name << " got an unexpected datagram from port " << datagram->source.port() << ":\n  "
                      << visible(datagram->bytes);
}

int printed_local_port(const std::string& out)
{
    std::smatch match;
    if (!std::regex_search(out, match, std::regex("(Bound to local port |\"local_port\":)([0-9]+)"))) return -1;
    return std::stoi(match[2]);
}

std::string substituted(std::string text, const RunValues& v)
{
    const std::pair<const char*, std::string> names[] = {
        {"{HOST}", v.host},
        {"{SERVER}", std::to_string(v.server)},
        {"{P1}", std::to_string(v.p + 1)},
        {"{P}", std::to_string(v.p)},
        {"{WIDE_EXTRA}", std::to_string(v.extra + 65536)},
        {"{EXTRA}", std::to_string(v.extra)},
        {"{OTHER}", std::to_string(v.other)},
        {"{VERSION}", punchprobe::version}};
    for (const auto& [name, value] : names) text = replaced(text, name, value);
    return text;
}

std::string golden(const std::string& name, const RunValues& values)
{
    std::ifstream file(std::string(PUNCHPROBE_GOLDEN_DIR) + "/" + name + ".txt", std::ios::binary);
    EXPECT_TRUE(file) << "no golden file " << name;
    std::ostringstream text;
    text << file.rdbuf();
    return substituted(text.str(), values);
}

std::string unescaped(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char code = text[++i];
        const std::size_t known = std::string("0tnvfr").find(code);
        bytes += known == std::string::npos ? code : "\0\t\n\v\f\r"[known];
    }
    return bytes;
}

std::string console_of(const std::string& out, const std::string& err)
{
    return err.empty() ? out : out + console_text(stderr_marker) + err;
}

ScriptedServer::ScriptedServer(const std::string& host, unsigned short port) : server(port, host)
{
    values.host = host;
    values.server = server.port();
    values.extra = extra.port();
    values.other = other.port();
}

bool ScriptedServer::take_init(std::chrono::milliseconds limit, bool quiet)
{
    const auto init = server.receive(limit);
    if (!init) {
        if (!quiet) ADD_FAILURE() << "no INIT reached the server within " << limit.count() << " ms";
        return false;
    }
    marked = Clock::now();
    values.p = init->source.port();
    init_taken = true;
    EXPECT_EQ(visible(init->bytes), visible(client_init(values.p)));
    EXPECT_EQ(init->source.address().to_string(), "127.0.0.1");
    return init->bytes == client_init(values.p);
}

bool ScriptedServer::perform(const Act& act)
{
    UdpPeer* peers[] = {&server, &extra, &other};
    UdpPeer& peer = *peers[static_cast<int>(act.peer)];
    const auto to = [&](Socket s) { return loopback(static_cast<unsigned short>(values.p + (s == Socket::p1))); };
    switch (act.kind) {
    case Act::answer: {
        marked = Clock::now();
        std::string reply = substituted(act.bytes, values);
        const int s = act.number;
        if (act.stage == Stage::init) {
            server.send_to(reply.empty() ? punchprobe::make_init_reply(s, "203.0.113.9", 7000) : reply, to(act.socket));
            return expect_datagram(server, substituted(init2_request(s), values), to(Socket::p1));
        }
        if (act.stage == Stage::init2) {
            server.send_to(reply.empty() ? punchprobe::make_init2_reply(s, 7001) : reply, to(act.socket));
            return expect_datagram(server, start_request(s), to(Socket::p1));
        }
        server.send_to(reply.empty() ? punchprobe::make_start_reply(s, extra.port()) : reply, to(act.socket));
        return expect_datagram(extra, ping_request(s), to(Socket::p));
    }
    case Act::send:
        if (act.peer != Peer::extra) marked = Clock::now();
        peer.send_to(substituted(act.bytes, values), to(act.socket));
        return true;
    case Act::expect: return expect_datagram(peer, substituted(act.bytes, values), to(act.socket));
    case Act::pings:
        for (int number = 1; number <= act.number; ++number)
            extra.send_to(punchprobe::make_server_ping(4242, number), to(Socket::p));
        return true;
    case Act::flood:
        for (int round = 0; round < act.number; ++round) {
            peer.send_to(act.bytes, to(Socket::p));
            peer.send_to(act.bytes, to(Socket::p1));
        }
        return true;
    default: return true;
    }
}

namespace {

constexpr auto run_limit = 40s;
constexpr int start_attempts = 5;

// Keeps the calling thread on the CPU it runs on. Loopback delivers the
// datagrams sent from one CPU in order, so a probe sent after them arrives
// only once they have all reached their sockets.
class OnOneCpu {
public:
    OnOneCpu()
    {
        sched_getaffinity(0, sizeof before_, &before_);
        pin_to_cpu(sched_getcpu());
    }
    ~OnOneCpu() { sched_setaffinity(0, sizeof before_, &before_); }
    void await_delivery()
    {
        UdpPeer probe;
        probe.send_to("probe", probe.endpoint());
        EXPECT_TRUE(probe.receive(default_receive_limit)) << "loopback delivered nothing";
    }

private:
    cpu_set_t before_;
};

// One client run, in-process or as a process.
struct ClientUnderTest {
    std::unique_ptr<InProcessClient> in_process;
    std::unique_ptr<ChildProcess> process;
    bool ended() { return in_process ? in_process->ended() : process->exited(); }
};

bool ended_in_time(ClientUnderTest& client, RunResult& result, Clock::time_point& ended_at)
{
    if (client.process) {
        const ProcessResult done = client.process->wait(run_limit);
        ended_at = Clock::now();
        result.out = done.out;
        result.err = done.err;
        result.status = done.exit_status;
        return !done.timed_out;
    }
    const bool in_time = client.in_process->wait(run_limit);
    ended_at = client.in_process->ended_at();
    result.out = client.in_process->out();
    result.err = client.in_process->err();
    if (!client.in_process->exception_text().empty()) result.err += client.in_process->exception_text() + "\n";
    result.status = client.in_process->status();
    return in_time;
}

// Waits for INIT in slices until the client will send none.
bool take_init_unless_ended(ScriptedServer& server, ClientUnderTest& client)
{
    const auto deadline = Clock::now() + default_receive_limit;
    while (Clock::now() < deadline) {
        // Asked before the slice, so that an INIT sent just before the end
        // is still taken.
        const bool over = client.ended();
        if (server.take_init(50ms, true)) return true;
        if (over) return false;
    }
    return false;
}

// The deadline a run that ended in `console` waited out, if any.
std::chrono::milliseconds deadline_of(const std::string& console, const Row& row)
{
    const bool program = row.how == How::program;
    const punchprobe::StepDurations durations = program ? punchprobe::StepDurations() : row.durations;
    const auto has = [&](const char* text) { return console.find(text) != std::string::npos; };
    if (has(" timed out.\nIt is") || has("\"verdict\":\"timeout\""))
        return std::chrono::milliseconds(durations.reply_timeout.total_milliseconds());
    if (has("\n  FAILURE  \n") || has("\"verdict\":\"failure\""))
        return std::chrono::milliseconds(durations.ping_timeout.total_milliseconds());
    return 0ms;
}

// One attempt; false when the client found its alternate port taken by a
// parallel test, so that a fresh client (on a fresh port) is tried.
bool attempt_row(const Row& row, RunResult& result)
{
    std::vector<std::string> args;
    bool to_server = false, on_default_port = false;
    for (const auto& arg : row.args) to_server = to_server || arg.find("{SERVER}") != std::string::npos;
    for (const auto& arg : row.args) on_default_port = !to_server && (on_default_port || arg == "{HOST}");
    const std::string host = on_default_port ? default_port_address() : "127.0.0.1";
    EXPECT_FALSE(host.empty()) << "no loopback address with port 30000 free";
    ScriptedServer server(host, on_default_port ? punchprobe::default_server_port : 0);
    for (const auto& arg : row.args) args.push_back(substituted(arg, server.values));
    const bool held = !row.script.empty() && row.script.front().kind == Act::hold && row.answered == 0;

    // --port-mapping asks a gateway of the test's own that never answers:
    // the section after the verdict, in a fraction of a second.
    UdpPeer silent_gateway;
    EntryArguments entry{args};
    entry.gateway.gateway = silent_gateway.endpoint().address().to_v4();
    entry.gateway.port_mapping_port = silent_gateway.port();
    entry.gateway.ask_upnp = nullptr;
    entry.gateway.limit = boost::posix_time::milliseconds(300);

    const std::size_t descriptors_before = open_descriptors();
    ClientUnderTest client;
    const auto started = Clock::now();
    server.marked = started;
    if (row.how == How::program)
        client.process = std::make_unique<ChildProcess>(client_argv(args));
    else if (row.how == How::entry)
        client.in_process = std::make_unique<InProcessClient>(entry, row.durations);
    else
        client.in_process = std::make_unique<InProcessClient>(args.at(0), std::stoi(args.at(1)), row.durations,
                                                              held ? LoopStart::held : LoopStart::running);

    std::vector<Act> script;
    for (int stage = 0; stage < row.answered; ++stage) script.push_back(answer(static_cast<Stage>(stage)));
    script.insert(script.end(), row.script.begin() + (held ? 1 : 0), row.script.end());
    bool on_track = true;
    std::unique_ptr<OnOneCpu> one_cpu;
    for (const Act& act : script) {
        // Acts up to flood reach the client's sockets, so P must be known.
        const bool needs_p = act.kind <= Act::flood;
        if (needs_p && !server.init_taken && !(on_track = take_init_unless_ended(server, client))) break;
        if (act.kind == Act::idle) std::this_thread::sleep_for(std::chrono::milliseconds(act.number));
        // What the peers send while the loop is held has arrived before it
        // runs again.
        if (act.kind == Act::hold) client.in_process->hold_loop();
        if (act.kind == Act::hold) one_cpu = std::make_unique<OnOneCpu>();
        if (act.kind == Act::release && one_cpu) one_cpu->await_delivery();
        if (act.kind == Act::release) client.in_process->release_loop();
        if (act.kind == Act::await_line) client.process->wait_for_output(act.bytes, 10s);
        if (!(on_track = server.perform(act))) break;
    }
    if (on_track && (to_server || on_default_port) && !server.init_taken) take_init_unless_ended(server, client);
    const auto last_step = Clock::now();

    Clock::time_point ended_at;
    const bool in_time = ended_in_time(client, result, ended_at);
    if (result.err.rfind("bind", 0) == 0) return false;
    EXPECT_TRUE(in_time) << "the run did not end by itself";
    if (!server.init_taken) server.values.p = printed_local_port(result.out);
    result.values = server.values;
    if (std::find(row.args.begin(), row.args.end(), "--json") != row.args.end())
        result.out = with_times_masked(result.out);

    // Every datagram the client sent has arrived by the time it has ended.
    expect_no_datagram(server.server, "server", 0ms);
    expect_no_datagram(server.extra, "extra port", 0ms);
    expect_no_datagram(server.other, "stranger", 0ms);
    if (client.in_process) {
        client.in_process.reset();
        EXPECT_EQ(open_descriptors(), descriptors_before) << "the run kept a descriptor";
    }
    // A verdict on a deadline comes no earlier than that deadline after the
    // send that set it; any other end comes right after the last step.
    const auto deadline = deadline_of(golden(row.golden ? row.golden : row.name, result.values), row);
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(ended_at - server.marked);
    if (deadline > 0ms) {
        EXPECT_GE(after.count(), (deadline - deadline / 20).count()) << "ms: the verdict came early";
        EXPECT_LT(after.count(), (deadline + 5s).count()) << "ms: the verdict came late";
    } else {
        EXPECT_LT(ended_at - last_step, 5s) << "the run went on after its last step";
    }
    return true;
}

}  // namespace

RunResult run_row(const Row& row)
{
    RunResult result;
    // A child process would ask this machine's own gateway, which is not
    // ours to probe: --port-mapping runs in-process, against the silent one.
    if (row.how == How::program && std::find(row.args.begin(), row.args.end(), "--port-mapping") != row.args.end()) {
        ADD_FAILURE() << row.name << ": --port-mapping in a program row would probe the machine's gateway";
        return result;
    }
    for (int attempt = 1; attempt <= start_attempts; ++attempt) {
        if (attempt_row(row, result)) return result;
    }
    ADD_FAILURE() << "the client's alternate port was taken " << start_attempts << " times over";
    return result;
}

void expect_golden_run(const Row& row)
{
    const RunResult result = run_row(row);
    const std::string expected = golden(row.golden ? row.golden : row.name, result.values);
    std::string shown_expected = expected;
    if (row.how == How::client) {
        // The client alone runs without the entry's first line.
        EXPECT_EQ(expected.rfind("Using server ", 0), 0u);
        shown_expected.erase(0, expected.find('\n') + 1);
    }
    EXPECT_EQ(console_of(result.out, result.err), console_text(shown_expected));
    if (row.how != How::client) {
        EXPECT_EQ(result.status, row.status);
    }
}

}  // namespace punchprobe_test
