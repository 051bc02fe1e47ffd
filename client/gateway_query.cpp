#include "client/gateway_query.hpp"

#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

namespace punchprobe {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;

namespace {

constexpr std::uint16_t natpmp_unsupported_version = 1;

// The address our datagrams to `gateway` leave from: PCP wants it inside the
// request. A connected socket asks the routing table without sending.
asio::ip::address_v4 source_towards(asio::io_service& io_service, const udp::endpoint& gateway)
{
    udp::socket probe(io_service);
    error_code error;
    probe.connect(gateway, error);
    if (error) return asio::ip::address_v4::any();
    const udp::endpoint local = probe.local_endpoint(error);
    if (error || !local.address().is_v4()) return asio::ip::address_v4::any();
    return local.address().to_v4();
}

}  // namespace

GatewayQuery::GatewayQuery(asio::io_service& io_service, const udp::endpoint& gateway, Done done,
                           std::vector<boost::posix_time::time_duration> waits)
    : socket(io_service),
      gateway(gateway),
      timer(io_service),
      waits(std::move(waits)),
      done(std::move(done))
{
    pcp_request = pcp_announce_request(source_towards(io_service, gateway));
    error_code error;
    socket.open(udp::v4(), error);
    if (!error) socket.bind(udp::endpoint(udp::v4(), 0), error);
    if (error) {
        // No socket, no answers: the report says the gateway was silent.
        asio::post(io_service, [this] { finish(); });
        return;
    }
    receive();
    send_unanswered();
    wait_next();
}

void GatewayQuery::send_unanswered()
{
    // A lost send is a lost datagram: the next round sends it again.
    error_code ignored;
    if (!natpmp_address_answered) socket.send_to(asio::buffer(natpmp_public_address_request()), gateway, 0, ignored);
    if (!answers.pcp) socket.send_to(asio::buffer(pcp_request), gateway, 0, ignored);
}

void GatewayQuery::wait_next()
{
    if (next_wait == waits.size()) {
        finish();
        return;
    }
    timer.expires_from_now(waits[next_wait++]);
    timer.async_wait([this](const error_code& error) {
        if (error || finished) return;
        if (next_wait < waits.size()) send_unanswered();
        wait_next();
    });
}

void GatewayQuery::receive()
{
    socket.async_receive_from(asio::buffer(buffer), sender, [this](const error_code& error, std::size_t size) {
        if (error == asio::error::operation_aborted || finished) return;
        // Errors such as an ICMP "port unreachable" echo are not answers:
        // keep listening until the waits run out.
        if (!error) received(size);
        if (!finished) receive();
    });
}

void GatewayQuery::received(std::size_t size)
{
    if (sender != gateway) return;
    if (const auto natpmp = decode_natpmp_public_address(buffer.data(), size)) {
        if (!answers.nat_pmp || natpmp->result != natpmp_unsupported_version) answers.nat_pmp = natpmp;
        if (natpmp->result != natpmp_unsupported_version) natpmp_address_answered = true;
    } else if (const auto pcp = decode_pcp_announce(buffer.data(), size)) {
        answers.pcp = pcp;
    }
    if (natpmp_address_answered && answers.pcp) finish();
}

void GatewayQuery::finish()
{
    if (finished) return;
    stop();
    done(answers);
}

void GatewayQuery::stop()
{
    finished = true;
    timer.cancel();
    error_code ignored;
    socket.close(ignored);
}

}  // namespace punchprobe
