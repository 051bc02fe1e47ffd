// The client against peers that send whatever they like: random bytes,
// broken-off JSON, huge datagrams, members of the wrong type, floods to both
// sockets, datagrams from strangers. Whatever arrives, a run ends with the
// normal verdict or with exactly one error: "Unsupported PunchprobeMessage
// command" or one of JsonCpp's own exceptions. It never crashes or hangs, and
// it gives back every socket it opened. Most runs are in-process, where the
// type of the exception can be told apart; a few use the real binary for the
// exit status and standard error.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include "client/punchprobe_client.hpp"
#include "support/child_process.hpp"
#include "support/console_capture.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

using namespace std::chrono_literals;
using namespace punchprobe_test;

namespace {

const std::string host = "127.0.0.1";
constexpr int session = 4242;
const std::string reported_ip = "203.0.113.9";
constexpr int reported_port = 7000;
constexpr int reported_port_alt = 7001;
// Only a run that loses its way waits this long; the bound of each run is
// run_limit.
const punchprobe::StepDurations safety_net{boost::posix_time::seconds(8), boost::posix_time::seconds(8)};
constexpr auto run_limit = std::chrono::milliseconds(30s);

const std::string unsupported = "Unsupported PunchprobeMessage command";

// How a run ended.
enum class Ending { verdict, unsupported_command, json_exception, other_exception, hung };

std::ostream& operator<<(std::ostream& out, Ending ending)
{
    switch (ending) {
    case Ending::verdict: return out << "verdict";
    case Ending::unsupported_command: return out << "unsupported command";
    case Ending::json_exception: return out << "JsonCpp exception";
    case Ending::other_exception: return out << "other exception";
    case Ending::hung: return out << "hung";
    }
    return out;
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

// The client run as the entry runs it (construct, run the loop, one catch),
// on a thread of its own, but with the exception's type kept: the entry
// prints only the text, and the type is what tells JsonCpp's errors apart.
class AttackedClient {
public:
    explicit AttackedClient(unsigned short server_port)
        : descriptors_before_(open_descriptors()), capture_(std::make_unique<ConsoleCapture>())
    {
        thread_ = std::thread([this, server_port] { run(server_port); });
    }

    ~AttackedClient() { finish(); }

    // Waits for the run to end; past run_limit the loop is stopped and the
    // run counts as hung.
    void finish()
    {
        if (!thread_.joinable()) return;
        const auto deadline = std::chrono::steady_clock::now() + run_limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        if (!done()) {
            ending_ = Ending::hung;
            io_service_->stop();
        }
        thread_.join();
        // The loop's own descriptors (epoll and friends) go with it.
        io_service_.reset();
        out_ = capture_->out();
        err_ = capture_->err();
        capture_.reset();
        descriptors_after_ = open_descriptors();
    }

    Ending ending() const { return ending_; }
    const std::string& what() const { return what_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // The client's sockets are gone again once it has been destroyed.
    bool gave_back_its_sockets() const { return descriptors_after_ == descriptors_before_; }

private:
    bool done()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }

    void run(unsigned short server_port)
    {
        Ending ending = Ending::verdict;
        std::string what;
        try {
            punchprobe::PunchprobeClient client(*io_service_, host, server_port, safety_net);
            io_service_->run();
        } catch (const Json::Exception& error) {
            ending = Ending::json_exception;
            what = error.what();
        } catch (const std::runtime_error& error) {
            what = error.what();
            ending = what == unsupported ? Ending::unsupported_command : Ending::other_exception;
        } catch (const std::exception& error) {
            ending = Ending::other_exception;
            what = error.what();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_ != Ending::hung) ending_ = ending;
        what_ = what;
        done_ = true;
    }

    std::size_t descriptors_before_;
    std::size_t descriptors_after_ = 0;
    std::unique_ptr<boost::asio::io_service> io_service_ = std::make_unique<boost::asio::io_service>();
    std::unique_ptr<ConsoleCapture> capture_;
    std::mutex mutex_;
    bool done_ = false;
    Ending ending_ = Ending::verdict;
    std::string what_;
    std::string out_;
    std::string err_;
    std::thread thread_;
};

// The point of the exchange at which a hostile datagram stands in for the
// server's answer: the INIT, INIT2 or START reply, or the server's PINGs.
enum class Step { init_reply, init2_reply, start_reply, pings };
constexpr Step all_steps[] = {Step::init_reply, Step::init2_reply, Step::start_reply, Step::pings};

const char* name_of(Step step)
{
    switch (step) {
    case Step::init_reply: return "INIT reply";
    case Step::init2_reply: return "INIT2 reply";
    case Step::start_reply: return "START reply";
    case Step::pings: return "server PINGs";
    }
    return "";
}

// A well-behaved server on two loopback peers that can go hostile at any
// step. The values it reports are members, so that a test can make the
// client store others (from a broken-off reply) and still check every line.
class ScriptedServer {
public:
    unsigned short port() const { return server.port(); }

    // Starts a client and takes its INIT. The client binds its alternate
    // socket to the port above the one the system chose, once: when a
    // parallel test holds that port the run ends at set-up with "bind", and
    // a fresh client (with a fresh port) is tried instead.
    std::unique_ptr<AttackedClient> start_client()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            auto client = std::make_unique<AttackedClient>(server.port());
            if (take_init()) return client;
            client->finish();
            if (client->ending() != Ending::other_exception || client->what().rfind("bind", 0) != 0) {
                ADD_FAILURE() << "no INIT, and the run ended with " << client->ending() << ": " << client->what();
                return nullptr;
            }
        }
        ADD_FAILURE() << "the client's alternate port was taken five times over";
        return nullptr;
    }

    // The same for the real binary.
    std::unique_ptr<ChildProcess> start_binary()
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            auto client = std::make_unique<ChildProcess>(
                std::vector<std::string>{client_binary(), host, std::to_string(server.port())});
            if (take_init()) return client;
            const ProcessResult result = client->wait(run_limit);
            if (result.err.rfind("bind", 0) != 0) {
                ADD_FAILURE() << "no INIT, and the client said: " << result.err;
                return nullptr;
            }
        }
        ADD_FAILURE() << "the client's alternate port was taken five times over";
        return nullptr;
    }

    // Answers correctly up to `step`, then waits there; false if the client
    // sent something else.
    bool play_until(Step step) { return play(Step::init_reply, step); }

    // Answers correctly from `from` (whose request has arrived) up to
    // `until`, whose request is then awaited but not answered.
    bool play(Step from, Step until)
    {
        for (Step step = from; step != until; step = static_cast<Step>(static_cast<int>(step) + 1)) {
            if (step == Step::init_reply) server.send_to(server_init(session_id, public_ip, public_port), loopback(p));
            if (step == Step::init2_reply) server.send_to(server_init2(public_port_alt), loopback(p + 1));
            if (step == Step::start_reply) server.send_to(server_start(extra.port()), loopback(p + 1));
            if (!expect_request_after(step)) return false;
        }
        return true;
    }

    // The client's request that follows its handling of the answer at `step`.
    bool expect_request_after(Step step)
    {
        switch (step) {
        case Step::init_reply: return expect_datagram(server, "INIT2", client_init2(session_id, p + 1), p + 1);
        case Step::init2_reply: return expect_datagram(server, "START", client_start(session_id), p + 1);
        case Step::start_reply: return expect_datagram(extra, "PING", client_ping(session_id), p);
        case Step::pings: break;
        }
        return true;
    }

    // Sends `bytes` where the answer at `step` would go, from where it would
    // come.
    void send_at(Step step, const std::string& bytes)
    {
        switch (step) {
        case Step::init_reply: server.send_to(bytes, loopback(p)); break;
        case Step::init2_reply:
        case Step::start_reply: server.send_to(bytes, loopback(p + 1)); break;
        case Step::pings: extra.send_to(bytes, loopback(p)); break;
        }
    }

    void send_pings(int count)
    {
        for (int number = 1; number <= count; ++number)
            extra.send_to(server_ping(std::to_string(number)), loopback(p));
    }

    // What the client has printed when the answer at `step` is due.
    std::string printed_until(Step step) const
    {
        Transcript transcript(host, server.port(), p);
        transcript.set_up().sending_init();
        if (step == Step::init_reply) return transcript.text();
        transcript.received_init(session_id, public_ip, public_port).sending_init2(session_id);
        if (step == Step::init2_reply) return transcript.text();
        transcript.received_init2(session_id, public_ip, public_port_alt).sending_start(session_id);
        if (step == Step::start_reply) return transcript.text();
        transcript.received_start(session_id, extra.port()).sending_ping(session_id, extra.port());
        return transcript.text();
    }

    // The whole output of a run that ends on the third of `ping_numbers`.
    std::string printed_on_success(const std::vector<std::string>& ping_numbers = {"1", "2", "3"}) const
    {
        Transcript transcript(host, server.port(), p);
        transcript.set_up()
            .sending_init()
            .answered_until_start(session_id, public_ip, public_port, public_port_alt)
            .pinged(session_id, extra.port());
        for (const auto& number : ping_numbers) transcript.received_ping(number, session_id);
        return transcript.success(extra.port()).text();
    }

    // The client's INIT, if one comes within the limit; any INIT that does
    // come must be exact.
    bool take_init()
    {
        const auto init = server.receive(default_receive_limit);
        if (!init) return false;
        p = init->source.port();
        EXPECT_EQ(init->bytes, client_init(p));
        return true;
    }

    UdpPeer server;
    UdpPeer extra;
    unsigned short p = 0;
    int session_id = session;
    std::string public_ip = reported_ip;
    int public_port = reported_port;
    int public_port_alt = reported_port_alt;
};

// Every way out that a hostile datagram may take, checked alike.
void expect_error_ending(const AttackedClient& client, const std::string& printed_before)
{
    EXPECT_TRUE(client.ending() == Ending::unsupported_command || client.ending() == Ending::json_exception)
        << client.ending() << ": " << client.what();
    EXPECT_EQ(client.out(), printed_before);
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
}

void expect_success(const AttackedClient& client, const std::string& printed)
{
    EXPECT_EQ(client.ending(), Ending::verdict) << client.what();
    EXPECT_EQ(client.out(), printed);
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
}

std::string random_bytes(std::mt19937& random, std::size_t max_length)
{
    std::string bytes(random() % (max_length + 1), '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

TEST(ClientHostilePeer, RandomBytesAtAnyStepEndTheRunWithOneErrorAndNoFurtherOutput)
{
    // Fixed seeds: a failure names its seed and repeats exactly.
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        for (const Step step : all_steps) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " as the " + name_of(step));
            std::mt19937 random(seed * 4 + static_cast<std::uint32_t>(step));
            ScriptedServer server;
            const auto attacked = server.start_client();
            ASSERT_TRUE(attacked);
            AttackedClient& client = *attacked;
            ASSERT_TRUE(server.play_until(step));
            server.send_at(step, random_bytes(random, 1500));
            client.finish();
            expect_error_ending(client, server.printed_until(step));
        }
    }
}

// A hostile answer whose outcome is known exactly.
struct HostileAnswer {
    const char* name;
    Step step;
    std::string bytes;
    Ending ending;
    const char* what;
};

void PrintTo(const HostileAnswer& answer, std::ostream* out)
{
    *out << answer.name;
}

class ClientHostileAnswer : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(ClientHostileAnswer, EndsTheRunWithThatErrorBeforeAnyLineOfTheHandler)
{
    const HostileAnswer& answer = GetParam();
    ScriptedServer server;
    const auto attacked = server.start_client();
    ASSERT_TRUE(attacked);
    AttackedClient& client = *attacked;
    ASSERT_TRUE(server.play_until(answer.step));
    if (answer.step == Step::pings) server.send_pings(1);
    server.send_at(answer.step, answer.bytes);
    client.finish();

    std::string expected = server.printed_until(answer.step);
    if (answer.step == Step::pings) expected += "Received server PING(1) [" + std::to_string(session) + "]\n";
    EXPECT_EQ(client.ending(), answer.ending);
    EXPECT_EQ(client.what(), answer.what);
    EXPECT_EQ(client.out(), expected);
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
}

INSTANTIATE_TEST_SUITE_P(
    WrongTypesAndShapes, ClientHostileAnswer,
    ::testing::Values(
        HostileAnswer{"port_alt_as_text", Step::init2_reply, "{\"command\":\"INIT2\",\"public_port_alt\":\"7001\"}",
                      Ending::json_exception, "Value is not convertible to Int."},
        HostileAnswer{"extra_port_past_32_bits", Step::start_reply,
                      "{\"command\":\"START\",\"extra_port\":4294967296}", Ending::json_exception,
                      "LargestUInt out of Int range"},
        HostileAnswer{"extra_port_huge_real", Step::start_reply, "{\"command\":\"START\",\"extra_port\":1e300}",
                      Ending::json_exception, "double out of Int range"},
        HostileAnswer{"extra_port_array", Step::start_reply, "{\"command\":\"START\",\"extra_port\":[30001]}",
                      Ending::json_exception, "Value is not convertible to Int."},
        HostileAnswer{"ping_number_object", Step::pings, "{\"command\":\"PING\",\"ping_number\":{\"n\":2}}",
                      Ending::json_exception, "Type is not convertible to string"},
        HostileAnswer{"array_root", Step::init2_reply, "[\"command\",\"INIT2\"]", Ending::json_exception,
                      "in Json::Value::resolveReference(key, end): requires objectValue"},
        HostileAnswer{"string_root", Step::pings, "\"PING\"", Ending::json_exception,
                      "in Json::Value::resolveReference(key, end): requires objectValue"},
        // Deeper than JsonCpp's reader goes: it throws while decoding.
        HostileAnswer{"nesting_past_the_reader_limit", Step::init_reply, std::string(1024, '['),
                      Ending::json_exception, "Exceeded stackLimit in readValue()."},
        HostileAnswer{"command_as_array", Step::start_reply, "{\"command\":[\"START\"]}",
                      Ending::unsupported_command, "Unsupported PunchprobeMessage command"},
        HostileAnswer{"nul_first", Step::init2_reply, std::string("\0{\"command\":\"INIT2\"}", 20),
                      Ending::unsupported_command, "Unsupported PunchprobeMessage command"},
        HostileAnswer{"command_cut_off", Step::init_reply, "{\"command\":\"IN", Ending::unsupported_command,
                      "Unsupported PunchprobeMessage command"}),
    [](const ::testing::TestParamInfo<HostileAnswer>& info) { return std::string(info.param.name); });

// A broken-off INIT reply whose command is whole: the members read before
// the break count, and the exchange goes on with them.
struct BrokenOffInit {
    const char* name;
    std::string bytes;
    int session_id;
    const char* public_ip;
    int public_port;
};

void PrintTo(const BrokenOffInit& reply, std::ostream* out)
{
    *out << reply.name;
}

class ClientBrokenOffInit : public ::testing::TestWithParam<BrokenOffInit> {};

TEST_P(ClientBrokenOffInit, CarriesOnWithTheMembersReadBeforeTheBreak)
{
    const BrokenOffInit& reply = GetParam();
    ScriptedServer server;
    server.session_id = reply.session_id;
    server.public_ip = reply.public_ip;
    server.public_port = reply.public_port;
    const auto attacked = server.start_client();
    ASSERT_TRUE(attacked);
    AttackedClient& client = *attacked;
    ASSERT_TRUE(server.play_until(Step::init_reply));
    server.send_at(Step::init_reply, reply.bytes);
    ASSERT_TRUE(server.expect_request_after(Step::init_reply));
    ASSERT_TRUE(server.play(Step::init2_reply, Step::pings));
    server.send_pings(3);
    client.finish();
    expect_success(client, server.printed_on_success());
}

const std::string init_head = "{\"command\":\"INIT\",\"protocol\":\"Punchprobe\",\"public_ip\":\"";

INSTANTIATE_TEST_SUITE_P(
    CutAnywhere, ClientBrokenOffInit,
    ::testing::Values(BrokenOffInit{"after_the_command", "{\"command\":\"INIT\"", 0, "", 0},
                      BrokenOffInit{"inside_the_address", init_head + "203.0", 0, "", 0},
                      BrokenOffInit{"inside_the_port", init_head + "203.0.113.9\",\"public_port\":70", 0,
                                    "203.0.113.9", 70},
                      BrokenOffInit{"inside_the_session", init_head + "203.0.113.9\",\"public_port\":7000,\"session_id\":42",
                                    42, "203.0.113.9", 7000},
                      BrokenOffInit{"before_the_brace", init_head + "203.0.113.9\",\"public_port\":7000,\"session_id\":4242",
                                    4242, "203.0.113.9", 7000}),
    [](const ::testing::TestParamInfo<BrokenOffInit>& info) { return std::string(info.param.name); });

TEST(ClientHostilePeer, HugeDatagramsAreReadAsTheirFirst1024Bytes)
{
    ScriptedServer server;
    const auto attacked = server.start_client();
    ASSERT_TRUE(attacked);
    AttackedClient& client = *attacked;
    ASSERT_TRUE(server.play_until(Step::init_reply));
    // A whole INIT reply, then padding up to the largest UDP datagram.
    std::string init = server_init(session, reported_ip, reported_port);
    init.resize(65507, ' ');
    server.send_at(Step::init_reply, init);
    ASSERT_TRUE(server.expect_request_after(Step::init_reply));
    ASSERT_TRUE(server.play(Step::init2_reply, Step::pings));
    server.send_pings(2);
    // The number's text is cut at byte 1024: the reader keeps the member,
    // without a value, and the PING counts with an empty number.
    const std::string head = "{\"command\":\"PING\",\"ping_number\":\"";
    server.send_at(Step::pings, head + std::string(60000, '7') + "\"}");
    client.finish();
    expect_success(client, server.printed_on_success({"1", "2", ""}));
}

TEST(ClientHostilePeer, FloodOfPingsToBothSocketsEndsInSuccessAndNothingElse)
{
    ScriptedServer server;
    const auto attacked = server.start_client();
    ASSERT_TRUE(attacked);
    AttackedClient& client = *attacked;
    ASSERT_TRUE(server.play_until(Step::pings));
    // Bounded: a few thousand datagrams, sent as fast as loopback takes them.
    for (int count = 0; count < 2000; ++count) {
        server.extra.send_to(server_ping("9"), loopback(server.p));
        server.extra.send_to(server_ping("9"), loopback(server.p + 1));
    }
    client.finish();

    // PINGs whose receive completed before close() are still handled, each
    // printing its line and the report again; nothing else may appear.
    EXPECT_EQ(client.ending(), Ending::verdict) << client.what();
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
    const std::string ping_line = "Received server PING(9) [" + std::to_string(session) + "]\n";
    const std::string report = Transcript(host, server.port(), server.p).success(server.extra.port()).text();
    std::string rest = client.out();
    const std::string head = server.printed_until(Step::pings) + ping_line + ping_line + ping_line + report;
    ASSERT_EQ(rest.substr(0, head.size()), head);
    rest.erase(0, head.size());
    // At most five receives were ever pending: three on the primary socket,
    // two on the alternate one.
    int extra_pings = 0;
    while (!rest.empty()) {
        const std::string block = ping_line + report;
        ASSERT_EQ(rest.substr(0, block.size()), block) << "unexpected output: " << rest;
        rest.erase(0, block.size());
        ++extra_pings;
    }
    EXPECT_LE(extra_pings, 2);
}

TEST(ClientHostilePeer, StrangersFloodingBothSocketsEndTheRunWithUnsupportedCommand)
{
    ScriptedServer server;
    // Three strangers on other loopback addresses, plain words to both
    // sockets; the first that meets a pending receive ends the run.
    std::vector<std::unique_ptr<UdpPeer>> strangers;
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        strangers.push_back(std::make_unique<UdpPeer>(0, address));
    const auto attacked = server.start_client();
    ASSERT_TRUE(attacked);
    AttackedClient& client = *attacked;
    ASSERT_TRUE(server.play_until(Step::init2_reply));
    for (int round = 0; round < 300; ++round) {
        for (auto& stranger : strangers) {
            stranger->send_to("not json at all", loopback(server.p));
            stranger->send_to("not json at all", loopback(server.p + 1));
        }
    }
    client.finish();
    EXPECT_EQ(client.ending(), Ending::unsupported_command) << client.what();
    EXPECT_EQ(client.out(), server.printed_until(Step::init2_reply));
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
}

// The real binary: the error is one line on standard error, the status 0,
// and a sanitizer build stays silent.
struct BinaryAttack {
    const char* name;
    Step step;
    std::string bytes;
    const char* error_line;
};

void PrintTo(const BinaryAttack& attack, std::ostream* out)
{
    *out << attack.name;
}

class ClientBinaryUnderAttack : public ::testing::TestWithParam<BinaryAttack> {};

TEST_P(ClientBinaryUnderAttack, PrintsOneErrorLineAndExitsZero)
{
    const BinaryAttack& attack = GetParam();
    ScriptedServer server;
    const auto client = server.start_binary();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(attack.step));
    server.send_at(attack.step, attack.bytes);
    const ProcessResult result = client->wait(run_limit);

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, std::string(attack.error_line) + "\n");
    EXPECT_EQ(result.out, "Using server " + host + ":" + std::to_string(server.port()) + "\n" +
                              server.printed_until(attack.step));
}

std::string seeded_random_bytes()
{
    std::mt19937 random(7);
    std::string bytes;
    // Starts with a byte that no JSON text starts with, so the outcome is
    // known.
    bytes += '\x01';
    bytes += random_bytes(random, 1400);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, ClientBinaryUnderAttack,
    ::testing::Values(
        BinaryAttack{"random_bytes", Step::init2_reply, seeded_random_bytes(), "Unsupported PunchprobeMessage command"},
        BinaryAttack{"deep_nesting", Step::start_reply, std::string(2000, '['), "Exceeded stackLimit in readValue()."},
        BinaryAttack{"ping_number_object", Step::pings, "{\"command\":\"PING\",\"ping_number\":[]}",
                     "Type is not convertible to string"}),
    [](const ::testing::TestParamInfo<BinaryAttack>& info) { return std::string(info.param.name); });

}  // namespace
