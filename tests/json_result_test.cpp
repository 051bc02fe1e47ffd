// `punchprobe --json`: one JSON object on standard output, whatever the end of
// the run, and an exit status per verdict. The entry runs in-process with
// short step deadlines against scripted peers; the real program (and, where
// it is built, the Windows one under Wine) shows the same line and status.

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "app/entry.hpp"
#include "support/child_process.hpp"
#include "support/in_process_client.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;
using boost::posix_time::milliseconds;

const std::string host = "127.0.0.1";

// Bounds a run that lost its way; its own deadlines end it far sooner.
constexpr std::chrono::milliseconds run_limit{30000};

// The line with its milestones as "T", after checking that they come in
// their order.
std::string with_times_masked(const std::string& line)
{
    if (line.empty()) return line;
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(line.data(), line.data() + line.size(), &root, &errors)) {
        ADD_FAILURE() << "not JSON: " << line << errors;
        return line;
    }
    long long previous = 0;
    for (const char* milestone : {"resolved", "init_reply", "init2_reply", "start_reply", "first_ping", "third_ping"}) {
        const Json::Value& at = root["elapsed_ms"][milestone];
        if (at.isNull()) continue;
        EXPECT_GE(at.asInt64(), previous) << milestone << " in " << line;
        previous = at.asInt64();
    }
    const std::string key = "\"elapsed_ms\":{";
    const auto begin = line.find(key);
    const auto end = line.find('}', begin);
    if (begin == std::string::npos || end == std::string::npos) return line;
    return line.substr(0, begin) +
           std::regex_replace(line.substr(begin, end - begin), std::regex(":[0-9]+"), ":T") + line.substr(end);
}

// Puts the run's ports into a golden line.
std::string golden(std::string text, int server_port, int p, int extra_port = 0)
{
    const std::pair<const char*, int> values[] = {
        {"$PORT", server_port}, {"$P1", p + 1}, {"$P", p}, {"$EXTRA", extra_port}};
    for (const auto& [name, value] : values)
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
            text.replace(at, std::string(name).size(), std::to_string(value));
    return text;
}

const std::string success_line =
    R"({"alt_port_is_next":true,"elapsed_ms":{"first_ping":T,"init2_reply":T,"init_reply":T,"resolved":T,)"
    R"("start_reply":T,"third_ping":T},"error":null,"extra_port":$EXTRA,"local_port":$P,"local_port_alt":$P1,)"
    R"("pings_received":3,"port_preserved":false,"public_ip":"203.0.113.7","public_port":61000,)"
    R"("public_port_alt":61001,"schema":1,"server":{"address":"127.0.0.1","host":"127.0.0.1","port":$PORT},)"
    R"("session_id":4242,"verdict":"success"})"
    "\n";

const std::string unsupported_line =
    R"({"alt_port_is_next":null,"elapsed_ms":{"first_ping":null,"init2_reply":null,"init_reply":null,)"
    R"("resolved":T,"start_reply":null,"third_ping":null},"error":")" + std::string(unsupported_command_text) + R"(",)"
    R"("extra_port":null,"local_port":$P,"local_port_alt":$P1,"pings_received":0,"port_preserved":null,)"
    R"("public_ip":null,"public_port":null,"public_port_alt":null,"schema":1,)"
    R"("server":{"address":"127.0.0.1","host":"127.0.0.1","port":$PORT},"session_id":null,"verdict":"error"})"
    "\n";

// The server of the golden lines.
void report_golden_values(ScriptedServer& server)
{
    server.public_ip = "203.0.113.7";
    server.public_port = 61000;
    server.public_port_alt = 61001;
}

bool play_success(ScriptedServer& server)
{
    report_golden_values(server);
    if (!server.play_until(Step::pings)) return false;
    server.send_pings(3);
    return true;
}

// A reply that names no command the client knows.
const std::string malformed_reply = "{\"command\":\"HELLO\"}";

// Never reached by a run that ends as it should.
const punchprobe::StepDurations safety_net{milliseconds(5000), milliseconds(5000)};

TEST(JsonResult, SuccessHasEveryFact)
{
    ScriptedServer server;
    InProcessClient client(EntryArguments{{"--json", host, std::to_string(server.port())}}, safety_net);
    ASSERT_TRUE(server.take_init());
    ASSERT_TRUE(play_success(server));
    ASSERT_TRUE(client.wait(run_limit));
    EXPECT_EQ(with_times_masked(client.out()), golden(success_line, server.port(), server.p, server.extra.port()));
    EXPECT_EQ(client.err(), "");
    EXPECT_EQ(client.status(), 0);
}

TEST(JsonResult, FailureKeepsThePingsThatCame)
{
    ScriptedServer server;
    report_golden_values(server);
    InProcessClient client(EntryArguments{{"--json", host, std::to_string(server.port())}},
                           {milliseconds(5000), milliseconds(300)});
    ASSERT_TRUE(server.take_init());
    ASSERT_TRUE(server.play_until(Step::pings));
    server.send_pings(1);
    ASSERT_TRUE(client.wait(run_limit));
    const std::string expected =
        R"({"alt_port_is_next":true,"elapsed_ms":{"first_ping":T,"init2_reply":T,"init_reply":T,"resolved":T,)"
        R"("start_reply":T,"third_ping":null},"error":null,"extra_port":$EXTRA,"local_port":$P,"local_port_alt":$P1,)"
        R"("pings_received":1,"port_preserved":false,"public_ip":"203.0.113.7","public_port":61000,)"
        R"("public_port_alt":61001,"schema":1,"server":{"address":"127.0.0.1","host":"127.0.0.1","port":$PORT},)"
        R"("session_id":4242,"verdict":"failure"})"
        "\n";
    EXPECT_EQ(with_times_masked(client.out()), golden(expected, server.port(), server.p, server.extra.port()));
    EXPECT_EQ(client.err(), "");
    EXPECT_EQ(client.status(), 2);
}

// Golden lines of runs that end before the server answered anything; the
// client's ports come from the line itself.
struct EarlyEnd {
    const char* name;
    std::vector<std::string> arguments;  // $PORT: a silent peer's port
    punchprobe::StepDurations durations;
    std::string line;
    std::string err;
    int status;
};

void PrintTo(const EarlyEnd& end, std::ostream* os)
{
    *os << end.name;
}

class JsonEarlyEnd : public ::testing::TestWithParam<EarlyEnd> {};

TEST_P(JsonEarlyEnd, GivesItsVerdictAndStatus)
{
    const EarlyEnd& end = GetParam();
    UdpPeer silent;
    std::vector<std::string> arguments;
    for (const auto& argument : end.arguments) arguments.push_back(golden(argument, silent.port(), 0));
    InProcessClient client(EntryArguments{arguments}, end.durations);
    ASSERT_TRUE(client.wait(run_limit));
    const std::regex local("\"local_port\":([0-9]+)");
    std::smatch match;
    const int p = std::regex_search(client.out(), match, local) ? std::stoi(match[1]) : 0;
    EXPECT_EQ(with_times_masked(client.out()), golden(end.line, silent.port(), p));
    EXPECT_EQ(client.err(), end.err);
    EXPECT_EQ(client.status(), end.status);
}

const std::string nothing_learned =
    R"("elapsed_ms":{"first_ping":null,"init2_reply":null,"init_reply":null,)";
const std::string no_replies =
    R"("start_reply":null,"third_ping":null},)";
const std::string nulls_from_extra_port =
    R"("extra_port":null,"local_port":$P,"local_port_alt":$P1,"pings_received":0,"port_preserved":null,)"
    R"("public_ip":null,"public_port":null,"public_port_alt":null,"schema":1,)";

INSTANTIATE_TEST_SUITE_P(
    Runs, JsonEarlyEnd,
    ::testing::Values(
        EarlyEnd{"SilentServerTimesOut", {"--json", host, "$PORT"}, {milliseconds(300), milliseconds(300)},
                 R"({"alt_port_is_next":null,)" + nothing_learned + R"("resolved":T,)" + no_replies +
                     R"("error":null,)" + nulls_from_extra_port +
                     R"("server":{"address":"127.0.0.1","host":"127.0.0.1","port":$PORT},"session_id":null,)"
                     R"("verdict":"timeout"})" "\n",
                 "", 3},
        // The error line comes first, the deadline's verdict after it.
        EarlyEnd{"FailedSendThenTimeout", {"--json", host, "0"}, {milliseconds(300), milliseconds(300)},
                 R"({"alt_port_is_next":null,)" + nothing_learned + R"("resolved":T,)" + no_replies +
                     R"("error":"Error in data_sent: system:22 Invalid argument",)" + nulls_from_extra_port +
                     R"("server":{"address":"127.0.0.1","host":"127.0.0.1","port":0},"session_id":null,)"
                     R"("verdict":"timeout"})" "\n",
                 "Error in data_sent: system:22 Invalid argument\n", 3},
        EarlyEnd{"FailedLookup", {"--json", host, "-1"}, {milliseconds(300), milliseconds(300)},
                 R"({"alt_port_is_next":null,)" + nothing_learned + R"("resolved":null,)" + no_replies +
                     R"("error":"Error in hostname_resolved: asio.addrinfo:-8 Service not found",)" +
                     nulls_from_extra_port +
                     R"("server":{"address":null,"host":"127.0.0.1","port":-1},"session_id":null,)"
                     R"("verdict":"error"})" "\n",
                 "Error in hostname_resolved: asio.addrinfo:-8 Service not found\n", 4},
        EarlyEnd{"RefusedPort", {"--json", host, "abc"}, {milliseconds(300), milliseconds(300)},
                 R"({"alt_port_is_next":null,)" + nothing_learned + R"("resolved":null,)" + no_replies +
                     R"("error":"invalid stoi argument","extra_port":null,"local_port":null,"local_port_alt":null,)"
                     R"("pings_received":0,"port_preserved":null,"public_ip":null,"public_port":null,)"
                     R"("public_port_alt":null,"schema":1,"server":{"address":null,"host":"127.0.0.1","port":null},)"
                     R"("session_id":null,"verdict":"error"})" "\n",
                 "invalid stoi argument\n", 4},
        EarlyEnd{"MissingHost", {"--json"}, {milliseconds(300), milliseconds(300)}, "",
                 "Usage: punchprobe <server_host> [<server_port>]\n", 1}),
    [](const ::testing::TestParamInfo<EarlyEnd>& info) { return info.param.name; });

TEST(JsonResult, MalformedReplyIsAnError)
{
    ScriptedServer server;
    InProcessClient client(EntryArguments{{"--json", host, std::to_string(server.port())}}, safety_net);
    ASSERT_TRUE(server.take_init());
    server.send_at(Step::init_reply, malformed_reply);
    ASSERT_TRUE(client.wait(run_limit));
    EXPECT_EQ(with_times_masked(client.out()), golden(unsupported_line, server.port(), server.p));
    EXPECT_EQ(client.err(), std::string(unsupported_command_text) + "\n");
    EXPECT_EQ(client.status(), 4);
}

// The real program: the same lines, the exit status of the process.
TEST(JsonProgram, PrintsOneLineAndExitsWithTheVerdictsStatus)
{
    {
        SCOPED_TRACE("success");
        ScriptedServer server;
        const auto client = server.start_process({"--json"});
        ASSERT_TRUE(client);
        ASSERT_TRUE(play_success(server));
        const ProcessResult result = client->wait(run_limit);
        EXPECT_EQ(with_times_masked(result.out),
                  console_text(golden(success_line, server.port(), server.p, server.extra.port())));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.exit_status, 0);
    }
    {
        SCOPED_TRACE("malformed reply");
        ScriptedServer server;
        const auto client = server.start_process({"--json"});
        ASSERT_TRUE(client);
        server.send_at(Step::init_reply, malformed_reply);
        const ProcessResult result = client->wait(run_limit);
        EXPECT_EQ(with_times_masked(result.out), console_text(golden(unsupported_line, server.port(), server.p)));
        EXPECT_EQ(result.err, console_text(std::string(unsupported_command_text) + "\n"));
        EXPECT_EQ(result.exit_status, 4);
    }
    {
        SCOPED_TRACE("missing host");
        const ProcessResult result = run_process(client_argv({"--json"}), 10s);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, console_text("Usage: punchprobe <server_host> [<server_port>]\n"));
        EXPECT_EQ(result.exit_status, 1);
    }
}

}  // namespace
