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
inline punchprobe::ServerOptions loopback_server_options()
{
    punchprobe::ServerOptions options;
    options.bind_address = boost::asio::ip::address_v4::loopback();
    options.main_port = options.extra_port = 0;
    options.ping_interval = std::chrono::milliseconds(5);
    return options;
}

// The server's shell serving on a thread of its own, as the program runs
// it: the test sends and waits like any client, and reaches the server's
// state only through its loop.
class ServerThread {
public:
    explicit ServerThread(const punchprobe::ServerOptions& options = loopback_server_options())
        : server(io_service, options, out, err), thread_([this] {
              io_service.run();
              ran_out_.set_value();
          })
    {
    }
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
    punchprobe::ServerCounters counters()
    {
        return on_loop([this] { return server.counters(); });
    }
    // Everything written to standard output, or to standard error, so far:
    // on the loop nothing new is logged, so the writer is idle once flushed.
    std::string output()
    {
        return on_loop([this] {
            server.flush_log();
            return out.str();
        });
    }
    std::string errors()
    {
        return on_loop([this] {
            server.flush_log();
            return err.str();
        });
    }

    // Calls stop() on the loop; true when the loop then ran out of work
    // within 10 s.
    bool stop()
    {
        if (!thread_.joinable()) return true;
        boost::asio::post(io_service, [this] { server.stop(); });
        const bool ran_dry = ran_out_.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!ran_dry) io_service.stop();
        thread_.join();
        return ran_dry;
    }

    boost::asio::io_service io_service;
    std::ostringstream out;
    std::ostringstream err;
    punchprobe::PunchprobeServer server;

private:
    std::promise<void> ran_out_;
    std::thread thread_;
};

}  // namespace punchprobe_test
