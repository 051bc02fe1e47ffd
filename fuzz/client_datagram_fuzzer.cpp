// Feeds one datagram to the client's decoding and dispatch, then reads every
// member the chosen handler reads, the way the handler reads it. Whatever the
// bytes are, the only ways out are a handler choice, the runtime error
// "Unsupported PunchprobeMessage command" or one of JsonCpp's own exceptions;
// anything else (another exception, a crash, a leak, undefined behaviour)
// is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include <json/value.h>

#include "client/punchprobe_client.hpp"
#include "protocol/command_dispatch.hpp"
#include "protocol/punchprobe_message.hpp"

namespace {

using punchprobe::Command;
using punchprobe::PunchprobeMessage;

[[noreturn]] void finding(const char* what)
{
    // abort() makes libFuzzer keep the input as a crash artifact.
    std::fprintf(stderr, "client_datagram_fuzzer: %s\n", what);
    std::abort();
}

// The members each handler reads, in its order, and whether as an integer.
struct MemberRead {
    const char* name;
    bool as_int;
};

constexpr MemberRead init_reads[] = {{"session_id", true}, {"public_ip", false}, {"public_port", true}};
constexpr MemberRead init2_reads[] = {{"public_port_alt", true}};
constexpr MemberRead start_reads[] = {{"extra_port", true}};
constexpr MemberRead ping_reads[] = {{"ping_number", false}};

// Returns a value that depends on what was read, so the reads stay.
std::size_t read_member(const Json::Value& root, const MemberRead& member)
{
    const Json::Value& value = root[member.name];
    if (member.as_int) return static_cast<std::size_t>(static_cast<unsigned>(value.asInt()));
    return value.asString().size();
}

template <std::size_t N>
std::size_t read_members(const Json::Value& root, const MemberRead (&members)[N])
{
    std::size_t sum = 0;
    for (const MemberRead& member : members) sum += read_member(root, member);
    return sum;
}

// What the client does with one received datagram.
void handle_like_the_client(const std::string& text)
{
    PunchprobeMessage message(text);
    const Command command = punchprobe::command_of(message);
    const Json::Value& root = message.root;
    volatile std::size_t sink = 0;
    switch (command) {
    case Command::init: sink = read_members(root, init_reads); break;
    case Command::init2: sink = read_members(root, init2_reads); break;
    case Command::start: sink = read_members(root, start_reads); break;
    case Command::ping: sink = read_members(root, ping_reads); break;
    }
    (void)sink;
}

// Every member any handler reads, each on its own, so that a refused read
// does not hide the ones after it; and the writer on what the reader built.
void read_everything(const std::string& text)
{
    PunchprobeMessage message(text);
    const Json::Value& root = message.root;
    if (!root.isObject() && !root.isNull()) return;
    const MemberRead all[] = {init_reads[0], init_reads[1], init_reads[2], init2_reads[0], start_reads[0],
                              ping_reads[0], {"command", false}};
    volatile std::size_t sink = 0;
    for (const MemberRead& member : all) {
        try {
            sink = sink + read_member(root, member);
        } catch (const Json::Exception&) {
        }
    }
    sink = sink + message.encode().size();
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // As the client receives it: at most its buffer, up to the first NUL.
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::size_t cut = std::min(size, punchprobe::PunchprobeClient::receive_buffer_size);
    const std::string text(bytes, std::find(bytes, bytes + cut, '\0'));

    try {
        handle_like_the_client(text);
    } catch (const Json::Exception&) {
        // JsonCpp's logic and runtime errors: the run ends with their text.
    } catch (const std::runtime_error& error) {
        if (std::strcmp(error.what(), "Unsupported PunchprobeMessage command") != 0)
            finding("unexpected std::runtime_error");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        finding("unexpected exception type");
    } catch (...) {
        finding("non-standard exception");
    }

    try {
        read_everything(text);
    } catch (const Json::Exception&) {
    } catch (...) {
        finding("exception outside JsonCpp while reading members");
    }
    return 0;
}
