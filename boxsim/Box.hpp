#pragma once

#include "boxsim/BoxPower.hpp"
#include "boxsim/agent/Agent.hpp"
#include "boxsim/host/StreamingHost.hpp"
#include "boxsim/session/ControlServer.hpp"
#include "boxsim/session/MediaPorts.hpp"
#include "boxsim/session/RtspServer.hpp"
#include "platform/core/Bytes.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace corvane::boxsim {

// A whole simulated box on one loopback address: the streaming host's HTTP ports, the RTSP server, the
// control server and the media ports, at the ports the RTSP server names. The control server is made anew
// at every launch or resume, keyed with the session key of that request, as the real host does; before the
// first launch there is none. A launch, resume or cancel ends the running stream; a stream answers only the
// keyframe and size requests of the session it was started for. The box agent answers beside them and
// enters pairing PINs into the host.
// Test and demo equipment.
class Box final {
public:
    struct Options {
        std::string address = "127.0.0.2";
        StreamingHost::Options host;  // its address (and onLaunch) are set by the box
        RtspServer::Config rtsp;      // its address is set by the box
        ControlServer::NonceStyle controlStyle = ControlServer::NonceStyle::v2;
        bool controlSilent = false;   // a control port that never answers
        // Video and audio toward a client that pings the media ports, in the format its last ANNOUNCE
        // asked for (`media` gives the rest: parity, impairments, and defaults for what the offer lacks).
        // Off by default, so tests can send datagrams of their own; the demo turns it on.
        bool streamMedia = false;
        MediaStreamer::Options media;
        // Told of every picture as its last datagram has gone out, on the streamer's video thread (timing).
        std::function<void(const MediaStreamer::SentFrame&)> onFrameSent;
        Agent::Options agent;  // its address and enterPin are set by the box
        // A resize asked over the control channel (0x5503) is followed with a new encoder and a keyframe at
        // the asked size when the agent's display list last offered that size. These change that:
        bool resizeIgnored = false;                 // every resize is ignored
        std::vector<std::string> sizesNeverShown;   // "WxH": taken, but no picture of it is ever sent
        double restartSeconds = 3;  // how long a restart keeps every port closed
        // How long the agent answers on after it took a restart or shut-down, as Windows winds down.
        double powerDelaySeconds = BoxPower::windingDownSeconds;
        // An update of "host" through the agent closes the streaming host's ports (ending a stream) for
        // this long, then opens them again.
        double hostRestartSeconds = 2;
    };

    explicit Box(Options options);
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    // Starts every server; throws (and leaves nothing open) when a port cannot be bound.
    void start();
    // Closes every port, the current control server's too. Safe more than once.
    void stop();

    const Options& options() const { return options_; }
    StreamingHost& host() { return *host_; }
    RtspServer& rtsp() { return *rtsp_; }
    MediaPorts& media() { return *media_; }
    Agent& agent() { return *agent_; }
    // Restart, shut-down and wake, silent or stopped ports; the agent's power requests act through it too,
    // and its "v1/unpair-all" makes the streaming host forget its clients.
    BoxPower& power() { return *power_; }
    // The control server of the latest launch or resume, or none before the first.
    std::shared_ptr<ControlServer> control() const;
    // Waits for a launch or resume to have made the control server.
    std::shared_ptr<ControlServer> waitForControl(double seconds) const;
    // The key and id of the latest launch or resume.
    std::optional<Bytes> sessionKey() const;
    std::optional<std::int32_t> sessionKeyId() const;

private:
    void openServices();
    // `endStream`: a client streaming is told the box goes away, as a box does when it powers down.
    void closeServices(bool endStream);
    void launched(const Bytes& key, std::int32_t keyId);
    // What a stream starting now answers: the requests that reach the given control server.
    MediaPorts::Requests requestsFor(std::shared_ptr<ControlServer> server);
    // Whether the client asked for a keyframe (control message 0x0302) among the server's messages after
    // the first `seen`, which it moves past them; asked by a media streamer's thread once per picture.
    static bool keyframeWanted(const ControlServer& server, std::size_t& seen);
    // A size the client asked for (control message 0x5503) among the messages after the first `seen` that
    // the host follows; asked by a media streamer's thread once per picture.
    std::optional<std::pair<int, int>> resizeWanted(const ControlServer& server, std::size_t& seen);
    void restartHost();
    void stopHostPorts();  // under lifecycle_

    Options options_;
    std::unique_ptr<StreamingHost> host_;
    std::unique_ptr<RtspServer> rtsp_;
    std::unique_ptr<MediaPorts> media_;
    std::unique_ptr<Agent> agent_;
    std::unique_ptr<BoxPower> power_;
    std::uint16_t controlPort_ = 47999;

    std::mutex lifecycle_;         // start and stop; never held while waiting for the host's threads' work
    std::mutex controlLifecycle_;  // replacing or stopping the control server
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool running_ = false;
    std::shared_ptr<ControlServer> control_;
    std::thread hostRestart_;  // under lock_
    bool hostRestarting_ = false;
    std::optional<Bytes> key_;
    std::optional<std::int32_t> keyId_;
};

} // namespace corvane::boxsim
