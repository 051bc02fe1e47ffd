#include <gtest/gtest.h>

#include "support/child_process.hpp"

using namespace std::chrono_literals;

TEST(Smoke, NoArgumentPrintsUsage)
{
    const auto result = punchprobe_test::run_process({punchprobe_test::client_binary()}, 5s);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Usage: punchprobe <server_host> [<server_port>]\n");
}
