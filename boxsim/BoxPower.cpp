#include "boxsim/BoxPower.hpp"

#include "platform/log/SystemLog.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::boxsim {
namespace {

constexpr std::uint16_t kWakePorts[] = {9, 7};

void log(const std::string& line) { platform::SystemLog::write("boxsim", line); }

// A socket of this type bound to address:port, or -1.
int bound(const std::string& address, std::uint16_t port, int type) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::uint8_t> magicPacket(const std::string& mac) {
    unsigned int b[6];
    if (std::sscanf(mac.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) return {};
    std::vector<std::uint8_t> packet(6, 0xFF);
    for (int i = 0; i < 16; ++i)
        for (const unsigned int byte : b) packet.push_back(static_cast<std::uint8_t>(byte));
    return packet;
}

} // namespace

BoxPower::BoxPower(Options options) : options_(std::move(options)), magic_(magicPacket(options_.mac)) {}

BoxPower::~BoxPower() { stop(); }

void BoxPower::start() {
    std::lock_guard transition(transition_);
    if (running_) return;
    for (const std::uint16_t port : kWakePorts)
        if (const int fd = bound(options_.address, port, SOCK_DGRAM); fd >= 0) wakeFds_.push_back(fd);
    if (wakeFds_.size() != std::size(kWakePorts)) {
        for (const int fd : wakeFds_) ::close(fd);
        wakeFds_.clear();
        log("power: the wake ports 9 and 7 of " + options_.address + " cannot be bound; the box cannot be woken");
    }
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("boxsim: power: no pipe");
    {
        std::lock_guard guard(lock_);
        ports_ = Ports::open;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void BoxPower::stop() {
    {
        std::lock_guard transition(transition_);
        if (!running_) return;
        running_ = false;
    }
    poke();
    thread_.join();
    std::lock_guard transition(transition_);
    for (const int fd : wakeFds_) ::close(fd);
    wakeFds_.clear();
    for (int& fd : wakePipe_) ::close(fd), fd = -1;
    closeSilent();
    std::lock_guard guard(lock_);
    openAt_.reset();
    requested_.reset();
    awaitingWake_ = false;
}

void BoxPower::setPorts(Ports ports) {
    {
        std::lock_guard guard(lock_);
        awaitingWake_ = false;
        openAt_.reset();
    }
    apply(ports);
}

void BoxPower::restart() {
    apply(Ports::stopped);
    {
        std::lock_guard guard(lock_);
        awaitingWake_ = false;
        openAt_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                         std::chrono::duration<double>(options_.restartSeconds));
    }
    poke();
}

void BoxPower::shutdown() {
    apply(Ports::stopped);
    std::lock_guard guard(lock_);
    awaitingWake_ = true;
    openAt_.reset();
}

void BoxPower::request(const std::string& action) {
    {
        std::lock_guard guard(lock_);
        requested_ = {action, std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(options_.requestDelaySeconds))};
    }
    poke();
}

bool BoxPower::carryOutRequest() {
    std::optional<std::string> action;
    {
        std::lock_guard guard(lock_);
        if (requested_) action = requested_->first, requested_.reset();
    }
    if (action) carryOut(*action);
    return action.has_value();
}

void BoxPower::carryOut(const std::string& action) {
    if (action == "restart") restart();
    else if (action == "shutdown") shutdown();
}

BoxPower::Ports BoxPower::ports() const {
    std::lock_guard guard(lock_);
    return ports_;
}

bool BoxPower::awaitingWake() const {
    std::lock_guard guard(lock_);
    return awaitingWake_;
}

std::size_t BoxPower::wakePackets() const {
    std::lock_guard guard(lock_);
    return wakePackets_;
}

bool BoxPower::wakeListening() const {
    std::lock_guard transition(transition_);
    return !wakeFds_.empty();
}

void BoxPower::poke() {
    if (wakePipe_[1] < 0) return;
    const char byte = 0;
    [[maybe_unused]] const auto ignored = ::write(wakePipe_[1], &byte, 1);
}

void BoxPower::apply(Ports ports) {
    std::lock_guard transition(transition_);
    Ports now;
    {
        std::lock_guard guard(lock_);
        now = ports_;
    }
    if (now == ports) return;
    if (now == Ports::open) options_.close();
    if (now == Ports::silent) closeSilent();
    if (ports == Ports::open) {
        try {
            options_.open();
        } catch (const std::exception& error) {
            log(std::string("power: the box did not come back: ") + error.what());
            ports = Ports::stopped;
        }
    }
    if (ports == Ports::silent)
        for (const std::uint16_t port : options_.tcpPorts)
            if (const int fd = bound(options_.address, port, SOCK_STREAM); fd >= 0) silentFds_.push_back(fd);
    std::lock_guard guard(lock_);
    ports_ = ports;
}

void BoxPower::closeSilent() {
    for (const int fd : silentFds_) ::close(fd);
    silentFds_.clear();
}

void BoxPower::run() {
    using namespace std::chrono;
    for (;;) {
        std::optional<steady_clock::time_point> due;
        {
            std::lock_guard guard(lock_);
            if (requested_) due = requested_->second;
            if (openAt_ && (!due || *openAt_ < *due)) due = openAt_;
        }
        int timeout = -1;
        if (due) {
            const auto left = duration_cast<milliseconds>(*due - steady_clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
        }
        std::vector<pollfd> fds{{wakePipe_[0], POLLIN, 0}};
        for (const int fd : wakeFds_) fds.push_back({fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), timeout);
        {
            std::lock_guard transition(transition_);
            if (!running_) return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        bool woken = false;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            std::uint8_t packet[512];
            const ssize_t n = ::recv(fds[i].fd, packet, sizeof packet, MSG_DONTWAIT);
            if (n <= 0 || magic_.empty() || !std::equal(magic_.begin(), magic_.end(), packet, packet + n)) continue;
            std::lock_guard guard(lock_);
            ++wakePackets_;
            if (awaitingWake_) woken = true, awaitingWake_ = false;
        }
        if (woken) {
            log("power: woken by a magic packet on " + options_.address);
            apply(Ports::open);
        }
        const auto now = steady_clock::now();
        std::optional<std::string> action;
        bool reopen = false;
        {
            std::lock_guard guard(lock_);
            if (requested_ && requested_->second <= now) action = requested_->first, requested_.reset();
            if (openAt_ && *openAt_ <= now) reopen = true, openAt_.reset();
        }
        if (action) carryOut(*action);
        if (reopen) apply(Ports::open);
    }
}

} // namespace corvane::boxsim
