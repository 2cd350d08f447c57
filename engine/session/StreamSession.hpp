#pragma once

#include "engine/BoxHost.hpp"
#include "engine/session/ControlChannel.hpp"
#include "engine/session/ControlCrypto.hpp"
#include "engine/session/MediaSocket.hpp"
#include "engine/session/RTSP.hpp"
#include "engine/session/StreamConfig.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::stream {

// One streaming session with the box, from launch to stop: session keys, launch or resume, the RTSP
// handshake, the media socket, the encrypted control channel with its opening messages and a keep-alive
// every 100 ms on its own thread "corvane.session". While it runs, input, resize and keyframe requests are
// queued on the control channel.
//
// Order the owner keeps: set the callbacks, handlers and requestKeyframeAtStart, then start(); stop() when
// done. A failed start leaves nothing running (no media thread, keep-alive or control channel), though the
// application may stay launched on the box until stop(true). A stop() made while start() is still running
// on another thread cancels it: start then ends everything it had made or goes on to make and throws.
// Releasing the session stops it (without ending the application on the box) and joins its threads; a
// start still running on another thread owns what it touches jointly with the session, so the session
// may go first. The application is ended on the box at most once per session.
//
// Threads: onEnded and onRumble run on the control channel's thread "corvane.control"; videoHandler,
// videoTick and audioHandler on "corvane.media". An owner that wants to stop the session in response to
// onEnded hops to its own thread first: a stop() made on "corvane.control" does not deadlock, but it can
// only ask the channel to close rather than wait for it, and it blocks the channel's thread for the stop's
// other work (such as ending the application on the box).
class StreamSession final {
public:
    struct Timings {
        std::int64_t launchMs = 0;
        std::int64_t rtspMs = 0;
        std::int64_t controlMs = 0;
        std::int64_t totalMs = 0;
        bool operator==(const Timings&) const = default;
    };

    struct Stats {
        std::int64_t controlSent = 0;
        std::int64_t controlReceived = 0;
        std::map<std::uint16_t, std::int64_t> controlTypes;
        std::int64_t decryptFailures = 0;
        std::int64_t rttMs = 0;
        std::int64_t rttVarianceMs = 0;
        std::int64_t enetPacketsLost = 0;
        std::int64_t videoPackets = 0;
        std::int64_t videoBytes = 0;
        std::int64_t audioPackets = 0;
        std::int64_t pingsSent = 0;
        std::int64_t pingErrors = 0;
        bool operator==(const Stats&) const = default;
    };

    // The session's own failures besides those of the box host, RTSP, the media socket and the channel.
    class Error final : public corvane::Error {
    public:
        enum class Kind { stopped, badResize, badPort };
        static Error stopped() { return Error(Kind::stopped, "the session was stopped before it started"); }
        static Error badResize(std::int64_t width, std::int64_t height) {
            return Error(Kind::badResize, "resize to " + std::to_string(width) + "x" + std::to_string(height) +
                                              " does not fit 16-bit fields");
        }
        Kind kind;

    private:
        Error(Kind kind, std::string description) : corvane::Error(std::move(description)), kind(kind) {}
    };

    using EndedHandler = std::function<void(const std::string& reason)>;
    using RumbleHandler = std::function<void(std::int64_t controller, std::uint16_t low, std::uint16_t high)>;
    using PacketHandler = MediaSocket::Handler;
    // Carries one RTSP request to the box and brings back its reply, as TCPExchange::send does.
    using Exchange = std::function<RTSP::Response(const std::string& host, std::int64_t port, const Bytes& request,
                                                  double timeoutSeconds, const std::string& label, std::stop_token)>;

    // The clock a start's durations (its timings, a slow RTSP exchange) are read on.
    using Now = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr const char* encryptionVariable = "CORVANE_CONTROL_ENCRYPTION";

    StreamSession(std::shared_ptr<BoxHost> host, StreamConfig config, std::int64_t appID);
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    const std::shared_ptr<BoxHost> host;
    const StreamConfig config;
    const std::int64_t appID;

    // Set before start(); read by the session's threads without a lock.
    EndedHandler onEnded;
    RumbleHandler onRumble;
    bool requestKeyframeAtStart = true;
    PacketHandler audioHandler; // copied into the media socket at start
    PacketHandler videoHandler;
    MediaSocket::Tick videoTick; // likewise: runs between datagrams and while none come
    Exchange exchange; // empty: TCPExchange::send; tests put the box's side of the handshake here
    Now now = std::chrono::steady_clock::now;

    // Written by start(); each returns a copy.
    std::map<std::string, std::string> describeAttributes() const;
    Timings timings() const;
    std::string describeBody() const;
    ControlCrypto::IVStyle controlEncryption() const;

    // Launches (or resumes) the application and brings the session up; returns once the control channel is
    // connected and the keep-alive runs. Throws the first error met: BoxHost's, RTSP::Error,
    // MediaSocket::Error, ControlChannel::Error, or Error::stopped when stop() (or `stop`) ended it first.
    // Called once per session; a second call throws std::logic_error.
    void start(bool resume, std::stop_token stop = {});
    // Ends the keep-alive, closes the control channel, stops the media socket and, with `endOnBox`, quits
    // the application on the box. Never throws; safe in every state and more than once.
    void stop(bool endOnBox, std::stop_token stop = {});

    // Queue control messages; dropped while no control channel is connected. Any thread.
    void sendInput(Bytes packet);
    // Throws Error::badResize when a value lies outside 0...65535.
    void requestResize(std::int64_t width, std::int64_t height);
    void requestKeyframe();

    Stats stats() const;

    // The port rule for a SETUP reply's Transport header: the digits after "server_port=", or `fallback`
    // when there are none. Throws RTSP::Error::badResponse for a number outside 1...65535.
    static std::int64_t serverPort(const RTSP::Response& reply, std::int64_t fallback, const std::string& stream);
    // The control encryption for the DESCRIBE attributes and the environment variable's value; logs it.
    static ControlCrypto::IVStyle chooseEncryption(const std::map<std::string, std::string>& attributes,
                                                   const char* environment);

private:
    // What the control channel's handlers reach the session through; cleared when the session goes away.
    struct Link {
        std::mutex lock;
        StreamSession* session = nullptr;
    };
    // Everything start() touches once it has begun, shared with a running start (see StreamSession.cpp).
    struct State;

    void queue(std::uint16_t type, Bytes payload);

    std::shared_ptr<Link> link_;
    std::shared_ptr<State> state_;
};

} // namespace corvane::stream
