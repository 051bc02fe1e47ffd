#include "client/run_facts.hpp"

#include <json/writer.h>

namespace punchprobe {

namespace {

template <typename T>
Json::Value or_null(const std::optional<T>& value)
{
    if (!value) return Json::Value();
    if constexpr (std::is_same_v<T, long long>)
        return Json::Value(static_cast<Json::Int64>(*value));
    else
        return Json::Value(*value);
}

// Null unless both are known.
Json::Value both_known(const std::optional<int>& a, const std::optional<int>& b, int offset)
{
    if (!a || !b) return Json::Value();
    return Json::Value(*a == *b + offset);
}

// Each verdict's name in the JSON object and exit status in --json mode; a
// run that ended without a verdict ended by an error.
struct VerdictOutcome {
    const char* name;
    int exit_status;
};

VerdictOutcome outcome_of(Verdict verdict)
{
    switch (verdict) {
    case Verdict::success: return {"success", 0};
    case Verdict::failure: return {"failure", 2};
    case Verdict::timeout: return {"timeout", 3};
    case Verdict::none:
    case Verdict::error: break;
    }
    return {"error", 4};
}

}  // namespace

void RunFacts::reached(std::optional<long long>& milestone) const
{
    if (milestone) return;
    milestone = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void RunFacts::record_error(const std::string& text)
{
    if (!error) error = text;
}

Json::Value facts_json(const RunFacts& facts)
{
    Json::Value root(Json::objectValue);
    root["schema"] = 1;
    root["verdict"] = outcome_of(facts.verdict).name;
    Json::Value& server = root["server"];
    server["host"] = facts.host;
    server["port"] = or_null(facts.port);
    server["address"] = or_null(facts.address);
    root["local_port"] = or_null(facts.local_port);
    root["local_port_alt"] = or_null(facts.local_port_alt);
    root["public_ip"] = or_null(facts.public_ip);
    root["public_port"] = or_null(facts.public_port);
    root["public_port_alt"] = or_null(facts.public_port_alt);
    root["session_id"] = or_null(facts.session_id);
    root["extra_port"] = or_null(facts.extra_port);
    root["pings_received"] = facts.pings_received;
    root["port_preserved"] = both_known(facts.public_port, facts.local_port, 0);
    root["alt_port_is_next"] = both_known(facts.public_port_alt, facts.public_port, 1);
    Json::Value& elapsed = root["elapsed_ms"];
    elapsed["resolved"] = or_null(facts.resolved);
    elapsed["init_reply"] = or_null(facts.init_reply);
    elapsed["init2_reply"] = or_null(facts.init2_reply);
    elapsed["start_reply"] = or_null(facts.start_reply);
    elapsed["first_ping"] = or_null(facts.first_ping);
    elapsed["third_ping"] = or_null(facts.third_ping);
    root["error"] = or_null(facts.error);
    root["nat"] = facts.behind_nat ? Json::Value(*facts.behind_nat ? "present" : "none") : Json::Value();
    root["gateway"] = facts.gateway ? gateway_json(*facts.gateway, facts.public_ip) : Json::Value();
    return root;
}

std::string facts_line(const RunFacts& facts)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, facts_json(facts)) + "\n";
}

int json_exit_status(Verdict verdict)
{
    return outcome_of(verdict).exit_status;
}

}  // namespace punchprobe
