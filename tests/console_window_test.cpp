// Started in a console window of its own (a double-click in Explorer), the
// Windows build asks for Enter before it ends, so the window does not vanish
// with the last line; started from a shell it never waits. A pseudo-terminal
// plays the console: Wine gives a program started straight in one a console
// of its own, and one started through cmd.exe a shared one.

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe_test::ChildProcess;
using punchprobe_test::client_argv;
using punchprobe_test::Console;

const std::string prompt = "Press Enter to close this window.";
const std::string usage = "Usage: punchprobe <server_host> [<server_port>]";

// The text a terminal shows: Wine's console draws with escape sequences and
// moves the cursor over blanks.
std::string screen_text(const std::string& raw)
{
    std::string text = std::regex_replace(raw, std::regex("\x1b\\[1C"), " ");
    text = std::regex_replace(text, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    return std::regex_replace(text, std::regex("\r"), "");
}

// Reads until the screen shows `text`, at most 10 s; returns the screen.
std::string wait_for_screen(ChildProcess& child, const std::string& text)
{
    std::string screen;
    for (int slice = 0; slice < 50 && screen.find(text) == std::string::npos; ++slice)
        screen = screen_text(child.wait_for_output("\x01", 200ms));
    return screen;
}

TEST(ConsoleWindow, ConsoleOfItsOwnWaitsForEnter)
{
    ChildProcess child(client_argv(), Console::terminal);
    if (!punchprobe_test::client_is_windows_build()) {
        // No window to keep open: the run ends with the usage line alone.
        const auto result = child.wait(10s);
        EXPECT_EQ(screen_text(result.out), usage + "\n");
        EXPECT_EQ(result.exit_status, 1);
        return;
    }
    // The prompt's line end can reach the terminal in a later write.
    const std::string screen = wait_for_screen(child, prompt + "\n");
    EXPECT_EQ(screen, usage + "\n" + prompt + "\n");
    // Still there a while later: only Enter ends it.
    const auto typed_after = 1s;
    std::this_thread::sleep_for(typed_after);
    child.type("\r");
    const auto result = child.wait(10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_GE(result.elapsed, typed_after);
    EXPECT_EQ(result.exit_status, 1);
}

TEST(ConsoleWindow, SharedConsoleNeverWaits)
{
    if (!punchprobe_test::client_is_windows_build()) GTEST_SKIP() << "Windows build only";
    // cmd.exe, as a Command Prompt would, with the .exe on Wine's Z: drive.
    std::string exe = "Z:" + punchprobe_test::windows_client();
    for (char& c : exe)
        if (c == '/') c = '\\';
    ChildProcess child(punchprobe_test::wine_argv("cmd", {"/c", exe}), Console::terminal);
    const auto result = child.wait(10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(screen_text(result.out), usage + "\n");
    EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
