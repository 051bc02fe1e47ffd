// The countdown on a real terminal: tmux runs the program in a pane, and the
// pane's screen is read while the client waits and after it has ended. While
// it waits, one status line counts the seconds down; at the end the screen
// holds exactly the lines of a run without a terminal.

#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using namespace punchprobe_test;

const std::string host = "127.0.0.1";
const std::string tmux_binary = "/usr/bin/tmux";

// A tmux server of the test's own, on a private socket, whose panes stay
// readable after their program has ended.
class Tmux {
public:
    Tmux()
    {
        char pattern[] = "/tmp/punchprobe-tmux-XXXXXX";
        dir_ = mkdtemp(pattern);
        run_process({"/bin/sh", "-c", "echo 'set -g remain-on-exit on' > " + dir_ + "/conf"}, 10s);
    }
    ~Tmux()
    {
        run({"kill-server"});
        run_process({"/bin/rm", "-rf", dir_}, 10s);
    }

    ProcessResult run(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv{tmux_binary, "-S", dir_ + "/socket", "-f", dir_ + "/conf"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run_process(argv, 10s);
    }

    // From the start of the history: tmux may scroll the first line out.
    std::string screen() { return run({"capture-pane", "-p", "-S", "-", "-t", "run"}).out; }
    bool dead() { return run({"display-message", "-p", "-t", "run", "#{pane_dead}"}).out == "1\n"; }

private:
    std::string dir_;
};

// The seconds the status line shows, or -1.
int seconds_left(const std::string& screen)
{
    std::smatch match;
    const std::regex status("waiting for the server's PINGs: ([0-9]+) s left");
    return std::regex_search(screen, match, status) ? std::stoi(match[1]) : -1;
}

// The screen's lines without the trailing blank ones and tmux's own note on
// the ended program; a terminal shows no trailing blanks.
std::string visible_lines(const std::string& screen)
{
    std::istringstream lines(screen);
    std::string text, line, blanks;
    while (std::getline(lines, line)) {
        if (line.rfind("Pane is dead", 0) == 0) break;
        if (line.empty()) {
            blanks += "\n";
            continue;
        }
        text += blanks + line + "\n";
        blanks.clear();
    }
    return text;
}

std::string without_trailing_blanks(const std::string& transcript)
{
    return std::regex_replace(transcript, std::regex(" +\n"), "\n");
}

TEST(CountdownTerminal, CountsDownWhileWaitingAndLeavesOnlyTheRunsLines)
{
    if (access(tmux_binary.c_str(), X_OK) != 0) GTEST_SKIP() << "no tmux (scripts/install-deps.sh installs it)";
    setenv("TERM", "xterm", 0);
    ScriptedServer server;
    Tmux tmux;
    ASSERT_EQ(tmux.run({"new-session", "-d", "-s", "run", "-x", "150", "-y", "50",
                        "'" + client_binary() + "' " + host + " " + std::to_string(server.values.server)})
                  .exit_status,
              0);

    ASSERT_TRUE(server.take_init());
    for (const Stage stage : {Stage::init, Stage::init2, Stage::start}) ASSERT_TRUE(server.perform(answer(stage)));

    // Bounded polls: the first figure within 5 s, a smaller one within 3 s.
    int first = -1;
    for (int poll = 0; poll < 50 && first < 0; ++poll, std::this_thread::sleep_for(100ms))
        first = seconds_left(tmux.screen());
    ASSERT_GE(first, 17) << tmux.screen();
    EXPECT_LE(first, 20);
    int later = first;
    for (int poll = 0; poll < 30 && later == first; ++poll, std::this_thread::sleep_for(100ms))
        later = seconds_left(tmux.screen());
    EXPECT_EQ(later, first - 1) << tmux.screen();

    server.perform(pings(3));
    for (int poll = 0; poll < 100 && !tmux.dead(); ++poll) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(tmux.dead());

    EXPECT_EQ(visible_lines(tmux.screen()), without_trailing_blanks(golden("success", server.values)));
}

}  // namespace
