#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace punchprobe {

// Writes the server's lines from a thread of its own, so that a reader that
// stalls (a full pipe, a slow journal) never stalls the event loop. The
// queue is bounded: when it is full, post drops the line and says so.
class LogWriter {
public:
    enum class Stream { out, err };

    // At most `max_queued_bytes` of lines wait at once (besides those
    // being written).
    LogWriter(std::ostream& out, std::ostream& err, std::size_t max_queued_bytes = 256 * 1024);
    // Writes everything queued, then ends the thread.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues one line (its line break is added). Never blocks; false when
    // the line was dropped for want of room.
    bool post(Stream stream, std::string line);

    // Queues a line whatever the bound, for the few that must never be lost.
    void post_always(Stream stream, std::string line);

    // A line that only the latest of its kind matters for (the counters on
    // request): it replaces the one still waiting, if any, so that at most
    // one waits however often it comes. Queued even when the bound is
    // reached, as it is one line at most. True when it replaced another.
    bool post_latest(Stream stream, std::string line);

    // Waits until every line queued so far has been written and flushed.
    void flush();

private:
    struct Line {
        Stream stream;
        std::string text;
        bool latest = false;  // from post_latest
    };

    void enqueue(Stream stream, std::string line);
    void run();

    std::ostream& out_;
    std::ostream& err_;
    const std::size_t max_queued_bytes_;

    std::mutex mutex_;
    std::condition_variable lines_waiting_;
    std::condition_variable caught_up_;
    std::deque<Line> queue_;
    std::size_t queued_bytes_ = 0;
    bool latest_waiting_ = false;
    bool writing_ = false;
    bool stopping_ = false;
    // Last, so that it starts once everything it uses exists.
    std::thread thread_;
};

}  // namespace punchprobe
