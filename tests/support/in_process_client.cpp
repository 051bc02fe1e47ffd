#include "support/in_process_client.hpp"

#include <exception>

namespace punchprobe_test {

InProcessClient::InProcessClient(const std::string& host, int server_port,
                                 const punchprobe::StepDurations& durations)
    : capture_(std::make_unique<ConsoleCapture>()), started_(std::chrono::steady_clock::now())
{
    thread_ = std::thread(&InProcessClient::run, this, host, server_port, durations);
}

InProcessClient::~InProcessClient()
{
    release_loop();
    io_service_.stop();
    if (thread_.joinable()) thread_.join();
}

void InProcessClient::run(std::string host, int server_port, punchprobe::StepDurations durations)
{
    // As in the entry: the client lives inside the try, so an exception that
    // leaves the loop destroys it before the text is taken.
    std::string exception_text;
    try {
        punchprobe::PunchprobeClient client(io_service_, host, server_port, durations);
        io_service_.run();
    } catch (const std::exception& error) {
        exception_text = error.what();
    }
    const auto ended = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    exception_text_ = exception_text;
    elapsed_ = ended - started_;
    finished_ = true;
    changed_.notify_all();
}

bool InProcessClient::wait(std::chrono::milliseconds limit)
{
    bool in_time;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        in_time = changed_.wait_for(lock, limit, [this] { return finished_; });
    }
    if (!in_time) {
        release_loop();
        io_service_.stop();
    }
    if (thread_.joinable()) thread_.join();
    if (capture_) {
        out_ = capture_->out();
        err_ = capture_->err();
        capture_.reset();
    }
    return in_time;
}

void InProcessClient::hold_loop()
{
    io_service_.post([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = true;
        changed_.notify_all();
        // Bounded, so that a test that forgets to release cannot hang.
        changed_.wait_for(lock, std::chrono::seconds(30), [this] { return release_; });
    });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return held_ || finished_; });
}

void InProcessClient::release_loop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    changed_.notify_all();
}

}  // namespace punchprobe_test
