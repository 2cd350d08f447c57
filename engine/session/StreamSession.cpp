#include "engine/session/StreamSession.hpp"

#include "engine/EngineLog.hpp"
#include "engine/session/LittleEndian.hpp"
#include "engine/session/NetworkHints.hpp"
#include "engine/session/SDP.hpp"
#include "engine/session/SessionKeys.hpp"
#include "engine/session/TCPExchange.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include <pthread.h>

namespace corvane::stream {

namespace {

using Clock = std::chrono::steady_clock;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kEpoch = "Thu, 01 Jan 1970 00:00:00 GMT";
constexpr const char* kClientPorts = "unicast;X-GS-ClientPort=50000-50001";

std::int64_t millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A whole decimal number with an optional sign; nothing for anything else.
template <class Integer>
std::optional<Integer> parseWhole(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    Integer value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// Lines as the DESCRIBE log shows them: split at every line break, "\r\n" counting as one.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

} // namespace

StreamSession::StreamSession(std::shared_ptr<BoxHost> host, StreamConfig config, std::int64_t appID)
    : host(std::move(host)), config(std::move(config)), appID(appID), link_(std::make_shared<Link>()) {
    link_->session = this;
}

StreamSession::~StreamSession() {
    {
        std::lock_guard guard(link_->lock);
        link_->session = nullptr;
    }
    bool wasStopped = false;
    {
        std::lock_guard guard(lock_);
        wasStopped = stopped_;
    }
    // Released without a stop: nothing may outlive the session. After a stop only the joins remain.
    tearDown();
    if (!wasStopped) EngineLog::write("session: stopped");
}

std::map<std::string, std::string> StreamSession::describeAttributes() const {
    std::lock_guard guard(lock_);
    return describeAttributes_;
}

StreamSession::Timings StreamSession::timings() const {
    std::lock_guard guard(lock_);
    return timings_;
}

std::string StreamSession::describeBody() const {
    std::lock_guard guard(lock_);
    return describeBody_;
}

ControlCrypto::IVStyle StreamSession::controlEncryption() const {
    std::lock_guard guard(lock_);
    return controlEncryption_;
}

std::int64_t StreamSession::serverPort(const RTSP::Response& reply, std::int64_t fallback, const std::string& stream) {
    const auto transport = reply.header("Transport");
    if (!transport) return fallback;
    static constexpr std::string_view key = "server_port=";
    const auto at = transport->find(key);
    if (at == std::string::npos) return fallback;
    std::size_t end = at + key.size();
    while (end < transport->size() && (*transport)[end] >= '0' && (*transport)[end] <= '9') ++end;
    const std::string_view digits(transport->data() + at + key.size(), end - at - key.size());
    if (digits.empty()) return fallback;
    // A port the 16-bit fields cannot hold is refused, never truncated into some other port.
    const auto value = parseWhole<std::int64_t>(digits);
    if (!value || *value < 1 || *value > 65535)
        throw RTSP::Error::badResponse("SETUP " + stream + " names server port " + std::string(digits) +
                                       ", outside 1-65535");
    return *value;
}

ControlCrypto::IVStyle StreamSession::chooseEncryption(const std::map<std::string, std::string>& attributes,
                                                       const char* environment) {
    const auto number = [&](const char* key) -> std::int64_t {
        const auto found = attributes.find(key);
        if (found == attributes.end()) return 0;
        return parseWhole<std::int64_t>(found->second).value_or(0);
    };
    const std::int64_t supported = number("x-ss-general.encryptionSupported");
    const std::int64_t requested = number("x-ss-general.encryptionRequested");
    ControlCrypto::IVStyle style;
    const std::string_view forced = environment ? environment : "";
    if (forced == "v1")
        style = ControlCrypto::IVStyle::v1;
    else if (forced == "v2")
        style = ControlCrypto::IVStyle::v2;
    else
        style = (supported & requested & 1) != 0 ? ControlCrypto::IVStyle::v2 : ControlCrypto::IVStyle::v1;
    if (style == ControlCrypto::IVStyle::v2)
        EngineLog::write("session: control encryption v2");
    else
        EngineLog::write("WARNING: session: control encryption v1 (legacy, reuses IVs); the box did not offer v2 "
                         "(supported " +
                         std::to_string(supported) + ", requested " + std::to_string(requested) + ")");
    return style;
}

void StreamSession::checkNotStopped() const {
    bool stopped = false;
    {
        std::lock_guard guard(lock_);
        stopped = stopped_;
    }
    if (stopped || startStop_.stop_requested()) throw Error::stopped();
}

RTSP::Response StreamSession::rtsp(const std::string& method, const std::string& target, Headers headers,
                                   const Bytes& body, std::int64_t port, std::stop_token stop) {
    headers.emplace_back("X-GS-ClientVersion", "14");
    headers.emplace_back("Host", host->address);
    ++cseq_;
    const Bytes request = RTSP::request(method, target, cseq_, headers, body);
    const auto began = Clock::now();
    RTSP::Response reply;
    if (method == "OPTIONS") {
        // The first contact after launch: the host may still be bringing its RTSP side up.
        for (int retries = 0;; ++retries) {
            try {
                reply = TCPExchange::send(host->address, port, request, 1.5, method, stop);
                break;
            } catch (const RTSP::Error& error) {
                if (error.kind != RTSP::Error::Kind::timeout || retries >= 3 || stop.stop_requested()) throw;
                EngineLog::write("session: " + error.label + " timed out, trying again");
            }
        }
    } else {
        reply = TCPExchange::send(host->address, port, request, 5.0, method, stop);
    }
    const std::int64_t ms = millisecondsSince(began);
    if (ms >= 501) EngineLog::write("session: RTSP " + method + " took " + std::to_string(ms) + " ms");
    if (reply.status != 200) throw RTSP::Error::status(method + " " + target, reply.status, reply.reason);
    return reply;
}

void StreamSession::start(bool resume, std::stop_token stop) {
    {
        std::lock_guard guard(lock_);
        if (started_) throw std::logic_error("StreamSession::start called twice");
        started_ = true;
        if (stopped_) throw Error::stopped();
    }
    std::stop_callback forward(stop, [this] { startStop_.request_stop(); });
    const std::stop_token token = startStop_.get_token();

    // What this start made, so that a failure (or a stop racing it) ends all of it.
    bool launched = false;
    std::shared_ptr<MediaSocket> media;
    std::shared_ptr<ControlChannel> control;
    std::jthread keepAlive;
    try {
        const auto began = Clock::now();
        const SessionKeys keys = SessionKeys::random();

        const BoxHost::SessionStart session = host->start(appID, config, keys, resume, token);
        launched = true;
        {
            std::lock_guard guard(lock_);
            timings_.launchMs = millisecondsSince(began);
        }
        checkNotStopped();
        if (session.encryptedRTSP())
            throw RTSP::Error::badResponse("the box asked for encrypted RTSP (" + session.sessionURL +
                                           "), not supported yet");

        const auto rtspBegan = Clock::now();
        const std::int64_t rtspPort = session.rtspPort();
        const std::string base = "rtsp://" + host->address + ":" + std::to_string(rtspPort);
        const auto request = [&](const std::string& method, const std::string& target, Headers headers,
                                 const Bytes& body = {}) {
            RTSP::Response reply = rtsp(method, target, std::move(headers), body, rtspPort, token);
            checkNotStopped();
            return reply;
        };

        request("OPTIONS", base, {});

        const RTSP::Response describe =
            request("DESCRIBE", base, {{"Accept", "application/sdp"}, {"If-Modified-Since", kEpoch}});
        std::map<std::string, std::string> offered;
        for (auto& [key, value] : RTSP::sdpAttributes(describe.body))
            if (key.starts_with("x-ss") || key.starts_with("x-nv-general")) offered.emplace(key, value);
        const std::string body = RTSP::decodeUTF8(describe.body);
        {
            std::lock_guard guard(lock_);
            describeAttributes_ = offered;
            describeBody_ = body;
        }
        std::string audioLines;
        for (const std::string& line : lines(body)) {
            if (line.find("fmtp") == std::string::npos && line.find("surround") == std::string::npos &&
                line.find("audio") == std::string::npos)
                continue;
            if (!audioLines.empty()) audioLines += " | ";
            audioLines += line;
        }
        EngineLog::write("session: DESCRIBE audio lines: " + audioLines);
        std::string offers;
        for (const auto& [key, value] : offered) {
            if (!offers.empty()) offers += ", ";
            offers += key + "=" + value;
        }
        EngineLog::write("session: DESCRIBE offers " + offers);

        const RTSP::Response audio = request("SETUP", "streamid=audio/0/0",
                                             {{"Transport", kClientPorts}, {"If-Modified-Since", kEpoch}});
        std::string sessionID;
        if (const auto header = audio.header("Session")) {
            std::size_t from = 0;
            while (from <= header->size()) {
                const std::size_t end = std::min(header->find(';', from), header->size());
                if (end > from) {
                    sessionID = header->substr(from, end - from);
                    break;
                }
                from = end + 1;
            }
        }
        if (sessionID.empty()) throw RTSP::Error::badResponse("SETUP audio has no Session");

        const Headers setupHeaders = {{"Session", sessionID}, {"Transport", kClientPorts}, {"If-Modified-Since", kEpoch}};
        const RTSP::Response video = request("SETUP", "streamid=video/0/0", setupHeaders);
        const RTSP::Response controlReply = request("SETUP", "streamid=control/13/0", setupHeaders);

        const std::int64_t audioPort = serverPort(audio, 48000, "audio");
        const std::int64_t videoPort = serverPort(video, 47998, "video");
        const std::int64_t controlPort = serverPort(controlReply, 47999, "control");

        const auto connectText = controlReply.header("X-SS-Connect-Data");
        const std::uint32_t connectData = connectText ? parseWhole<std::uint32_t>(*connectText).value_or(0) : 0;
        const auto videoPing = video.header("X-SS-Ping-Payload");
        const auto audioPing = audio.header("X-SS-Ping-Payload");
        EngineLog::write("session: ports video " + std::to_string(videoPort) + ", audio " + std::to_string(audioPort) +
                         ", control " + std::to_string(controlPort) + "; connect data " +
                         connectText.value_or("none") + "; ping payloads " + (videoPing ? "yes" : "no") +
                         ", audio and video payloads " + (videoPing == audioPing ? "THE SAME" : "different"));

        const ControlCrypto::IVStyle style = chooseEncryption(offered, std::getenv(encryptionVariable));
        {
            std::lock_guard guard(lock_);
            controlEncryption_ = style;
        }

        const std::string client = NetworkHints::localAddress(host->address).value_or("0.0.0.0");
        request("ANNOUNCE", "streamid=control/13/0", {{"Session", sessionID}, {"Content-type", "application/sdp"}},
                SDP::announce(config, client, style == ControlCrypto::IVStyle::v2 ? 1 : 0));
        request("PLAY", "/", {{"Session", sessionID}});
        {
            std::lock_guard guard(lock_);
            timings_.rtspMs = millisecondsSince(rtspBegan);
        }

        media = std::make_shared<MediaSocket>(host->address, videoPort, audioPort, bytesOf(videoPing.value_or("PING")),
                                              bytesOf(audioPing.value_or("PING")), videoHandler, audioHandler);
        media->start();
        {
            std::lock_guard guard(lock_);
            media_ = media;
        }
        checkNotStopped();

        const auto controlBegan = Clock::now();
        control = std::make_shared<ControlChannel>(host->address, controlPort, connectData, keys.key, style);
        const std::weak_ptr<Link> link = link_;
        control->onDisconnect = [link](const std::string& reason) {
            EndedHandler handler;
            if (const auto strong = link.lock()) {
                std::lock_guard guard(strong->lock);
                if (strong->session) handler = strong->session->onEnded;
            }
            if (handler) handler(reason);
        };
        control->onMessage = [link](std::uint16_t type, const Bytes& payload) {
            if (type != 0x010B || payload.size() < 10) return;
            RumbleHandler handler;
            if (const auto strong = link.lock()) {
                std::lock_guard guard(strong->lock);
                if (strong->session) handler = strong->session->onRumble;
            }
            if (handler) handler(u16LE(payload, 4), u16LE(payload, 6), u16LE(payload, 8));
        };
        ControlChannel::initOnce();
        control->connect(5.0, token);
        {
            std::lock_guard guard(lock_);
            control_ = control;
            timings_.controlMs = millisecondsSince(controlBegan);
            timings_.totalMs = millisecondsSince(began);
        }
        checkNotStopped();
        const Timings t = timings();
        EngineLog::write("session: control channel up; launch " + std::to_string(t.launchMs) + " ms, RTSP " +
                         std::to_string(t.rtspMs) + " ms, control " + std::to_string(t.controlMs) + " ms, total " +
                         std::to_string(t.totalMs) + " ms");

        control->send(0x0305, Bytes{0x00, 0x00});
        control->send(0x0307, Bytes{0x00});
        if (requestKeyframeAtStart) control->send(0x0302, Bytes(4, 0x00));

        keepAlive = std::jthread([weak = std::weak_ptr<ControlChannel>(control)](std::stop_token cancelled) {
            pthread_setname_np(pthread_self(), "corvane.session");
            std::mutex mutex;
            std::condition_variable_any never;
            auto next = Clock::now();
            while (!cancelled.stop_requested()) {
                // Paced from a fixed origin so the interval does not drift with scheduling delays; after a
                // stall it starts afresh rather than sending the missed ones in a burst.
                next = std::max(next + std::chrono::milliseconds(100), Clock::now());
                std::unique_lock lock(mutex);
                if (never.wait_until(lock, cancelled, next, [] { return false; }) || cancelled.stop_requested())
                    return;
                lock.unlock();
                if (const auto channel = weak.lock()) channel->send(0x0200, Bytes(8, 0x00));
            }
        });
        {
            std::lock_guard guard(lock_);
            if (!stopped_) {
                keepAlive_ = std::move(keepAlive);
                return;
            }
        }
        throw Error::stopped();
    } catch (...) {
        // Nothing of a failed start stays running: the owner may never call stop().
        if (keepAlive.joinable()) {
            keepAlive.request_stop();
            keepAlive.join();
        }
        if (control) control->close();
        if (media) media->stop();
        bool stopped = token.stop_requested();
        bool endOnBox = false;
        {
            std::lock_guard guard(lock_);
            stopped = stopped || stopped_;
            endOnBox = endOnBoxRequested_;
        }
        // A stop that asked to end the application may have reached the box before the launch did.
        if (launched && endOnBox) {
            try {
                host->cancel();
            } catch (const std::exception& error) {
                EngineLog::write(std::string("session: cancel failed: ") + error.what());
            }
        }
        if (stopped) throw Error::stopped();
        throw;
    }
}

void StreamSession::tearDown(bool endOnBox) {
    std::jthread keepAlive;
    std::shared_ptr<ControlChannel> control;
    std::shared_ptr<MediaSocket> media;
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
        endOnBoxRequested_ = endOnBoxRequested_ || endOnBox;
        keepAlive = std::move(keepAlive_);
        control = control_;
        media = media_;
    }
    // A start still running ends its blocking step and tears down what it made.
    startStop_.request_stop();
    if (keepAlive.joinable()) {
        keepAlive.request_stop();
        keepAlive.join();
    }
    // On the control thread (from onEnded) close() only asks: the thread ends after the callback returns.
    if (control) control->close();
    if (media) media->stop();
}

void StreamSession::stop(bool endOnBox, std::stop_token stop) {
    tearDown(endOnBox);
    if (!endOnBox) {
        EngineLog::write("session: stopped");
        return;
    }
    try {
        host->cancel(stop);
    } catch (const std::exception& error) {
        EngineLog::write(std::string("session: cancel failed: ") + error.what());
    }
    EngineLog::write("session: stopped and ended on the box");
}

void StreamSession::queue(std::uint16_t type, Bytes payload) {
    std::shared_ptr<ControlChannel> control;
    {
        std::lock_guard guard(lock_);
        control = control_;
    }
    if (control) control->send(type, std::move(payload));
}

void StreamSession::sendInput(Bytes packet) { queue(0x0206, std::move(packet)); }

void StreamSession::requestResize(std::int64_t width, std::int64_t height) {
    if (width < 0 || width > 65535 || height < 0 || height > 65535) throw Error::badResize(width, height);
    Bytes payload;
    putU16LE(payload, static_cast<std::uint16_t>(width));
    putU16LE(payload, static_cast<std::uint16_t>(height));
    queue(0x5503, std::move(payload));
}

void StreamSession::requestKeyframe() { queue(0x0302, Bytes(4, 0x00)); }

StreamSession::Stats StreamSession::stats() const {
    std::shared_ptr<ControlChannel> control;
    std::shared_ptr<MediaSocket> media;
    {
        std::lock_guard guard(lock_);
        control = control_;
        media = media_;
    }
    Stats stats;
    if (control) {
        const ControlChannel::Stats c = control->stats();
        stats.controlSent = c.sent;
        stats.controlReceived = c.received;
        stats.controlTypes = c.receivedTypes;
        stats.decryptFailures = c.decryptFailures;
        stats.rttMs = c.rttMs;
        stats.rttVarianceMs = c.rttVarianceMs;
        stats.enetPacketsLost = c.packetsLost;
    }
    if (media) {
        const MediaSocket::Counts video = media->video();
        stats.videoPackets = video.packets;
        stats.videoBytes = video.bytes;
        stats.audioPackets = media->audio().packets;
        stats.pingsSent = media->pings();
        stats.pingErrors = media->sendErrors();
    }
    return stats;
}

} // namespace corvane::stream
