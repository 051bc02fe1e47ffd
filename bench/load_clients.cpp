#include "bench/load_clients.hpp"

#include "bench/wire.hpp"

#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

namespace punchprobe_bench {

namespace asio = boost::asio;
using asio::ip::udp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

enum class Step { idle, init, init2, start, ping };

const char* expected_command(Step step)
{
    switch (step) {
    case Step::init: return "\"command\":\"INIT\"";
    case Step::init2: return "\"command\":\"INIT2\"";
    case Step::start: return "\"command\":\"START\"";
    case Step::ping: return "\"command\":\"PING\"";
    case Step::idle: break;
    }
    return "";
}

class LoadRun;

// One simulated client, running sessions one after another, each on a fresh
// pair of sockets as the real client's runs are: the server proves one
// session per id and address, and the id follows the INIT's port.
struct Slot {
    Slot(asio::io_service& io_service, const asio::ip::address_v4& source)
        : source(source), primary(io_service, udp::endpoint(source, 0)), alternate(io_service, udp::endpoint(source, 0))
    {
        primary_port = primary.local_endpoint().port();
        alternate_port = alternate.local_endpoint().port();
    }

    // New ports for the next session; handlers of the old sockets see
    // another generation and stop. A primary port that one of this run's
    // sessions used lately would get that session's id again, which the
    // server takes for a replay: the system is asked again, a few times.
    void renew(std::unordered_map<std::uint64_t, Clock::time_point>& recent, Clock::time_point now)
    {
        ++generation;
        error_code ignored;
        primary.close(ignored);
        alternate.close(ignored);
        for (int attempt = 0; attempt < 32; ++attempt) {
            primary.close(ignored);
            primary.open(udp::v4(), ignored);
            primary.bind(udp::endpoint(source, 0), ignored);
            primary_port = primary.local_endpoint(ignored).port();
            const auto used = recent.find(key());
            if (used == recent.end() || now - used->second > id_lifetime) break;
        }
        alternate.open(udp::v4(), ignored);
        alternate.bind(udp::endpoint(source, 0), ignored);
        alternate_port = alternate.local_endpoint(ignored).port();
    }

    std::uint64_t key() const { return (std::uint64_t{source.to_uint()} << 16) | primary_port; }

    // An id is the same only within one of the server's 10 s cookie slots,
    // and a little more for the clocks' difference.
    static constexpr std::chrono::seconds id_lifetime{11};

    asio::ip::address_v4 source;
    unsigned generation = 0;
    bool used = false;
    udp::socket primary;
    udp::socket alternate;
    unsigned short primary_port = 0;
    unsigned short alternate_port = 0;
    std::array<char, 1025> primary_buffer{};
    std::array<char, 1025> alternate_buffer{};
    udp::endpoint primary_sender;
    udp::endpoint alternate_sender;
    std::array<char, 160> out{};

    Step step = Step::idle;
    long session = 0;
    int pings = 0;
    Clock::time_point started;
};

class LoadRun {
public:
    explicit LoadRun(const LoadSettings& settings) : settings_(settings), sweep_(io_service_) {}

    LoadResult run()
    {
        result_.latencies_us.reserve(settings_.sessions);
        started_ = Clock::now();
        next_progress_ = started_ + std::chrono::seconds(1);
        const std::size_t slots = std::min(settings_.concurrency, settings_.sessions);
        slots_.reserve(slots);
        for (std::size_t index = 0; index < slots; ++index) {
            const auto source = asio::ip::address_v4(0x7F000001u + static_cast<unsigned>(index % settings_.sources));
            slots_.push_back(std::make_unique<Slot>(io_service_, source));
        }
        for (auto& slot : slots_) {
            receive(*slot, true);
            receive(*slot, false);
            start_session(*slot);
        }
        start_sweep();
        if (settings_.busy_poll) {
            // Never sleeping in epoll_wait means the server's sends need not
            // wake this thread: on loopback the sender pays for the
            // receiver's wake-up, a cost a server on a real network does not
            // carry. Bounded like every run: the sweep ends it.
            while (!io_service_.stopped()) io_service_.poll();
        } else {
            io_service_.run();
        }
        result_.elapsed = Clock::now() - started_;
        for (auto& slot : slots_)
            if (slot->step != Step::idle) ++result_.unfinished;
        return result_;
    }

private:
    void start_session(Slot& slot)
    {
        if (started_sessions_ >= settings_.sessions || finishing_) {
            slot.step = Step::idle;
            if (++idle_slots_ == slots_.size()) finish();
            return;
        }
        ++started_sessions_;
        if (slot.used) {
            const auto now = Clock::now();
            recent_ports_[slot.key()] = now;
            recent_order_.emplace_back(now, slot.key());
            // Ports past the id's lifetime are forgotten, oldest first.
            while (now - recent_order_.front().first > Slot::id_lifetime) {
                const auto entry = recent_ports_.find(recent_order_.front().second);
                if (entry != recent_ports_.end() && entry->second == recent_order_.front().first)
                    recent_ports_.erase(entry);
                recent_order_.pop_front();
            }
            slot.renew(recent_ports_, now);
            receive(slot, true);
            receive(slot, false);
        }
        slot.used = true;
        slot.step = Step::init;
        slot.session = 0;
        slot.pings = 0;
        slot.started = Clock::now();
        const int n = format_init(slot.out.data(), slot.out.size(), slot.primary_port);
        send(slot.primary, slot, n, settings_.server);
    }

    void send(udp::socket& socket, Slot& slot, int length, const udp::endpoint& to)
    {
        // Loopback sends complete at once; a blocking send keeps the bytes
        // valid without a copy per datagram.
        error_code ignored;
        socket.send_to(asio::buffer(slot.out.data(), static_cast<std::size_t>(length)), to, 0, ignored);
    }

    void receive(Slot& slot, bool primary)
    {
        udp::socket& socket = primary ? slot.primary : slot.alternate;
        auto& buffer = primary ? slot.primary_buffer : slot.alternate_buffer;
        auto& sender = primary ? slot.primary_sender : slot.alternate_sender;
        socket.async_receive_from(asio::buffer(buffer.data(), buffer.size() - 1), sender,
                                  [this, &slot, primary, generation = slot.generation](const error_code& error,
                                                                                       std::size_t length) {
                                      if (error == asio::error::operation_aborted || stopped_ ||
                                          generation != slot.generation)
                                          return;
                                      if (!error) received(slot, primary, length);
                                      // A finished session renewed the sockets and
                                      // armed their receives itself.
                                      if (generation == slot.generation) receive(slot, primary);
                                  });
    }

    void received(Slot& slot, bool primary, std::size_t length)
    {
        char* text = primary ? slot.primary_buffer.data() : slot.alternate_buffer.data();
        text[length] = '\0';
        long session = 0;
        const bool has_session = find_int(text, "\"session_id\":", session);
        const bool right_socket = primary == (slot.step == Step::init || slot.step == Step::ping);
        // The server's ids may repeat: one issued as a cookie of the source
        // is the same for the slot's next session within some seconds. The
        // late PINGs of the previous session then carry this session's id,
        // and only their numbers tell them apart.
        long ping_number = 0;
        const bool out_of_turn = slot.step == Step::ping && find_int(text, "\"ping_number\":", ping_number) &&
                                 ping_number != slot.pings + 1;
        if (slot.step == Step::idle || !right_socket || !has_session ||
            std::strstr(text, expected_command(slot.step)) == nullptr ||
            (slot.step != Step::init && session != slot.session) || out_of_turn) {
            // A fourth PING of a finished session lands here too.
            if (has_session && std::strstr(text, "\"command\":\"PING\"") != nullptr)
                ++result_.extra_pings;
            else
                ++result_.stray;
            return;
        }

        const udp::endpoint sender = primary ? slot.primary_sender : slot.alternate_sender;
        switch (slot.step) {
        case Step::init: {
            slot.session = session;
            slot.step = Step::init2;
            const int n = format_init2(slot.out.data(), slot.out.size(), slot.alternate_port, slot.session);
            send(slot.alternate, slot, n, sender);
            break;
        }
        case Step::init2: {
            slot.step = Step::start;
            const int n = format_start(slot.out.data(), slot.out.size(), slot.session);
            send(slot.alternate, slot, n, sender);
            break;
        }
        case Step::start: {
            long extra_port = 0;
            if (!find_int(text, "\"extra_port\":", extra_port)) {
                lose(slot);
                return;
            }
            slot.step = Step::ping;
            const int n = format_ping(slot.out.data(), slot.out.size(), slot.session);
            send(slot.primary, slot, n, udp::endpoint(sender.address(), static_cast<unsigned short>(extra_port)));
            break;
        }
        case Step::ping:
            if (++slot.pings >= settings_.expected_pings) {
                const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - slot.started);
                result_.latencies_us.push_back(static_cast<std::uint32_t>(took.count()));
                ++result_.completed;
                start_session(slot);
            }
            break;
        case Step::idle: break;
        }
    }

    // The slot goes on with its sockets: a late answer for the lost session
    // carries that session's id and is counted as stray, except a late INIT
    // reply, which the next session may take for its own (rare, and only
    // after a loss).
    void lose(Slot& slot)
    {
        ++result_.lost;
        start_session(slot);
    }

    // Times sessions out, reports progress and enforces the time limit.
    void start_sweep()
    {
        sweep_.expires_after(std::chrono::milliseconds(100));
        sweep_.async_wait([this](const error_code& error) {
            if (error || stopped_) return;
            const auto now = Clock::now();
            if (now - started_ >= settings_.time_limit) finishing_ = true;
            for (auto& slot : slots_) {
                if (slot->step == Step::idle) continue;
                if (finishing_) continue;
                if (now - slot->started >= settings_.session_timeout) lose(*slot);
            }
            if (now >= next_progress_) {
                next_progress_ += std::chrono::seconds(1);
                if (settings_.progress) settings_.progress(now - started_, result_.completed);
            }
            if (finishing_) {
                finish();
                return;
            }
            start_sweep();
        });
    }

    void finish()
    {
        if (stopped_) return;
        stopped_ = true;
        sweep_.cancel();
        for (auto& slot : slots_) {
            error_code ignored;
            slot->primary.close(ignored);
            slot->alternate.close(ignored);
        }
    }

    LoadSettings settings_;
    asio::io_service io_service_;
    asio::steady_timer sweep_;
    std::vector<std::unique_ptr<Slot>> slots_;
    // Primary ports of finished sessions, while their ids may still be valid.
    std::unordered_map<std::uint64_t, Clock::time_point> recent_ports_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> recent_order_;
    LoadResult result_;
    Clock::time_point started_;
    Clock::time_point next_progress_;
    std::size_t started_sessions_ = 0;
    std::size_t idle_slots_ = 0;
    bool finishing_ = false;
    bool stopped_ = false;
};

}  // namespace

LoadResult run_load(const LoadSettings& settings)
{
    LoadRun run(settings);
    return run.run();
}

}  // namespace punchprobe_bench
