#include "protocol/punchprobe_message.hpp"

#include <algorithm>

#include <json/reader.h>
#include <json/writer.h>

#include "protocol/protocol_constants.hpp"
#include "protocol/wire_contract.hpp"

namespace punchprobe {

// Json::Reader and Json::FastWriter are deprecated in JsonCpp 1.9, but they
// define the wire format: the reader's default features (comments, any root
// value) and the writer's compact output with a final line feed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

PunchprobeMessage::PunchprobeMessage(const std::string& text)
{
    // The parse result is deliberately ignored: dispatch goes on with
    // whatever the reader built, and a null root ends as an unsupported
    // command.
    Json::Reader reader;
    reader.parse(text, root);
}

std::string PunchprobeMessage::encode() const
{
    Json::FastWriter writer;
    return writer.write(root);
}

#pragma GCC diagnostic pop

std::string PunchprobeMessage::make_init(int local_port)
{
    command_name = command_init;
    root["local_port"] = Json::Value(local_port);
    return finish();
}

std::string PunchprobeMessage::make_init2(int session_id, int local_port_alt)
{
    command_name = command_init2;
    root["session_id"] = Json::Value(session_id);
    root["local_port_alt"] = Json::Value(local_port_alt);
    return finish();
}

std::string PunchprobeMessage::make_start(int session_id)
{
    command_name = command_start;
    root["session_id"] = Json::Value(session_id);
    return finish();
}

std::string PunchprobeMessage::make_ping(int session_id)
{
    command_name = command_ping;
    root["session_id"] = Json::Value(session_id);
    return finish();
}

std::string PunchprobeMessage::finish()
{
    root["protocol"] = Json::Value(protocol_tag);
    root["command"] = Json::Value(command_name);
    return encode();
}

std::string received_text(const char* bytes, std::size_t size)
{
    const char* end = bytes + std::min(size, client_receive_buffer_size);
    return std::string(bytes, std::find(bytes, end, '\0'));
}

}  // namespace punchprobe
