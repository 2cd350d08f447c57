#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::boxsim {

// The power switch and the ports of a simulated box. Its services are open, silent (the TCP ports accept
// connections and never answer) or stopped (refused). A restart stops them for a while, then opens them; a
// shut-down stops them until a Wake-on-LAN magic packet for the box's hardware address reaches UDP port 9
// or 7 of its address. Those two ports can only be bound by root: without them the box cannot be woken and
// counts no packets. A restart or shut-down asked of the agent comes as a real box's does: its services
// answer on for a few seconds while Windows winds down, then go. Thread-safe; the hooks run under one lock,
// never two at once.
class BoxPower final {
public:
    enum class Ports { open, silent, stopped };

    // How long a real box's agent answers on after it took a restart or shut-down.
    static constexpr double windingDownSeconds = 4;

    struct Options {
        std::string address;
        std::string mac;                  // "02:00:00:00:00:01"
        std::vector<std::uint16_t> tcpPorts;  // held silent
        double restartSeconds = 3;
        double requestDelaySeconds = windingDownSeconds;  // from a request until the box acts on it
        std::function<void()> open;   // starts the box's services; may throw
        std::function<void()> close;  // ends them
    };

    explicit BoxPower(Options options);
    ~BoxPower();
    BoxPower(const BoxPower&) = delete;
    BoxPower& operator=(const BoxPower&) = delete;

    // Listens for wake packets and keeps the restart's time; the services are the caller's to open first.
    void start();
    void stop();

    void setPorts(Ports ports);
    void restart();
    void shutdown();
    // "restart" or "shutdown" once `requestDelaySeconds` have passed; the request that asked for it gets its
    // answer at once.
    void request(const std::string& action);
    // A request still waiting out its delay is carried out now, before this returns (tests end the delay
    // themselves). False when none waits.
    bool carryOutRequest();

    Ports ports() const;
    bool awaitingWake() const;
    // Magic packets for this box's address received on ports 9 and 7, whatever the power state.
    std::size_t wakePackets() const;
    // Whether both wake ports are bound.
    bool wakeListening() const;

private:
    void run();
    void carryOut(const std::string& action);
    void apply(Ports ports);
    void closeSilent();
    void poke();  // the thread looks again

    Options options_;
    std::vector<std::uint8_t> magic_;  // the packet that wakes this box

    mutable std::mutex lock_;
    std::condition_variable changed_;
    Ports ports_ = Ports::open;
    bool awaitingWake_ = false;
    std::optional<std::chrono::steady_clock::time_point> openAt_;  // a restart's return
    std::optional<std::pair<std::string, std::chrono::steady_clock::time_point>> requested_;
    std::size_t wakePackets_ = 0;

    mutable std::mutex transition_;  // held while the hooks run
    std::vector<int> silentFds_;
    std::vector<int> wakeFds_;
    int wakePipe_[2] = {-1, -1};
    bool running_ = false;
    std::thread thread_;
};

} // namespace corvane::boxsim
