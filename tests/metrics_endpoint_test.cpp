// The --metrics page and the HTTP endpoint that serves it: the text, byte
// for byte, and every limit of the endpoint against a server serving on a
// thread of its own, with a short deadline injected.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>

#include "server/metrics_endpoint.hpp"
#include "server/metrics_text.hpp"
#include "server/punchprobe_server.hpp"
#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using punchprobe::ServerCounters;

// ---- The text -------------------------------------------------------------

TEST(MetricsText, HistogramBucketsAreInclusiveAndCumulative)
{
    punchprobe::SetupHistogram histogram;
    // On a bound, in the bound's bucket; just above, in the next; past the
    // last bound, in +Inf alone.
    for (const std::chrono::microseconds setup : {1000us, 5000us, 10000000us, 11000000us}) histogram.observe(setup);
    histogram.observe(5001us);
    const std::string text = punchprobe::metrics_text(ServerCounters{}, {}, histogram);
    const std::string expected =
        "# TYPE punchprobe_session_setup_seconds histogram\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.005\"} 2\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.01\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.025\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.05\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.1\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.25\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"0.5\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"1\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"2.5\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"5\"} 3\n"
        "punchprobe_session_setup_seconds_bucket{le=\"10\"} 4\n"
        "punchprobe_session_setup_seconds_bucket{le=\"+Inf\"} 5\n"
        "punchprobe_session_setup_seconds_sum 21.011001\n"
        "punchprobe_session_setup_seconds_count 5\n";
    ASSERT_GE(text.size(), expected.size());
    EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
    EXPECT_NE(text.find("# HELP punchprobe_session_setup_seconds Time from the INIT2 that proved the session to "
                        "the client's PING (the INIT leaves no state: its id is a stateless cookie).\n" +
                        expected),
              std::string::npos);
}

TEST(MetricsText, EveryCounterOfTheLineWithItsValueAndTheGauges)
{
    ServerCounters counters;
    // Distinct values, so that a key shown with another's value is seen.
    std::uint64_t next = 1;
    for (auto* named : {&counters.sessions, &counters.completed, &counters.inits_answered, &counters.trains_delayed,
                        &counters.metrics_refused, &counters.metrics_timeouts, &counters.metrics_bad_requests})
        *named = 100 + next++;
    for (auto& drops : counters.drops) drops = 1000 + next++;
    const std::string text = punchprobe::metrics_text(counters, {7, 8, 9}, {});

    std::size_t families = 0;
    for (const punchprobe::CounterValue& value : punchprobe::counter_values(counters)) {
        SCOPED_TRACE(value.key);
        const std::string key = value.key;
        if (value.drop_reason) {
            ASSERT_EQ(key.rfind("dropped_", 0), 0u);
            EXPECT_NE(text.find("\npunchprobe_dropped_total{reason=\"" + key.substr(8) + "\"} " +
                                std::to_string(value.value) + "\n"),
                      std::string::npos);
            continue;
        }
        ++families;
        const std::string name = "punchprobe_" + key + "_total";
        EXPECT_NE(text.find("# HELP " + name + " The counters line's " + key + "; see punchprobe-server(8).\n# TYPE " +
                            name + " counter\n" + name + " " + std::to_string(value.value) + "\n"),
                  std::string::npos);
    }
    // The drop family stands together, right after its TYPE line.
    const std::string drop_head =
        "# HELP punchprobe_dropped_total Datagrams dropped without an answer, by reason: the counters line's "
        "dropped_ keys.\n# TYPE punchprobe_dropped_total counter\npunchprobe_dropped_total{reason=\"malformed\"} ";
    const auto head = text.find(drop_head);
    ASSERT_NE(head, std::string::npos) << text;
    const auto after = text.find("# HELP", head + 1);
    std::size_t drop_samples = 0;
    for (auto at = text.find("punchprobe_dropped_total{", head); at < after; at = text.find("punchprobe_dropped_total{", at + 1))
        ++drop_samples;
    EXPECT_EQ(drop_samples, counters.drops.size());

    EXPECT_NE(text.find("# HELP punchprobe_live_sessions Proven sessions in the session table.\n"
                        "# TYPE punchprobe_live_sessions gauge\npunchprobe_live_sessions 7\n"
                        "# HELP punchprobe_live_ping_trains PING trains under way plus those waiting for their "
                        "turn.\n# TYPE punchprobe_live_ping_trains gauge\npunchprobe_live_ping_trains 8\n"
                        "# HELP punchprobe_queued_sends Datagrams waiting in the loop to be sent, both sockets.\n"
                        "# TYPE punchprobe_queued_sends gauge\npunchprobe_queued_sends 9\n"),
              std::string::npos)
        << text;
    // Named counters, the drop family, three gauges, the histogram.
    std::size_t type_lines = 0;
    for (auto at = text.find("# TYPE "); at != std::string::npos; at = text.find("# TYPE ", at + 1)) ++type_lines;
    EXPECT_EQ(type_lines, families + 1 + 3 + 1);
}

// ---- The endpoint -------------------------------------------------------

// A blocking TCP client on loopback whose every wait is bounded.
class HttpPeer {
public:
    explicit HttpPeer(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~HttpPeer()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    bool connected() const { return connected_; }

    bool send(const std::string& bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Everything until the server closes, or until `limit`; `closed` says
    // which.
    struct Reading {
        std::string text;
        bool closed = false;
    };
    Reading read_until_closed(std::chrono::milliseconds limit)
    {
        Reading reading;
        const auto until = Clock::now() + limit;
        for (auto now = Clock::now(); now < until; now = Clock::now()) {
            pollfd ready{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (::poll(&ready, 1, static_cast<int>(left) + 1) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) {
                reading.closed = true;
                break;
            }
            reading.text.append(buffer, static_cast<std::size_t>(got));
        }
        return reading;
    }

private:
    int fd_;
    bool connected_ = false;
};

punchprobe::ServerOptions metrics_options(std::chrono::milliseconds deadline)
{
    punchprobe::ServerOptions options;
    options.bind_address = boost::asio::ip::make_address_v4("127.0.0.1");
    options.main_port = 0;
    options.extra_port = 0;
    options.quiet = true;
    options.metrics = boost::asio::ip::tcp::endpoint(options.bind_address, 0);
    options.metrics_deadline = deadline;
    return options;
}

// The server serving on a thread of its own, as the program runs it; the
// test reaches its state only through the loop.
class ServerOnThread {
public:
    explicit ServerOnThread(std::chrono::milliseconds deadline)
        : server(io_service, metrics_options(deadline), out, err), thread([this] {
              io_service.run();
              ran_out.set_value();
          })
    {
    }
    ~ServerOnThread() { stop(); }

    template <typename Function>
    auto on_loop(Function function) -> decltype(function())
    {
        std::packaged_task<decltype(function())()> task(function);
        auto result = task.get_future();
        boost::asio::post(io_service, [&task] { task(); });
        if (result.wait_for(10s) != std::future_status::ready) {
            io_service.stop();
            thread.join();
            throw std::runtime_error("the loop did not answer");
        }
        return result.get();
    }

    ServerCounters counters()
    {
        return on_loop([this] { return server.counters(); });
    }
    unsigned short metrics_port() const { return server.metrics_endpoint()->port(); }
    unsigned short main_port() const { return server.main_endpoint().port(); }

    // True when the loop ran out of work after stop().
    bool stop()
    {
        if (!thread.joinable()) return true;
        boost::asio::post(io_service, [this] { server.stop(); });
        const bool done = ran_out.get_future().wait_for(10s) == std::future_status::ready;
        if (!done) io_service.stop();
        thread.join();
        return done;
    }

    boost::asio::io_service io_service;
    std::ostringstream out;
    std::ostringstream err;
    punchprobe::PunchprobeServer server;
    std::promise<void> ran_out;
    std::thread thread;
};

std::string response_head(const std::string& response)
{
    return response.substr(0, response.find("\r\n\r\n") + 4);
}

TEST(MetricsEndpoint, GetMetricsAnswersThePageAndCloses)
{
    ServerOnThread server(5s);
    HttpPeer peer(server.metrics_port());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n"));
    const auto reading = peer.read_until_closed(5s);
    EXPECT_TRUE(reading.closed);
    const std::string page = server.on_loop([&server] { return server.server.metrics_page(); });
    EXPECT_EQ(reading.text, "HTTP/1.1 200 OK\r\n"
                            "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                            "Connection: close\r\n"
                            "Content-Length: " +
                                std::to_string(page.size()) + "\r\n\r\n" + page);
    const ServerCounters counters = server.counters();
    EXPECT_EQ(counters.metrics_bad_requests + counters.metrics_refused + counters.metrics_timeouts, 0u);
    EXPECT_TRUE(server.stop());
}

TEST(MetricsEndpoint, EveryOtherRequestGetsAShortErrorAndIsCounted)
{
    struct Case {
        const char* what;
        std::string request;
        std::string head;
    };
    const std::string error_tail = "Content-Type: text/plain; charset=utf-8\r\nConnection: close\r\n";
    const std::string not_found = "HTTP/1.1 404 Not Found\r\n" + error_tail + "Content-Length: 10\r\n\r\n";
    const std::string bad = "HTTP/1.1 400 Bad Request\r\n" + error_tail + "Content-Length: 12\r\n\r\n";
    const std::vector<Case> cases = {
        {"POST", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\nAllow: GET\r\n"
         "Connection: close\r\nContent-Length: 19\r\n\r\n"},
        {"HEAD", "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", ""},
        {"other path", "GET /other HTTP/1.1\r\nHost: x\r\n\r\n", not_found},
        {"longer path", "GET /metrics/x HTTP/1.1\r\nHost: x\r\n\r\n", not_found},
        {"garbage", "garbage\r\n\r\n", bad},
        {"binary", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), bad},
        {"header over the limit", "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(5000, 'a') + "\r\n\r\n", bad},
        {"a body", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", bad},
        {"a chunked body", "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", bad},
    };
    ServerOnThread server(5s);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpPeer peer(server.metrics_port());
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(peer.send(c.request));
        const auto reading = peer.read_until_closed(5s);
        EXPECT_TRUE(reading.closed);
        if (c.head.empty()) {
            // HEAD is refused like any method but GET; its answer has no body.
            EXPECT_EQ(reading.text.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << reading.text;
            continue;
        }
        EXPECT_EQ(response_head(reading.text), c.head);
        EXPECT_LT(reading.text.size(), c.head.size() + 32) << reading.text;
    }
    const ServerCounters counters = server.counters();
    EXPECT_EQ(counters.metrics_bad_requests, cases.size());
    EXPECT_EQ(counters.metrics_refused, 0u);
    EXPECT_EQ(counters.metrics_timeouts, 0u);
    EXPECT_TRUE(server.stop());
}

TEST(MetricsEndpoint, StalledConnectionsDelayNoUdpSessionAndCloseAtTheirDeadline)
{
    const auto deadline = 2s;
    ServerOnThread server(deadline);
    const auto opened = Clock::now();
    std::vector<std::unique_ptr<HttpPeer>> stalled;
    for (std::size_t i = 0; i < punchprobe::MetricsEndpoint::max_connections; ++i) {
        stalled.push_back(std::make_unique<HttpPeer>(server.metrics_port()));
        ASSERT_TRUE(stalled.back()->connected());
        ASSERT_TRUE(stalled.back()->send("GET /metr"));
    }
    // One more finds every slot taken: closed at once, without an answer.
    HttpPeer refused(server.metrics_port());
    ASSERT_TRUE(refused.connected());
    const auto refusal = refused.read_until_closed(1500ms);
    EXPECT_TRUE(refusal.closed);
    EXPECT_EQ(refusal.text, "");
    EXPECT_EQ(server.counters().metrics_refused, 1u);

    // A whole session meanwhile, with the real client; a functional check
    // with a generous bound, not a measurement.
    const auto started = Clock::now();
    const auto client = punchprobe_test::run_client({"127.0.0.1", std::to_string(server.main_port())}, 10s);
    const auto took = Clock::now() - started;
    EXPECT_NE(client.out.find("  SUCCESS  "), std::string::npos) << client.out << client.err;
    EXPECT_LT(took, 2s);
    EXPECT_LT(Clock::now() - opened, deadline) << "too slow to show anything about the deadline";

    for (auto& peer : stalled) {
        const auto reading = peer->read_until_closed(deadline + 3s);
        EXPECT_TRUE(reading.closed);
        EXPECT_EQ(reading.text, "");
    }
    EXPECT_GE(Clock::now() - opened, deadline - 100ms) << "closed before the deadline";
    const ServerCounters counters = server.counters();
    EXPECT_EQ(counters.metrics_timeouts, punchprobe::MetricsEndpoint::max_connections);
    EXPECT_EQ(counters.metrics_bad_requests, 0u);
    EXPECT_EQ(counters.completed, 1u);

    // The slots are free again.
    HttpPeer scraper(server.metrics_port());
    ASSERT_TRUE(scraper.send("GET /metrics HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(scraper.read_until_closed(5s).text.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(server.stop());
}

TEST(MetricsEndpoint, OneDeadlineCoversTheWholeRequestHoweverSlowlyItComes)
{
    // A byte every 50 ms: each read is quick, the request never ends.
    const auto deadline = 300ms;
    ServerOnThread server(deadline);
    HttpPeer peer(server.metrics_port());
    ASSERT_TRUE(peer.connected());
    const auto opened = Clock::now();
    const std::string request = "GET /metrics HTTP/1.1\r\nX-Slow: " + std::string(200, 'a');
    bool closed = false;
    for (const char byte : request) {
        if (!peer.send(std::string(1, byte)) || peer.read_until_closed(50ms).closed) {
            closed = true;
            break;
        }
    }
    const auto open_for = Clock::now() - opened;
    EXPECT_TRUE(closed);
    EXPECT_GE(open_for, deadline - 50ms);
    EXPECT_LT(open_for, deadline + 1500ms);
    EXPECT_EQ(server.counters().metrics_timeouts, 1u);
    EXPECT_TRUE(server.stop());
}

TEST(MetricsEndpoint, StopClosesTheAcceptorAndEveryConnection)
{
    ServerOnThread server(60s);
    const unsigned short port = server.metrics_port();
    std::vector<std::unique_ptr<HttpPeer>> held;
    for (std::size_t i = 0; i < punchprobe::MetricsEndpoint::max_connections; ++i) {
        held.push_back(std::make_unique<HttpPeer>(port));
        ASSERT_TRUE(held.back()->connected());
    }
    ASSERT_TRUE(held.back()->send("GET /metrics HTTP/1.1\r\n"));
    // Refused only once every other one is accepted and held.
    HttpPeer refused(port);
    EXPECT_TRUE(refused.read_until_closed(5s).closed);
    ASSERT_EQ(server.counters().metrics_refused, 1u);

    EXPECT_TRUE(server.stop()) << "the loop still had work after stop()";
    for (auto& peer : held) EXPECT_TRUE(peer->read_until_closed(2s).closed);
    HttpPeer late(port);
    EXPECT_FALSE(late.connected());
}

}  // namespace
