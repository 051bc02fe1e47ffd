#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <json/value.h>

#include "client/gateway_facts.hpp"

namespace punchprobe {

enum class Verdict { none, success, failure, timeout, error };

// What one run learned, for scripts: recorded by the client as the run goes,
// completed by the entry (errors that end the run), written as one JSON
// object. Whatever the run never learned stays empty and is written as null.
struct RunFacts {
    using Clock = std::chrono::steady_clock;

    std::string host;
    std::optional<int> port;
    std::optional<std::string> address;
    std::optional<int> local_port;
    std::optional<int> local_port_alt;
    std::optional<std::string> public_ip;
    std::optional<int> public_port;
    std::optional<int> public_port_alt;
    std::optional<int> session_id;
    std::optional<int> extra_port;
    int pings_received = 0;
    Verdict verdict = Verdict::none;
    std::optional<std::string> error;
    // Whether the server saw us at an address other than our own.
    std::optional<bool> behind_nat;
    // With --port-mapping only.
    std::optional<GatewayFacts> gateway;

    // Milestones, in milliseconds since `start`; each is the first time.
    Clock::time_point start = Clock::now();
    std::optional<long long> resolved;
    std::optional<long long> init_reply;
    std::optional<long long> init2_reply;
    std::optional<long long> start_reply;
    std::optional<long long> first_ping;
    std::optional<long long> third_ping;

    // Sets `milestone` to the time since start, unless it is already set.
    void reached(std::optional<long long>& milestone) const;
    // Keeps the first error: it names the cause, later ones its effects.
    void record_error(const std::string& text);
};

// The object written by `punchprobe --json`, schema 1.
Json::Value facts_json(const RunFacts& facts);

// One line, with no blanks, and a line break.
std::string facts_line(const RunFacts& facts);

// The exit status in --json mode: 0 success, 2 failure, 3 timed out,
// 4 error (a run that ended without a verdict counts as an error).
int json_exit_status(Verdict verdict);

}  // namespace punchprobe
