// Feeds one datagram to the client's decoding and dispatch, then makes the
// chosen handler's reads with the client's own read functions. Whatever the
// bytes are, the only ways out are a handler choice, the runtime error
// "Unsupported PunchprobeMessage command" or one of JsonCpp's own exceptions;
// anything else (another exception, a crash, a leak, undefined behaviour)
// is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include <json/value.h>

#include "protocol/command_dispatch.hpp"
#include "protocol/punchprobe_message.hpp"
#include "protocol/server_messages.hpp"

namespace {

using punchprobe::Command;
using punchprobe::PunchprobeMessage;

[[noreturn]] void finding(const char* what)
{
    // abort() makes libFuzzer keep the input as a crash artifact.
    std::fprintf(stderr, "client_datagram_fuzzer: %s\n", what);
    std::abort();
}

// What the client does with one received datagram.
void handle_like_the_client(const std::string& text)
{
    PunchprobeMessage message(text);
    const Command command = punchprobe::command_of(message);
    const Json::Value& root = message.root;
    volatile std::size_t sink = 0;
    switch (command) {
    case Command::init: sink = punchprobe::read_init_reply(root).public_ip.size(); break;
    case Command::init2: sink = static_cast<unsigned>(punchprobe::read_public_port_alt(root)); break;
    case Command::start: sink = static_cast<unsigned>(punchprobe::read_extra_port(root)); break;
    case Command::ping: sink = punchprobe::read_ping_number(root).size(); break;
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
    // Each read on its own; the INIT reply's three reads go in its order, so
    // a later member is reached only through one that converts.
    const std::function<std::size_t()> reads[] = {
        [&] { return punchprobe::read_init_reply(root).public_ip.size(); },
        [&] { return static_cast<std::size_t>(static_cast<unsigned>(punchprobe::read_public_port_alt(root))); },
        [&] { return static_cast<std::size_t>(static_cast<unsigned>(punchprobe::read_extra_port(root))); },
        [&] { return punchprobe::read_ping_number(root).size(); },
        [&] { return root["command"].asString().size(); },
    };
    volatile std::size_t sink = 0;
    for (const auto& read : reads) {
        try {
            sink = sink + read();
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
    const std::string text = punchprobe::received_text(reinterpret_cast<const char*>(data), size);

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
