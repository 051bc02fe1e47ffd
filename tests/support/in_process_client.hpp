#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "client/gateway_probe.hpp"
#include "client/punchprobe_client.hpp"
#include "support/console_capture.hpp"

namespace punchprobe_test {

// How an in-process run ended.
enum class Ending {
    verdict,              // the loop ran out of work, nothing was thrown
    json_exception,       // one of JsonCpp's exceptions left the loop
    other_exception,      // any other exception left the loop
    hung,                 // still running at the limit of wait(); stopped from outside
};

// Whether the loop may take its first turn at once, or starts held (see
// hold_loop()), with the client set up and nothing handled yet.
enum class LoopStart { running, held };

// Runs the entry itself, with these arguments after the program name, instead
// of the client alone: for --json and the exit status.
struct EntryArguments {
    std::vector<std::string> arguments;
    // Where --port-mapping looks for its gateway.
    punchprobe::GatewayProbeSettings gateway = {};
};

// The client run inside the test process, the way the entry runs it
// (construct, run the loop, catch what leaves it), but on a thread of its own
// so that the test can script the server meanwhile, and with injected step
// durations. The console is captured from before construction to the end of
// the run.
class InProcessClient {
public:
    InProcessClient(const std::string& host, int server_port, const punchprobe::StepDurations& durations,
                    LoopStart loop_start = LoopStart::running);
    // The whole entry, on a loop of its own: hold_loop() does not reach it.
    InProcessClient(const EntryArguments& entry, const punchprobe::StepDurations& durations);
    // Stops the loop if the run has not ended, and joins its thread.
    ~InProcessClient();
    InProcessClient(const InProcessClient&) = delete;
    InProcessClient& operator=(const InProcessClient&) = delete;

    // Waits for the run to end by itself. Past `limit` the loop is stopped,
    // the run counts as hung and this returns false. A second call returns
    // the first one's answer.
    bool wait(std::chrono::milliseconds limit);

    // Keeps the loop thread busy in one handler until release_loop(), so that
    // datagrams pile up in the sockets, or timers expire, before the client
    // can handle any; what was already due when it is called runs first.
    // Posted before the loop's first turn it runs first, once the client has
    // been set up. Returns once the loop thread is held. Once per run.
    void hold_loop();
    void release_loop();

    // Whether the run has ended, without waiting.
    bool ended();

    // Valid after wait().
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    Ending ending() const { return ending_; }
    // The text of the exception that left the run, if any.
    const std::string& exception_text() const { return exception_text_; }
    // The entry's return value; -1 for the client alone.
    int status() const { return status_; }
    // From construction of the client to the end of the run.
    std::chrono::steady_clock::duration elapsed() const { return ended_at_ - started_; }
    std::chrono::steady_clock::time_point ended_at() const { return ended_at_; }

private:
    void start(std::function<int()> body);
    void post_hold();
    void finish(Ending ending, std::string exception_text, int status);

    // Reset by wait(), so that the loop's own descriptors are gone with it.
    std::unique_ptr<boost::asio::io_service> io_service_ = std::make_unique<boost::asio::io_service>();
    std::vector<std::string> argv_;
    std::unique_ptr<ConsoleCapture> capture_;
    std::chrono::steady_clock::time_point started_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    bool turned_ = false;
    bool held_ = false;
    bool release_ = false;
    bool waited_ = false;
    bool in_time_ = false;

    std::string out_;
    std::string err_;
    Ending ending_ = Ending::hung;
    std::string exception_text_;
    int status_ = -1;
    std::chrono::steady_clock::time_point ended_at_;
    std::thread thread_;
};

}  // namespace punchprobe_test
