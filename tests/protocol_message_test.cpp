// The test message on the wire: the exact bytes of the four requests, and
// how a received text turns into members that the handlers read.

#include <algorithm>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>

#include "protocol/punchprobe_message.hpp"
#include "support/error_texts.hpp"

namespace {

namespace jsoncpp = punchprobe_test::jsoncpp;

using punchprobe::PunchprobeMessage;

struct Encoding {
    const char* what;
    std::function<std::string(PunchprobeMessage&)> build;
    std::string command_name;
    std::string datagram;
};

void expect_encodings(const Encoding* begin, const Encoding* end)
{
    for (const Encoding* c = begin; c != end; ++c) {
        SCOPED_TRACE(c->what);
        PunchprobeMessage message;
        const std::string datagram = c->build(message);
        EXPECT_EQ(datagram, c->datagram);
        EXPECT_EQ(message.command_name, c->command_name);
        // The datagram is the text and its one final line feed, nothing more.
        EXPECT_EQ(datagram.find('\0'), std::string::npos);
        EXPECT_EQ(std::count(datagram.begin(), datagram.end(), '\n'), 1);
        EXPECT_EQ(datagram.back(), '\n');
        // Encoding again does not change the message or its text.
        EXPECT_EQ(message.encode(), datagram);
    }
}

// Members come out in key order whatever the order they were set in;
// "protocol" and "command" are set last.
TEST(ProtocolMessage, EncodesTheFourRequestsExactly)
{
    const Encoding cases[] = {
        {"INIT", [](PunchprobeMessage& m) { return m.make_init(54321); }, "INIT",
         "{\"command\":\"INIT\",\"local_port\":54321,\"protocol\":\"Punchprobe\"}\n"},
        // local_port_alt sorts before protocol, session_id comes last.
        {"INIT2", [](PunchprobeMessage& m) { return m.make_init2(12345, 54322); }, "INIT2",
         "{\"command\":\"INIT2\",\"local_port_alt\":54322,\"protocol\":\"Punchprobe\",\"session_id\":12345}\n"},
        {"START", [](PunchprobeMessage& m) { return m.make_start(12345); }, "START",
         "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":12345}\n"},
        {"PING", [](PunchprobeMessage& m) { return m.make_ping(12345); }, "PING",
         "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":12345}\n"},
    };
    expect_encodings(std::begin(cases), std::end(cases));

    // The byte counts the server side sees.
    PunchprobeMessage init, init2, start, ping;
    EXPECT_EQ(init.make_init(54321).size(), 62u);
    EXPECT_EQ(init2.make_init2(12345, 54322).size(), 86u);
    EXPECT_EQ(start.make_start(12345).size(), 63u);
    EXPECT_EQ(ping.make_ping(12345).size(), 62u);
}

// A session taken from a server's reply may be negative; it stays a JSON
// integer, never text.
TEST(ProtocolMessage, NegativeValuesAreJsonIntegers)
{
    const Encoding cases[] = {
        {"INIT2", [](PunchprobeMessage& m) { return m.make_init2(-7, 65536); }, "INIT2",
         "{\"command\":\"INIT2\",\"local_port_alt\":65536,\"protocol\":\"Punchprobe\",\"session_id\":-7}\n"},
        {"START", [](PunchprobeMessage& m) { return m.make_start(-7); }, "START",
         "{\"command\":\"START\",\"protocol\":\"Punchprobe\",\"session_id\":-7}\n"},
        {"PING", [](PunchprobeMessage& m) { return m.make_ping(-7); }, "PING",
         "{\"command\":\"PING\",\"protocol\":\"Punchprobe\",\"session_id\":-7}\n"},
        {"INIT, extremes", [](PunchprobeMessage& m) { return m.make_init(-2147483647 - 1); }, "INIT",
         "{\"command\":\"INIT\",\"local_port\":-2147483648,\"protocol\":\"Punchprobe\"}\n"},
    };
    expect_encodings(std::begin(cases), std::end(cases));
}

TEST(ProtocolMessage, NewMessageIsEmpty)
{
    const PunchprobeMessage message;
    EXPECT_TRUE(message.root.isNull());
    EXPECT_EQ(message.command_name, "");
}

// Handlers read through a const root: a missing member reads as 0 or as
// empty text and is not added.
struct Read {
    std::string text;
    const char* member;
    bool as_text;
    std::string value;  // asString, or asInt in decimal
};

TEST(ProtocolMessage, ReadsMembersAsTheHandlersDo)
{
    const Read cases[] = {
        {"{\"command\":\"PING\",\"ping_number\":2}", "ping_number", true, "2"},
        {"{\"command\":\"PING\",\"ping_number\":\"2\"}", "ping_number", true, "2"},
        {"{\"command\":\"PING\"}", "ping_number", true, ""},
        {"{\"command\":\"PING\",\"ping_number\":true}", "ping_number", true, "true"},
        {"{\"command\":\"PING\",\"ping_number\":null}", "ping_number", true, ""},
        {"{\"command\":\"INIT\"}", "session_id", false, "0"},
        {"{\"command\":\"INIT\"}", "public_ip", true, ""},
        {"{\"command\":\"INIT\"}", "public_port", false, "0"},
        {"{\"command\":\"INIT2\"}", "public_port_alt", false, "0"},
        {"{\"command\":\"START\"}", "extra_port", false, "0"},
        {"{\"command\":\"INIT\",\"session_id\":-7}", "session_id", false, "-7"},
        {"{\"command\":\"INIT\",\"session_id\":true}", "session_id", false, "1"},
        {"{\"command\":\"INIT\",\"session_id\":-3.9}", "session_id", false, "-3"},
        {"{\"command\":\"INIT\",\"public_ip\":\"203.0.113.5\"}", "public_ip", true, "203.0.113.5"},
        {"{\"command\":\"START\",\"extra_port\":2147483647}", "extra_port", false, "2147483647"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " member " + c.member);
        const PunchprobeMessage message(c.text);
        const Json::Value& root = message.root;
        const Json::ArrayIndex size_before = root.size();
        const std::string value =
            c.as_text ? root[c.member].asString() : std::to_string(root[c.member].asInt());
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(root.size(), size_before) << "reading added a member";
        EXPECT_EQ(message.command_name, "") << "decoding never sets command_name";
    }
}

// Values that the integer read refuses end the run with JsonCpp's own error.
struct Refused {
    std::string text;
    std::string what;
};

TEST(ProtocolMessage, IntegerReadOfOtherValuesThrowsJsonLogicError)
{
    const Refused cases[] = {
        {"{\"extra_port\":\"30001\"}", jsoncpp::not_convertible_to_int},
        {"{\"extra_port\":[1]}", jsoncpp::not_convertible_to_int},
        {"{\"extra_port\":{}}", jsoncpp::not_convertible_to_int},
        {"{\"extra_port\":2147483648}", jsoncpp::largest_uint_out_of_int},
        {"{\"extra_port\":-2147483649}", jsoncpp::largest_int_out_of_int},
        {"{\"extra_port\":1e10}", jsoncpp::double_out_of_int},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PunchprobeMessage message(c.text);
        const Json::Value& root = message.root;
        try {
            const int value = root["extra_port"].asInt();
            ADD_FAILURE() << "read as " << value;
        } catch (const Json::LogicError& error) {
            EXPECT_EQ(error.what(), c.what);
        }
    }
}

TEST(ProtocolMessage, TextReadOfContainersThrowsJsonLogicError)
{
    const PunchprobeMessage message("{\"ping_number\":[2],\"public_ip\":{}}");
    const Json::Value& root = message.root;
    EXPECT_THROW(root["ping_number"].asString(), Json::LogicError);
    EXPECT_THROW(root["public_ip"].asString(), Json::LogicError);
}

// Decoding reports nothing: whatever the reader built is the message.
struct Decoded {
    std::string text;
    std::string compact;  // root written back out compactly, without the line feed
};

TEST(ProtocolMessage, DecodingKeepsWhatTheReaderBuilt)
{
    const Decoded cases[] = {
        {"", "null"},
        {"hello server", "null"},
        {"{\"command\":\"START\",\"extra_port\":30001", "{\"command\":\"START\",\"extra_port\":30001}"},
        {"{\"command\":\"INIT2\",\"public_port_alt\":40001}trailing {\"command\":\"PING\"}",
         "{\"command\":\"INIT2\",\"public_port_alt\":40001}"},
        {"// a comment line\n{\"command\":\"PING\",\"ping_number\":1}",
         "{\"command\":\"PING\",\"ping_number\":1}"},
        {"/* a */{\"command\":/* b */\"PING\"}/* c */", "{\"command\":\"PING\"}"},
        // JsonCpp takes no comment between a key and its colon: the object
        // breaks off there, before that member.
        {"{\"ping_number\":1,\"command\" /* x */ :\"PING\"}", "{\"ping_number\":1}"},
        {"[\"PING\"]", "[\"PING\"]"},
        {"5", "5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PunchprobeMessage message(c.text);
        std::string compact = message.encode();
        ASSERT_FALSE(compact.empty());
        compact.pop_back();
        EXPECT_EQ(compact, c.compact);
        EXPECT_EQ(message.command_name, "");
    }
}

}  // namespace
