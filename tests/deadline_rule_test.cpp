#include <gtest/gtest.h>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/time_parsers.hpp>

#include "client/punchprobe_client.hpp"

namespace {

using boost::posix_time::microseconds;
using boost::posix_time::not_a_date_time;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

struct DeadlineCase {
    const char* name;
    ptime expiry;
    ptime now;
    bool passed;
};

TEST(DeadlineRule, ComparesExpiryWithNow)
{
    const ptime now = time_from_string("2026-12-07 06:00:00.000000");
    const DeadlineCase cases[] = {
        {"equal counts as passed", now, now, true},
        {"one microsecond earlier", now - microseconds(1), now, true},
        {"one microsecond later", now + microseconds(1), now, false},
        {"ten seconds later", now + boost::posix_time::seconds(10), now, false},
        {"never set", ptime(not_a_date_time), now, false},
        {"never set, far future now", ptime(not_a_date_time), time_from_string("9999-12-31 23:59:59"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(punchprobe::deadline_passed(c.expiry, c.now), c.passed) << c.name;
}

// The client arms its first wait before any expiry exists and relies on that
// wait staying pending until the first send moves the deadline.
TEST(DeadlineRule, WaitWithoutExpiryNeverCompletesByItself)
{
    boost::asio::io_service io_service;
    boost::asio::deadline_timer timer(io_service);
    ASSERT_TRUE(timer.expires_at().is_not_a_date_time());
    bool completed = false;
    timer.async_wait([&](const boost::system::error_code&) { completed = true; });
    io_service.run_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(completed);

    // Moving the expiry completes the pending wait at once, as cancelled.
    io_service.restart();
    timer.expires_from_now(boost::posix_time::hours(1));
    io_service.run_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(completed);
}

}  // namespace
