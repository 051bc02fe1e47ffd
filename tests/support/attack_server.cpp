#include "support/attack_server.hpp"

#include <algorithm>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

namespace punchprobe_test {

using boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

long long counter(const Counters& counters, const std::string& key)
{
    const auto found = counters.find(key);
    if (found != counters.end()) return found->second;
    ADD_FAILURE() << "the counters line has no " << key;
    return -1;
}

namespace {

std::vector<std::string> server_argv(const NetNamespace& ns, const std::vector<std::string>& options)
{
    const char* chosen = std::getenv("PUNCHPROBE_ATTACK_SERVER");
    std::vector<std::string> argv{chosen != nullptr && *chosen != '\0' ? chosen : server_binary(), "--port",
                                  std::to_string(AttackServer::main_port), "--extra-port",
                                  std::to_string(AttackServer::main_port + 1)};
    argv.insert(argv.end(), options.begin(), options.end());
    return ns.exec_argv(argv);
}

}  // namespace

AttackServer::AttackServer(const NetNamespace& ns, const std::vector<std::string>& options)
    : server_(server_argv(ns, options))
{
    if (!listening()) ADD_FAILURE() << "no listening line in: " << server_.first_output();
}

ProcessResult AttackServer::stop()
{
    ProcessResult result = server_.stop();
    EXPECT_FALSE(result.timed_out) << "the server did not end on SIGTERM";
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result;
}

void throttle_source_port(const NetNamespace& ns, unsigned short port, const std::string& rate)
{
    // Unclassified traffic takes the unshaped class 1:2; the filter sends
    // the port's datagrams through 1:1, whose queue holds far more than a
    // socket's send buffer, so nothing is lost there: the sender waits.
    const std::vector<std::vector<std::string>> commands = {
        {"qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb", "default", "2"},
        {"class", "add", "dev", "lo", "parent", "1:", "classid", "1:1", "htb", "rate", rate, "ceil", rate, "burst",
         "1600"},
        {"class", "add", "dev", "lo", "parent", "1:", "classid", "1:2", "htb", "rate", "100gbit"},
        {"qdisc", "add", "dev", "lo", "parent", "1:1", "handle", "10:", "bfifo", "limit", "1000000"},
        {"filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1", "u32", "match", "ip", "sport",
         std::to_string(port), "0xffff", "flowid", "1:1"},
    };
    for (const auto& command : commands) ns.tc(command);
}

std::optional<Datagram> ask(UdpPeer& from, const udp::endpoint& to, const std::string& request, UdpPeer& answer_on,
                            int attempts, std::chrono::milliseconds wait)
{
    for (int stale = 0; stale < 1000 && answer_on.receive(std::chrono::milliseconds(0)); ++stale) {
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        from.send_to(request, to);
        if (auto answer = answer_on.receive(wait)) return answer;
    }
    return std::nullopt;
}

int id_in(const Datagram& reply)
{
    return std::stoi(session_id_in(reply.bytes).value_or("0"));
}

std::optional<int> open_session(UdpPeer& primary, UdpPeer& alternate, const udp::endpoint& main,
                                std::chrono::milliseconds wait)
{
    const auto init = ask(primary, main, client_init(primary.port()), primary, 1, wait);
    if (!init) return std::nullopt;
    const int id = id_in(*init);
    if (!ask(alternate, main, client_init2(id, alternate.port()), alternate, 1, wait)) return std::nullopt;
    // A PING counts only once START has its reply, as with the client.
    if (!ask(alternate, main, client_start(id), alternate, 1, wait)) return std::nullopt;
    return id;
}

ForgedInitFlood::ForgedInitFlood(ForgedUdpSender& sender, const udp::endpoint& destination,
                                 std::chrono::milliseconds limit, double ceiling)
    : thread_([this, &sender, destination, limit, ceiling] {
          std::mt19937 random(12345);
          std::uniform_int_distribution<std::uint32_t> host(0x800000, 0xFFFFFE);
          std::uniform_int_distribution<int> port(1024, 65535);
          const auto began = Clock::now();
          const auto until = began + limit;
          long sent = 0;
          // The clock is read once per batch: a flood of small datagrams
          // would otherwise spend much of its time asking for the time.
          while (!stop_ && Clock::now() < until) {
              for (int batch = 0; batch < 64; ++batch) {
                  const udp::endpoint from(boost::asio::ip::address_v4((127u << 24) | host(random)),
                                           static_cast<unsigned short>(port(random)));
                  if (sender.send(from, destination, client_init(from.port())))
                      ++sent;
                  else
                      std::this_thread::yield();  // buffer full: give the receiver the core
              }
              sent_ = sent;
              if (ceiling > 0)
                  std::this_thread::sleep_until(
                      std::min(until, began + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(sent / ceiling))));
          }
          report_.sent = sent;
          report_.seconds = std::chrono::duration<double>(Clock::now() - began).count();
          ended_ = true;
      })
{
}

bool ForgedInitFlood::wait_until_sent(long count, std::chrono::milliseconds limit) const
{
    for (const auto until = Clock::now() + limit; sent_ < count && !ended_ && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return sent_ >= count;
}

ForgedInitFlood::Report ForgedInitFlood::finish()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return report_;
}

}  // namespace punchprobe_test
