// Which handler a received text reaches: the "command" member alone decides,
// by exact JSON equality, however the text around it reads (the reader takes
// comments, stops after the first value and keeps a broken-off object).
#include <exception>
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>

#include "protocol/command_dispatch.hpp"

namespace {

using punchprobe::Command;

// The command's name, or the error that leaves the dispatch.
std::string dispatched(const std::string& text)
{
    punchprobe::PunchprobeMessage message(text);
    try {
        const char* names[] = {"INIT", "INIT2", "START", "PING"};
        return names[static_cast<int>(punchprobe::command_of(message))];
    } catch (const Json::LogicError& error) {
        return std::string("Json::LogicError: ") + error.what();
    } catch (const std::runtime_error& error) {
        return std::string("std::runtime_error: ") + error.what();
    }
}

TEST(CommandDispatch, CommandMemberAloneDecides)
{
    const std::string unsupported = "std::runtime_error: Unsupported PunchprobeMessage command";
    const std::string not_an_object =
        "Json::LogicError: in Json::Value::resolveReference(key, end): requires objectValue";
    const std::pair<std::string, std::string> cases[] = {
        {"{\"command\":\"INIT\",\"session_id\":9}", "INIT"},
        {"{\"command\":\"INIT2\"}", "INIT2"},
        {"{\"command\":\"START\",\"extra_port\":30001", "START"},
        {"{\"command\":\"PING\",\"protocol\":\"other\"}", "PING"},
        {"{\"command\":\"INIT2\",\"public_port_alt\":40001}\n{\"command\":\"PING\"} junk", "INIT2"},
        {"// from the server\n{\"command\":\"PING\",\"ping_number\":1}", "PING"},
        {"/* one */ {\"command\": /* two */ \"PING\" /* three */, \"ping_number\": 4}", "PING"},
        {" \r\n\t{ \"command\" : \"START\" }\n", "START"},
        // JsonCpp takes no comment between a key and its colon: the object
        // breaks off before that member.
        {"{\"ping_number\":1,\"command\" /* x */ :\"PING\"}", unsupported},
        {"{\"command\":\"init\"}", unsupported},
        {"{\"command\":\"Ping\"}", unsupported},
        {"{\"command\":\"PING \"}", unsupported},
        {"{\"command\":\"INIT\\u0000\"}", unsupported},
        {"{\"command\":5}", unsupported},
        {"{\"command\":true}", unsupported},
        {"{\"command\":null}", unsupported},
        {"{\"command\":[\"PING\"]}", unsupported},
        {"{\"command\":{\"PING\":1}}", unsupported},
        {"{\"command\":\"\"}", unsupported},
        {"{\"COMMAND\":\"PING\"}", unsupported},
        {"{}", unsupported},
        {"", unsupported},
        {"hello server", unsupported},
        {"PING", unsupported},
        {"[\"PING\"]", not_an_object},
        {"[]", not_an_object},
        {"5", not_an_object},
        {"-1.5", not_an_object},
        {"\"PING\"", not_an_object},
        {"true", not_an_object},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(dispatched(text), expected) << text;
}

}  // namespace
