#include "engine/session/MediaSocket.hpp"

#include "engine/EngineLog.hpp"
#include "engine/ThreadSupport.hpp"
#include "platform/realtime/ThreadPriority.hpp"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace corvane::stream {

struct MediaSocket::State {
    std::string host;
    std::uint16_t videoPort = 0;
    std::uint16_t audioPort = 0;
    in_addr boxAddress{};
    Bytes videoPayload;
    Bytes audioPayload;
    Handler onVideo;
    Handler onAudio;
    MediaSocket::Tick onTick;  // copied by start before the thread starts

    // Guarded by `lock`, held only to update or copy one field.
    mutable std::mutex lock;
    Counts video;
    Counts audio;
    std::int64_t pings = 0;
    std::int64_t sendErrors = 0;
    std::int64_t other = 0;
    std::int64_t truncated = 0;
    bool running = false;
    bool started = false;
    int receiveBuffer = 0;
    std::thread::id threadId;

    Now now;                   // copied by start before the thread starts, then the thread's
    int fd = -1;               // written by start before the thread starts, then the thread's
    std::uint32_t pingSeq = 0; // the thread's alone
};

namespace {

using State = MediaSocket::State;
using Clock = std::chrono::steady_clock;

sockaddr_in addressOf(const State& s, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = s.boxAddress;
    return address;
}

void sendPing(State& s, const Bytes& data, std::uint16_t port) {
    const sockaddr_in target = addressOf(s, port);
    const ssize_t sent = ::sendto(s.fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                                  sizeof target);
    std::lock_guard guard(s.lock);
    if (sent >= 0 && static_cast<std::size_t>(sent) == data.size())
        ++s.pings;
    else
        ++s.sendErrors;
}

Bytes pingOf(const Bytes& payload, std::uint32_t counter) {
    Bytes ping = payload;
    if (payload.size() == 16) {
        for (int shift = 24; shift >= 0; shift -= 8) ping.push_back(static_cast<std::uint8_t>(counter >> shift));
    }
    return ping;
}

bool isRunning(const State& s) {
    std::lock_guard guard(s.lock);
    return s.running;
}

void loop(const std::shared_ptr<State>& state) {
    State& s = *state;
    pthread_setname_np(pthread_self(), "corvane.media");
    // Sound is received, repaired and decoded here: on a busy computer this thread must not wait for a core.
    const auto grant = platform::ThreadPriority::raiseCallingThread(MediaSocket::scheduling);
    EngineLog::write("udp: corvane.media thread " + std::to_string(grant.thread) + ": " + grant.description());
    {
        std::lock_guard guard(s.lock);
        s.threadId = std::this_thread::get_id();
    }
    std::uint8_t buffer[MediaSocket::maxDatagram];
    auto lastPing = Clock::time_point::min();
    Clock::time_point lastTick{};  // the clock's epoch: the first pass ticks
    bool loggedOther = false, loggedTruncated = false;

    while (isRunning(s)) {
        const auto now = s.now();
        if (lastPing == Clock::time_point::min() || now - lastPing >= std::chrono::milliseconds(500)) {
            lastPing = now;
            ++s.pingSeq; // wraps from 4294967295 to 0
            sendPing(s, pingOf(s.videoPayload, s.pingSeq), s.videoPort);
            sendPing(s, pingOf(s.audioPayload, s.pingSeq), s.audioPort);
        }
        if (s.onTick && now - lastTick >= MediaSocket::tickInterval) {
            lastTick = now;
            s.onTick();
        }

        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        // MSG_TRUNC makes the call report the datagram's real length, so a cut one can be told apart.
        const ssize_t received = ::recvfrom(s.fd, buffer, sizeof buffer, MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (received < 1 || source.sin_family != AF_INET || source.sin_addr.s_addr != s.boxAddress.s_addr) continue;

        const std::uint16_t port = ntohs(source.sin_port);
        const auto length = static_cast<std::size_t>(received);
        if (length > sizeof buffer) {
            {
                std::lock_guard guard(s.lock);
                ++s.truncated;
            }
            if (!loggedTruncated) {
                loggedTruncated = true;
                EngineLog::write("udp: dropped a datagram of " + std::to_string(length) + " bytes from port " +
                                 std::to_string(port) + " (longer than 2048)");
            }
            continue;
        }
        if (port == s.videoPort || port == s.audioPort) {
            const bool video = port == s.videoPort;
            {
                std::lock_guard guard(s.lock);
                MediaSocket::Counts& counts = video ? s.video : s.audio;
                ++counts.packets;
                counts.bytes += static_cast<std::int64_t>(length);
            }
            const MediaSocket::Handler& handler = video ? s.onVideo : s.onAudio;
            if (handler) handler(ByteView(buffer, static_cast<std::size_t>(length)));
        } else {
            {
                std::lock_guard guard(s.lock);
                ++s.other;
            }
            if (!loggedOther) {
                loggedOther = true;
                EngineLog::write("udp: traffic from an unexpected box port " + std::to_string(port));
            }
        }
    }
    ::close(s.fd);
}

std::uint16_t checkedPort(std::int64_t port) {
    if (port < 0 || port > 65535)
        throw MediaSocket::Error(MediaSocket::Error::Kind::port,
                                 "media port " + std::to_string(port) + " is not a 16-bit port");
    return static_cast<std::uint16_t>(port);
}

} // namespace

MediaSocket::MediaSocket(std::string host, std::int64_t videoPort, std::int64_t audioPort, Bytes videoPayload,
                         Bytes audioPayload, Handler onVideo, Handler onAudio)
    : state_(std::make_shared<State>()) {
    State& s = *state_;
    if (::inet_pton(AF_INET, host.c_str(), &s.boxAddress) != 1)
        throw Error(Error::Kind::address, "the box address \"" + host + "\" is not an IPv4 address");
    s.videoPort = checkedPort(videoPort);
    s.audioPort = checkedPort(audioPort);
    s.host = std::move(host);
    s.videoPayload = std::move(videoPayload);
    s.audioPayload = std::move(audioPayload);
    s.onVideo = std::move(onVideo);
    s.onAudio = std::move(onAudio);
}

MediaSocket::~MediaSocket() {
    {
        std::lock_guard guard(state_->lock);
        state_->running = false;
    }
    std::lock_guard join(joinLock_);
    // Released from its own handler: the thread holds the state and closes the socket when it ends.
    joinUnlessSelf(thread_);
}

void MediaSocket::start() {
    State& s = *state_;
    {
        std::lock_guard guard(s.lock);
        if (s.started) return;
        s.started = true;
    }
    s.now = now ? now : Now(Clock::now);
    s.onTick = onTick;
    s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        const int error = errno;
        EngineLog::write("udp: socket failed (" + std::to_string(error) + ")");
        throw Error(Error::Kind::socket, "the media socket could not be made (error " + std::to_string(error) + ")",
                    error);
    }

    // Video arrives in bursts of a whole frame: a large buffer keeps the kernel from dropping them while a
    // handler runs. SO_RCVBUFFORCE passes the system's limit where the process may.
    int size = receiveBufferRequest;
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int granted = 0;
    socklen_t grantedLength = sizeof granted;
    ::getsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength);
    if (granted < receiveBufferRequest && ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) {
        grantedLength = sizeof granted;
        ::getsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength);
    }
    EngineLog::write("udp: receive buffer " + std::to_string(granted) + " bytes (asked for " +
                     std::to_string(receiveBufferRequest) + ")");
    timeval timeout{0, static_cast<suseconds_t>(std::chrono::microseconds(MediaSocket::tickInterval).count())};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    {
        std::lock_guard guard(s.lock);
        s.receiveBuffer = granted;
        s.running = true;
    }
    std::lock_guard join(joinLock_);
    try {
        thread_ = std::thread([state = state_] { loop(state); });
    } catch (const std::system_error& error) {
        {
            std::lock_guard guard(s.lock);
            s.running = false;
        }
        ::close(s.fd);
        s.fd = -1;
        throw Error(Error::Kind::socket, "the media thread could not be started", error.code().value());
    }
}

void MediaSocket::stop() {
    {
        std::lock_guard guard(state_->lock);
        state_->running = false;
        if (state_->threadId == std::this_thread::get_id()) return;
    }
    std::lock_guard join(joinLock_);
    if (thread_.joinable()) thread_.join();
}

MediaSocket::Counts MediaSocket::video() const {
    std::lock_guard guard(state_->lock);
    return state_->video;
}
MediaSocket::Counts MediaSocket::audio() const {
    std::lock_guard guard(state_->lock);
    return state_->audio;
}
std::int64_t MediaSocket::pings() const {
    std::lock_guard guard(state_->lock);
    return state_->pings;
}
std::int64_t MediaSocket::sendErrors() const {
    std::lock_guard guard(state_->lock);
    return state_->sendErrors;
}
std::int64_t MediaSocket::other() const {
    std::lock_guard guard(state_->lock);
    return state_->other;
}
std::int64_t MediaSocket::truncated() const {
    std::lock_guard guard(state_->lock);
    return state_->truncated;
}
int MediaSocket::receiveBufferBytes() const {
    std::lock_guard guard(state_->lock);
    return state_->receiveBuffer;
}

} // namespace corvane::stream
