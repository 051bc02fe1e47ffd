#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>

#include "client/punchprobe_client.hpp"
#include "support/console_capture.hpp"

namespace punchprobe_test {

// A PunchprobeClient run inside the test process, the way the entry runs it
// (construct, run the loop, catch what leaves it), but on a thread of its
// own so that the test can script the server meanwhile, and with injected
// step durations. The console is captured from before construction to the
// end of the run.
class InProcessClient {
public:
    InProcessClient(const std::string& host, int server_port,
                    const punchprobe::StepDurations& durations);
    // Stops the loop if the run has not ended, and joins its thread.
    ~InProcessClient();
    InProcessClient(const InProcessClient&) = delete;
    InProcessClient& operator=(const InProcessClient&) = delete;

    // Waits for the loop to run out of work. Past `limit` the watchdog stops
    // the loop and this returns false.
    bool wait(std::chrono::milliseconds limit);

    // Keeps the loop thread busy in one handler until release_loop(), so that
    // datagrams pile up in the sockets before the client can handle any.
    // Returns once the loop thread is held.
    void hold_loop();
    void release_loop();

    // Valid after wait().
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // The text of the exception that left the run, if any.
    const std::string& exception_text() const { return exception_text_; }
    // From construction of the client to the end of the run.
    std::chrono::steady_clock::duration elapsed() const { return elapsed_; }

private:
    void run(std::string host, int server_port, punchprobe::StepDurations durations);

    boost::asio::io_service io_service_;
    std::unique_ptr<ConsoleCapture> capture_;
    std::chrono::steady_clock::time_point started_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    bool held_ = false;
    bool release_ = false;

    std::string out_;
    std::string err_;
    std::string exception_text_;
    std::chrono::steady_clock::duration elapsed_{};
    std::thread thread_;
};

}  // namespace punchprobe_test
