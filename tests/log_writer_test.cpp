// The server's log path: a stalled reader never blocks the poster, lines
// beyond the bound are refused and the rest come out whole and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>

#include "server/log_writer.hpp"

namespace {

using namespace std::chrono_literals;
using punchprobe::LogWriter;

// A stream that blocks every write until the test opens it, as a pipe does
// when nobody reads the other end.
class GatedBuffer : public std::streambuf {
public:
    void open()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Waits (bounded) until a write is held at the gate.
    bool wait_until_blocked(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return waiting_; });
    }
    // Once the writer has ended.
    const std::string& text() const { return text_; }

protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        text_.append(bytes, static_cast<std::size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override
    {
        const char byte = static_cast<char>(c);
        xsputn(&byte, 1);
        return c;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool waiting_ = false;
    std::string text_;
};

TEST(LogWriter, AStalledReaderCostsLinesNotTimeAndTheRestComeOutWholeAndInOrder)
{
    GatedBuffer gate;
    std::ostream out(&gate);
    std::ostringstream err;
    std::string expected = "first\n";
    {
        LogWriter log(out, err, 100);
        // Opens the gate however the block ends, before the writer is joined.
        const std::unique_ptr<GatedBuffer, void (*)(GatedBuffer*)> opener(&gate, [](GatedBuffer* g) { g->open(); });
        EXPECT_TRUE(log.post(LogWriter::Stream::err, "an error"));
        EXPECT_TRUE(log.post(LogWriter::Stream::out, "first"));
        ASSERT_TRUE(gate.wait_until_blocked(5s)) << "the writer never reached the stream";

        // The writer is stuck in "first": posting must neither block nor
        // grow beyond the bound.
        const auto started = std::chrono::steady_clock::now();
        int accepted = 0;
        for (int i = 0; i < 1000; ++i) {
            const std::string line = "line " + std::to_string(i) + std::string(10, 'x');
            if (!log.post(LogWriter::Stream::out, line)) continue;
            ++accepted;
            expected += line + "\n";
        }
        log.post_always(LogWriter::Stream::out, "counters must-have");
        expected += "counters must-have\n";
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(accepted, 6) << "100 bytes hold six 16-byte lines";
    }  // the destructor writes what is still queued
    EXPECT_EQ(gate.text(), expected);
    EXPECT_EQ(err.str(), "an error\n");
}

// Counters asked for again and again behind a stalled reader: one waits,
// brought up to date each time, and it is the last one that comes out.
TEST(LogWriter, TheLatestOfItsKindReplacesTheOneStillWaiting)
{
    GatedBuffer gate;
    std::ostream out(&gate);
    std::ostringstream err;
    int replaced = 0;
    {
        LogWriter log(out, err, 400);
        const std::unique_ptr<GatedBuffer, void (*)(GatedBuffer*)> opener(&gate, [](GatedBuffer* g) { g->open(); });
        EXPECT_FALSE(log.post_latest(LogWriter::Stream::out, "counters 0"));
        ASSERT_TRUE(gate.wait_until_blocked(5s)) << "the writer never reached the stream";
        EXPECT_TRUE(log.post(LogWriter::Stream::out, "a session line"));
        for (int i = 1; i <= 100000; ++i)
            replaced += log.post_latest(LogWriter::Stream::out, "counters " + std::to_string(i) + std::string(200, ' '));
        // The waiting counters line counts against the bound, once.
        EXPECT_TRUE(log.post(LogWriter::Stream::out, "another session line"));
        EXPECT_FALSE(log.post(LogWriter::Stream::out, std::string(200, 'x'))) << "the bound";
    }
    EXPECT_EQ(replaced, 99999);
    EXPECT_EQ(gate.text(), "counters 0\na session line\ncounters 100000" + std::string(200, ' ') +
                               "\nanother session line\n");
}

}  // namespace
