// Deadline supervision and the three verdicts, in-process with short step
// durations against a scripted peer on loopback. Each run is bounded by a
// watchdog: the loop has to run out of work by itself, and the verdict may
// come no earlier than the deadline that the last send set.

#include <chrono>
#include <string>
#include <thread>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gtest/gtest.h>

#include "client/punchprobe_client.hpp"
#include "support/in_process_client.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;
using Clock = std::chrono::steady_clock;
using punchprobe::StepDurations;

long long milliseconds(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// How long a run may take at most before the watchdog stops it: far above
// any duration used here, so only a run that never ends trips it.
const auto watchdog_limit = 20s;

// The loop ran out of work by itself within the watchdog limit, and no
// exception left it.
::testing::AssertionResult ends_by_itself(InProcessClient& client)
{
    if (!client.wait(watchdog_limit)) return ::testing::AssertionFailure() << "run() did not return by itself";
    if (client.ending() != Ending::verdict)
        return ::testing::AssertionFailure() << "an exception left run(): " << client.exception_text();
    return ::testing::AssertionSuccess();
}

// The program's own deadlines, which the process runs wait out: 10 s for each
// reply, 20 s for the server's PINGs.
TEST(DeadlineSupervision, TheProgramWaitsTenSecondsForAReplyAndTwentyForThePings)
{
    const StepDurations durations;
    EXPECT_EQ(durations.reply_timeout.total_milliseconds(), 10000);
    EXPECT_EQ(durations.ping_timeout.total_milliseconds(), 20000);
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
        // The verdict cannot come before the last send's deadline, and that
        // send happens only after the last reply was on its way.
        auto last_move_after = Clock::now();
        const auto client = server.start_client(durations);
        ASSERT_TRUE(client);

        bool exchanged = true;
        for (int step = 0; exchanged && step < c.answered; ++step) {
            std::this_thread::sleep_for(reply_delay);
            last_move_after = Clock::now();
            exchanged = server.play(static_cast<Step>(step), static_cast<Step>(step + 1));
        }
        ASSERT_TRUE(exchanged);

        ASSERT_TRUE(ends_by_itself(*client));
        EXPECT_GE(milliseconds(client->ended_at() - last_move_after),
                  c.answered == 3 ? ping_timeout_ms : reply_timeout_ms);

        Transcript expected = server.printed_until(static_cast<Step>(c.answered));
        if (c.answered == 3)
            expected.failure(server.extra.port());
        else
            expected.timed_out();
        EXPECT_EQ(client->out(), expected.text());
        EXPECT_EQ(client->err(), "");
        EXPECT_FALSE(server.server.receive(0ms)) << "no request may follow the verdict";
        EXPECT_FALSE(server.extra.receive(0ms)) << "no PING may follow the verdict";
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
    InProcessClient client(server.host, server.port(), durations, LoopStart::held);
    std::this_thread::sleep_for(800ms);

    const auto run_started = Clock::now();
    client.release_loop();
    ASSERT_TRUE(server.take_init());
    ASSERT_TRUE(ends_by_itself(client));
    EXPECT_GE(milliseconds(client.ended_at() - run_started), 200);

    EXPECT_EQ(client.out(), server.printed_until(Step::init_reply).timed_out().text());
    EXPECT_EQ(client.err(), "");
}

// The third server PING ends the run with SUCCESS right away, long before the
// ping deadline, and nothing is printed after the block: not the FAILURE that
// the deadline would bring, nor anything from the aborted receives.
TEST(DeadlineSupervision, SuccessRightAfterTheThirdPing)
{
    const StepDurations durations{boost::posix_time::seconds(10), boost::posix_time::seconds(10)};

    ScriptedServer server;
    const auto client = server.start_client(durations);
    ASSERT_TRUE(client);
    ASSERT_TRUE(server.play_until(Step::pings));
    server.send_pings(3);
    const auto third_ping_sent = Clock::now();

    ASSERT_TRUE(ends_by_itself(*client));
    // Far below the 10 s ping deadline: the end came from the third PING.
    EXPECT_LT(milliseconds(client->ended_at() - third_ping_sent), 5000);

    EXPECT_EQ(client->out(), server.printed_on_success());
    EXPECT_EQ(client->err(), "");
}

}  // namespace
