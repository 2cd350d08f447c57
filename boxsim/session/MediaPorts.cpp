#include "boxsim/session/MediaPorts.hpp"

#include "platform/core/Error.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace corvane::boxsim {
namespace {

int bindUdp(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One datagram to `to`; true when it went out whole.
bool sendOne(int fd, const sockaddr_in& to, ByteView datagram) {
    const ssize_t n = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n >= 0 && static_cast<std::size_t>(n) == datagram.size();
}

// The `count` datagrams of `parts` to `to` in one call, which the kernel cuts into datagrams of
// `segmentSize` bytes (the last may be shorter). What sendmsg answers.
ssize_t sendSegmented(int fd, const sockaddr_in& to, iovec* parts, std::size_t count, std::uint16_t segmentSize) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof segmentSize)] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
    message.msg_iov = parts;
    message.msg_iovlen = count;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof segmentSize);
    std::memcpy(CMSG_DATA(segment), &segmentSize, sizeof segmentSize);
    return ::sendmsg(fd, &message, 0);
}

} // namespace

MediaPorts::MediaPorts(Options options) : MediaPorts(std::move(options), Streaming{}) {}

MediaPorts::MediaPorts(Options options, Streaming streaming)
    : options_(std::move(options)), streaming_(std::move(streaming)) {}

MediaPorts::~MediaPorts() { stop(); }

void MediaPorts::start() {
    if (thread_.joinable()) return;
    videoFd_ = bindUdp(options_.address, options_.videoPort);
    audioFd_ = bindUdp(options_.address, options_.audioPort);
    if (videoFd_ < 0 || audioFd_ < 0 || ::pipe2(wakeFd_, O_CLOEXEC) != 0) {
        stop();
        throw Error("boxsim: media ports on " + options_.address + " could not be bound");
    }
    thread_ = std::thread([this] { run(); });
}

void MediaPorts::stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const auto ignored = ::write(wakeFd_[1], &byte, 1);
        thread_.join();
    }
    // The thread is gone, so nothing else replaces the streamer now.
    endStream();
    for (int* fd : {&videoFd_, &audioFd_, &wakeFd_[0], &wakeFd_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void MediaPorts::run() {
    std::uint8_t buffer[65536];
    for (;;) {
        pollfd fds[3] = {{videoFd_, POLLIN, 0}, {audioFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
        if (::poll(fds, 3, 200) < 0) continue;
        if (fds[2].revents) return;
        bool pinged = false;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n =
                ::recvfrom(fds[i].fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) continue;
            std::lock_guard guard(lock_);
            // A flood of datagrams must not grow the record without end; the first ones are kept.
            auto& pings = i == 0 ? videoPings_ : audioPings_;
            lastPing_ = std::chrono::steady_clock::now();
            if (pings.size() < maxRecordedPings) {
                pings.emplace_back(buffer, buffer + n);
                if (i == 0) videoPingTimes_.push_back(lastPing_);
            }
            haveClient_ = true;
            clientAddress_ = from.sin_addr.s_addr;
            clientPort_ = from.sin_port;
            pinged = true;
            changed_.notify_all();
        }
        superviseStream(pinged);
    }
}

void MediaPorts::superviseStream(bool pinged) {
    if (!streaming_.streamOptions) return;
    std::uint64_t client = 0;
    sockaddr_in to{};
    bool running = false;
    bool idle = false;
    bool open = false;
    std::uint64_t serial = 0;
    {
        std::lock_guard guard(lock_);
        client = std::uint64_t(clientAddress_) << 16 | clientPort_;
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = clientAddress_;
        to.sin_port = clientPort_;
        running = streamer_ != nullptr;
        idle = haveClient_ && std::chrono::steady_clock::now() - lastPing_ >
                                  std::chrono::duration<double>(streaming_.idleSeconds);
        open = sessionOpen_;
        serial = sessionSerial_;
    }
    if (running && (idle || (pinged && client != streamClient_))) {
        endStream();
        running = false;
    }
    if (running || !pinged || !open) return;

    auto options = streaming_.streamOptions();
    if (!options) return;
    // The stream sends to the client it starts for, not to whoever pinged last: the picture it is encoding
    // when another client's ping ends it is its own client's.
    MediaStreamer::Sinks sinks;
    sinks.video = [this, to](ByteView d) { return sendOne(videoFd_, to, d); };
    sinks.videoBurst = [this, to](const std::vector<Bytes>& datagrams) { return sendVideoBurstTo(to, datagrams); };
    sinks.audio = [this, to](ByteView d) { return sendOne(audioFd_, to, d); };
    if (streaming_.requestsForStream) {
        MediaPorts::Requests requests = streaming_.requestsForStream();
        sinks.keyframeWanted = std::move(requests.keyframeWanted);
        sinks.resizeWanted = std::move(requests.resizeWanted);
    }
    sinks.frameSent = streaming_.frameSent;
    auto streamer = std::make_unique<MediaStreamer>(*options, std::move(sinks));
    streamer->start();
    {
        std::lock_guard guard(lock_);
        if (serial == sessionSerial_) {
            streamer_ = std::move(streamer);
            streamClient_ = client;
            lastOptions_ = *options;
            ++sessions_;
            changed_.notify_all();
            return;
        }
    }
    streamer->stop();  // a launch or cancel came meanwhile: this stream belonged to the session before
}

void MediaPorts::newSession() { endStream(true); }

void MediaPorts::endSession() { endStream(false); }

void MediaPorts::endStream(std::optional<bool> sessionOpen) {
    std::unique_ptr<MediaStreamer> ending;
    {
        std::lock_guard guard(lock_);
        if (sessionOpen) {
            sessionOpen_ = *sessionOpen;
            ++sessionSerial_;
        }
        ending = std::move(streamer_);
    }
    if (!ending) return;
    ending->stop();
    std::lock_guard guard(lock_);
    lastStats_ = ending->stats();
    changed_.notify_all();
}

bool MediaPorts::streaming() const {
    std::lock_guard guard(lock_);
    return streamer_ != nullptr;
}

bool MediaPorts::waitForStreaming(bool streaming, double seconds) const {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return (streamer_ != nullptr) == streaming; });
}

std::optional<MediaStreamer::Stats> MediaPorts::streamStats() const {
    std::lock_guard guard(lock_);
    if (streamer_) return streamer_->stats();
    return lastStats_;
}

std::optional<MediaStreamer::Options> MediaPorts::streamedOptions() const {
    std::lock_guard guard(lock_);
    return lastOptions_;
}

int MediaPorts::streamedSessions() const {
    std::lock_guard guard(lock_);
    return sessions_;
}

void MediaPorts::requestKeyframe() {
    std::lock_guard guard(lock_);
    if (streamer_) streamer_->requestKeyframe();
}

void MediaPorts::changePicture() {
    std::lock_guard guard(lock_);
    if (streamer_) streamer_->changePicture();
}

std::vector<Bytes> MediaPorts::videoPings() const {
    std::lock_guard guard(lock_);
    return videoPings_;
}

std::vector<Bytes> MediaPorts::audioPings() const {
    std::lock_guard guard(lock_);
    return audioPings_;
}

std::vector<std::chrono::steady_clock::time_point> MediaPorts::videoPingTimes() const {
    std::lock_guard guard(lock_);
    return videoPingTimes_;
}

bool MediaPorts::waitForPings(std::size_t video, std::size_t audio, double seconds) const {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return videoPings_.size() >= video && audioPings_.size() >= audio; });
}

std::optional<std::string> MediaPorts::client() const {
    std::lock_guard guard(lock_);
    if (!haveClient_) return std::nullopt;
    in_addr address{clientAddress_};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(clientPort_));
}

std::optional<sockaddr_in> MediaPorts::clientAddress() const {
    std::lock_guard guard(lock_);
    if (!haveClient_) return std::nullopt;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = clientAddress_;
    to.sin_port = clientPort_;
    return to;
}

bool MediaPorts::sendFrom(int fd, ByteView datagram) {
    const std::optional<sockaddr_in> to = clientAddress();
    return to && sendOne(fd, *to, datagram);
}

std::size_t MediaPorts::sendVideoBurst(const std::vector<Bytes>& datagrams) {
    return sendVideoBurstTo(clientAddress(), datagrams);
}

std::size_t MediaPorts::sendVideoBurstTo(const std::optional<sockaddr_in>& to, const std::vector<Bytes>& datagrams) {
    if (!to) return 0;
    // The kernel's limits for one segmented send: 64 segments, and what one UDP datagram may carry.
    constexpr std::size_t maxSegments = 64;
    constexpr std::size_t maxBytes = 65507;
    std::size_t sent = 0;
    std::array<iovec, maxSegments> parts{};
    for (std::size_t at = 0; at < datagrams.size();) {
        // A run of datagrams of the first one's size; only the run's last may be shorter.
        const std::size_t size = datagrams[at].size();
        std::size_t end = at + 1, bytes = size;
        while (segmenting_ && size > 0 && end < datagrams.size() && end - at < maxSegments &&
               datagrams[end].size() <= size && bytes + datagrams[end].size() <= maxBytes) {
            bytes += datagrams[end].size();
            if (datagrams[end++].size() < size) break;
        }
        if (end - at > 1) {
            for (std::size_t i = at; i < end; ++i)
                parts[i - at] = iovec{const_cast<std::uint8_t*>(datagrams[i].data()), datagrams[i].size()};
            const ssize_t n = sendSegmented(videoFd_, *to, parts.data(), end - at, static_cast<std::uint16_t>(size));
            if (n >= 0 && static_cast<std::size_t>(n) == bytes) {
                ++segmentedSends_;
                sent += end - at;
                at = end;
                continue;
            }
            // A kernel without segmentation offload: one by one from now on.
            if (n < 0 && (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP))
                segmenting_ = false;
        }
        for (; at < end; ++at) sent += sendOne(videoFd_, *to, datagrams[at]);
    }
    return sent;
}

bool MediaPorts::sendVideo(ByteView datagram) { return sendFrom(videoFd_, datagram); }
bool MediaPorts::sendAudio(ByteView datagram) { return sendFrom(audioFd_, datagram); }

bool MediaPorts::sendFromPort(std::uint16_t port, ByteView datagram) {
    const int fd = bindUdp(options_.address, port);
    if (fd < 0) return false;
    const bool ok = sendFrom(fd, datagram);
    ::close(fd);
    return ok;
}

} // namespace corvane::boxsim
