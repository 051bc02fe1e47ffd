#include "server/server_options.hpp"

#include <sstream>
#include <stdexcept>

#include <boost/program_options.hpp>

#include "punchprobe/version.hpp"

namespace punchprobe {

namespace po = boost::program_options;

namespace {

constexpr char program_name[] = "punchprobe-server";

// Every bound keeps one hostile or mistyped number from turning the server
// into a traffic source or a memory sink.
constexpr int max_pings = 100;
// The client needs three PINGs: a shorter train turns every run into FAILURE.
constexpr int min_pings = 3;
constexpr int max_ping_interval_ms = 60000;
constexpr int max_session_ttl_s = 86400;
// Far below 2^31, so that random session ids almost never collide.
constexpr long long max_max_sessions = 16777216;
constexpr long long max_init_rate = 1000000;
constexpr long long max_init_budget = 1000000000;
constexpr long long max_trains_per_address = 1000000;
constexpr int max_resends = 10;
constexpr int max_resend_interval_ms = 10000;

void check_range(const char* option, long long value, long long low, long long high)
{
    if (value < low || value > high) {
        std::ostringstream message;
        message << "the argument ('" << value << "') for option '--" << option
                << "' is out of range " << low << ".." << high;
        throw std::invalid_argument(message.str());
    }
}

// ADDRESS:PORT, an IPv4 address and a port in digits.
boost::asio::ip::tcp::endpoint metrics_endpoint_from(const std::string& text)
{
    const std::string refusal =
        "the argument ('" + text + "') for option '--metrics' is not an IPv4 address and port (ADDRESS:PORT)";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument(refusal);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument(refusal);
    const long long number = std::stoll(port);
    check_range("metrics", number, 0, 65535);
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text.substr(0, colon), error);
    if (error) throw std::invalid_argument(refusal);
    return {address, static_cast<unsigned short>(number)};
}

LogAddresses log_addresses_from(const std::string& text)
{
    if (text == "full") return LogAddresses::full;
    if (text == "truncated") return LogAddresses::truncated;
    if (text == "none") return LogAddresses::none;
    throw std::invalid_argument("the argument ('" + text +
                                "') for option '--log-addresses' is not one of full, truncated, none");
}

po::options_description describe_options()
{
    po::options_description options("Options");
    // The values go through wide signed types so that "-1" is an error of
    // ours instead of a silent wrap-around of an unsigned parse.
    options.add_options()
        ("bind", po::value<std::string>()->default_value("0.0.0.0"),
         "IPv4 address to listen on")
        ("port", po::value<long long>()->default_value(default_server_port),
         "main UDP port (INIT, INIT2, START); 0 lets the system choose")
        ("extra-port", po::value<long long>()->default_value(default_extra_port),
         "extra UDP port (client PING, server PINGs); 0 lets the system choose")
        ("pings", po::value<long long>()->default_value(default_ping_count),
         "PING datagrams sent per session")
        ("ping-interval", po::value<long long>()->default_value(50),
         "milliseconds between two PINGs")
        ("session-ttl", po::value<long long>()->default_value(60),
         "seconds a session lives after the INIT2 that proved it")
        ("max-sessions", po::value<long long>()->default_value(65536),
         "sessions kept at once; the oldest goes first")
        ("init-rate", po::value<long long>()->default_value(10),
         "INIT replies per second per source address; 0: no limit")
        ("init-burst", po::value<long long>()->default_value(20),
         "INIT replies one source address may get at once")
        ("init-budget", po::value<long long>()->default_value(500000),
         "bytes a second of INIT replies, over all source addresses, to those past their --init-rate; as "
         "much again for addresses that proved a session in the last 10 minutes; 0: none")
        ("trains-per-address", po::value<long long>()->default_value(4),
         "PING trains sent to one address at once; more wait their turn")
        ("resends", po::value<long long>()->default_value(default_resends),
         "times a proven session's last reply is sent again while its next request is missing; 0: never")
        ("resend-interval", po::value<long long>()->default_value(default_resend_interval.count()),
         "milliseconds without the next request before the reply goes again")
        ("metrics", po::value<std::string>()->value_name("ADDRESS:PORT"),
         "serve Prometheus metrics at http://ADDRESS:PORT/metrics (counters, live sessions, PING trains, "
         "queued sends, session set-up times); port 0 lets the system choose; off by default")
        ("quiet", "print no session lines, only errors and the counters")
        ("log-addresses", po::value<std::string>()->default_value("full")->value_name("MODE"),
         "what session lines show of the client's addresses: full, all of them; truncated, IPv4 cut to "
         "its /24 (203.0.113.57 becomes 203.0.113.0), ports kept; none, \"hidden\" for every address and port")
        ("help,h", "print this help and exit")
        ("version", "print the version and exit");
    return options;
}

ServerOptions options_from(const po::variables_map& values)
{
    ServerOptions options;

    boost::system::error_code error;
    const std::string bind = values["bind"].as<std::string>();
    options.bind_address = boost::asio::ip::make_address_v4(bind, error);
    if (error) throw std::invalid_argument("the argument ('" + bind +
                                           "') for option '--bind' is not an IPv4 address");

    const long long port = values["port"].as<long long>();
    const long long extra_port = values["extra-port"].as<long long>();
    const long long pings = values["pings"].as<long long>();
    const long long ping_interval = values["ping-interval"].as<long long>();
    const long long session_ttl = values["session-ttl"].as<long long>();
    const long long max_sessions = values["max-sessions"].as<long long>();
    const long long init_rate = values["init-rate"].as<long long>();
    const long long init_burst = values["init-burst"].as<long long>();
    const long long init_budget = values["init-budget"].as<long long>();
    const long long trains_per_address = values["trains-per-address"].as<long long>();
    const long long resends = values["resends"].as<long long>();
    const long long resend_interval = values["resend-interval"].as<long long>();
    check_range("port", port, 0, 65535);
    check_range("extra-port", extra_port, 0, 65535);
    check_range("pings", pings, min_pings, max_pings);
    check_range("ping-interval", ping_interval, 0, max_ping_interval_ms);
    check_range("session-ttl", session_ttl, 1, max_session_ttl_s);
    check_range("max-sessions", max_sessions, 1, max_max_sessions);
    check_range("init-rate", init_rate, 0, max_init_rate);
    check_range("init-burst", init_burst, 1, max_init_rate);
    check_range("init-budget", init_budget, 0, max_init_budget);
    check_range("trains-per-address", trains_per_address, 1, max_trains_per_address);
    check_range("resends", resends, 0, max_resends);
    check_range("resend-interval", resend_interval, 1, max_resend_interval_ms);
    if (port != 0 && port == extra_port)
        throw std::invalid_argument("options '--port' and '--extra-port' must differ");

    options.main_port = static_cast<unsigned short>(port);
    options.extra_port = static_cast<unsigned short>(extra_port);
    options.pings = static_cast<int>(pings);
    options.ping_interval = std::chrono::milliseconds(ping_interval);
    options.session_ttl = std::chrono::seconds(session_ttl);
    options.max_sessions = static_cast<std::size_t>(max_sessions);
    options.init_rate = static_cast<double>(init_rate);
    options.init_burst = static_cast<double>(init_burst);
    options.init_budget = static_cast<double>(init_budget);
    options.trains_per_address = static_cast<int>(trains_per_address);
    options.resends = static_cast<int>(resends);
    options.resend_interval = std::chrono::milliseconds(resend_interval);
    options.quiet = values.count("quiet") > 0;
    options.log_addresses = log_addresses_from(values["log-addresses"].as<std::string>());
    if (values.count("metrics")) options.metrics = metrics_endpoint_from(values["metrics"].as<std::string>());
    return options;
}

}  // namespace

ServerCommandLine parse_server_command_line(int argc, const char* const argv[])
{
    ServerCommandLine command_line;
    const po::options_description description = describe_options();
    try {
        po::variables_map values;
        // An empty positional description makes a stray argument an error
        // instead of something silently ignored.
        const po::positional_options_description no_positionals;
        po::store(po::command_line_parser(argc, argv).options(description).positional(no_positionals).run(),
                  values);
        po::notify(values);

        if (values.count("help")) {
            std::ostringstream help;
            help << "Usage: " << program_name << " [options]\n"
                 << "Test server for the punchprobe client: answers INIT, INIT2 and START on the\n"
                 << "main port and sends PINGs from the extra port.\n\n"
                 << description;
            command_line.action = ServerCommandLine::Action::help;
            command_line.text = help.str();
            return command_line;
        }
        if (values.count("version")) {
            command_line.action = ServerCommandLine::Action::version;
            command_line.text = std::string(program_name) + " " + version + "\n";
            return command_line;
        }
        command_line.options = options_from(values);
    } catch (const std::exception& error) {
        command_line.action = ServerCommandLine::Action::error;
        command_line.text = std::string(program_name) + ": " + error.what() + "\nTry '" +
                            program_name + " --help' for more information.\n";
    }
    return command_line;
}

}  // namespace punchprobe
