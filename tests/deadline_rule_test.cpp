// The rule the client's deadline check applies: an expiry at or before now
// has passed, and one never set (the wait armed before the first send) never
// passes, however late it is.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/time_parsers.hpp>

#include "client/punchprobe_client.hpp"

namespace {

using boost::posix_time::microseconds;
using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using punchprobe::deadline_passed;

TEST(DeadlineRule, ComparesExpiryWithNow)
{
    const ptime now = time_from_string("2026-12-07 06:00:00.000000");
    EXPECT_TRUE(deadline_passed(now, now));
    EXPECT_TRUE(deadline_passed(now - microseconds(1), now));
    EXPECT_FALSE(deadline_passed(now + microseconds(1), now));
    EXPECT_FALSE(deadline_passed(ptime(boost::posix_time::not_a_date_time), now));
    EXPECT_FALSE(deadline_passed(ptime(boost::posix_time::not_a_date_time), time_from_string("9999-12-31 23:59:59")));
}

}  // namespace
