#include "support/server_thread.hpp"

namespace punchprobe_test {

using namespace std::chrono_literals;

punchprobe::ServerOptions loopback_server_options()
{
    punchprobe::ServerOptions options;
    options.bind_address = boost::asio::ip::address_v4::loopback();
    options.main_port = 0;
    options.extra_port = 0;
    options.ping_interval = 5ms;
    return options;
}

ServerThread::ServerThread(const punchprobe::ServerOptions& options)
    : server(io_service, options, out, err), thread_([this] {
          io_service.run();
          ran_out_.set_value();
      })
{
}

punchprobe::ServerCounters ServerThread::counters()
{
    return on_loop([this] { return server.counters(); });
}

std::string ServerThread::output()
{
    // On the loop nothing new is logged, so the writer is idle once flushed.
    return on_loop([this] {
        server.flush_log();
        return out.str();
    });
}

std::string ServerThread::errors()
{
    return on_loop([this] {
        server.flush_log();
        return err.str();
    });
}

bool ServerThread::stop()
{
    if (!thread_.joinable()) return true;
    boost::asio::post(io_service, [this] { server.stop(); });
    const bool ran_dry = ran_out_.get_future().wait_for(10s) == std::future_status::ready;
    if (!ran_dry) io_service.stop();
    thread_.join();
    return ran_dry;
}

}  // namespace punchprobe_test
