// The client against peers that send whatever they like: random bytes,
// broken-off JSON, huge datagrams, members of the wrong type, floods to both
// sockets, datagrams from strangers. Whatever arrives, a run ends with the
// normal verdict or with exactly one error: "Unsupported PunchprobeMessage
// command" or one of JsonCpp's own exceptions. It never crashes or hangs, and
// it gives back every socket it opened. Most runs are in-process, where the
// type of the exception can be told apart; a few use the real binary for the
// exit status and standard error.
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/in_process_client.hpp"
#include "support/error_texts.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

using namespace std::chrono_literals;
using namespace punchprobe_test;

namespace {

// Only a run that loses its way waits this long; the bound of each run is
// run_limit.
const punchprobe::StepDurations safety_net{boost::posix_time::seconds(8), boost::posix_time::seconds(8)};
constexpr auto run_limit = std::chrono::milliseconds(30s);

std::size_t open_descriptors()
{
    std::size_t count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++count;
        closedir(fds);
    }
    return count;
}

// A client run against a ScriptedServer, with the descriptors counted before
// it starts, so that the run's end can show that it gave back every socket.
struct AttackedClient {
    explicit AttackedClient(ScriptedServer& server) : client(server.start_client(safety_net)) {}

    // Waits for the run to end; past run_limit it counts as hung.
    void finish()
    {
        client->wait(run_limit);
        descriptors_after = open_descriptors();
    }

    Ending ending() const { return client->ending(); }
    const std::string& what() const { return client->exception_text(); }
    const std::string& out() const { return client->out(); }
    const std::string& err() const { return client->err(); }
    bool unsupported_command() const { return ending() == Ending::other_exception && what() == unsupported_command_text; }
    // The client's sockets (and its loop's) are gone again once it has ended.
    bool gave_back_its_sockets() const { return descriptors_after == descriptors_before; }

    const std::size_t descriptors_before = open_descriptors();
    std::unique_ptr<InProcessClient> client;
    std::size_t descriptors_after = 0;
};

// Every way out that a hostile datagram may take, checked alike.
void expect_error_ending(const AttackedClient& client, const std::string& printed_before)
{
    EXPECT_TRUE(client.unsupported_command() || client.ending() == Ending::json_exception)
        << client.what();
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
            AttackedClient client(server);
            ASSERT_TRUE(client.client);
            ASSERT_TRUE(server.play_until(step));
            server.send_at(step, random_bytes(random, 1500));
            client.finish();
            expect_error_ending(client, server.printed_until(step).text());
        }
    }
}

// A hostile answer whose outcome is known exactly.
struct HostileAnswer {
    const char* name;
    Step step;
    std::string bytes;
    Ending ending;
    std::string what;
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
    AttackedClient client(server);
    ASSERT_TRUE(client.client);
    ASSERT_TRUE(server.play_until(answer.step));
    if (answer.step == Step::pings) server.send_pings(1);
    server.send_at(answer.step, answer.bytes);
    client.finish();

    std::string expected = server.printed_until(answer.step).text();
    if (answer.step == Step::pings) expected += Transcript("", 0, 0).received_ping("1", server.session_id).text();
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
                      Ending::json_exception, jsoncpp::not_convertible_to_int},
        HostileAnswer{"extra_port_past_32_bits", Step::start_reply,
                      "{\"command\":\"START\",\"extra_port\":4294967296}", Ending::json_exception,
                      jsoncpp::largest_uint_out_of_int},
        HostileAnswer{"extra_port_huge_real", Step::start_reply, "{\"command\":\"START\",\"extra_port\":1e300}",
                      Ending::json_exception, jsoncpp::double_out_of_int},
        HostileAnswer{"extra_port_array", Step::start_reply, "{\"command\":\"START\",\"extra_port\":[30001]}",
                      Ending::json_exception, jsoncpp::not_convertible_to_int},
        HostileAnswer{"ping_number_object", Step::pings, "{\"command\":\"PING\",\"ping_number\":{\"n\":2}}",
                      Ending::json_exception, jsoncpp::not_convertible_to_string},
        HostileAnswer{"array_root", Step::init2_reply, "[\"command\",\"INIT2\"]", Ending::json_exception,
                      jsoncpp::requires_object},
        HostileAnswer{"string_root", Step::pings, "\"PING\"", Ending::json_exception,
                      jsoncpp::requires_object},
        // Deeper than JsonCpp's reader goes: it throws while decoding.
        HostileAnswer{"nesting_past_the_reader_limit", Step::init_reply, std::string(1024, '['),
                      Ending::json_exception, jsoncpp::stack_limit},
        HostileAnswer{"command_as_array", Step::start_reply, "{\"command\":[\"START\"]}",
                      Ending::other_exception, unsupported_command_text},
        HostileAnswer{"nul_first", Step::init2_reply, std::string("\0{\"command\":\"INIT2\"}", 20),
                      Ending::other_exception, unsupported_command_text},
        HostileAnswer{"command_cut_off", Step::init_reply, "{\"command\":\"IN", Ending::other_exception, unsupported_command_text}),
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
    AttackedClient client(server);
    ASSERT_TRUE(client.client);
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
    AttackedClient client(server);
    ASSERT_TRUE(client.client);
    ASSERT_TRUE(server.play_until(Step::init_reply));
    // A whole INIT reply, then padding up to the largest UDP datagram.
    std::string init = server.reply_at(Step::init_reply);
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
    AttackedClient client(server);
    ASSERT_TRUE(client.client);
    ASSERT_TRUE(server.play_until(Step::pings));
    // Bounded: a few thousand datagrams, sent as fast as loopback takes them.
    for (int count = 0; count < 2000; ++count) {
        server.extra.send_to(punchprobe::make_server_ping(server.session_id, 9), loopback(server.p));
        server.extra.send_to(punchprobe::make_server_ping(server.session_id, 9), loopback(server.p + 1));
    }
    client.finish();

    // PINGs whose receive completed before close() are still handled, each
    // printing its line and the report again; nothing else may appear.
    EXPECT_EQ(client.ending(), Ending::verdict) << client.what();
    EXPECT_EQ(client.err(), "");
    EXPECT_TRUE(client.gave_back_its_sockets());
    const std::string ping_line = Transcript("", 0, 0).received_ping("9", server.session_id).text();
    const std::string report = Transcript(server.host, server.port(), server.p).success(server.extra.port()).text();
    std::string rest = client.out();
    const std::string head = server.printed_until(Step::pings).text() + ping_line + ping_line + ping_line + report;
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
    AttackedClient client(server);
    ASSERT_TRUE(client.client);
    ASSERT_TRUE(server.play_until(Step::init2_reply));
    for (int round = 0; round < 300; ++round) {
        for (auto& stranger : strangers) {
            stranger->send_to("not json at all", loopback(server.p));
            stranger->send_to("not json at all", loopback(server.p + 1));
        }
    }
    client.finish();
    EXPECT_TRUE(client.unsupported_command()) << client.what();
    EXPECT_EQ(client.out(), server.printed_until(Step::init2_reply).text());
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
    server.using_server_line = true;
    const auto client = server.start_process();
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(attack.step));
    server.send_at(attack.step, attack.bytes);
    const ProcessResult result = client->wait(run_limit);

    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, std::string(attack.error_line) + "\n");
    EXPECT_EQ(result.out, server.printed_until(attack.step).text());
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
        BinaryAttack{"random_bytes", Step::init2_reply, seeded_random_bytes(), unsupported_command_text},
        BinaryAttack{"deep_nesting", Step::start_reply, std::string(2000, '['), jsoncpp::stack_limit},
        BinaryAttack{"ping_number_object", Step::pings, "{\"command\":\"PING\",\"ping_number\":[]}",
                     jsoncpp::not_convertible_to_string}),
    [](const ::testing::TestParamInfo<BinaryAttack>& info) { return std::string(info.param.name); });

}  // namespace
