#include "client/gateway_probe.hpp"

#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/post.hpp>

#include "client/host_network.hpp"

namespace punchprobe {

namespace asio = boost::asio;
using boost::system::error_code;

// The hand-over between the UPnP-IGD thread and the loop. Once the loop has
// stopped waiting (`abandoned`), the thread touches nothing but this.
struct GatewayProbe::UpnpThread {
    std::mutex mutex;
    std::thread thread;
    UpnpIgdAnswer answer;
    bool finished = false;
    bool abandoned = false;
};

GatewayProbe::GatewayProbe(asio::io_service& io_service, GatewayFacts& facts, const GatewayProbeSettings& settings)
    : io_service(io_service), facts(facts), limit(io_service)
{
    facts.address = settings.gateway ? settings.gateway : default_gateway();
    if (!facts.address) return;

    query_pending = true;
    query = std::make_unique<GatewayQuery>(
        io_service, asio::ip::udp::endpoint(*facts.address, settings.port_mapping_port),
        [this](const PortMappingAnswers& answers) { query_done(answers); }, settings.query_waits);

    if (settings.ask_upnp) {
        upnp_pending = true;
        upnp = std::make_shared<UpnpThread>();
        const auto gateway = *facts.address;
        upnp->thread = std::thread([shared = upnp, gateway, ask = settings.ask_upnp, &io_service, this] {
            const UpnpIgdAnswer answer = ask(gateway);
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->answer = answer;
            shared->finished = true;
            // The loop and this object outlive the wait; past it, neither
            // may be touched.
            if (!shared->abandoned) asio::post(io_service, [this] { upnp_done(); });
        });
    }

    limit.expires_from_now(settings.limit);
    limit.async_wait([this](const error_code& error) {
        if (error) return;
        // What has not answered by now counts as silent.
        if (query) query->stop();
        query_pending = upnp_pending = false;
        finish_if_done();
    });
}

GatewayProbe::~GatewayProbe()
{
    if (!upnp) return;
    std::unique_lock<std::mutex> lock(upnp->mutex);
    upnp->abandoned = true;
    const bool finished = upnp->finished;
    lock.unlock();
    if (finished)
        upnp->thread.join();
    else
        upnp->thread.detach();
}

void GatewayProbe::query_done(const PortMappingAnswers& answers)
{
    if (!query_pending) return;
    query_pending = false;
    if (answers.nat_pmp) {
        facts.nat_pmp = true;
        facts.natpmp_external = answers.nat_pmp->external_address;
        facts.natpmp_refused = answers.nat_pmp->result == natpmp_network_failure;
    }
    facts.pcp = answers.pcp.has_value();
    finish_if_done();
}

void GatewayProbe::upnp_done()
{
    if (!upnp_pending) return;
    upnp_pending = false;
    {
        const std::lock_guard<std::mutex> lock(upnp->mutex);
        facts.upnp_igd = upnp->answer.answered;
        facts.upnp_external = upnp->answer.external_address;
        facts.upnp_refused = upnp->answer.refused;
    }
    finish_if_done();
}

void GatewayProbe::finish_if_done()
{
    if (query_pending || upnp_pending) return;
    // Nothing is left to wait for: the loop may end with the exchange.
    limit.cancel();
    if (upnp) {
        const std::lock_guard<std::mutex> lock(upnp->mutex);
        upnp->abandoned = true;
    }
}

}  // namespace punchprobe
