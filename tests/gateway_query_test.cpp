// The NAT-PMP and PCP query on real sockets, against a gateway of the test's
// own on loopback: what it sends, how often, what it accepts, and that the
// probe around it keeps its limit. (The real router daemon is the NAT lab's.)
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "client/gateway_probe.hpp"
#include "client/gateway_query.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::posix_time::milliseconds;
using Bytes = std::vector<unsigned char>;

Bytes natpmp_answer(int result, const char* address)
{
    const auto ip = asio::ip::make_address_v4(address).to_bytes();
    return {0x00, 0x80, 0x00, static_cast<unsigned char>(result), 0, 0, 0x1c, 0x20, ip[0], ip[1], ip[2], ip[3]};
}

Bytes pcp_answer(int result)
{
    Bytes answer(24, 0);
    answer[0] = 2;
    answer[1] = 0x80;
    answer[3] = static_cast<unsigned char>(result);
    return answer;
}

const Bytes natpmp_unsupported_version = {0x00, 0x80, 0x00, 0x01, 0, 0, 0x1c, 0x20};

// A gateway on 127.0.0.1 that answers each request as its script says, from
// its own address or from a stranger's (127.0.0.2). It counts what it got.
struct FakeGateway {
    struct Reply {
        Bytes bytes;
        bool from_stranger = false;
    };
    using Script = std::function<std::vector<Reply>(const Bytes& request)>;

    FakeGateway(asio::io_service& io, Script script)
        : socket(io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)),
          stranger(io, udp::endpoint(asio::ip::make_address_v4("127.0.0.2"), 0)),
          script(std::move(script))
    {
        receive();
    }

    udp::endpoint endpoint() const { return socket.local_endpoint(); }

    void receive()
    {
        socket.async_receive_from(asio::buffer(buffer), sender, [this](const auto& error, std::size_t size) {
            if (error) return;
            got(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(size)));
            for (const Reply& reply : this->script(requests.back()))
                (reply.from_stranger ? stranger : socket).send_to(asio::buffer(reply.bytes), sender);
            receive();
        });
    }

    // After the loop has stopped: the requests still queued count too.
    void drain()
    {
        socket.cancel();
        socket.non_blocking(true);
        boost::system::error_code error;
        for (int i = 0; i < 100; ++i) {
            const std::size_t size = socket.receive_from(asio::buffer(buffer), sender, 0, error);
            if (error) break;
            got(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(size)));
        }
    }

    void got(Bytes request)
    {
        (request.size() == 2 ? natpmp_requests : pcp_requests)++;
        requests.push_back(std::move(request));
    }

    udp::socket socket;
    udp::socket stranger;
    Script script;
    std::array<unsigned char, 2048> buffer{};
    udp::endpoint sender;
    std::vector<Bytes> requests;
    int natpmp_requests = 0;
    int pcp_requests = 0;
};

struct Outcome {
    std::optional<punchprobe::PortMappingAnswers> answers;
    int natpmp_requests = 0;
    int pcp_requests = 0;
    std::vector<Bytes> requests;
};

Outcome ask(FakeGateway::Script script, std::vector<boost::posix_time::time_duration> waits)
{
    asio::io_service io;
    FakeGateway gateway(io, std::move(script));
    Outcome outcome;
    punchprobe::GatewayQuery query(
        io, gateway.endpoint(),
        [&](const punchprobe::PortMappingAnswers& answers) {
            outcome.answers = answers;
            gateway.socket.cancel();
        },
        waits);
    io.run();
    gateway.drain();
    outcome.natpmp_requests = gateway.natpmp_requests;
    outcome.pcp_requests = gateway.pcp_requests;
    outcome.requests = gateway.requests;
    return outcome;
}

const std::vector<boost::posix_time::time_duration> short_waits = {milliseconds(20), milliseconds(20),
                                                                   milliseconds(20)};
// Long enough that no resend happens before an answering gateway's answers.
const std::vector<boost::posix_time::time_duration> long_waits = {milliseconds(20000)};

std::string natpmp_text(const Outcome& outcome)
{
    const auto& answer = outcome.answers->nat_pmp;
    if (!answer) return "none";
    return std::to_string(answer->result) + (answer->external_address ? " " + answer->external_address->to_string() : "");
}

TEST(GatewayQuery, BothAnswerAtOnceAndEachRequestWentOnce)
{
    const Outcome outcome = ask(
        [](const Bytes& request) {
            return std::vector<FakeGateway::Reply>{{request.size() == 2 ? natpmp_answer(0, "203.0.113.1") : pcp_answer(0)}};
        },
        long_waits);
    ASSERT_TRUE(outcome.answers);
    EXPECT_EQ(natpmp_text(outcome), "0 203.0.113.1");
    ASSERT_TRUE(outcome.answers->pcp);
    EXPECT_EQ(outcome.answers->pcp->result, 0);
    EXPECT_EQ(outcome.natpmp_requests, 1);
    EXPECT_EQ(outcome.pcp_requests, 1);
    // PCP names the address the request leaves from.
    const auto pcp = punchprobe::pcp_announce_request(asio::ip::make_address_v4("127.0.0.1"));
    EXPECT_EQ(outcome.requests.at(1), Bytes(pcp.begin(), pcp.end()));
}

// Each row: the gateway's script, and what the query must have concluded
// once its three rounds ran out.
TEST(GatewayQuery, WhatCountsAsAnAnswer)
{
    using Replies = std::vector<FakeGateway::Reply>;
    struct Row {
        const char* name;
        FakeGateway::Script script;
        const char* natpmp;
        bool pcp;
    };
    const Row rows[] = {
        {"silent", [](const Bytes&) { return Replies{}; }, "none", false},
        {"valid answers from a stranger",
         [](const Bytes& request) {
             return Replies{{request.size() == 2 ? natpmp_answer(0, "203.0.113.1") : pcp_answer(0), true}};
         },
         "none", false},
        {"truncated, oversized and foreign answers",
         [](const Bytes& request) {
             Bytes cut = request.size() == 2 ? natpmp_answer(0, "203.0.113.1") : pcp_answer(0);
             Bytes long_one = cut;
             cut.pop_back();
             long_one.push_back(0);
             Bytes our_own_request = request;
             return Replies{{cut}, {long_one}, {our_own_request}, {Bytes{0x01, 0x80, 0, 0}}};
         },
         "none", false},
        {"NAT-PMP only: PCP's request gets \"version not supported\"",
         [](const Bytes& request) {
             return Replies{{request.size() == 2 ? natpmp_answer(0, "203.0.113.1") : natpmp_unsupported_version}};
         },
         "0 203.0.113.1", false},
        {"no public address to give",
         [](const Bytes& request) {
             return Replies{{request.size() == 2 ? natpmp_answer(3, "0.0.0.0") : pcp_answer(0)}};
         },
         "3", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome outcome = ask(row.script, short_waits);
        ASSERT_TRUE(outcome.answers);
        EXPECT_EQ(natpmp_text(outcome), row.natpmp);
        EXPECT_EQ(outcome.answers->pcp.has_value(), row.pcp);
        // Three rounds for what stays unanswered. (How often an answered
        // one went depends on the scheduler; the test above counts it.)
        if (std::string(row.natpmp) == "none") {
            EXPECT_EQ(outcome.natpmp_requests, 3);
        }
        if (!row.pcp) {
            EXPECT_EQ(outcome.pcp_requests, 3);
        }
    }
}

// The probe around the query, with UPnP-IGD played by the test: the answers
// that came in time are the facts, and the run waits no longer than the
// limit for the rest, whatever still blocks.
struct ProbeRun {
    punchprobe::GatewayFacts facts;
    std::chrono::steady_clock::duration took{};
};

ProbeRun probe(std::function<punchprobe::UpnpIgdAnswer(const asio::ip::address_v4&)> ask_upnp,
               std::vector<boost::posix_time::time_duration> query_waits)
{
    asio::io_service io, never_run;
    // A gateway that is never served: NAT-PMP and PCP never answer.
    FakeGateway gateway(never_run, [](const Bytes&) { return std::vector<FakeGateway::Reply>{}; });
    punchprobe::GatewayProbeSettings settings;
    settings.limit = milliseconds(100);
    settings.query_waits = std::move(query_waits);
    settings.ask_upnp = std::move(ask_upnp);
    settings.gateway = asio::ip::make_address_v4("127.0.0.1");
    settings.port_mapping_port = gateway.endpoint().port();
    ProbeRun run;
    const auto started = std::chrono::steady_clock::now();
    {
        punchprobe::GatewayProbe probe(io, run.facts, settings);
        io.run();
    }
    run.took = std::chrono::steady_clock::now() - started;
    return run;
}

TEST(GatewayProbe, TakesUpnpIgdsAnswerFromItsThread)
{
    const ProbeRun run = probe(
        [](const asio::ip::address_v4& gateway) {
            EXPECT_EQ(gateway.to_string(), "127.0.0.1");
            return punchprobe::UpnpIgdAnswer{true, asio::ip::make_address_v4("203.0.113.1"), false};
        },
        // No rounds to wait: NAT-PMP and PCP are over before UPnP-IGD starts,
        // so its answer is the last one, which ends the probe.
        {});
    EXPECT_TRUE(run.facts.upnp_igd);
    EXPECT_EQ(run.facts.upnp_external->to_string(), "203.0.113.1");
    EXPECT_FALSE(run.facts.nat_pmp || run.facts.pcp);
}

// However long the query would still wait and UPnP-IGD still blocks.
TEST(GatewayProbe, EndsAtItsLimit)
{
    auto release = std::make_shared<std::promise<void>>();
    const ProbeRun run = probe(
        [wait = release->get_future().share()](const asio::ip::address_v4&) {
            wait.wait();
            return punchprobe::UpnpIgdAnswer{true, std::nullopt, true};
        },
        {milliseconds(60000)});
    release->set_value();
    EXPECT_LT(run.took, std::chrono::seconds(30));
    EXPECT_EQ(run.facts.address->to_string(), "127.0.0.1");
    EXPECT_FALSE(run.facts.nat_pmp || run.facts.pcp || run.facts.upnp_igd);
}

}  // namespace
