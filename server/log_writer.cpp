#include "server/log_writer.hpp"

#include <utility>

namespace punchprobe {

LogWriter::LogWriter(std::ostream& out, std::ostream& err, std::size_t max_queued_bytes)
    : out_(out), err_(err), max_queued_bytes_(max_queued_bytes), thread_([this] { run(); })
{
}

LogWriter::~LogWriter()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    lines_waiting_.notify_one();
    thread_.join();
}

bool LogWriter::post(Stream stream, std::string line)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (queued_bytes_ + line.size() > max_queued_bytes_) return false;
        enqueue(stream, std::move(line));
    }
    lines_waiting_.notify_one();
    return true;
}

void LogWriter::post_always(Stream stream, std::string line)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        enqueue(stream, std::move(line));
    }
    lines_waiting_.notify_one();
}

bool LogWriter::post_latest(Stream stream, std::string line)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (latest_waiting_) {
            for (Line& waiting : queue_) {
                if (!waiting.latest) continue;
                queued_bytes_ = queued_bytes_ - waiting.text.size() + line.size();
                waiting.stream = stream;
                waiting.text = std::move(line);
                return true;
            }
        }
        enqueue(stream, std::move(line));
        queue_.back().latest = true;
        latest_waiting_ = true;
    }
    lines_waiting_.notify_one();
    return false;
}

void LogWriter::enqueue(Stream stream, std::string line)
{
    queued_bytes_ += line.size();
    queue_.push_back(Line{stream, std::move(line)});
}

void LogWriter::flush()
{
    std::unique_lock<std::mutex> lock(mutex_);
    caught_up_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

void LogWriter::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        lines_waiting_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and all written
        // Take the whole queue and write it unlocked: the loop goes on
        // posting while a slow reader holds us up here.
        std::deque<Line> batch;
        batch.swap(queue_);
        queued_bytes_ = 0;
        latest_waiting_ = false;
        writing_ = true;
        lock.unlock();
        bool wrote_out = false;
        bool wrote_err = false;
        for (const Line& line : batch) {
            std::ostream& stream = line.stream == Stream::out ? out_ : err_;
            stream.write(line.text.data(), static_cast<std::streamsize>(line.text.size()));
            stream.put('\n');
            (line.stream == Stream::out ? wrote_out : wrote_err) = true;
        }
        if (wrote_out) out_.flush();
        if (wrote_err) err_.flush();
        lock.lock();
        writing_ = false;
        if (queue_.empty()) caught_up_.notify_all();
    }
}

}  // namespace punchprobe
