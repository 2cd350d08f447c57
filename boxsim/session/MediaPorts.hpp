#pragma once

#include "platform/core/Bytes.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvane::boxsim {

// The box's media ports on <address>: UDP 47998 (video) and 48000 (audio). They record the client's pings
// and learn its address from them; video and audio datagrams then go back to that address from the
// matching port, as the box sends them.
class MediaPorts final {
public:
    struct Options {
        std::string address;
        std::uint16_t videoPort = 47998;
        std::uint16_t audioPort = 48000;
    };

    explicit MediaPorts(Options options);
    ~MediaPorts();
    MediaPorts(const MediaPorts&) = delete;
    MediaPorts& operator=(const MediaPorts&) = delete;

    // Binds both ports and starts the receiving thread; throws corvane::Error when a port cannot be bound.
    void start();
    void stop();

    std::vector<Bytes> videoPings() const;
    std::vector<Bytes> audioPings() const;
    bool waitForPings(std::size_t video, std::size_t audio, double seconds) const;
    // The client's address and port as "a.b.c.d:port", once a ping arrived.
    std::optional<std::string> client() const;

    // Send to the client from the video or audio port; false before the client is known or on failure.
    bool sendVideo(ByteView datagram);
    bool sendAudio(ByteView datagram);
    // Sends from another port of the box's address (neither media port), as a stray sender would.
    bool sendFromPort(std::uint16_t port, ByteView datagram);

private:
    bool sendFrom(int fd, ByteView datagram);
    void run();

    Options options_;
    int videoFd_ = -1;
    int audioFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Bytes> videoPings_;
    std::vector<Bytes> audioPings_;
    bool haveClient_ = false;
    std::uint32_t clientAddress_ = 0; // network order
    std::uint16_t clientPort_ = 0;    // network order
};

} // namespace corvane::boxsim
