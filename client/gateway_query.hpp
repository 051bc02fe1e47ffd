#pragma once

#include <array>
#include <functional>
#include <optional>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "client/gateway_codec.hpp"

namespace punchprobe {

// What the gateway's port 5351 told us.
struct PortMappingAnswers {
    std::optional<NatPmpAnswer> nat_pmp;
    std::optional<PcpAnswer> pcp;
};

// The waits after each send, the last one included: the requests go out at
// 0, 250 and 750 ms and the query gives up at 1,750 ms.
inline std::vector<boost::posix_time::time_duration> default_query_waits()
{
    using boost::posix_time::milliseconds;
    return {milliseconds(250), milliseconds(500), milliseconds(1000)};
}

// Asks a gateway, over one UDP socket, NAT-PMP's public-address question and
// PCP's ANNOUNCE, sending each again after each wait until it is answered.
// Only datagrams from the gateway's address and port count; anything that
// does not decode is ignored. Calls `done` once, when both are answered or
// the waits run out, on the loop's thread; `done` must not destroy the query.
class GatewayQuery {
public:
    using Done = std::function<void(const PortMappingAnswers&)>;

    GatewayQuery(boost::asio::io_service& io_service, const boost::asio::ip::udp::endpoint& gateway, Done done,
                 std::vector<boost::posix_time::time_duration> waits = default_query_waits());

    GatewayQuery(const GatewayQuery&) = delete;
    GatewayQuery& operator=(const GatewayQuery&) = delete;

    // Ends the query now, without calling `done`.
    void stop();

private:
    void send_unanswered();
    void wait_next();
    void receive();
    void received(std::size_t size);
    void finish();

    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::endpoint gateway;
    boost::asio::ip::udp::endpoint sender;
    std::array<unsigned char, 1100> buffer{};
    std::array<unsigned char, 24> pcp_request{};
    boost::asio::deadline_timer timer;
    std::vector<boost::posix_time::time_duration> waits;
    std::size_t next_wait = 0;
    PortMappingAnswers answers;
    // NAT-PMP's own answer: a "version not supported" one answers PCP's
    // request, from a gateway that speaks only NAT-PMP.
    bool natpmp_address_answered = false;
    Done done;
    bool finished = false;
};

}  // namespace punchprobe
