#include "support/in_process_client.hpp"

#include <exception>
#include <functional>
#include <utility>

#include <json/value.h>

#include "app/entry.hpp"

namespace punchprobe_test {

InProcessClient::InProcessClient(const std::string& host, int server_port,
                                 const punchprobe::StepDurations& durations, LoopStart loop_start)
{
    // Posted before the loop runs, the hold is its first turn.
    if (loop_start == LoopStart::held) post_hold();
    start([this, host, server_port, durations] {
        // As in the entry: the client lives inside the try, so an exception
        // that leaves the loop destroys it before the text is taken.
        punchprobe::PunchprobeClient client(*io_service_, host, server_port, durations);
        io_service_->run();
        return -1;
    });
}

InProcessClient::InProcessClient(const EntryArguments& entry, const punchprobe::StepDurations& durations)
    : argv_(entry.arguments)
{
    argv_.insert(argv_.begin(), "punchprobe");
    start([this, durations, gateway = entry.gateway] {
        std::vector<const char*> argv;
        for (const auto& argument : argv_) argv.push_back(argument.c_str());
        return punchprobe::run_entry(static_cast<int>(argv.size()), argv.data(), durations, gateway);
    });
}

InProcessClient::~InProcessClient()
{
    release_loop();
    if (io_service_) io_service_->stop();
    if (thread_.joinable()) thread_.join();
}

void InProcessClient::start(std::function<int()> body)
{
    capture_ = std::make_unique<ConsoleCapture>();
    started_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this, body = std::move(body)] {
        try {
            const int status = body();
            finish(Ending::verdict, "", status);
        } catch (const Json::Exception& error) {
            finish(Ending::json_exception, error.what(), -1);
        } catch (const std::exception& error) {
            finish(Ending::other_exception, error.what(), -1);
        }
    });
}

void InProcessClient::finish(Ending ending, std::string exception_text, int status)
{
    const auto ended = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = ending;
    exception_text_ = std::move(exception_text);
    status_ = status;
    ended_at_ = ended;
    finished_ = true;
    changed_.notify_all();
}

bool InProcessClient::wait(std::chrono::milliseconds limit)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (waited_) return in_time_;
        in_time_ = changed_.wait_for(lock, limit, [this] { return finished_; });
        waited_ = true;
    }
    if (!in_time_) {
        release_loop();
        // The entry's own loop cannot be reached; it ends on its deadlines.
        io_service_->stop();
    }
    if (thread_.joinable()) thread_.join();
    // A run stopped from outside counts as hung, whatever it did after.
    if (!in_time_) ending_ = Ending::hung;
    io_service_.reset();
    out_ = capture_->out();
    err_ = capture_->err();
    capture_.reset();
    return in_time_;
}

bool InProcessClient::ended()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

void InProcessClient::hold_loop()
{
    // The handler running now may still queue completions that are due at
    // once; a first turn through the queue lets them go ahead of the hold.
    io_service_->post([this] {
        std::lock_guard<std::mutex> lock(mutex_);
        turned_ = true;
        changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return turned_ || finished_; });
    lock.unlock();
    post_hold();
    lock.lock();
    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return held_ || finished_; });
}

void InProcessClient::post_hold()
{
    io_service_->post([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = true;
        changed_.notify_all();
        // Bounded, so that a test that forgets to release cannot hang.
        changed_.wait_for(lock, std::chrono::seconds(30), [this] { return release_; });
    });
}

void InProcessClient::release_loop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    changed_.notify_all();
}

}  // namespace punchprobe_test
