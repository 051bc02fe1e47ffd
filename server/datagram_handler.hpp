#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "server/server_contract.hpp"
#include "server/server_counters.hpp"
#include "server/session_log.hpp"
#include "server/session_table.hpp"

namespace punchprobe {

// The server's two UDP sockets.
enum class ServerSocket { main, extra };

// No client message comes near this; anything longer is dropped unread.
constexpr std::size_t max_request_size = client_receive_buffer_size;

struct InboundDatagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint source;
    ServerSocket socket = ServerSocket::main;
    ServerClock::time_point now;
};

struct OutboundDatagram {
    std::string bytes;
    boost::asio::ip::udp::endpoint destination;
    ServerSocket from = ServerSocket::main;
};

// Send the session's PINGs from the extra port to `destination`, the INIT's
// source; `report` is the session's log line but for pings_sent.
struct PingTrainOrder {
    std::int32_t session_id = 0;
    boost::asio::ip::udp::endpoint destination;
    SessionReport report;
};

// What to do about one datagram. A drop comes with neither a reply nor a
// train; `ended` may accompany anything.
struct Decision {
    std::optional<OutboundDatagram> reply;
    std::optional<PingTrainOrder> ping_train;
    std::optional<DropReason> drop;
    bool session_created = false;
    // Sessions that expired or were evicted while this datagram was handled.
    std::vector<SessionReport> ended;
};

struct HandlerSettings {
    // The port START announces: the extra socket's bound port.
    unsigned short extra_port = 0;
};

// Decides about one datagram against the table, changing the table as the
// datagram asks. Never throws: whatever the network sends ends as a decision,
// at worst a drop.
Decision handle_datagram(const InboundDatagram& datagram, SessionTable& table,
                         const HandlerSettings& settings) noexcept;

// The server's PING number `ping_number` of a session's train.
std::string make_server_ping(std::int32_t session_id, int ping_number);

}  // namespace punchprobe
