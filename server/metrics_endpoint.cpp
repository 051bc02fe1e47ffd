#include "server/metrics_endpoint.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>

namespace punchprobe {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

constexpr char exposition_type[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char error_type[] = "text/plain; charset=utf-8";

// Connections waiting in the kernel for accept(): a few rounds of the cap.
constexpr int listen_backlog = 16;

constexpr std::chrono::milliseconds accept_retry_pause{100};

// Bytes still unread when the socket closes make the kernel send a reset,
// which may destroy the answer before the client reads it: what already
// arrived is read away first, boundedly and without waiting.
constexpr int drain_reads = 16;

bool is_metrics_path(boost::beast::string_view target)
{
    const boost::beast::string_view path = target.substr(0, target.find('?'));
    return path == "/metrics";
}

}  // namespace

// One client's request and its answer, then close. Each pending operation
// holds the connection; once closed, its handlers touch nothing else.
class MetricsEndpoint::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(MetricsEndpoint& owner, tcp::socket socket)
        : owner_(owner),
          socket_(std::move(socket)),
          deadline_(owner.io_service_),
          head_deadline_(owner.io_service_),
          buffer_(max_request_bytes)
    {
        parser_.header_limit(static_cast<std::uint32_t>(max_request_bytes));
        parser_.body_limit(0);
    }

    void start(std::list<std::shared_ptr<Connection>>::iterator position)
    {
        position_ = position;
        // The request head first, in a short time of its own, so that
        // connections trickling their request cannot hold the slots.
        head_deadline_.expires_after(std::min(owner_.deadline_, max_head_time));
        head_deadline_.async_wait([self = shared_from_this()](const error_code& error) {
            if (error == asio::error::operation_aborted || !self->open_ || self->answering_) return;
            ++self->owner_.counters_.metrics_timeouts;
            self->close();
        });
        // One deadline for request and response together: a client that
        // trickles a byte at a time gets no more time than a silent one.
        deadline_.expires_after(owner_.deadline_);
        deadline_.async_wait([self = shared_from_this()](const error_code& error) {
            if (error == asio::error::operation_aborted || !self->open_) return;
            ++self->owner_.counters_.metrics_timeouts;
            self->close();
        });
        http::async_read(socket_, buffer_, parser_,
                         [self = shared_from_this()](const error_code& error, std::size_t) { self->read(error); });
    }

    void close()
    {
        if (!open_) return;
        open_ = false;
        const auto keep = shared_from_this();
        error_code ignored;
        deadline_.cancel(ignored);
        head_deadline_.cancel(ignored);
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.non_blocking(true, ignored);
        char scratch[1024];
        for (int reads = 0; reads < drain_reads; ++reads) {
            error_code error;
            socket_.read_some(asio::buffer(scratch), error);
            if (error) break;
        }
        socket_.close(ignored);
        owner_.closed(*this);
    }

    std::list<std::shared_ptr<Connection>>::iterator position() const { return position_; }
    // Still sending its request: the first to give way to a new connection.
    bool waiting_for_request() const { return open_ && !answering_; }

private:
    void read(const error_code& error)
    {
        if (!open_) return;
        answering_ = true;
        error_code ignored;
        head_deadline_.cancel(ignored);
        const bool http_fault =
            error && error.category() == http::make_error_code(http::error::end_of_stream).category();
        if (error == http::error::end_of_stream || (error && !http_fault)) {
            // Gone before a request, or a network error: nobody to answer.
            close();
            return;
        }
        if (error) {
            // Not HTTP, too long, or with a body.
            answer(http::status::bad_request, "Bad Request\n");
            return;
        }
        const http::request<http::empty_body>& request = parser_.get();
        if (!is_metrics_path(request.target())) {
            answer(http::status::not_found, "Not Found\n");
        } else if (request.method() != http::verb::get && request.method() != http::verb::head) {
            answer(http::status::method_not_allowed, "Method Not Allowed\n");
        } else {
            answer(http::status::ok, owner_.render_());
        }
    }

    void answer(http::status status, std::string body)
    {
        response_.version(11);
        response_.result(status);
        response_.set(http::field::content_type, status == http::status::ok ? exposition_type : error_type);
        if (status == http::status::method_not_allowed) response_.set(http::field::allow, "GET, HEAD");
        response_.keep_alive(false);
        response_.body() = std::move(body);
        response_.prepare_payload();
        // HEAD gets the length of the answer it would get, without it.
        if (parser_.is_header_done() && parser_.get().method() == http::verb::head) response_.body().clear();
        if (status != http::status::ok) ++owner_.counters_.metrics_bad_requests;
        http::async_write(socket_, response_, [self = shared_from_this()](const error_code&, std::size_t) {
            // Written, failed or cut off at the deadline: the connection
            // ends either way.
            self->close();
        });
    }

    MetricsEndpoint& owner_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    asio::steady_timer head_deadline_;
    boost::beast::flat_buffer buffer_;
    http::request_parser<http::empty_body> parser_;
    http::response<http::string_body> response_;
    std::list<std::shared_ptr<Connection>>::iterator position_;
    bool open_ = true;
    bool answering_ = false;
};

MetricsEndpoint::MetricsEndpoint(asio::io_service& io_service, const tcp::endpoint& where,
                                 std::chrono::milliseconds deadline, ServerCounters& counters, Render render)
    : io_service_(io_service),
      acceptor_(io_service),
      accept_pause_(io_service),
      deadline_(deadline),
      counters_(counters),
      render_(std::move(render))
{
    // Named like the UDP sockets' failures: the step, the address, the port.
    const std::string place = where.address().to_string() + ":" + std::to_string(where.port()) + " (metrics port)";
    error_code error;
    acceptor_.open(where.protocol(), error);
    if (error) throw system_error(error, "open " + place);
    // A restarted server finds its port still held by the old one's
    // closing connections.
    acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    if (error) throw system_error(error, "open " + place);
    acceptor_.bind(where, error);
    if (error) throw system_error(error, "bind " + place);
    acceptor_.listen(listen_backlog, error);
    if (error) throw system_error(error, "listen " + place);
    endpoint_ = acceptor_.local_endpoint(error);
    if (error) throw system_error(error, "listen " + place);
}

MetricsEndpoint::~MetricsEndpoint()
{
    stop();
}

void MetricsEndpoint::start()
{
    accept();
}

void MetricsEndpoint::stop()
{
    if (stopped_) return;
    stopped_ = true;
    error_code ignored;
    accept_pause_.cancel(ignored);
    acceptor_.close(ignored);
    while (!connections_.empty()) connections_.front()->close();
}

void MetricsEndpoint::accept()
{
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) { accepted(error, std::move(socket)); });
}

void MetricsEndpoint::accepted(const error_code& error, tcp::socket socket)
{
    if (error == asio::error::operation_aborted || stopped_) return;
    if (error) {
        accept_pause_.expires_after(accept_retry_pause);
        accept_pause_.async_wait([this](const error_code& wait_error) {
            if (wait_error == asio::error::operation_aborted || stopped_) return;
            accept();
        });
        return;
    }
    if (connections_.size() >= max_connections) {
        // The oldest connection still sending its request makes room: a
        // scraper's request comes at once, a slow or silent one may wait.
        const auto waiting = std::find_if(connections_.begin(), connections_.end(),
                                          [](const auto& connection) { return connection->waiting_for_request(); });
        if (waiting != connections_.end()) {
            ++counters_.metrics_pushed_out;
            (*waiting)->close();
        }
    }
    if (connections_.size() >= max_connections) {
        // Every slot is answering: this one gets nothing, not even a wait.
        ++counters_.metrics_refused;
        error_code ignored;
        socket.close(ignored);
    } else {
        connections_.push_back(std::make_shared<Connection>(*this, std::move(socket)));
        connections_.back()->start(std::prev(connections_.end()));
    }
    accept();
}

void MetricsEndpoint::closed(Connection& connection)
{
    connections_.erase(connection.position());
}

}  // namespace punchprobe
