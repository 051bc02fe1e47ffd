#include "app/usage.hpp"

#include "punchprobe/version.hpp"

namespace punchprobe {

EntryRequest entry_request(int argc, const char* const argv[])
{
    if (argc < 2) return EntryRequest::run;
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") return EntryRequest::help;
    if (first == "--version") return EntryRequest::version;
    return EntryRequest::run;
}

RunOptions run_options(int argc, const char* const argv[])
{
    RunOptions options;
    int next = 1;
    for (; next < argc; ++next) {
        const std::string argument = argv[next];
        if (argument == "--json" && !options.json)
            options.json = true;
        else if (argument == "--port-mapping" && !options.port_mapping)
            options.port_mapping = true;
        else
            break;
    }
    options.operands.assign(argv + next, argv + argc);
    return options;
}

std::string usage_line()
{
    return "Usage: punchprobe <server_host> [<server_port>]";
}

std::string help_text()
{
    return usage_line() + "\n"
           "       punchprobe [--json] [--port-mapping] <server_host> [<server_port>]\n"
           "       punchprobe --help | -h | --version\n"
           "\n"
           "Tells whether your router and Internet connection can do UDP hole punching\n"
           "(NAT traversal), or whether you need port forwarding. punchprobe opens two\n"
           "UDP sockets on neighbouring local ports and runs a short exchange with the\n"
           "punchprobe-server at <server_host>, port <server_port> (30000 by default).\n"
           "The last lines of a run give one of three verdicts:\n"
           "\n"
           "  SUCCESS    three PINGs from the server's extra port reached you. Your\n"
           "             router keeps one public port per socket whatever the\n"
           "             destination: hole punching works, no port forwarding needed.\n"
           "  FAILURE    the server answered every step, but its PINGs did not get\n"
           "             through within 20 seconds. Your router gives each destination\n"
           "             its own public port, or filters them: forward a port to this\n"
           "             machine, and give it a static port if you can.\n"
           "  timed out  the server did not answer a step within 10 seconds. The\n"
           "             server is offline, or UDP to it is blocked on the way.\n"
           "\n"
           "With --json, standard output is one JSON object with the verdict and what\n"
           "the run learned (public address and ports, timings); see punchprobe(1).\n"
           "\n"
           "With --port-mapping, punchprobe also asks your default gateway whether it\n"
           "opens ports on request (UPnP-IGD, NAT-PMP, PCP) and for its Internet\n"
           "address, to tell whether a second NAT sits beyond your router. This adds\n"
           "at most 2 seconds and changes nothing on the router.\n"
           "\n"
           "Exit status: 1 when <server_host> is missing, 0 otherwise (errors are\n"
           "printed on standard error). With --json: 0 SUCCESS, 2 FAILURE, 3 timed\n"
           "out, 4 error.\n";
}

std::string version_text()
{
    return std::string("punchprobe ") + version + "\n";
}

}  // namespace punchprobe
