#include "boxsim/Box.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

namespace corvane::boxsim {

namespace {

// A port the RTSP server names, or the usual one when the test made it name one no socket can have.
std::uint16_t portOr(std::int64_t named, std::uint16_t usual) {
    return named >= 1 && named <= 65535 ? static_cast<std::uint16_t>(named) : usual;
}

} // namespace

Box::Box(Options options) : options_(std::move(options)) {
    options_.host.address = options_.address;
    options_.host.onLaunch = [this](const Bytes& key, std::int32_t keyId, bool) { launched(key, keyId); };
    options_.host.onCancel = [this] { media_->endSession(); };
    options_.rtsp.address = options_.address;
    controlPort_ = portOr(options_.rtsp.controlPort, 47999);
    host_ = std::make_unique<StreamingHost>(options_.host);
    rtsp_ = std::make_unique<RtspServer>(options_.rtsp);
    MediaPorts::Options media;
    media.address = options_.address;
    media.videoPort = portOr(options_.rtsp.videoPort, 47998);
    media.audioPort = portOr(options_.rtsp.audioPort, 48000);
    MediaPorts::Streaming streaming;
    if (options_.streamMedia) {
        streaming.streamOptions = [this]() -> std::optional<MediaStreamer::Options> {
            return MediaStreamer::forOffer(options_.media, rtsp_->announcedAttributes(), options_.rtsp.describeSdp);
        };
        streaming.requestsForStream = [this] { return requestsFor(control()); };
        streaming.frameSent = options_.onFrameSent;
    }
    media_ = std::make_unique<MediaPorts>(media, std::move(streaming));
    Agent::Options agent = options_.agent;
    agent.address = options_.address;
    agent.enterPin = [this](std::string pin) { host_->enterPin(std::move(pin)); };
    agent.onPower = [this](const std::string& action) { power_->request(action); };
    agent.onUnpairAll = [this] { host_->forgetClients(); };
    agent.hostUpdated = [this] { restartHost(); };
    agent_ = std::make_unique<Agent>(std::move(agent));
    BoxPower::Options power;
    power.address = options_.address;
    power.mac = options_.agent.wakeMac;
    power.tcpPorts = {static_cast<std::uint16_t>(options_.agent.port), static_cast<std::uint16_t>(options_.host.httpPort),
                      static_cast<std::uint16_t>(options_.host.pairingPort),
                      static_cast<std::uint16_t>(options_.host.httpsPort), options_.rtsp.port};
    power.restartSeconds = options_.restartSeconds;
    power.requestDelaySeconds = options_.powerDelaySeconds;
    power.open = [this] { openServices(); };
    power.close = [this] { closeServices(true); };
    power_ = std::make_unique<BoxPower>(std::move(power));
}

Box::~Box() { stop(); }

void Box::start() {
    openServices();
    power_->start();
}

void Box::stop() {
    // Not under lifecycle_: the power thread may be opening or closing the services.
    power_->stop();
    closeServices(false);
}

void Box::openServices() {
    std::lock_guard life(lifecycle_);
    try {
        media_->start();
        rtsp_->start();
        host_->start();
        agent_->start();
    } catch (...) {
        agent_->stop();
        host_->stop();
        rtsp_->stop();
        media_->stop();
        throw;
    }
    std::lock_guard guard(lock_);
    running_ = true;
}

void Box::closeServices(bool endStream) {
    // A host restart in flight ends first: its thread takes lifecycle_.
    std::thread restart;
    {
        std::lock_guard guard(lock_);
        running_ = false;
        restart.swap(hostRestart_);
    }
    changed_.notify_all();
    if (restart.joinable()) restart.join();
    {
        std::lock_guard guard(lock_);
        hostRestarting_ = false;
    }
    std::lock_guard life(lifecycle_);
    if (auto server = endStream ? this->control() : nullptr) {
        server->disconnect(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the notice leaves before the port closes
    }
    agent_->stop();  // first: it wakes replies it is holding back
    stopHostPorts();
}

void Box::stopHostPorts() {
    // The host first: a launch being served may still make a control server, none after this returns.
    // A launch callback takes only controlLifecycle_, so waiting for the host's threads here is safe.
    host_->stop();
    {
        std::lock_guard control(controlLifecycle_);
        if (auto server = this->control()) server->stop();
    }
    rtsp_->stop();
    media_->stop();
}

// Called by the agent as a host update finishes: the host's ports close, a running stream ends, and the
// ports open again a little later. One restart at a time; stop() ends a restart early.
void Box::restartHost() {
    std::lock_guard guard(lock_);
    if (!running_ || hostRestarting_) return;
    if (hostRestart_.joinable()) hostRestart_.join();  // the last one, finished
    hostRestarting_ = true;
    hostRestart_ = std::thread([this] {
        {
            std::lock_guard life(lifecycle_);
            stopHostPorts();
        }
        {
            std::unique_lock lock(lock_);
            changed_.wait_for(lock, std::chrono::duration<double>(options_.hostRestartSeconds), [this] { return !running_; });
            if (!running_) return;
        }
        {
            std::lock_guard life(lifecycle_);
            try {
                media_->start();
                rtsp_->start();
                host_->start();
            } catch (const std::exception& error) {
                std::fprintf(stderr, "boxsim: %s\n", error.what());
            }
        }
        std::lock_guard lock(lock_);
        hostRestarting_ = false;
    });
}

std::shared_ptr<ControlServer> Box::control() const {
    std::lock_guard guard(lock_);
    return control_;
}

std::shared_ptr<ControlServer> Box::waitForControl(double seconds) const {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return control_ != nullptr; });
    return control_;
}

// A stream answers only the control server of the session it was started for (the latest launch's when it
// starts): an ending stream must not take what the next session asks for. Each function runs on that
// stream's video thread only, so the counts of messages already looked at need no lock.
MediaPorts::Requests Box::requestsFor(std::shared_ptr<ControlServer> server) {
    if (!server) return {};
    struct Seen {
        std::size_t keyframe = 0;
        std::size_t resize = 0;
    };
    auto seen = std::make_shared<Seen>();
    MediaPorts::Requests requests;
    requests.keyframeWanted = [server, seen] { return keyframeWanted(*server, seen->keyframe); };
    requests.resizeWanted = [this, server, seen] { return resizeWanted(*server, seen->resize); };
    return requests;
}

bool Box::keyframeWanted(const ControlServer& server, std::size_t& seen) {
    static constexpr std::uint16_t kRequestKeyframe = 0x0302;
    // Only the messages that arrived since the last look; the record itself is not copied.
    bool wanted = false;
    server.waitFor(
        [&](const std::vector<ControlServer::Message>& record) {
            for (; seen < record.size(); ++seen)
                if (record[seen].type == kRequestKeyframe) wanted = true;
            return true;
        },
        0);
    return wanted;
}

std::optional<std::pair<int, int>> Box::resizeWanted(const ControlServer& server, std::size_t& seen) {
    static constexpr std::uint16_t kResize = 0x5503;
    std::optional<std::pair<int, int>> asked;
    server.waitFor(
        [&](const std::vector<ControlServer::Message>& record) {
            for (; seen < record.size(); ++seen) {
                const auto& message = record[seen];
                if (message.type != kResize || message.payload.size() < 4) continue;
                const auto& p = message.payload;
                asked = std::pair<int, int>{p[0] | (p[1] << 8), p[2] | (p[3] << 8)};
            }
            return true;
        },
        0);
    if (!asked || options_.resizeIgnored) return std::nullopt;
    const std::string size = std::to_string(asked->first) + "x" + std::to_string(asked->second);
    if (std::find(options_.sizesNeverShown.begin(), options_.sizesNeverShown.end(), size) != options_.sizesNeverShown.end())
        return std::nullopt;
    // Only a size the box's display list offered can be set.
    for (const std::string& body : agent_->displayModeBodies()) {
        const auto json = nlohmann::json::parse(body, nullptr, false);
        if (!json.is_object() || !json.contains("sizes") || !json["sizes"].is_array()) continue;
        for (const auto& entry : json["sizes"])
            if (entry.is_array() && entry.size() == 2 && entry[0] == asked->first && entry[1] == asked->second) return asked;
    }
    return std::nullopt;
}

std::optional<Bytes> Box::sessionKey() const {
    std::lock_guard guard(lock_);
    return key_;
}

std::optional<std::int32_t> Box::sessionKeyId() const {
    std::lock_guard guard(lock_);
    return keyId_;
}

void Box::launched(const Bytes& key, std::int32_t keyId) {
    std::lock_guard life(controlLifecycle_);
    std::shared_ptr<ControlServer> previous;
    {
        std::lock_guard guard(lock_);
        if (!running_) return;
        previous = control_;
        key_ = key;
        keyId_ = keyId;
    }
    // A new session: the running stream ends, and the new client's first ping starts the new one.
    media_->newSession();
    // The old server gives up the port before the new one binds it.
    if (previous) previous->stop();
    ControlServer::Options options;
    options.address = options_.address;
    options.port = controlPort_;
    options.key = key;
    options.style = options_.controlStyle;
    options.silent = options_.controlSilent;
    auto control = std::make_shared<ControlServer>(options);
    try {
        control->start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "boxsim: %s\n", error.what());
        control.reset();
    }
    std::lock_guard guard(lock_);
    control_ = std::move(control);
    changed_.notify_all();
}

} // namespace corvane::boxsim
