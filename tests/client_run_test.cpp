// Whole runs of the client against scripted peers on loopback, one table row
// each: the peers' script, the golden console output (tests/golden/), the
// exit status, and every datagram on the wire. Program rows run the built
// program, and again the Windows one under Wine (tests/CMakeLists.txt);
// in-process rows inject short deadlines or hold the client's loop.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scripted_server.hpp"

namespace {

using namespace punchprobe_test;
using boost::posix_time::milliseconds;
using boost::posix_time::seconds;

const punchprobe::StepDurations shortly{milliseconds(300), milliseconds(300)};
const punchprobe::StepDurations short_pings{seconds(8), milliseconds(300)};
const punchprobe::StepDurations late_replies{milliseconds(500), milliseconds(300)};
const std::vector<std::string> json_args = {"--json", "{HOST}", "{SERVER}"};
const std::string unknown_command = "{\"command\":\"BYE\"}";
const std::string init_head = "{\"command\":\"INIT\",\"protocol\":\"Punchprobe\",\"public_ip\":\"";

std::string padded(std::string text, std::size_t size)
{
    text.resize(size, ' ');
    return text;
}

// Fixed seeds: a failure names its seed and repeats exactly.
std::string random_bytes(std::uint32_t seed, std::size_t max_length)
{
    std::mt19937 random(seed);
    std::string bytes(random() % (max_length + 1), '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

Act server_sends(Socket to, const std::string& bytes)
{
    return send(Peer::server, to, bytes);
}

// Built when the tests are registered, after the protocol's constants: the
// replies below are the real server's bytes.
std::vector<Row> program_rows()
{
    return {
    // Paced like a real server; numbers come as JSON numbers or as text.
    {"success", How::program, 3,
     {ping("1"), await_line("Received server PING(1)"), ping("\"2\""), await_line("Received server PING(2)"),
      ping("3")}},
    {"silent_server_times_out_after_ten_seconds", How::program, 0, {}, "timed_out_at_init"},
    // The one run that waits out the real 20 s for the PINGs.
    {"failure_after_twenty_seconds", How::program, 3, {}, "failure"},
    {"unknown_command", How::program, 0, {server_sends(Socket::p, "{\"command\":\"HELLO\",\"session_id\":1}\n")},
     "unsupported_at_init"},
    {"array_root", How::program, 0, {server_sends(Socket::p, "[\"INIT\",1]\n")}, "object_required_at_init"},
    {"random_bytes_at_init2", How::program, 1, {server_sends(Socket::p1, "\x01" + random_bytes(7, 1400))},
     "unsupported_at_init2"},
    {"extra_port_as_text", How::program, 2,
     {server_sends(Socket::p1, "{\"command\":\"START\",\"extra_port\":\"30001\"}\n")}, "int_expected_at_start"},
    {"nesting_past_the_reader_limit", How::program, 2, {server_sends(Socket::p1, std::string(2000, '['))},
     "stack_limit_at_start"},
    {"ping_number_array", How::program, 3, {send(Peer::extra, Socket::p, "{\"command\":\"PING\",\"ping_number\":[]}")},
     "string_expected_at_pings"},
    {"json_success", How::program, 3, {pings(3)}, nullptr, 0, json_args},
    // The server saw the client at one of the host's own addresses: no NAT.
    // Under Wine this reads the host's addresses through the IP Helper API.
    {"json_own_address", How::program, 0,
     {answer(Stage::init, 4242, punchprobe::make_init_reply(4242, "127.0.0.1", 7000)), answer(Stage::init2),
      answer(Stage::start), pings(3)},
     nullptr, 0, json_args},
    {"json_unsupported_reply", How::program, 0, {server_sends(Socket::p, "{\"command\":\"HELLO\"}")}, nullptr, 4,
     json_args},
    {"json_missing_host", How::program, 0, {}, "usage", 1, {"--json"}},
    {"missing_host", How::program, 0, {}, "usage", 1, {}},
    {"port_not_a_number", How::program, 0, {}, nullptr, 0, {"127.0.0.1", "abc"}},
    {"port_out_of_range", How::program, 0, {}, nullptr, 0, {"127.0.0.1", "99999999999"}},
    // Only the first argument asks for help or the version; what follows is
    // ignored, and in the port's place the words are no number.
    {"help", How::program, 0, {}, nullptr, 0, {"--help"}},
    {"help_short", How::program, 0, {}, "help", 0, {"-h"}},
    {"help_then_anything", How::program, 0, {}, "help", 0, {"--help", "x", "y"}},
    {"help_short_then_a_host", How::program, 0, {}, "help", 0, {"-h", "127.0.0.1", "30000"}},
    {"help_then_version", How::program, 0, {}, "help", 0, {"--help", "--version"}},
    {"version", How::program, 0, {}, nullptr, 0, {"--version"}},
    {"version_then_help", How::program, 0, {}, "version", 0, {"--version", "--help"}},
    {"version_then_a_host", How::program, 0, {}, "version", 0, {"--version", "127.0.0.1"}},
    {"help_as_port", How::program, 0, {}, "port_not_a_number", 0, {"127.0.0.1", "--help"}},
    {"help_short_as_port", How::program, 0, {}, "port_not_a_number", 0, {"127.0.0.1", "-h"}},
    {"version_as_port", How::program, 0, {}, "port_not_a_number", 0, {"127.0.0.1", "--version"}},
    // Passes the parse, is printed as it is and fails in the lookup, which
    // ends the run by itself. Linux only: Wine's lookup says otherwise.
    {"minus_one_port", How::program, 0, {}, nullptr, 0, {"127.0.0.1", "-1"}},
    // The port is read like strtol, and only as the second of exactly two.
    {"default_port_for_one_argument", How::program, 0, {server_sends(Socket::p, unknown_command)},
     "unsupported_at_init", 0, {"{HOST}"}},
    {"default_port_for_three_arguments", How::program, 0, {server_sends(Socket::p, unknown_command)},
     "unsupported_at_init", 0, {"{HOST}", "40404", "extra"}},
    {"port_digits_then_letters", How::program, 0, {server_sends(Socket::p, unknown_command)}, "unsupported_at_init",
     0, {"{HOST}", "{SERVER}abc"}},
    {"port_after_blanks", How::program, 0, {server_sends(Socket::p, unknown_command)}, "unsupported_at_init", 0,
     {"{HOST}", "  {SERVER}"}},
    };
}

std::vector<Row> in_process_rows()
{
    return {
    // Members of the wrong type or shape end the run with the error's text
    // before any line of the handler.
    {"port_alt_as_text", How::entry, 1,
     {server_sends(Socket::p1, "{\"command\":\"INIT2\",\"public_port_alt\":\"7001\"}")}, "int_expected_at_init2"},
    {"array_root_at_init2", How::entry, 1, {server_sends(Socket::p1, "[\"command\",\"INIT2\"]")},
     "object_required_at_init2"},
    {"nul_first", How::entry, 1, {server_sends(Socket::p1, std::string("\0{\"command\":\"INIT2\"}", 20))},
     "unsupported_at_init2"},
    {"extra_port_past_32_bits", How::entry, 2,
     {server_sends(Socket::p1, "{\"command\":\"START\",\"extra_port\":4294967296}")}, "uint_out_of_int_at_start"},
    {"extra_port_huge_real", How::entry, 2, {server_sends(Socket::p1, "{\"command\":\"START\",\"extra_port\":1e300}")},
     "double_out_of_int_at_start"},
    {"extra_port_array", How::entry, 2, {server_sends(Socket::p1, "{\"command\":\"START\",\"extra_port\":[30001]}")},
     "int_expected_at_start"},
    {"command_as_array", How::entry, 2, {server_sends(Socket::p1, "{\"command\":[\"START\"]}")},
     "unsupported_at_start"},
    {"ping_number_object", How::entry, 3,
     {pings(1), send(Peer::extra, Socket::p, "{\"command\":\"PING\",\"ping_number\":{\"n\":2}}")},
     "string_expected_after_one_ping"},
    {"string_root", How::entry, 3, {pings(1), send(Peer::extra, Socket::p, "\"PING\"")},
     "object_required_after_one_ping"},
    {"nesting_at_init", How::entry, 0, {server_sends(Socket::p, std::string(1024, '['))}, "stack_limit_at_init"},
    {"command_cut_off", How::entry, 0, {server_sends(Socket::p, "{\"command\":\"IN")}, "unsupported_at_init"},
    {"empty_datagram", How::entry, 0, {server_sends(Socket::p, "")}, "unsupported_at_init"},
    {"lower_case_command", How::entry, 0, {server_sends(Socket::p, "{\"command\":\"init\",\"session_id\":1}\n")},
     "unsupported_at_init"},
    {"not_json", How::entry, 0, {server_sends(Socket::p, "hello server\n")}, "unsupported_at_init"},
    {"bare_number", How::entry, 0, {server_sends(Socket::p, "42\n")}, "object_required_at_init"},
    {"session_as_text", How::entry, 0, {server_sends(Socket::p, "{\"command\":\"INIT\",\"session_id\":\"12\"}\n")},
     "int_expected_at_init"},
    {"strangers_flooding_both_sockets", How::entry, 1, {flood(Peer::other, "not json at all", 900)},
     "unsupported_at_init2"},
    // A broken-off INIT reply whose command is whole: the members read before
    // the break count, and the exchange goes on with them.
    {"cut_after_the_command", How::entry, 0,
     {answer(Stage::init, 0, "{\"command\":\"INIT\""), answer(Stage::init2, 0), answer(Stage::start, 0), pings(3)},
     "cut_init_nothing_read"},
    {"cut_in_the_address", How::entry, 0,
     {answer(Stage::init, 0, init_head + "203.0"), answer(Stage::init2, 0), answer(Stage::start, 0), pings(3)},
     "cut_init_nothing_read"},
    {"cut_in_the_port", How::entry, 0,
     {answer(Stage::init, 0, init_head + "203.0.113.9\",\"public_port\":70"), answer(Stage::init2, 0),
      answer(Stage::start, 0), pings(3)},
     "cut_init_in_the_port"},
    {"cut_in_the_session", How::entry, 0,
     {answer(Stage::init, 42, init_head + "203.0.113.9\",\"public_port\":7000,\"session_id\":42"),
      answer(Stage::init2, 42), answer(Stage::start, 42), pings(3)},
     "cut_init_in_the_session"},
    // A negative session stays a JSON integer in every request.
    {"cut_before_the_brace", How::entry, 0,
     {answer(Stage::init, -4242, init_head + "203.0.113.9\",\"public_port\":7000,\"session_id\":-4242"),
      answer(Stage::init2, -4242), answer(Stage::start, -4242), pings(3)},
     "cut_init_before_the_brace"},
    {"init_reply_without_public_address", How::entry, 0,
     {answer(Stage::init, 3, "{\"command\":\"INIT\",\"session_id\":3}\n"), answer(Stage::init2, 3),
      answer(Stage::start, 3), pings(3)}},
    // Read as its first 1024 bytes: the INIT reply whole, the PING's number
    // cut inside its text, which counts as empty.
    {"huge_datagrams", How::entry, 0,
     {answer(Stage::init, 4242, padded(punchprobe::make_init_reply(4242, "203.0.113.9", 7000), 65507)),
      answer(Stage::init2), answer(Stage::start), pings(2),
      send(Peer::extra, Socket::p, "{\"command\":\"PING\",\"ping_number\":\"" + std::string(60000, '7') + "\"}")},
     "success_third_ping_empty"},
    // The NUL ends the text, and the string that was being read stays empty.
    {"ping_with_nul", How::entry, 3,
     {pings(2), send(Peer::extra, Socket::p, std::string("{\"command\":\"PING\",\"ping_number\":\"a\0b\"}\n", 39))},
     "success_third_ping_empty"},
    {"ping_padded_to_1500_bytes", How::entry, 3,
     {pings(2), send(Peer::extra, Socket::p, padded("{\"command\":\"PING\",\"ping_number\":\"3\"}", 1500))}, "success"},
    // A later duplicate member beyond the 1024 bytes must not win.
    {"ping_brace_beyond_1024", How::entry, 3,
     {pings(2), send(Peer::extra, Socket::p,
                     padded("{\"command\":\"PING\",\"ping_number\":\"3\",", 1024) + "\"ping_number\":\"late\"}")},
     "success"},
    // The second reply overwrites what the first stored.
    {"repeated_init_reply", How::entry, 0,
     {server_sends(Socket::p, punchprobe::make_init_reply(11, "203.0.113.1", 50000)),
      server_sends(Socket::p, punchprobe::make_init_reply(12, "203.0.113.2", 50002)),
      expect(Peer::server, Socket::p1, init2_request(11)), expect(Peer::server, Socket::p1, init2_request(12)),
      answer(Stage::init2, 12, punchprobe::make_init2_reply(12, 50003)), answer(Stage::start, 12), pings(3)}},
    // START is never answered; PINGs count on either socket, and SUCCESS
    // names the extra port as 0.
    {"pings_before_start_reply", How::entry, 2,
     {server_sends(Socket::p, server_ping("")), server_sends(Socket::p, server_ping("")),
      server_sends(Socket::p1, server_ping(""))}},
    // Printed in full, while the PING goes to the low 16 bits.
    {"extra_port_above_65535", How::entry, 2,
     {answer(Stage::start, 4242, "{\"command\":\"START\",\"extra_port\":{WIDE_EXTRA},\"session_id\":4242}"), pings(3)}},
    // Each request goes to the sender of the reply before it, the PING to the
    // START reply's sender at the port it names; the lines keep naming the
    // server of the command line.
    {"replies_from_another_address", How::entry, 0,
     {send(Peer::other, Socket::p, punchprobe::make_init_reply(77, "192.0.2.44", 1111)),
      expect(Peer::other, Socket::p1, init2_request(77)),
      server_sends(Socket::p1, punchprobe::make_init2_reply(77, 2222)),
      expect(Peer::server, Socket::p1, start_request(77)),
      send(Peer::other, Socket::p1, "{\"command\":\"START\",\"extra_port\":{OTHER}}"),
      expect(Peer::other, Socket::p, ping_request(77)), pings(3)}},
    // A send the system refuses (port 0) starts no receive: the step ends on
    // its deadline.
    {"failed_init_send", How::entry, 0, {}, nullptr, 0, {"127.0.0.1", "0"}, shortly},
    {"failed_ping_send", How::entry, 2,
     {server_sends(Socket::p1, punchprobe::make_start_reply(4242, 65536))}, nullptr, 0, {"{HOST}", "{SERVER}"},
     short_pings},
    {"two_pings_are_not_enough", How::entry, 3, {pings(2)}, "two_pings_then_failure", 0, {"{HOST}", "{SERVER}"},
     short_pings},
    // Each reply comes a little late: a deadline that not every send moved
    // would end these runs early.
    {"no_answer_to_init", How::entry, 0, {}, "timed_out_at_init", 0, {"{HOST}", "{SERVER}"}, shortly},
    {"no_answer_to_init2", How::entry, 0, {idle(100), answer(Stage::init)}, "timed_out_at_init2", 0,
     {"{HOST}", "{SERVER}"}, late_replies},
    {"no_answer_to_start", How::entry, 0, {idle(100), answer(Stage::init), idle(100), answer(Stage::init2)},
     "timed_out_at_start", 0, {"{HOST}", "{SERVER}"}, late_replies},
    {"no_server_pings", How::entry, 0,
     {idle(100), answer(Stage::init), idle(100), answer(Stage::init2), idle(100), answer(Stage::start)}, "failure",
     0, {"{HOST}", "{SERVER}"}, late_replies},
    // --json: the verdict's exit status, and null for what the run never
    // learned.
    {"json_failure_after_one_ping", How::entry, 3, {pings(1)}, nullptr, 2, json_args, short_pings},
    {"json_timeout", How::entry, 0, {}, nullptr, 3, json_args, shortly},
    // The transcript as without the option, then the gateway's section; the
    // options in either order. (What the section says: gateway_report_test.)
    {"port_mapping_after_success", How::entry, 3, {pings(3)}, nullptr, 0, {"--port-mapping", "{HOST}", "{SERVER}"}},
    {"json_port_mapping_timeout", How::entry, 0, {}, nullptr, 3, {"--port-mapping", "--json", "{HOST}", "{SERVER}"},
     shortly},
    // The error line comes first, the deadline's verdict after it.
    {"json_failed_send_then_timeout", How::entry, 0, {}, nullptr, 3, {"--json", "127.0.0.1", "0"}, shortly},
    {"json_failed_lookup", How::entry, 0, {}, nullptr, 4, {"--json", "127.0.0.1", "-1"}},
    {"json_refused_port", How::entry, 0, {}, nullptr, 4, {"--json", "127.0.0.1", "abc"}},
    // Several reply deadlines pass with the loop held before its first turn
    // and the lookup done: the deadline counts from INIT all the same.
    {"no_verdict_before_the_first_send", How::client, 0, {hold(), idle(800), release()}, "timed_out_at_init", 0,
     {"{HOST}", "{SERVER}"}, {milliseconds(200), milliseconds(200)}},
    // All three are received before any handler runs: each keeps its bytes.
    {"pings_arriving_together", How::client, 3,
     {hold(), ping("\"first\""), ping("\"second\""), ping("\"third\""), release()}, "success_pings_named"},
    // Answered on the alternate socket, so that the primary one keeps four
    // receives: datagrams already received at the verdict are handled after
    // it. A reply there is dropped without a line or a send,...
    {"stray_reply_after_success", How::client, 0,
     {answer(Stage::init).to(Socket::p1), answer(Stage::init2), answer(Stage::start), hold(), pings(3),
      server_sends(Socket::p, punchprobe::make_init_reply(99, "192.0.2.99", 9999)), release()},
     "success"},
    // ...a late PING prints its line and the report again...
    {"late_ping_after_success", How::client, 0,
     {answer(Stage::init).to(Socket::p1), answer(Stage::init2), answer(Stage::start), hold(), pings(4), release()}},
    // ...and PINGs behind FAILURE are dropped. Asio hands over the first PING
    // received before the expired deadline, the others after it.
    {"pings_queued_behind_failure", How::client, 0,
     {answer(Stage::init).to(Socket::p1), answer(Stage::init2), answer(Stage::start), hold(), idle(600), pings(3),
      release()},
     "ping_queued_behind_failure", 0, {"{HOST}", "{SERVER}"}, short_pings},
    };
}

class ClientRun : public ::testing::TestWithParam<Row> {};


TEST_P(ClientRun, Golden)
{
    expect_golden_run(GetParam());
}

std::string row_name(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Program, ClientRun, ::testing::ValuesIn(program_rows()), row_name);
INSTANTIATE_TEST_SUITE_P(InProcess, ClientRun, ::testing::ValuesIn(in_process_rows()), row_name);

// Random bytes at any step end the run with one error line, of the client's
// own or JsonCpp's, and nothing printed past the step.
TEST(ClientHostilePeer, RandomBytesAtAnyStepEndTheRunWithOneError)
{
    const char* printed_until[] = {"unsupported_at_init", "unsupported_at_init2", "unsupported_at_start",
                                   "string_expected_at_pings"};
    const std::string errors[] = {"Unsupported PunchprobeMessage command\n",
                                  "in Json::Value::resolveReference(key, end): requires objectValue\n",
                                  "Exceeded stackLimit in readValue().\n"};
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        for (int stage = 0; stage <= 3; ++stage) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " at stage " + std::to_string(stage));
            const std::string bytes = random_bytes(seed * 4 + stage, 1500);
            const Act act = stage == 3 ? send(Peer::extra, Socket::p, bytes)
                                       : server_sends(stage == 0 ? Socket::p : Socket::p1, bytes);
            const RunResult result = run_row({"random", How::entry, stage, {act}, printed_until[stage]});
            const std::string expected = golden(printed_until[stage], result.values);
            EXPECT_EQ(result.out, expected.substr(0, expected.find("-- stderr --")));
            EXPECT_NE(std::find(std::begin(errors), std::end(errors), result.err), std::end(errors)) << result.err;
        }
    }
}

// A flood of PINGs to both sockets: the run ends at SUCCESS, and PINGs whose
// receive completed before the sockets closed print their line and the
// report again, at most two of them (the receives still pending).
TEST(ClientHostilePeer, FloodOfPingsEndsInSuccessAndRepeatsOnlyItsReport)
{
    const RunResult result =
        run_row({"flood", How::entry, 3, {flood(Peer::extra, server_ping("9"), 2000)}, "flood_of_pings"});
    const std::string head = golden("flood_of_pings", result.values);
    const std::string block = head.substr(head.rfind("Received server PING"));
    std::string rest = result.out;
    ASSERT_EQ(rest.substr(0, head.size()), head);
    int repeats = 0;
    for (rest.erase(0, head.size()); !rest.empty() && rest.rfind(block, 0) == 0; ++repeats) rest.erase(0, block.size());
    EXPECT_EQ(rest, "");
    EXPECT_LE(repeats, 2);
    EXPECT_EQ(result.err, "");
}

}  // namespace
