#include "boxsim/session/RtspServer.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::boxsim {
namespace {

constexpr int kSliceMs = 20;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isNumber(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Waits until `fd` is readable; false once `running` turns false.
bool waitReadable(int fd, const std::atomic<bool>& running) {
    while (running.load()) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, kSliceMs);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
    return false;
}

} // namespace

std::optional<std::string> RtspServer::Request::header(const std::string& name) const {
    const std::string wanted = lower(name);
    for (const auto& [key, value] : headers)
        if (lower(key) == wanted) return value;
    return std::nullopt;
}

RtspServer::RtspServer(Config config) : config_(std::move(config)) {}

RtspServer::~RtspServer() { stop(); }

void RtspServer::start() {
    if (running_.load()) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.port);
    if (::inet_pton(AF_INET, config_.address.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("rtsp: not an IPv4 address: " + config_.address);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("rtsp: socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("rtsp: cannot listen on " + config_.address + ":" + std::to_string(config_.port) +
                                 ": " + why);
    }
    listenFd_ = fd;
    running_.store(true);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void RtspServer::stop() {
    if (!running_.exchange(false)) return;
    acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        for (int fd : openSockets_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
}

void RtspServer::setFaults(Faults faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
}

std::vector<RtspServer::Request> RtspServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::optional<std::string> RtspServer::announcedSdp() const {
    std::lock_guard lock(mutex_);
    return announcedSdp_;
}

std::vector<std::pair<std::string, std::string>> RtspServer::announcedAttributes() const {
    std::lock_guard lock(mutex_);
    return announcedAttributes_;
}

std::vector<std::string> RtspServer::announceProblems() const {
    std::lock_guard lock(mutex_);
    return announceProblems_;
}

void RtspServer::acceptLoop() {
    while (waitReadable(listenFd_, running_)) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        accepted_.fetch_add(1);
        std::lock_guard lock(mutex_);
        openSockets_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void RtspServer::serve(int fd) {
    Faults faults;
    bool silent = false;
    {
        std::lock_guard lock(mutex_);
        if (faults_.silentAttempts > 0) {
            --faults_.silentAttempts;
            silent = true;
        }
        faults = faults_;
    }

    if (auto request = readRequest(fd)) {
        if (silent) {
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(*request);
            }
            // Hold the connection without a word until the client gives up or the server stops.
            char sink[512];
            while (waitReadable(fd, running_) && ::recv(fd, sink, sizeof sink, 0) > 0) {
            }
        } else {
            request->answered = true;
            const std::string reply = faults.rawReply ? *faults.rawReply : replyTo(*request, faults);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(*request);
            }
            writeReply(fd, reply, std::max(1, faults.splitWrites));
        }
    }

    std::lock_guard lock(mutex_);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), fd), openSockets_.end());
    ::close(fd);
}

std::optional<RtspServer::Request> RtspServer::readRequest(int fd) {
    std::string data;
    std::size_t headerEnd = std::string::npos;
    std::size_t needed = 0;
    char buffer[4096];
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                needed = headerEnd + 4;
                const std::string_view head(data.data(), headerEnd);
                std::size_t start = 0;
                while (start < head.size()) {
                    auto end = head.find("\r\n", start);
                    if (end == std::string_view::npos) end = head.size();
                    const auto line = head.substr(start, end - start);
                    const auto colon = line.find(':');
                    if (colon != std::string_view::npos && lower(trim(line.substr(0, colon))) == "content-length") {
                        const auto value = trim(line.substr(colon + 1));
                        if (!isNumber(value) || value.front() == '-' || value.size() > 9) return std::nullopt;
                        needed += std::stoul(std::string(value));
                    }
                    start = end + 2;
                }
            }
        }
        if (headerEnd != std::string::npos && data.size() >= needed) break;
        if (data.size() > maxRequestSize || needed > maxRequestSize) return std::nullopt;
        if (!waitReadable(fd, running_)) return std::nullopt;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        data.append(buffer, static_cast<std::size_t>(n));
    }

    Request request;
    request.raw = data.substr(0, needed);
    request.body = data.substr(headerEnd + 4, needed - headerEnd - 4);
    const std::string_view head(data.data(), headerEnd);
    std::size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
        auto end = head.find("\r\n", start);
        if (end == std::string_view::npos) end = head.size();
        const auto line = head.substr(start, end - start);
        if (first) {
            const auto a = line.find(' ');
            const auto b = a == std::string_view::npos ? a : line.find(' ', a + 1);
            if (b == std::string_view::npos) return std::nullopt;
            request.method = line.substr(0, a);
            request.target = line.substr(a + 1, b - a - 1);
            request.version = line.substr(b + 1);
            first = false;
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
        }
        start = end + 2;
    }
    return request;
}

std::string RtspServer::replyTo(const Request& request, const Faults& faults) {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    const auto session = request.header("Session");
    const bool sessionOk = session && *session == config_.sessionId;
    auto sessionNotFound = [&] {
        status = 454;
        reason = "Session Not Found";
    };
    auto transport = [this](std::int64_t port) -> std::string {
        if (!config_.nameServerPorts) return "unicast";
        return "server_port=" + std::to_string(port) + "-" + std::to_string(port + 1);
    };

    if (request.version != "RTSP/1.0") {
        status = 505;
        reason = "RTSP Version Not Supported";
    } else if (request.method == "OPTIONS") {
        headers.emplace_back("Public", "OPTIONS, DESCRIBE, SETUP, ANNOUNCE, PLAY");
    } else if (request.method == "DESCRIBE") {
        headers.emplace_back("Content-Type", "application/sdp");
        body = config_.describeSdp;
    } else if (request.method == "SETUP") {
        const bool audio = request.target.find("audio") != std::string::npos;
        const bool video = request.target.find("video") != std::string::npos;
        const bool control = request.target.find("control") != std::string::npos;
        if (audio) {
            headers.emplace_back("Session", config_.sessionId + ";timeout = 90");
            headers.emplace_back("Transport", transport(config_.audioPort));
            if (config_.audioPingPayload) headers.emplace_back("X-SS-Ping-Payload", *config_.audioPingPayload);
        } else if (!sessionOk) {
            sessionNotFound();
        } else if (video) {
            headers.emplace_back("Session", config_.sessionId);
            headers.emplace_back("Transport", transport(config_.videoPort));
            if (config_.videoPingPayload) headers.emplace_back("X-SS-Ping-Payload", *config_.videoPingPayload);
        } else if (control) {
            headers.emplace_back("Session", config_.sessionId);
            headers.emplace_back("Transport", transport(config_.controlPort));
            if (config_.connectData) headers.emplace_back("X-SS-Connect-Data", *config_.connectData);
        } else {
            status = 404;
            reason = "Stream Not Found";
        }
    } else if (request.method == "ANNOUNCE") {
        checkAnnounce(request);
        if (!sessionOk) {
            sessionNotFound();
        } else if (!announceProblems().empty()) {
            status = 400;
            reason = "Bad Request";
        }
    } else if (request.method == "PLAY") {
        if (!sessionOk) sessionNotFound();
    } else {
        status = 501;
        reason = "Not Implemented";
    }

    if (const auto forced = faults.statusByMethod.find(request.method); forced != faults.statusByMethod.end()) {
        status = forced->second.first;
        reason = forced->second.second;
    }

    std::string reply = "RTSP/1.0 " + std::to_string(status) + " " + reason + "\r\n";
    reply += "CSeq: " + request.header("CSeq").value_or("0") + "\r\n";
    for (const auto& [name, value] : headers) reply += name + ": " + value + "\r\n";
    if (!body.empty()) reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    reply += "\r\n" + body;
    return reply;
}

// The box reads the offer's a= attributes; it needs the framing lines and the stream parameters it sizes
// the encoder by.
void RtspServer::checkAnnounce(const Request& request) {
    std::vector<std::string> problems;
    std::vector<std::pair<std::string, std::string>> attributes;
    if (lower(request.header("Content-type").value_or("")) != "application/sdp")
        problems.push_back("content type is not application/sdp");

    const std::string& sdp = request.body;
    if (sdp.size() < 2 || sdp.substr(sdp.size() - 2) != "\r\n") problems.push_back("last line does not end in CR LF");
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < sdp.size();) {
        auto end = sdp.find("\r\n", start);
        if (end == std::string::npos) end = sdp.size();
        lines.push_back(sdp.substr(start, end - start));
        start = end + 2;
    }
    for (const auto& line : lines) {
        if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
            problems.push_back("bare line break in: " + line);
        if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z')
            problems.push_back("not a type=value line: " + line);
        if (line.starts_with("a=")) {
            const auto colon = line.find(':');
            if (colon == std::string::npos) {
                problems.push_back("attribute without value: " + line);
                continue;
            }
            attributes.emplace_back(line.substr(2, colon - 2), line.substr(colon + 1));
        }
    }
    if (lines.empty() || lines.front() != "v=0") problems.push_back("does not start with v=0");
    if (lines.size() < 3 || !lines[1].starts_with("o=") || (lines[1].find(" IN IP4 ") == std::string::npos && lines[1].find(" IN IPv4 ") == std::string::npos) ||
        !lines[2].starts_with("s="))
        problems.push_back("no origin and session name after the version");
    const bool hasTime = std::find(lines.begin(), lines.end(), "t=0 0") != lines.end();
    const bool hasMedia = std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("m=video "); });
    if (!hasTime || !hasMedia) problems.push_back("no time or video media line");

    for (const char* key : {"x-nv-video[0].clientViewportWd", "x-nv-video[0].clientViewportHt",
                            "x-nv-video[0].maxFPS", "x-nv-video[0].packetSize", "x-nv-vqos[0].bitStreamFormat",
                            "x-nv-vqos[0].bw.maximumBitrateKbps", "x-nv-audio.surround.numChannels",
                            "x-ss-general.encryptionEnabled"}) {
        const auto found = std::find_if(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == key; });
        if (found == attributes.end())
            problems.push_back(std::string("missing ") + key);
        else if (!isNumber(found->second))
            problems.push_back(std::string("not a number: ") + key);
    }

    std::lock_guard lock(mutex_);
    announcedSdp_ = sdp;
    announcedAttributes_ = std::move(attributes);
    announceProblems_ = std::move(problems);
}

void RtspServer::writeReply(int fd, const std::string& reply, int pieces) {
    const std::size_t size = std::max<std::size_t>(1, (reply.size() + pieces - 1) / static_cast<std::size_t>(pieces));
    for (std::size_t at = 0; at < reply.size(); at += size) {
        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::size_t length = std::min(size, reply.size() - at);
        std::size_t sent = 0;
        while (sent < length) {
            const ssize_t n = ::send(fd, reply.data() + at + sent, length - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
}

} // namespace corvane::boxsim
