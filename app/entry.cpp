#include "app/entry.hpp"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "app/console_window.hpp"
#include "app/port_argument.hpp"
#include "app/usage.hpp"
#include "protocol/wire_contract.hpp"

namespace punchprobe {

int run_entry(int argc, const char* const argv[], const StepDurations& durations)
{
    const EntryRequest request = entry_request(argc, argv);
    switch (request) {
    case EntryRequest::help: std::cout << help_text() << std::flush; return 0;
    case EntryRequest::version: std::cout << version_text() << std::flush; return 0;
    case EntryRequest::run:
    case EntryRequest::json: break;
    }

    // After --json the arguments mean what they mean without it.
    const bool json = request == EntryRequest::json;
    std::vector<const char*> arguments(argv, argv + argc);
    if (json) arguments.erase(arguments.begin() + 1);

    if (arguments.size() < 2) {
        std::cerr << usage_line() << std::endl;
        return 1;
    }

    RunFacts facts;
    facts.host = arguments[1];
    try {
        int port = default_server_port;
        // Only exactly two arguments set the port; a third one makes the
        // run fall back to the default.
        if (arguments.size() == 3) port = parse_port_argument(arguments[2]);
        const std::string host = arguments[1];

        if (!json) std::cout << "Using server " << host << ":" << port << std::endl;

        boost::asio::io_service io_service;
        const ClientOutput output{!json, !json && stderr_is_terminal(), &facts};
        PunchprobeClient client(io_service, host, port, durations, output);
        io_service.run();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        // This error ended the run, whatever was reported before it.
        facts.verdict = Verdict::error;
        facts.error = error.what();
    }
    if (!json) return 0;
    std::cout << facts_line(facts) << std::flush;
    return json_exit_status(facts.verdict);
}

}  // namespace punchprobe
