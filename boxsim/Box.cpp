#include "boxsim/Box.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

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
        streaming.keyframeWanted = [this] { return keyframeWanted(); };
    }
    media_ = std::make_unique<MediaPorts>(media, std::move(streaming));
    Agent::Options agent = options_.agent;
    agent.address = options_.address;
    agent.enterPin = [this](std::string pin) { host_->enterPin(std::move(pin)); };
    agent_ = std::make_unique<Agent>(std::move(agent));
}

Box::~Box() { stop(); }

void Box::start() {
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

void Box::stop() {
    std::lock_guard life(lifecycle_);
    {
        std::lock_guard guard(lock_);
        running_ = false;
    }
    agent_->stop();  // first: it wakes replies it is holding back
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

std::shared_ptr<ControlServer> Box::control() const {
    std::lock_guard guard(lock_);
    return control_;
}

std::shared_ptr<ControlServer> Box::waitForControl(double seconds) const {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return control_ != nullptr; });
    return control_;
}

bool Box::keyframeWanted() {
    static constexpr std::uint16_t kRequestKeyframe = 0x0302;
    auto server = control();
    if (!server) return false;
    std::lock_guard guard(keyframeLock_);
    if (server != keyframeServer_) {
        keyframeServer_ = server;
        keyframeSeen_ = 0;
    }
    // Only the messages that arrived since the last look; the record itself is not copied.
    bool wanted = false;
    server->waitFor(
        [&](const std::vector<ControlServer::Message>& record) {
            for (; keyframeSeen_ < record.size(); ++keyframeSeen_)
                if (record[keyframeSeen_].type == kRequestKeyframe) wanted = true;
            return true;
        },
        0);
    return wanted;
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
