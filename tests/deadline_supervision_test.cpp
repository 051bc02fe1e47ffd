// Deadline supervision and the three verdicts, in-process with short step
// durations against a scripted peer on loopback. Each run is bounded by a
// watchdog: the loop has to run out of work by itself, and the verdict may
// come no earlier than the deadline that the last send set.

#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include "client/punchprobe_client.hpp"
#include "support/console_capture.hpp"
#include "support/scripted_server.hpp"
#include "support/udp_peer.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long milliseconds(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}
using punchprobe::PunchprobeClient;
using punchprobe::StepDurations;
using punchprobe_test::ConsoleCapture;
using punchprobe_test::Datagram;
using punchprobe_test::Transcript;
using punchprobe_test::UdpPeer;

const std::string host = "127.0.0.1";
const int session = 4242;

// How long a run may take at most before the watchdog stops it: far above
// any duration used here, so only a run that never ends trips it.
const auto watchdog_limit = 20s;

// Runs the loop on its own thread so that the test thread can play the
// server meanwhile.
class LoopThread {
public:
    explicit LoopThread(boost::asio::io_service& io_service)
        : io_service_(io_service), ended_(done_.get_future()), thread_([this] {
              try {
                  io_service_.run();
              } catch (...) {
                  failure_ = std::current_exception();
              }
              ended_at_ = Clock::now();
              done_.set_value();
          })
    {
    }

    ~LoopThread()
    {
        if (thread_.joinable()) {
            io_service_.stop();
            thread_.join();
        }
    }

    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    // True when run() returned by itself within `limit`. Otherwise the loop
    // is stopped from outside, so the test can still end.
    bool ends_within(std::chrono::milliseconds limit)
    {
        const bool ended = ended_.wait_for(limit) == std::future_status::ready;
        if (!ended) io_service_.stop();
        thread_.join();
        return ended;
    }

    Clock::time_point ended_at() const { return ended_at_; }
    std::exception_ptr failure() const { return failure_; }

private:
    boost::asio::io_service& io_service_;
    std::promise<void> done_;
    std::future<void> ended_;
    std::exception_ptr failure_;
    Clock::time_point ended_at_;
    std::thread thread_;
};

// The server side of one run: a main port that answers INIT, INIT2 and START,
// and an extra port that receives the client's PING. It records every line
// the client must print, in order, from the INIT on.
class ScriptedServer {
public:
    ScriptedServer() : extra_port(extra.port()) {}

    std::optional<Datagram> expect(const std::string& what, UdpPeer& on)
    {
        auto datagram = on.receive(10s);
        if (!datagram) ADD_FAILURE() << "no " << what << " arrived";
        return datagram;
    }

    // Waits for INIT; returns false when it did not come.
    bool receive_init()
    {
        init = expect("INIT", main);
        if (!init) return false;
        local_port = init->source.port();
        EXPECT_EQ(init->bytes, punchprobe_test::client_init(local_port));
        transcript.emplace(host, main.port(), local_port);
        transcript->set_up().sending_init();
        return true;
    }

    bool answer_init_receive_init2()
    {
        main.send_to("{\"command\":\"INIT\",\"session_id\":" + std::to_string(session) +
                         ",\"public_ip\":\"192.0.2.10\",\"public_port\":50000}",
                     init->source);
        transcript->received_init(session, "192.0.2.10", 50000);
        init2 = expect("INIT2", main);
        if (init2) transcript->sending_init2(session);
        return init2.has_value();
    }

    bool answer_init2_receive_start()
    {
        main.send_to("{\"command\":\"INIT2\",\"public_port_alt\":50001}", init2->source);
        transcript->received_init2(session, "192.0.2.10", 50001);
        start = expect("START", main);
        if (start) transcript->sending_start(session);
        return start.has_value();
    }

    bool answer_start_receive_ping()
    {
        main.send_to("{\"command\":\"START\",\"extra_port\":" + std::to_string(extra_port) + "}",
                     start->source);
        transcript->received_start(session, extra_port);
        ping = expect("PING", extra);
        if (!ping) return false;
        EXPECT_EQ(ping->bytes, punchprobe_test::client_ping(session));
        EXPECT_EQ(ping->source.port(), local_port) << "PING must leave from the primary socket";
        transcript->sending_ping(session, extra_port);
        return true;
    }

    void send_server_ping(int number)
    {
        extra.send_to("{\"command\":\"PING\",\"ping_number\":" + std::to_string(number) + "}",
                      ping->source);
        transcript->received_ping(std::to_string(number), session);
    }

    UdpPeer main;
    UdpPeer extra;
    const int extra_port;
    int local_port = 0;
    std::optional<Datagram> init, init2, start, ping;
    std::optional<Transcript> transcript;  // from the INIT on
};

// The client built and run the way the entry does, on a loop that the test
// starts with a LoopThread, with the console captured from before it is built.
struct ClientRun {
    ClientRun(unsigned short server_port, const StepDurations& durations)
        : client(std::make_unique<PunchprobeClient>(io_service, host, server_port, durations))
    {
    }

    ConsoleCapture console;
    boost::asio::io_service io_service;
    std::unique_ptr<PunchprobeClient> client;
};

// The loop ran out of work by itself within the watchdog limit, and no
// exception left it.
::testing::AssertionResult ends_by_itself(LoopThread& loop)
{
    if (!loop.ends_within(watchdog_limit)) return ::testing::AssertionFailure() << "run() did not return by itself";
    if (loop.failure()) return ::testing::AssertionFailure() << "an exception left run()";
    return ::testing::AssertionSuccess();
}

// The server answers the first `answered` steps, each after `reply_delay`,
// and then falls silent. Before the PING that is a timed-out run; after it a
// failed one. The delays add up to more than one reply timeout, so a
// deadline that was not moved on every send would fire early.
struct SilentAfter {
    const char* what;
    int answered;  // 0: not even INIT, 3: INIT, INIT2 and START
};

TEST(DeadlineSupervision, VerdictWhenTheServerFallsSilent)
{
    StepDurations durations;
    durations.reply_timeout = boost::posix_time::milliseconds(500);
    durations.ping_timeout = boost::posix_time::milliseconds(300);
    const long long reply_timeout_ms = 500;
    const long long ping_timeout_ms = 300;
    const auto reply_delay = 200ms;

    const SilentAfter cases[] = {
        {"INIT never answered", 0},
        {"INIT2 never answered", 1},
        {"START never answered", 2},
        {"no server PINGs", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        ClientRun run(server.main.port(), durations);

        const auto run_started = Clock::now();
        LoopThread loop(run.io_service);
        // The verdict cannot come before the last send's deadline, and that
        // send happens only after the last reply was on its way.
        auto last_move_after = run_started;

        bool exchanged = server.receive_init();
        using Step = bool (ScriptedServer::*)();
        const Step steps[] = {&ScriptedServer::answer_init_receive_init2,
                              &ScriptedServer::answer_init2_receive_start,
                              &ScriptedServer::answer_start_receive_ping};
        for (int step = 0; exchanged && step < c.answered; ++step) {
            std::this_thread::sleep_for(reply_delay);
            last_move_after = Clock::now();
            exchanged = (server.*steps[step])();
        }
        ASSERT_TRUE(exchanged);

        ASSERT_TRUE(ends_by_itself(loop));
        EXPECT_GE(milliseconds(loop.ended_at() - last_move_after),
                  c.answered == 3 ? ping_timeout_ms : reply_timeout_ms);
        run.client.reset();

        if (c.answered == 3)
            server.transcript->failure(server.extra_port);
        else
            server.transcript->timed_out();
        EXPECT_EQ(run.console.out(), server.transcript->text());
        EXPECT_EQ(run.console.err(), "");
        EXPECT_FALSE(server.main.receive(0ms)) << "no request may follow the verdict";
    }
}

// The first deadline wait is armed at set-up without an expiry. Here several
// reply timeouts pass between set-up and the loop's first turn, with the
// finished lookup waiting: no verdict may come before INIT, and the reply
// timeout counts from INIT. (A lookup that is still running at the loop's
// first turn cannot be arranged in-process without DNS traffic.)
TEST(DeadlineSupervision, NoVerdictBeforeTheFirstSend)
{
    const StepDurations durations{boost::posix_time::milliseconds(200), boost::posix_time::milliseconds(200)};

    ScriptedServer server;
    ClientRun run(server.main.port(), durations);
    // Several reply timeouts pass after set-up before the loop handles the
    // finished lookup.
    std::this_thread::sleep_for(800ms);

    const auto run_started = Clock::now();
    LoopThread loop(run.io_service);
    ASSERT_TRUE(server.receive_init());
    ASSERT_TRUE(ends_by_itself(loop));
    EXPECT_GE(milliseconds(loop.ended_at() - run_started), 200);
    run.client.reset();

    EXPECT_EQ(run.console.out(), server.transcript->timed_out().text());
    EXPECT_EQ(run.console.err(), "");
}

// The third server PING ends the run with SUCCESS right away, long before the
// ping deadline, and nothing is printed after the block: not the FAILURE that
// the deadline would bring, nor anything from the aborted receives.
TEST(DeadlineSupervision, SuccessRightAfterTheThirdPing)
{
    const StepDurations durations{boost::posix_time::seconds(10), boost::posix_time::seconds(10)};

    ScriptedServer server;
    ClientRun run(server.main.port(), durations);
    LoopThread loop(run.io_service);

    ASSERT_TRUE(server.receive_init());
    ASSERT_TRUE(server.answer_init_receive_init2());
    ASSERT_TRUE(server.answer_init2_receive_start());
    ASSERT_TRUE(server.answer_start_receive_ping());
    for (int number = 1; number <= 3; ++number) server.send_server_ping(number);
    const auto third_ping_sent = Clock::now();

    ASSERT_TRUE(ends_by_itself(loop));
    // Far below the 10 s ping deadline: the end came from the third PING.
    EXPECT_LT(milliseconds(loop.ended_at() - third_ping_sent), 5000);
    run.client.reset();

    EXPECT_EQ(run.console.out(), server.transcript->success(server.extra_port).text());
    EXPECT_EQ(run.console.err(), "");
}

}  // namespace
