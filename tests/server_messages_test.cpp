// The INIT reply is written out by hand for speed: it must stay JsonCpp's
// own bytes for every value it can hold.
#include <string>

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include "protocol/server_messages.hpp"

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // FastWriter: the bytes the reply always had
std::string written_by_jsoncpp(std::int32_t id, const std::string& ip, int port)
{
    Json::Value root;
    root["command"] = "INIT";
    root["session_id"] = id;
    root["public_ip"] = ip;
    root["public_port"] = port;
    return Json::FastWriter().write(root);
}
#pragma GCC diagnostic pop

TEST(ServerMessages, InitReplyIsJsonCppsOwnBytes)
{
    const char* ips[] = {"1.0.0.1", "203.0.113.5", "255.255.255.254"};
    const int ports[] = {1024, 40000, 65535};
    const std::int32_t ids[] = {1, 33554432, 2147483647, 1310741005};
    for (const char* ip : ips)
        for (const int port : ports)
            for (const std::int32_t id : ids)
                EXPECT_EQ(punchprobe::make_init_reply(id, ip, port), written_by_jsoncpp(id, ip, port));
}

}  // namespace
