// What --port-mapping concludes from the gateway's answers: the "gateway"
// member of the JSON result, second_nat above all, and the section after the
// verdict. One block a case in tests/golden/gateway_reports.txt.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "client/gateway_facts.hpp"
#include "client/run_facts.hpp"

namespace {

using namespace punchprobe;
using boost::asio::ip::make_address_v4;

struct Case {
    std::string name;
    std::optional<GatewayFacts> gateway;
    std::optional<std::string> public_ip;
    Verdict verdict = Verdict::none;
    std::string json;
    std::string report;
};

// "gateway [ADDRESS] [upnp_igd] [nat_pmp] [pcp] [natpmp_external=A]
// [upnp_external=A] [natpmp_refused] [upnp_refused]", or "gateway -" for a
// run without the option.
std::optional<GatewayFacts> gateway_of(const std::string& words)
{
    std::istringstream in(words);
    std::string word;
    in >> word;
    if (word == "-") return std::nullopt;
    GatewayFacts facts;
    if (word != "none") facts.address = make_address_v4(word);
    while (in >> word) {
        const auto value = word.substr(word.find('=') + 1);
        if (word == "upnp_igd") facts.upnp_igd = true;
        else if (word == "nat_pmp") facts.nat_pmp = true;
        else if (word == "pcp") facts.pcp = true;
        else if (word == "natpmp_refused") facts.natpmp_refused = true;
        else if (word == "upnp_refused") facts.upnp_refused = true;
        else if (word.rfind("natpmp_external=", 0) == 0) facts.natpmp_external = make_address_v4(value);
        else if (word.rfind("upnp_external=", 0) == 0) facts.upnp_external = make_address_v4(value);
        else ADD_FAILURE() << "unknown word " << word;
    }
    return facts;
}

Verdict verdict_of(const std::string& name)
{
    if (name == "success") return Verdict::success;
    if (name == "failure") return Verdict::failure;
    if (name == "timeout") return Verdict::timeout;
    return Verdict::error;
}

std::vector<Case> cases()
{
    std::ifstream file(PUNCHPROBE_GOLDEN_DIR "/gateway_reports.txt");
    std::vector<Case> all;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("== ", 0) == 0) {
            all.emplace_back();
            all.back().name = line.substr(3);
            continue;
        }
        if (all.empty() || line.empty() || line[0] == '#') continue;
        Case& last = all.back();
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space), rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "gateway") last.gateway = gateway_of(rest);
        else if (key == "public_ip") last.public_ip = rest == "null" ? std::nullopt : std::optional<std::string>(rest);
        else if (key == "verdict") last.verdict = verdict_of(rest);
        else if (key == "json") last.json = rest;
        else if (key == "|") last.report += rest + "\n";
        else ADD_FAILURE() << "unknown line " << line;
    }
    return all;
}

TEST(GatewayReport, MemberAndSectionFollowTheTable)
{
    const auto all = cases();
    EXPECT_EQ(all.size(), 12u);
    for (const Case& c : all) {
        SCOPED_TRACE(c.name);
        RunFacts facts;
        facts.gateway = c.gateway;
        facts.public_ip = c.public_ip;
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        EXPECT_EQ(Json::writeString(builder, facts_json(facts)["gateway"]), c.json);
        EXPECT_EQ(port_mapping_report(c.gateway, c.public_ip, c.verdict), c.report);
    }
}

}  // namespace
