#pragma once

#include <chrono>
#include <future>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>

#include "server/punchprobe_server.hpp"

namespace punchprobe_test {

// 127.0.0.1, ports the system chooses, PINGs 5 ms apart.
punchprobe::ServerOptions loopback_server_options();

// The server's shell serving on a thread of its own, as the program runs
// it: the test sends and waits like any client, and reaches the server's
// state only through its loop.
class ServerThread {
public:
    explicit ServerThread(const punchprobe::ServerOptions& options = loopback_server_options());
    ~ServerThread() { stop(); }

    // Runs `function` on the loop (here, once the loop has ended) and
    // returns what it returns; throws when the loop does not answer within
    // 10 s.
    template <typename Function>
    auto on_loop(Function function)
    {
        if (!thread_.joinable()) return function();
        std::packaged_task<decltype(function())()> task(function);
        auto result = task.get_future();
        boost::asio::post(io_service, [&task] { task(); });
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            io_service.stop();
            thread_.join();
            throw std::runtime_error("the server's loop did not answer");
        }
        return result.get();
    }
    punchprobe::ServerCounters counters();
    // Everything written to standard output, and to standard error, so far.
    std::string output();
    std::string errors();

    // Calls stop() on the loop; true when the loop then ran out of work
    // within 10 s.
    bool stop();

    boost::asio::io_service io_service;
    std::ostringstream out;
    std::ostringstream err;
    punchprobe::PunchprobeServer server;

private:
    std::promise<void> ran_out_;
    std::thread thread_;
};

}  // namespace punchprobe_test
