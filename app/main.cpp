#include <exception>
#include <iostream>
#include <string>

#include <boost/asio/io_service.hpp>

#include "app/console_window.hpp"
#include "app/port_argument.hpp"
#include "app/usage.hpp"
#include "client/punchprobe_client.hpp"

namespace {

int run(int argc, char* argv[])
{
    switch (punchprobe::entry_request(argc, argv)) {
    case punchprobe::EntryRequest::help: std::cout << punchprobe::help_text() << std::flush; return 0;
    case punchprobe::EntryRequest::version: std::cout << punchprobe::version_text() << std::flush; return 0;
    case punchprobe::EntryRequest::run: break;
    }

    try {
        if (argc < 2) {
            std::cerr << punchprobe::usage_line() << std::endl;
            return 1;
        }

        int port = 30000;
        // Only exactly two arguments set the port; a third one makes the
        // run fall back to the default.
        if (argc == 3) port = punchprobe::parse_port_argument(argv[2]);
        const std::string host = argv[1];

        std::cout << "Using server " << host << ":" << port << std::endl;

        boost::asio::io_service io_service;
        punchprobe::PunchprobeClient client(io_service, host, port);
        io_service.run();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    const int status = run(argc, argv);
    // Started by a double-click, the window would vanish with the verdict.
    punchprobe::hold_console_until_enter();
    return status;
}
