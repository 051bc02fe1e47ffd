// The two read-only questions to a gateway's port 5351, byte for byte, and
// what every kind of answer decodes to: tests/golden/gateway_answers.txt.
// Pure, so it runs under Wine as well.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/gateway_codec.hpp"

namespace {

using punchprobe::decode_natpmp_public_address;
using punchprobe::decode_pcp_announce;

// "00 80 +3": the bytes 00 80 00 00 00.
std::vector<unsigned char> bytes_of(const std::string& text)
{
    std::vector<unsigned char> bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word[0] == '+')
            bytes.resize(bytes.size() + std::stoul(word.substr(1)), 0);
        else
            bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

std::string decoded(const std::string& kind, const std::vector<unsigned char>& bytes)
{
    if (kind == "natpmp") {
        const auto answer = decode_natpmp_public_address(bytes.data(), bytes.size());
        if (!answer) return "none";
        std::string text = "result=" + std::to_string(answer->result);
        if (answer->external_address) text += " external=" + answer->external_address->to_string();
        return text;
    }
    const auto answer = decode_pcp_announce(bytes.data(), bytes.size());
    return answer ? "result=" + std::to_string(answer->result) : "none";
}

TEST(GatewayCodec, AnswersDecodeAsTheTableSays)
{
    std::ifstream table(PUNCHPROBE_GOLDEN_DIR "/gateway_answers.txt");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string kind, hex, expected;
        std::getline(fields, kind, '\t');
        std::getline(fields, hex, '\t');
        std::getline(fields, expected);
        ++rows;
        EXPECT_EQ(decoded(kind, bytes_of(hex)), expected) << kind << " " << hex;
    }
    EXPECT_EQ(rows, 28);
}

TEST(GatewayCodec, RequestsAreByteExact)
{
    const auto natpmp = punchprobe::natpmp_public_address_request();
    EXPECT_EQ(std::vector<unsigned char>(natpmp.begin(), natpmp.end()), bytes_of("00 00"));
    const auto pcp = punchprobe::pcp_announce_request(boost::asio::ip::make_address_v4("192.0.2.2"));
    EXPECT_EQ(std::vector<unsigned char>(pcp.begin(), pcp.end()),
              bytes_of("02 00 00 00 00 00 00 00 +10 ff ff c0 00 02 02"));
}

}  // namespace
