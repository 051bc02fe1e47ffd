// The --metrics page and the HTTP endpoint that serves it: the text, byte
// for byte, and every limit of the endpoint against a server serving on a
// thread of its own, with a short deadline injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/metrics_endpoint.hpp"
#include "server/metrics_text.hpp"
#include "support/child_process.hpp"
#include "support/server_thread.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using punchprobe::ServerCounters;
using punchprobe_test::ServerThread;

// ---- The text -------------------------------------------------------------

TEST(MetricsText, HistogramBucketsAreInclusiveAndCumulative)
{
    punchprobe::SetupHistogram histogram;
    // On a bound, in the bound's bucket; just above, in the next; past the
    // last bound, in +Inf alone.
    for (const std::chrono::microseconds setup : {1000us, 5000us, 10000000us, 11000000us}) histogram.observe(setup);
    histogram.observe(5001us);
    const std::string text = punchprobe::metrics_text(ServerCounters{}, {}, histogram);
    // The page ends with the histogram: tests/golden/metrics_histogram.txt.
    std::ifstream file(PUNCHPROBE_GOLDEN_DIR "/metrics_histogram.txt");
    const std::string expected{std::istreambuf_iterator<char>(file), {}};
    ASSERT_GE(text.size(), expected.size());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
}

TEST(MetricsText, DropReasonsAreOneFamilyAndTheGaugesFollow)
{
    // Distinct values, so that a value shown under another name is seen;
    // metrics.scrape holds every counter against the counters line.
    ServerCounters counters;
    for (std::size_t i = 0; i < counters.drops.size(); ++i) counters.drops[i] = 1000 + i;
    std::string drop_family;
    for (const punchprobe::CounterValue& value : punchprobe::counter_values(counters))
        if (value.drop_reason)
            drop_family += "punchprobe_dropped_total{reason=\"" +
                           std::string(value.key).substr(std::strlen("dropped_")) + "\"} " +
                           std::to_string(value.value) + "\n";
    EXPECT_NE(punchprobe::metrics_text(counters, {7, 8, 9}, {})
                  .find("# TYPE punchprobe_dropped_total counter\n" + drop_family +
                        "# HELP punchprobe_live_sessions Proven sessions in the session table.\n"
                        "# TYPE punchprobe_live_sessions gauge\npunchprobe_live_sessions 7\n"
                        "# HELP punchprobe_live_ping_trains PING trains under way plus those waiting for their "
                        "turn.\n# TYPE punchprobe_live_ping_trains gauge\npunchprobe_live_ping_trains 8\n"
                        "# HELP punchprobe_queued_sends Datagrams waiting in the loop to be sent, both sockets.\n"
                        "# TYPE punchprobe_queued_sends gauge\npunchprobe_queued_sends 9\n"),
              std::string::npos);
}

// ---- The endpoint --------------------------------------------------------

// A blocking TCP client on loopback whose every wait is bounded.
class HttpPeer {
public:
    // A small `receive_buffer` (bytes) keeps the window small, so that a
    // large answer stays unwritten until the peer reads.
    explicit HttpPeer(unsigned short port, int receive_buffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~HttpPeer() { ::close(fd_); }

    bool send(const std::string& bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What arrives until the server closes (`closed`) or `limit` passes.
    std::string read_until_closed(std::chrono::milliseconds limit)
    {
        std::string text;
        for (const auto until = Clock::now() + limit; !closed && Clock::now() < until;) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 10) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            closed = got <= 0;
            if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    // Some of the answer has come, and nothing waits.
    bool answer_begun() const
    {
        char byte;
        return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
    }

    bool connected = false;
    bool closed = false;

private:
    int fd_;
};

// The server on a thread of its own, quiet, with the metrics deadline
// injected.
punchprobe::ServerOptions with_metrics(std::chrono::milliseconds deadline)
{
    punchprobe::ServerOptions options = punchprobe_test::loopback_server_options();
    options.quiet = true;
    options.metrics = boost::asio::ip::tcp::endpoint(options.bind_address, 0);
    options.metrics_deadline = deadline;
    return options;
}

constexpr std::size_t max_connections = punchprobe::MetricsEndpoint::max_connections;

TEST(MetricsEndpoint, RequestsGetThePageOrAShortCountedErrorAndStopClosesEveryConnection)
{
    struct Case {
        std::string request;
        std::string status;  // "" for the page
        std::string body;
    };
    const std::string not_found = "404 Not Found", bad = "400 Bad Request";
    const std::vector<Case> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", "", ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "405 Method Not Allowed", "Method Not Allowed\n"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "", ""},
        {"HEAD /other HTTP/1.1\r\n\r\n", not_found, ""},
        {"GET /other HTTP/1.1\r\n\r\n", not_found, "Not Found\n"},
        {"GET /metrics/x HTTP/1.1\r\n\r\n", not_found, "Not Found\n"},
        {"garbage\r\n\r\n", bad, "Bad Request\n"},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\r\n\r\n", 14), bad, "Bad Request\n"},
        {"GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(5000, 'a') + "\r\n\r\n", bad, "Bad Request\n"},
        {"GET /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", bad, "Bad Request\n"},
        {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", bad, "Bad Request\n"},
    };
    ServerThread server(with_metrics(60s));
    const unsigned short port = server.server.metrics_endpoint()->port();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 20));
        HttpPeer peer(port);
        ASSERT_TRUE(peer.connected && peer.send(c.request));
        const std::string response = peer.read_until_closed(5s);
        EXPECT_TRUE(peer.closed);
        if (c.status.empty()) {
            const std::string page = server.on_loop([&server] { return server.server.metrics_page(); });
            // HEAD learns the page's length without the page.
            const bool head = c.request.rfind("HEAD", 0) == 0;
            EXPECT_EQ(response, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                "Connection: close\r\nContent-Length: " +
                                    std::to_string(page.size()) + "\r\n\r\n" + (head ? "" : page));
            continue;
        }
        const std::string length = c.body.empty() ? "10" : std::to_string(c.body.size());
        EXPECT_EQ(response, "HTTP/1.1 " + c.status + "\r\nContent-Type: text/plain; charset=utf-8\r\n" +
                                (c.status.rfind("405", 0) == 0 ? "Allow: GET, HEAD\r\n" : "") +
                                "Connection: close\r\nContent-Length: " + length + "\r\n\r\n" + c.body);
    }
    EXPECT_EQ(server.counters().metrics_bad_requests, cases.size() - 2);

    // Connections in every slot, one with half a request: stop() closes
    // them all, and the acceptor.
    std::vector<std::unique_ptr<HttpPeer>> held;
    for (std::size_t i = 0; i < max_connections; ++i) held.push_back(std::make_unique<HttpPeer>(port));
    ASSERT_TRUE(held.back()->send("GET /metrics HTTP/1.1\r\n"));
    // One more pushes out the oldest, once every other one is accepted.
    HttpPeer newcomer(port);
    held.front()->read_until_closed(5s);
    EXPECT_TRUE(held.front()->closed);
    ASSERT_EQ(server.counters().metrics_pushed_out, 1u);
    EXPECT_EQ(server.counters().metrics_refused, 0u);
    EXPECT_TRUE(server.stop()) << "the loop still had work after stop()";
    newcomer.read_until_closed(2s);
    EXPECT_TRUE(newcomer.closed);
    for (auto& peer : held) {
        peer->read_until_closed(2s);
        EXPECT_TRUE(peer->closed);
    }
    EXPECT_FALSE(HttpPeer(port).connected);
    EXPECT_EQ(server.counters().metrics_timeouts, 0u);
}

TEST(MetricsEndpoint, StalledConnectionsDelayNoUdpSessionAndCloseAtTheirDeadline)
{
    // The request's own deadline, the shorter one.
    const auto deadline = std::chrono::milliseconds(punchprobe::MetricsEndpoint::max_head_time);
    ServerThread server(with_metrics(deadline));
    const unsigned short port = server.server.metrics_endpoint()->port();
    const auto opened = Clock::now();
    std::vector<std::unique_ptr<HttpPeer>> stalled;
    for (std::size_t i = 0; i < max_connections; ++i) {
        stalled.push_back(std::make_unique<HttpPeer>(port));
        ASSERT_TRUE(stalled.back()->connected && stalled.back()->send("GET /metr"));
    }
    // A whole session with the real client meanwhile: a functional check
    // with a generous bound, not a measurement.
    const auto client =
        punchprobe_test::run_client({"127.0.0.1", std::to_string(server.server.main_endpoint().port())}, 10s);
    EXPECT_NE(client.out.find("  SUCCESS  "), std::string::npos) << client.out << client.err;
    EXPECT_LT(Clock::now() - opened, deadline) << "too slow to show anything about the deadline";

    for (auto& peer : stalled) {
        EXPECT_EQ(peer->read_until_closed(deadline + 3s), "");
        EXPECT_TRUE(peer->closed);
    }
    EXPECT_GE(Clock::now() - opened, deadline - 100ms) << "closed before the deadline";
    EXPECT_EQ(server.counters().metrics_timeouts, max_connections);
    EXPECT_EQ(server.counters().metrics_pushed_out, 0u);

    // The slots are free again.
    HttpPeer scraper(port);
    ASSERT_TRUE(scraper.send("GET /metrics HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(scraper.read_until_closed(5s).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(MetricsEndpoint, OneDeadlineCoversTheWholeRequestHoweverSlowlyItComes)
{
    // A byte every 50 ms: each read is quick, the request never ends.
    const auto deadline = 300ms;
    ServerThread server(with_metrics(deadline));
    HttpPeer peer(server.server.metrics_endpoint()->port());
    const auto opened = Clock::now();
    for (const char byte : "GET /metrics HTTP/1.1\r\nX-Slow: " + std::string(200, 'a')) {
        if (!peer.send(std::string(1, byte))) break;
        peer.read_until_closed(50ms);
        if (peer.closed) break;
    }
    EXPECT_TRUE(peer.closed);
    EXPECT_GE(Clock::now() - opened, deadline - 50ms);
    EXPECT_LT(Clock::now() - opened, deadline + 1500ms);
    EXPECT_EQ(server.counters().metrics_timeouts, 1u);
}

// Connections that trickle their request hold every slot, and keep coming
// back: each scrape still gets its page, by pushing out the oldest of them.
TEST(MetricsEndpoint, ScrapesPushOutConnectionsStillSendingTheirRequest)
{
    ServerThread server(with_metrics(5s));
    const unsigned short port = server.server.metrics_endpoint()->port();
    std::vector<std::unique_ptr<HttpPeer>> tricklers;
    const auto trickle = [&] {
        tricklers.push_back(std::make_unique<HttpPeer>(port));
        EXPECT_TRUE(tricklers.back()->connected && tricklers.back()->send("GET /metr"));
    };
    for (std::size_t i = 0; i < max_connections; ++i) trickle();
    constexpr int scrapes = 10;
    int answered = 0;
    for (int i = 0; i < scrapes; ++i) {
        HttpPeer scraper(port);
        ASSERT_TRUE(scraper.send("GET /metrics HTTP/1.0\r\n\r\n"));
        answered += scraper.read_until_closed(5s).rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
        trickle();  // the one pushed out comes back at once
    }
    EXPECT_EQ(answered, scrapes);
    EXPECT_EQ(server.counters().metrics_pushed_out, static_cast<std::uint64_t>(scrapes));
    EXPECT_EQ(server.counters().metrics_refused, 0u);
}

// Every slot busy writing its answer to a peer that does not read: there is
// nobody to push out, and one more connection is closed at once, unanswered
// and counted. The endpoint alone, on a loop this test turns, with a page
// larger than any socket buffer can take.
TEST(MetricsEndpoint, ANewcomerIsRefusedWhileEverySlotIsAnswering)
{
    boost::asio::io_service loop;
    ServerCounters counters;
    punchprobe::MetricsEndpoint endpoint(loop, {boost::asio::ip::address_v4::loopback(), 0}, 60s, counters,
                                         [] { return std::string(8 << 20, 'x'); });
    endpoint.start();
    const unsigned short port = endpoint.endpoint().port();
    const auto turn_until = [&loop](const auto& done) {
        for (const auto until = Clock::now() + 5s; !done() && Clock::now() < until;) loop.run_for(10ms);
        return done();
    };

    std::vector<std::unique_ptr<HttpPeer>> readers;
    for (std::size_t i = 0; i < max_connections; ++i) {
        readers.push_back(std::make_unique<HttpPeer>(port, 4096));
        ASSERT_TRUE(readers.back()->connected && readers.back()->send("GET /metrics HTTP/1.1\r\n\r\n"));
    }
    ASSERT_TRUE(turn_until([&] {
        return std::all_of(readers.begin(), readers.end(), [](const auto& peer) { return peer->answer_begun(); });
    })) << "not every slot began its answer";

    HttpPeer newcomer(port);
    ASSERT_TRUE(newcomer.connected);
    EXPECT_TRUE(turn_until([&] { return counters.metrics_refused == 1; }));
    EXPECT_EQ(newcomer.read_until_closed(2s), "");
    EXPECT_TRUE(newcomer.closed);
    EXPECT_EQ(counters.metrics_pushed_out, 0u);
    EXPECT_EQ(endpoint.open_connections(), max_connections);
    for (const auto& peer : readers) EXPECT_FALSE(peer->closed);
}

}  // namespace
