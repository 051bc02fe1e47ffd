#include "app/entry.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "app/console_window.hpp"
#include "app/port_argument.hpp"
#include "app/usage.hpp"
#include "client/gateway_probe.hpp"
#include "client/host_network.hpp"
#include "protocol/wire_contract.hpp"

namespace punchprobe {

namespace {

// Whether the server saw us at an address of our own: then no NAT stood
// between us.
bool is_own_address(const std::string& text)
{
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text, error);
    if (error) return false;
    const auto own = local_ipv4_addresses();
    return std::find(own.begin(), own.end(), address) != own.end();
}

}  // namespace

int run_entry(int argc, const char* const argv[], const StepDurations& durations,
              const GatewayProbeSettings& gateway_settings)
{
    switch (entry_request(argc, argv)) {
    case EntryRequest::help: std::cout << help_text() << std::flush; return 0;
    case EntryRequest::version: std::cout << version_text() << std::flush; return 0;
    case EntryRequest::run: break;
    }

    const RunOptions options = run_options(argc, argv);
    const bool json = options.json;
    const std::vector<std::string>& arguments = options.operands;
    if (arguments.empty()) {
        std::cerr << usage_line() << std::endl;
        return 1;
    }

    RunFacts facts;
    facts.host = arguments[0];
    try {
        int port = default_server_port;
        // Only exactly one argument after the host sets the port; a second
        // one makes the run fall back to the default.
        if (arguments.size() == 2) port = parse_port_argument(arguments[1]);
        const std::string& host = arguments[0];

        if (!json) std::cout << "Using server " << host << ":" << port << std::endl;

        boost::asio::io_service io_service;
        const ClientOutput output{!json, !json && stderr_is_terminal(), &facts};
        // The probe first: it runs beside the exchange from the start, and
        // a client that cannot bind its sockets ends the run before either.
        std::optional<GatewayProbe> probe;
        if (options.port_mapping) probe.emplace(io_service, facts.gateway.emplace(), gateway_settings);
        PunchprobeClient client(io_service, host, port, durations, output);
        io_service.run();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        // This error ended the run, whatever was reported before it.
        facts.verdict = Verdict::error;
        facts.error = error.what();
        facts.gateway.reset();
    }
    if (facts.public_ip) facts.behind_nat = !is_own_address(*facts.public_ip);
    if (!json) {
        std::cout << port_mapping_report(facts.gateway, facts.public_ip, facts.verdict) << std::flush;
        return 0;
    }
    std::cout << facts_line(facts) << std::flush;
    return json_exit_status(facts.verdict);
}

}  // namespace punchprobe
