#pragma once

#include "boxsim/media/MediaStreamer.hpp"
#include "platform/core/Bytes.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace corvane::boxsim {

// The box's media ports on <address>: UDP 47998 (video) and 48000 (audio). They record the client's pings
// and learn its address from them; video and audio datagrams then go back to that address from the
// matching port, as the box sends them.
//
// Streaming: with `Streaming::streamOptions` set, the first ping of a session starts a MediaStreamer toward
// the pinging client with the options it returns (none: nothing is streamed). Each stream sends only to the
// client it was started for, whoever pings later. The session's media ends when the client has not pinged
// for `idleSeconds`, when pings come from another client address or port (a new session: its media starts
// afresh), at newSession() and endSession(), or when the ports stop.
class MediaPorts final {
public:
    struct Options {
        std::string address;
        std::uint16_t videoPort = 47998;
        std::uint16_t audioPort = 48000;
    };

    // What the box's client asks of one stream, looked at once per picture on its video thread. Either may
    // be empty.
    struct Requests {
        std::function<bool()> keyframeWanted;
        // A new size to stream at from now on.
        std::function<std::optional<std::pair<int, int>>()> resizeWanted;
    };

    struct Streaming {
        // Called on the ports' thread when a session's first ping arrives.
        std::function<std::optional<MediaStreamer::Options>()> streamOptions;
        double idleSeconds = 3;
        // Called on the ports' thread as each stream starts: that stream's own requests, so that what one
        // session asks for never reaches another session's stream.
        std::function<Requests()> requestsForStream;
        // Called on the streamer's video thread once each picture's datagrams have gone out.
        std::function<void(const MediaStreamer::SentFrame&)> frameSent;
    };

    explicit MediaPorts(Options options);
    MediaPorts(Options options, Streaming streaming);
    ~MediaPorts();
    MediaPorts(const MediaPorts&) = delete;
    MediaPorts& operator=(const MediaPorts&) = delete;

    // Binds both ports and starts the receiving thread; throws corvane::Error when a port cannot be bound.
    void start();
    void stop();

    // The datagrams each port received (the first maxRecordedPings of them).
    static constexpr std::size_t maxRecordedPings = 10000;
    std::vector<Bytes> videoPings() const;
    std::vector<Bytes> audioPings() const;
    std::vector<std::chrono::steady_clock::time_point> videoPingTimes() const;  // when each arrived
    bool waitForPings(std::size_t video, std::size_t audio, double seconds) const;
    // The client's address and port as "a.b.c.d:port", once a ping arrived.
    std::optional<std::string> client() const;

    // Send to the client from the video or audio port; false before the client is known or on failure.
    bool sendVideo(ByteView datagram);
    bool sendAudio(ByteView datagram);
    // Sends datagrams from the video port in order, as few system calls as the kernel allows: runs of equal
    // size go out as one segmented send (UDP GSO) and arrive as the datagrams they were. Answers how many
    // went out.
    std::size_t sendVideoBurst(const std::vector<Bytes>& datagrams);
    // The segmented sends that went out whole so far; whether the kernel still takes them (false once it
    // refused one: bursts go out one by one from then on).
    std::size_t segmentedSends() const { return segmentedSends_; }
    bool segmenting() const { return segmenting_; }
    // Sends from another port of the box's address (neither media port), as a stray sender would.
    bool sendFromPort(std::uint16_t port, ByteView datagram);

    // Whether media is being streamed now; waits for that to become `streaming`.
    bool streaming() const;
    bool waitForStreaming(bool streaming, double seconds) const;
    // The counters of the current session's streamer, or of the last one; none before the first.
    std::optional<MediaStreamer::Stats> streamStats() const;
    // The options the current (or last) session streams with.
    std::optional<MediaStreamer::Options> streamedOptions() const;
    // Sessions whose media was started so far.
    int streamedSessions() const;
    // The next picture of the current session is a keyframe.
    void requestKeyframe();
    // The current session's still picture changes.
    void changePicture();
    // A launch or resume: the running stream ends (its picture being encoded still goes to its own client)
    // and the next ping starts the new session's.
    void newSession();
    // A cancel: the running stream ends, and none starts before the next newSession().
    void endSession();

private:
    bool sendFrom(int fd, ByteView datagram);
    std::size_t sendVideoBurstTo(const std::optional<sockaddr_in>& to, const std::vector<Bytes>& datagrams);
    std::optional<sockaddr_in> clientAddress() const;
    void run();
    // Starts, restarts or ends the session's media after a ping or a quiet poll; on the ports' thread.
    void superviseStream(bool pinged);
    // Ends the running stream. `sessionOpen` (from newSession() and endSession(), on any thread) also says
    // whether a ping may start the next one.
    void endStream(std::optional<bool> sessionOpen = std::nullopt);

    Options options_;
    Streaming streaming_;
    int videoFd_ = -1;
    std::atomic<bool> segmenting_{true};  // false once the kernel refused a segmented send
    std::atomic<std::size_t> segmentedSends_{0};
    int audioFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Bytes> videoPings_;
    std::vector<Bytes> audioPings_;
    std::vector<std::chrono::steady_clock::time_point> videoPingTimes_;
    bool haveClient_ = false;
    std::uint32_t clientAddress_ = 0; // network order
    std::uint16_t clientPort_ = 0;    // network order
    std::chrono::steady_clock::time_point lastPing_{};

    // The current session's streamer: replaced only by the ports' thread (and stop() after it ended), and
    // stopped outside lock_, since its threads take lock_ to send.
    std::unique_ptr<MediaStreamer> streamer_;
    std::uint64_t streamClient_ = 0;  // address << 16 | port of the client it streams to
    bool sessionOpen_ = true;         // whether a ping may start a stream
    std::uint64_t sessionSerial_ = 0; // counts newSession() and endSession(), so a stream they raced is ended
    std::optional<MediaStreamer::Stats> lastStats_;
    std::optional<MediaStreamer::Options> lastOptions_;
    int sessions_ = 0;
};

} // namespace corvane::boxsim
