#include "engine/session/StreamSession.hpp"

#include "engine/EngineLog.hpp"
#include "engine/Text.hpp"
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

std::int64_t millisecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
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

// A start may still be unwinding on another thread when its session is stopped and released, so everything
// it touches after its first blocking step lives here, held by the session and by the running start.
struct StreamSession::State {
    struct Handlers {
        PacketHandler video;
        PacketHandler audio;
        MediaSocket::Tick videoTick;
        bool requestKeyframe = true;
        Exchange exchange;
        Now now;
    };
    // What a stop decided under the lock.
    struct Teardown {
        bool wasStopped = false;
        bool cancelHere = false;
    };

    State(std::shared_ptr<BoxHost> host, StreamConfig config, std::int64_t appID, std::shared_ptr<Link> link)
        : host(std::move(host)), config(std::move(config)), appID(appID), link(std::move(link)) {}

    void run(bool resume, std::stop_token stop, Handlers handlers);
    RTSP::Response rtsp(const std::string& method, const std::string& target, Headers headers, const Bytes& body,
                        std::int64_t port, std::stop_token stop);
    RTSP::Response exchange(const Bytes& request, std::int64_t port, double timeout, const std::string& label,
                            std::stop_token stop) const;
    void checkNotStopped() const;
    Teardown tearDown(bool endOnBox);
    void cancelOnBox(std::stop_token stop);

    const std::shared_ptr<BoxHost> host;
    const StreamConfig config;
    const std::int64_t appID;
    const std::shared_ptr<Link> link;

    mutable std::mutex lock; // held only to copy or swap what follows
    std::map<std::string, std::string> describeAttributes;
    Timings timings;
    std::string describeBody;
    ControlCrypto::IVStyle controlEncryption = ControlCrypto::IVStyle::v2;
    std::shared_ptr<ControlChannel> control;
    std::shared_ptr<MediaSocket> media;
    std::jthread keepAlive;
    bool started = false;
    bool stopped = false;
    bool endOnBoxRequested = false;
    // The launch request: asked of the box, still under way. A stop(true) that comes while it is under way
    // leaves ending the application to the start, which alone knows whether the launch went out.
    bool launchAsked = false;
    bool launching = false;
    bool cancelClaimed = false; // the application is ended on the box once per session
    std::stop_source startStop; // cancels the blocking steps of a running start
    std::int64_t cseq = 0;      // the running start's only
    Exchange exchangeWith;      // set by start before the first request
    Now now = Clock::now;       // likewise
};

StreamSession::StreamSession(std::shared_ptr<BoxHost> host, StreamConfig config, std::int64_t appID)
    : host(std::move(host)), config(std::move(config)), appID(appID), link_(std::make_shared<Link>()),
      state_(std::make_shared<State>(this->host, this->config, appID, link_)) {
    link_->session = this;
}

StreamSession::~StreamSession() {
    {
        std::lock_guard guard(link_->lock);
        link_->session = nullptr;
    }
    // Released without a stop: nothing may outlive the session. After a stop only the joins remain.
    if (!state_->tearDown(false).wasStopped) EngineLog::write("session: stopped");
}

std::map<std::string, std::string> StreamSession::describeAttributes() const {
    std::lock_guard guard(state_->lock);
    return state_->describeAttributes;
}

StreamSession::Timings StreamSession::timings() const {
    std::lock_guard guard(state_->lock);
    return state_->timings;
}

std::string StreamSession::describeBody() const {
    std::lock_guard guard(state_->lock);
    return state_->describeBody;
}

ControlCrypto::IVStyle StreamSession::controlEncryption() const {
    std::lock_guard guard(state_->lock);
    return state_->controlEncryption;
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
    // A run too long for any integer does not parse, so the default applies; a port the 16-bit fields
    // cannot hold is refused, never truncated into some other port.
    const auto value = parseWhole<std::int64_t>(digits);
    if (!value) return fallback;
    if (*value < 1 || *value > 65535)
        throw RTSP::Error::badResponse("SETUP " + stream + " names server port " + text::forLog(digits, 32) +
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

void StreamSession::State::checkNotStopped() const {
    bool isStopped = false;
    {
        std::lock_guard guard(lock);
        isStopped = stopped;
    }
    if (isStopped || startStop.stop_requested()) throw Error::stopped();
}

RTSP::Response StreamSession::State::rtsp(const std::string& method, const std::string& target, Headers headers,
                                          const Bytes& body, std::int64_t port, std::stop_token stop) {
    headers.emplace_back("X-GS-ClientVersion", "14");
    headers.emplace_back("Host", host->address);
    ++cseq;
    const Bytes request = RTSP::request(method, target, cseq, headers, body);
    const auto began = now();
    RTSP::Response reply;
    if (method == "OPTIONS") {
        // The first contact after launch: the host may still be bringing its RTSP side up.
        for (int retries = 0;; ++retries) {
            try {
                reply = exchange(request, port, 1.5, method, stop);
                break;
            } catch (const RTSP::Error& error) {
                if (error.kind != RTSP::Error::Kind::timeout || retries >= 3 || stop.stop_requested()) throw;
                EngineLog::write("session: " + error.label + " timed out, trying again");
            }
        }
    } else {
        reply = exchange(request, port, 5.0, method, stop);
    }
    const std::int64_t ms = millisecondsBetween(began, now());
    if (ms >= 501) EngineLog::write("session: RTSP " + method + " took " + std::to_string(ms) + " ms");
    if (reply.status != 200)
        throw RTSP::Error::status(method + " " + target, reply.status, text::forLog(reply.reason, 200));
    return reply;
}

RTSP::Response StreamSession::State::exchange(const Bytes& request, std::int64_t port, double timeout,
                                             const std::string& label, std::stop_token stop) const {
    if (exchangeWith) return exchangeWith(host->address, port, request, timeout, label, std::move(stop));
    return TCPExchange::send(host->address, port, request, timeout, label, std::move(stop));
}

void StreamSession::start(bool resume, std::stop_token stop) {
    // From here on only the state is touched: the session itself may be released while this runs.
    const std::shared_ptr<State> state = state_;
    state->run(resume, std::move(stop),
               State::Handlers{videoHandler, audioHandler, videoTick, requestKeyframeAtStart, exchange, now});
}

void StreamSession::State::run(bool resume, std::stop_token stop, Handlers handlers) {
    {
        std::lock_guard guard(lock);
        if (started) throw std::logic_error("StreamSession::start called twice");
        started = true;
        if (stopped) throw Error::stopped();
    }
    std::stop_callback forward(stop, [this] { startStop.request_stop(); });
    const std::stop_token token = startStop.get_token();
    exchangeWith = std::move(handlers.exchange);
    if (handlers.now) now = std::move(handlers.now);

    // What this start made, so that a failure (or a stop racing it) ends all of it.
    std::shared_ptr<MediaSocket> ownMedia;
    std::shared_ptr<ControlChannel> ownControl;
    std::jthread ownKeepAlive;
    try {
        const auto began = now();
        const SessionKeys keys = SessionKeys::random();

        {
            std::lock_guard guard(lock);
            if (stopped) throw Error::stopped();
            launchAsked = launching = true;
        }
        const BoxHost::SessionStart session = host->start(appID, config, keys, resume, token);
        {
            std::lock_guard guard(lock);
            launching = false;
            timings.launchMs = millisecondsBetween(began, now());
        }
        checkNotStopped();
        if (session.encryptedRTSP())
            throw RTSP::Error::badResponse("the box asked for encrypted RTSP (" + text::forLog(session.sessionURL) +
                                           "), not supported yet");

        const auto rtspBegan = now();
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
            std::lock_guard guard(lock);
            describeAttributes = offered;
            describeBody = body;
        }
        std::string audioLines;
        for (const std::string& line : lines(body)) {
            if (line.find("fmtp") == std::string::npos && line.find("surround") == std::string::npos &&
                line.find("audio") == std::string::npos)
                continue;
            if (!audioLines.empty()) audioLines += " | ";
            audioLines += text::forLog(line, 200);
        }
        EngineLog::write("session: DESCRIBE audio lines: " + audioLines);
        std::string offers;
        for (const auto& [key, value] : offered) {
            if (!offers.empty()) offers += ", ";
            offers += text::forLog(key, 100) + "=" + text::forLog(value, 100);
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
                         (connectText ? text::forLog(*connectText, 100) : "none") + "; ping payloads " +
                         (videoPing ? "yes" : "no") + ", audio and video payloads " +
                         (videoPing == audioPing ? "THE SAME" : "different"));

        const ControlCrypto::IVStyle style = chooseEncryption(offered, std::getenv(encryptionVariable));
        {
            std::lock_guard guard(lock);
            controlEncryption = style;
        }

        const std::string client = NetworkHints::localAddress(host->address).value_or("0.0.0.0");
        request("ANNOUNCE", "streamid=control/13/0", {{"Session", sessionID}, {"Content-type", "application/sdp"}},
                SDP::announce(config, client, style == ControlCrypto::IVStyle::v2 ? 1 : 0));
        request("PLAY", "/", {{"Session", sessionID}});
        {
            std::lock_guard guard(lock);
            timings.rtspMs = millisecondsBetween(rtspBegan, now());
        }

        ownMedia = std::make_shared<MediaSocket>(host->address, videoPort, audioPort,
                                                 bytesOf(videoPing.value_or("PING")),
                                                 bytesOf(audioPing.value_or("PING")), handlers.video, handlers.audio);
        ownMedia->onTick = handlers.videoTick;
        ownMedia->start();
        {
            std::lock_guard guard(lock);
            media = ownMedia;
        }
        checkNotStopped();

        const auto controlBegan = now();
        ownControl = std::make_shared<ControlChannel>(host->address, controlPort, connectData, keys.key, style);
        const std::weak_ptr<Link> weakLink = link;
        ownControl->onDisconnect = [weakLink](const std::string& reason) {
            EndedHandler handler;
            if (const auto strong = weakLink.lock()) {
                std::lock_guard guard(strong->lock);
                if (strong->session) handler = strong->session->onEnded;
            }
            if (handler) handler(reason);
        };
        ownControl->onMessage = [weakLink](std::uint16_t type, const Bytes& payload) {
            if (type != 0x010B || payload.size() < 10) return;
            RumbleHandler handler;
            if (const auto strong = weakLink.lock()) {
                std::lock_guard guard(strong->lock);
                if (strong->session) handler = strong->session->onRumble;
            }
            if (handler) handler(u16LE(payload, 4), u16LE(payload, 6), u16LE(payload, 8));
        };
        ControlChannel::initOnce();
        ownControl->connect(5.0, token);
        Timings t;
        {
            std::lock_guard guard(lock);
            control = ownControl;
            timings.controlMs = millisecondsBetween(controlBegan, now());
            timings.totalMs = millisecondsBetween(began, now());
            t = timings;
        }
        checkNotStopped();
        EngineLog::write("session: control channel up; launch " + std::to_string(t.launchMs) + " ms, RTSP " +
                         std::to_string(t.rtspMs) + " ms, control " + std::to_string(t.controlMs) + " ms, total " +
                         std::to_string(t.totalMs) + " ms");

        ownControl->send(0x0305, Bytes{0x00, 0x00});
        ownControl->send(0x0307, Bytes{0x00});
        if (handlers.requestKeyframe) ownControl->send(0x0302, Bytes(4, 0x00));

        ownKeepAlive = std::jthread([weak = std::weak_ptr<ControlChannel>(ownControl)](std::stop_token cancelled) {
            pthread_setname_np(pthread_self(), "corvane.session");
            std::mutex mutex;
            std::condition_variable_any never;
            auto next = Clock::now();
            while (!cancelled.stop_requested()) {
                // Paced from a fixed origin so the interval does not drift with scheduling delays; after a
                // stall it starts afresh rather than sending the missed ones in a burst.
                next = std::max(next + std::chrono::milliseconds(100), Clock::now());
                std::unique_lock held(mutex);
                if (never.wait_until(held, cancelled, next, [] { return false; }) || cancelled.stop_requested())
                    return;
                held.unlock();
                if (const auto channel = weak.lock()) channel->send(0x0200, Bytes(8, 0x00));
            }
        });
        {
            std::lock_guard guard(lock);
            if (!stopped) {
                keepAlive = std::move(ownKeepAlive);
                return;
            }
        }
        throw Error::stopped();
    } catch (...) {
        // Nothing of a failed start stays running: the owner may never call stop().
        if (ownKeepAlive.joinable()) {
            ownKeepAlive.request_stop();
            ownKeepAlive.join();
        }
        if (ownControl) ownControl->close();
        if (ownMedia) ownMedia->stop();
        bool isStopped = token.stop_requested();
        bool cancelHere = false;
        {
            std::lock_guard guard(lock);
            launching = false;
            isStopped = isStopped || stopped;
            // A stop that asked to end the application while the launch was under way left that to us.
            cancelHere = endOnBoxRequested && launchAsked && !cancelClaimed;
            if (cancelHere) cancelClaimed = true;
        }
        if (cancelHere) cancelOnBox({});
        if (isStopped) throw Error::stopped();
        throw;
    }
}

StreamSession::State::Teardown StreamSession::State::tearDown(bool endOnBox) {
    Teardown result;
    std::jthread ownKeepAlive;
    std::shared_ptr<ControlChannel> ownControl;
    std::shared_ptr<MediaSocket> ownMedia;
    {
        std::lock_guard guard(lock);
        result.wasStopped = stopped;
        stopped = true;
        if (endOnBox) {
            endOnBoxRequested = true;
            result.cancelHere = !launching && !cancelClaimed;
            if (result.cancelHere) cancelClaimed = true;
        }
        ownKeepAlive = std::move(keepAlive);
        ownControl = control;
        ownMedia = media;
    }
    // A start still running ends its blocking step and tears down what it made.
    startStop.request_stop();
    if (ownKeepAlive.joinable()) {
        ownKeepAlive.request_stop();
        ownKeepAlive.join();
    }
    // On the control thread (from onEnded) close() only asks: the thread ends after the callback returns.
    if (ownControl) ownControl->close();
    if (ownMedia) ownMedia->stop();
    return result;
}

void StreamSession::State::cancelOnBox(std::stop_token stop) {
    try {
        host->cancel(stop);
    } catch (const std::exception& error) {
        EngineLog::write(std::string("session: cancel failed: ") + error.what());
    }
}

void StreamSession::stop(bool endOnBox, std::stop_token stop) {
    const State::Teardown done = state_->tearDown(endOnBox);
    if (!endOnBox) {
        EngineLog::write("session: stopped");
        return;
    }
    if (done.cancelHere) state_->cancelOnBox(stop);
    EngineLog::write("session: stopped and ended on the box");
}

void StreamSession::queue(std::uint16_t type, Bytes payload) {
    std::shared_ptr<ControlChannel> control;
    {
        std::lock_guard guard(state_->lock);
        control = state_->control;
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
        std::lock_guard guard(state_->lock);
        control = state_->control;
        media = state_->media;
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
