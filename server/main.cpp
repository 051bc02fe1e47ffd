#include <exception>
#include <iostream>

#include <boost/asio/io_service.hpp>

#include "server/punchprobe_server.hpp"
#include "server/server_options.hpp"

int main(int argc, char* argv[])
{
    using Action = punchprobe::ServerCommandLine::Action;
    const punchprobe::ServerCommandLine command_line = punchprobe::parse_server_command_line(argc, argv);
    switch (command_line.action) {
    case Action::help:
    case Action::version: std::cout << command_line.text << std::flush; return 0;
    case Action::error: std::cerr << command_line.text << std::flush; return 2;
    case Action::run: break;
    }

    try {
        boost::asio::io_service io_service;
        punchprobe::PunchprobeServer server(io_service, command_line.options);
        io_service.run();
    } catch (const std::exception& error) {
        std::cerr << "punchprobe-server: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
