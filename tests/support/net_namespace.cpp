#include "support/net_namespace.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "support/child_process.hpp"

namespace punchprobe_test {

using namespace std::chrono_literals;

namespace {

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

ProcessResult run_tool(const std::string& tool, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, 10s);
}

// Runs `tool args...`; throws with the tool's output when it fails.
void run_checked(const std::string& tool, const std::string& name, const std::vector<std::string>& args)
{
    const ProcessResult result = run_tool(tool, args);
    if (result.exit_status != 0)
        throw std::runtime_error(name + " " + joined(args) + " failed: " + result.err + result.out);
}

std::string sbin_tool(const std::string& name)
{
    for (const char* directory : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (access((directory + name).c_str(), X_OK) == 0) return directory + name;
    return "";
}

}  // namespace

std::string ip_tool()
{
    return sbin_tool("ip");
}

std::string tc_tool()
{
    return sbin_tool("tc");
}

std::unique_ptr<NetNamespace> NetNamespace::create(std::string& why_not)
{
    if (geteuid() != 0) {
        why_not = "needs root to create a network namespace";
        return nullptr;
    }
    if (ip_tool().empty()) {
        why_not = "the ip tool (iproute2) is not installed";
        return nullptr;
    }
    // The pid keeps parallel test programs apart; the counter keeps the
    // namespaces of one program apart. A name left over from a killed run
    // with a recycled pid is stepped over.
    static std::atomic<unsigned> counter{0};
    std::string last_error;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name =
            "punchprobe-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        const ProcessResult added = run_tool(ip_tool(), {"netns", "add", name});
        if (added.exit_status != 0) {
            last_error = added.err;
            continue;
        }
        std::unique_ptr<NetNamespace> created(new NetNamespace(name));
        created->ip({"link", "set", "lo", "up"});
        return created;
    }
    why_not = "ip netns add failed: " + last_error;
    return nullptr;
}

NetNamespace::NetNamespace(std::string name) : name_(std::move(name)) {}

NetNamespace::~NetNamespace()
{
    try {
        // Deleting the namespace also removes its veth pair.
        run_tool(ip_tool(), {"netns", "delete", name_});
    } catch (const std::exception&) {
        // Nothing more can be done from a destructor.
    }
}

std::vector<std::string> NetNamespace::exec_argv(const std::vector<std::string>& argv) const
{
    std::vector<std::string> full{ip_tool(), "netns", "exec", name_};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

void NetNamespace::ip(const std::vector<std::string>& args) const
{
    std::vector<std::string> full{"-n", name_};
    full.insert(full.end(), args.begin(), args.end());
    run_checked(ip_tool(), "ip", full);
}

void NetNamespace::set_net_sysctl(const std::string& key, const std::string& value) const
{
    // /proc/sys/net shows the namespace of the thread that opens it.
    run_inside([&] {
        const std::string path = "/proc/sys/net/" + key;
        std::ofstream file(path);
        file << value << "\n";
        file.close();
        if (!file) throw std::runtime_error("cannot write " + path);
    });
}

void NetNamespace::set_local_port_range(int low, int high) const
{
    set_net_sysctl("ipv4/ip_local_port_range", std::to_string(low) + " " + std::to_string(high));
}

void NetNamespace::tc(const std::vector<std::string>& args) const
{
    std::vector<std::string> full{"-n", name_};
    full.insert(full.end(), args.begin(), args.end());
    run_checked(tc_tool(), "tc", full);
}

void NetNamespace::throttle_loopback(const std::string& rate) const
{
    // The queue holds far more than a send buffer, so nothing is dropped
    // there: the buffer fills first. The burst covers one small datagram.
    tc({"qdisc", "add", "dev", "lo", "root", "tbf", "rate", rate, "burst", "1600", "limit", "1000000"});
}

void NetNamespace::add_veth_address(const std::string& cidr) const
{
    // Both ends live inside, so nothing of this namespace reaches the host.
    ip({"link", "add", "pp0", "type", "veth", "peer", "name", "pp1"});
    ip({"addr", "add", cidr, "dev", "pp0"});
    ip({"link", "set", "pp0", "up"});
    ip({"link", "set", "pp1", "up"});
}

void NetNamespace::run_inside(const std::function<void()>& task) const
{
    std::exception_ptr failure;
    // A separate thread enters the namespace, so the test's own thread never
    // changes namespace; the thread ends with the task.
    std::thread worker([&] {
        try {
            const std::string path = "/var/run/netns/" + name_;
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
            const int entered = setns(fd, CLONE_NEWNET);
            const int setns_errno = errno;
            ::close(fd);
            if (entered != 0)
                throw std::runtime_error("setns " + name_ + ": " + std::strerror(setns_errno));
            task();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace punchprobe_test
