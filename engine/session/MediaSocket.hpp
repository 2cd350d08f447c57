#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/realtime/ThreadPriority.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::stream {

// The session's one UDP socket for media, run by its own thread "corvane.media": every 0.5 s it pings the
// box's video and audio ports with the payloads the host gave, and it hands each datagram the box sends back
// to the video or audio handler, told apart by source port. The handlers run on the media thread, one
// datagram at a time, in arrival order.
//
// Ping datagram: the port's payload unchanged, followed by the ping counter as a big-endian u32 only when
// the payload is exactly 16 bytes long.
//
// Between datagrams, and while none come, the thread calls onTick about every tickInterval: where a handler
// notices what stopped coming.
//
// Lifetime: stop() (or destruction) ends the thread and waits for it, so once it returns no handler runs
// any more and the socket is closed. From inside a handler stop() only asks (it cannot wait for itself).
class MediaSocket final {
public:
    struct Counts {
        std::int64_t packets = 0;
        std::int64_t bytes = 0;
        bool operator==(const Counts&) const = default;
    };
    // The datagram is a view of the socket's receive buffer, valid only during the call.
    using Handler = std::function<void(ByteView datagram)>;
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    using Tick = std::function<void()>;

    class Error final : public corvane::Error {
    public:
        enum class Kind { address, port, socket };
        Error(Kind kind, std::string description, int systemError = 0)
            : corvane::Error(std::move(description)), kind(kind), systemError(systemError) {}
        Kind kind;
        int systemError;
    };

    static constexpr int receiveBufferRequest = 8 * 1024 * 1024;
    // What the media thread asks for as it starts (and logs, with what it got): real-time below the thread
    // that feeds the sound device, which must never wait for this one.
    static constexpr platform::ThreadPriority::Request scheduling{8, -15};
    static constexpr std::size_t maxDatagram = 2048;
    // Also the longest a receive waits.
    static constexpr std::chrono::milliseconds tickInterval{25};

    // Throws Error(address) when `host` is not a dotted IPv4 address and Error(port) for a port outside
    // 0...65535, rather than pinging 0.0.0.0 or a truncated port.
    MediaSocket(std::string host, std::int64_t videoPort, std::int64_t audioPort, Bytes videoPayload,
                Bytes audioPayload, Handler onVideo, Handler onAudio);
    ~MediaSocket();
    MediaSocket(const MediaSocket&) = delete;
    MediaSocket& operator=(const MediaSocket&) = delete;

    // The clock the pings are paced on; read once per pass. Set before start().
    Now now = std::chrono::steady_clock::now;
    // Runs on the media thread like the handlers, timed on `now`. Set before start().
    Tick onTick;

    // Opens the socket and starts the media thread. Throws Error(socket) when the socket or the thread
    // cannot be made; nothing is left running then. A second call does nothing.
    void start();
    // Ends the thread after its current pass (within a tick interval plus a handler call) and
    // waits for it, unless called on the media thread itself. Safe at any time and more than once.
    void stop();

    Counts video() const;
    Counts audio() const;
    std::int64_t pings() const;
    std::int64_t sendErrors() const;
    std::int64_t other() const;      // from the box's address but neither media port
    std::int64_t truncated() const;  // longer than 2048 bytes: dropped, never handed on
    int receiveBufferBytes() const;  // what the system granted, as it reports it; 0 before start

    struct State;

private:
    std::shared_ptr<State> state_;
    std::mutex joinLock_;
    std::thread thread_;
};

} // namespace corvane::stream
