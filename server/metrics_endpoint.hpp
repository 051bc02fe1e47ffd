#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "server/server_counters.hpp"

namespace punchprobe {

// Serves GET /metrics over HTTP/1.1 on the server's own loop, for a
// Prometheus scraper. It faces the same Internet as the UDP ports, so it
// takes little and holds nothing long: one small request per connection, a
// few connections at once, one deadline for each, and an answer rendered in
// memory at once. Nothing here blocks; the UDP service never waits for it.
class MetricsEndpoint {
public:
    // Renders the page, on the loop, when a request asks for it.
    using Render = std::function<std::string()>;

    // Binds and listens at once (throws boost::system::system_error, "bind
    // ADDRESS:PORT (metrics port)" and the like); start() begins accepting.
    // Its limits count in `counters`.
    MetricsEndpoint(boost::asio::io_service& io_service, const boost::asio::ip::tcp::endpoint& where,
                    std::chrono::milliseconds deadline, ServerCounters& counters, Render render);
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    void start();
    // Closes the acceptor and every open connection.
    void stop();

    boost::asio::ip::tcp::endpoint endpoint() const { return endpoint_; }
    std::size_t open_connections() const { return connections_.size(); }

    // Connections served at once. One more pushes out the oldest that is
    // still sending its request, or, with none such, is closed at once.
    static constexpr std::size_t max_connections = 4;
    // A scraper sends its request at once: a request head that takes longer
    // (or longer than the whole deadline) ends the connection.
    static constexpr std::chrono::milliseconds max_head_time{1000};
    // The request line and headers together; a body is never accepted.
    static constexpr std::size_t max_request_bytes = 4096;

private:
    class Connection;
    friend class Connection;

    void accept();
    void accepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
    void closed(Connection& connection);

    boost::asio::io_service& io_service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::endpoint endpoint_;
    // After a failed accept (out of file descriptors, say) the next waits
    // this long, so that the loop does not spin on the error.
    boost::asio::steady_timer accept_pause_;
    const std::chrono::milliseconds deadline_;
    ServerCounters& counters_;
    const Render render_;
    std::list<std::shared_ptr<Connection>> connections_;
    bool stopped_ = false;
};

}  // namespace punchprobe
