// Which handler a received text reaches: the "command" member alone decides,
// by exact JSON equality, whatever else the text holds or lacks.

#include <exception>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>
#include <json/value.h>

#include "protocol/command_dispatch.hpp"
#include "protocol/punchprobe_message.hpp"
#include "support/error_texts.hpp"

namespace {

namespace jsoncpp = punchprobe_test::jsoncpp;

using punchprobe::Command;
using punchprobe::command_of;
using punchprobe::PunchprobeMessage;

const char* name_of(Command command)
{
    switch (command) {
    case Command::init: return "INIT";
    case Command::init2: return "INIT2";
    case Command::start: return "START";
    case Command::ping: return "PING";
    }
    return "?";
}

// Dispatches `text` and checks that it fails with exactly an `Error` that
// says `what`.
template <typename Error>
void expect_dispatch_fails(const std::string& text, const char* what)
{
    SCOPED_TRACE(text);
    PunchprobeMessage message(text);
    try {
        const Command command = command_of(message);
        ADD_FAILURE() << "dispatched as " << name_of(command);
    } catch (const std::exception& error) {
        EXPECT_EQ(typeid(error), typeid(Error)) << typeid(error).name();
        EXPECT_STREQ(error.what(), what);
    }
}

struct Dispatched {
    const char* what;
    std::string text;
    Command command;
    const char* member;  // read afterwards the way the handler reads it, or nullptr
    bool as_text;
    std::string value;
};

TEST(CommandDispatch, SelectsTheHandlerByCommandAlone)
{
    const Dispatched cases[] = {
        {"INIT", "{\"command\":\"INIT\",\"session_id\":9}", Command::init, "session_id", false, "9"},
        {"INIT2", "{\"command\":\"INIT2\"}", Command::init2, "public_port_alt", false, "0"},
        {"START", "{\"command\":\"START\",\"extra_port\":30001}", Command::start, "extra_port", false,
         "30001"},
        {"PING with a number", "{\"command\":\"PING\",\"ping_number\":2}", Command::ping, "ping_number",
         true, "2"},
        {"PING with text", "{\"command\":\"PING\",\"ping_number\":\"2\"}", Command::ping, "ping_number",
         true, "2"},
        {"INIT without any other member", "{\"command\":\"INIT\"}", Command::init, "public_ip", true, ""},
        {"protocol tag is ignored", "{\"command\":\"PING\",\"protocol\":\"other\"}", Command::ping,
         nullptr, false, ""},
        {"object without its closing brace keeps its members",
         "{\"command\":\"START\",\"extra_port\":30001", Command::start, "extra_port", false, "30001"},
        {"bytes after a complete object are ignored",
         "{\"command\":\"INIT2\",\"public_port_alt\":40001}\n{\"command\":\"PING\"} junk", Command::init2,
         "public_port_alt", false, "40001"},
        {"leading line comment", "// from the server\n{\"command\":\"PING\",\"ping_number\":1}",
         Command::ping, "ping_number", true, "1"},
        {"block comments", "/* one */ {\"command\": /* two */ \"PING\" /* three */, \"ping_number\": 4}",
         Command::ping, "ping_number", true, "4"},
        {"white space around the object", " \r\n\t{ \"command\" : \"START\" }\n", Command::start, nullptr,
         false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PunchprobeMessage message(c.text);
        EXPECT_STREQ(name_of(command_of(message)), name_of(c.command));
        if (c.member == nullptr) continue;
        const Json::Value& root = message.root;
        const std::string value =
            c.as_text ? root[c.member].asString() : std::to_string(root[c.member].asInt());
        EXPECT_EQ(value, c.value);
    }
}

// Nothing but a JSON string of exactly one of the four names matches.
TEST(CommandDispatch, UnrecognisedCommandThrowsRuntimeError)
{
    const std::string texts[] = {
        "{\"command\":\"init\"}",
        "{\"command\":\"Ping\"}",
        "{\"command\":\"PING \"}",
        "{\"command\":\"INIT\\u0000\"}",
        "{\"command\":5}",
        "{\"command\":true}",
        "{\"command\":null}",
        "{\"command\":[\"PING\"]}",
        "{\"command\":{\"PING\":1}}",
        "{\"command\":\"\"}",
        "{\"COMMAND\":\"PING\"}",
        "{}",
        "",
        "hello server",
        "PING",
    };
    for (const auto& text : texts)
        expect_dispatch_fails<std::runtime_error>(text, punchprobe_test::unsupported_command_text);
}

// A root that is neither an object nor null cannot be asked for a member:
// JsonCpp's logic error leaves the dispatch, not our runtime error.
TEST(CommandDispatch, NonObjectRootThrowsJsonLogicError)
{
    const std::string texts[] = {"[\"PING\"]", "[]", "5", "-1.5", "\"PING\"", "true"};
    for (const auto& text : texts)
        expect_dispatch_fails<Json::LogicError>(text,
                                                jsoncpp::requires_object);
}

// A string where an integer is read passes the dispatch and fails in the
// handler's read.
TEST(CommandDispatch, StringWhereAnIntegerIsReadFailsInTheRead)
{
    PunchprobeMessage message("{\"command\":\"START\",\"extra_port\":\"30001\"}");
    ASSERT_EQ(command_of(message), Command::start);
    const Json::Value& root = message.root;
    try {
        const int port = root["extra_port"].asInt();
        ADD_FAILURE() << "read as " << port;
    } catch (const Json::LogicError& error) {
        EXPECT_STREQ(error.what(), jsoncpp::not_convertible_to_int);
    }
}

}  // namespace
