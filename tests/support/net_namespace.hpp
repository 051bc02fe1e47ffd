#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace punchprobe_test {

// A network namespace owned by a test: created with only loopback up and
// removed by the destructor, so a failing test leaves nothing behind. Inside
// it the test owns the port range, the interfaces and every socket, which
// makes port choices and lookup failures deterministic and keeps all traffic
// off the real network.
class NetNamespace {
public:
    // Creates a fresh namespace with a unique name. Returns nullptr and sets
    // `why_not` when this is impossible here (not root, no `ip netns`), so the
    // caller can skip with that text.
    static std::unique_ptr<NetNamespace> create(std::string& why_not);

    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    const std::string& name() const { return name_; }

    // `argv` prefixed with `ip netns exec NAME`, for ChildProcess and
    // run_process (argv[0] must be a path: nothing searches PATH).
    std::vector<std::string> exec_argv(const std::vector<std::string>& argv) const;

    // Runs `ip -n NAME args...`; throws std::runtime_error with ip's output
    // when it fails.
    void ip(const std::vector<std::string>& args) const;

    // Runs `tc -n NAME args...`; throws std::runtime_error with tc's output
    // when it fails.
    void tc(const std::vector<std::string>& args) const;

    // Writes a net.* sysctl of this namespace, e.g. ("ipv4/ip_local_port_range",
    // "40000 40000"); the key is the path below /proc/sys/net.
    void set_net_sysctl(const std::string& key, const std::string& value) const;

    // Automatic binds inside the namespace then choose only from [low, high].
    void set_local_port_range(int low, int high) const;

    // Gives the namespace a non-loopback IPv4 address (CIDR text, from a
    // documentation range) on a veth pair whose both ends stay inside. Lookups
    // with AI_ADDRCONFIG refuse IPv4 while only loopback has an address.
    void add_veth_address(const std::string& cidr) const;

    // Makes the namespace's loopback a slow link (`rate` as tc writes it,
    // e.g. "1mbit"): datagrams wait in a queue still charged to their
    // sockets, so a busy sender soon finds its send buffer full. Throws
    // std::runtime_error when tc fails.
    void throttle_loopback(const std::string& rate) const;

    // Runs `task` on a thread that has entered the namespace and waits for it;
    // an exception from `task` is rethrown here. Sockets created by `task`
    // stay in the namespace for their whole life.
    void run_inside(const std::function<void()>& task) const;

private:
    explicit NetNamespace(std::string name);

    std::string name_;
};

// For a GoogleTest body: creates the namespace `variable`, or skips the test
// with the reason when this machine cannot.
#define CREATE_NAMESPACE_OR_SKIP(variable)                                      \
    std::string why_not;                                                        \
    const auto variable = punchprobe_test::NetNamespace::create(why_not);       \
    if (!variable) GTEST_SKIP() << "no network namespace: " << why_not

// Paths of the `ip` and `tc` tools (both iproute2), or empty when not installed.
std::string ip_tool();
std::string tc_tool();

}  // namespace punchprobe_test
