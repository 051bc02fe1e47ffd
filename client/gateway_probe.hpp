#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "client/gateway_facts.hpp"
#include "client/gateway_query.hpp"
#include "client/upnp_igd.hpp"

namespace punchprobe {

// How the probe finds and asks the gateway. The program uses the defaults;
// tests point it at a gateway of their own and shorten the waits.
struct GatewayProbeSettings {
    // The whole probe ends by then, whatever is still unanswered, so that
    // --port-mapping adds at most this to a run.
    boost::posix_time::time_duration limit = boost::posix_time::milliseconds(1900);
    std::vector<boost::posix_time::time_duration> query_waits = default_query_waits();
    unsigned short port_mapping_port = port_mapping_server_port;
    // Blocks; runs on a thread of its own. Empty: UPnP-IGD is not asked.
    std::function<UpnpIgdAnswer(const boost::asio::ip::address_v4&)> ask_upnp = ask_upnp_igd;
    // Else the default route's gateway.
    std::optional<boost::asio::ip::address_v4> gateway;
};

// The --port-mapping probe of the default gateway: NAT-PMP and PCP on the
// loop, UPnP-IGD on a thread of its own (its library blocks). It shares only
// the loop with the exchange, so the loop runs until both are done; it writes
// into `facts` as answers come, and nothing once the limit has passed.
class GatewayProbe {
public:
    GatewayProbe(boost::asio::io_service& io_service, GatewayFacts& facts,
                 const GatewayProbeSettings& settings = GatewayProbeSettings());
    // A UPnP-IGD thread still blocked in its library is left to finish alone.
    ~GatewayProbe();

    GatewayProbe(const GatewayProbe&) = delete;
    GatewayProbe& operator=(const GatewayProbe&) = delete;

private:
    struct UpnpThread;

    void query_done(const PortMappingAnswers& answers);
    void upnp_done();
    void finish_if_done();

    boost::asio::io_service& io_service;
    GatewayFacts& facts;
    boost::asio::deadline_timer limit;
    std::unique_ptr<GatewayQuery> query;
    std::shared_ptr<UpnpThread> upnp;
    bool query_pending = false;
    bool upnp_pending = false;
};

}  // namespace punchprobe
