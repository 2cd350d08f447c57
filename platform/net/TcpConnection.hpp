#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

namespace corvane::platform {

// One outgoing TCP connection over POSIX sockets. Every wait polls in short slices and ends early when the
// caller's stop token is triggered or cancel() is called from another thread. One thread drives connect,
// send and receive; cancel() may come from any thread. The socket closes with the object.
class TcpConnection final {
public:
    // A failure of the connection. what() is the system's text for the error ("Connection refused").
    class Error final : public corvane::Error {
    public:
        enum class Kind { failed, timedOut, cancelled };
        Error(Kind kind, int code, std::string description);
        Kind kind;
        int code;  // errno value behind the failure
    };

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Resolves `host` (a name or a numeric address) and connects to the first address that answers.
    // `timeoutSeconds` absent waits until the stop token or cancel() ends the wait.
    void connect(const std::string& host, std::uint16_t port, std::optional<double> timeoutSeconds,
                 std::stop_token stop);

    // Sends every byte of `data`.
    void send(ByteView data, std::stop_token stop);

    // Waits for at least 1 and at most `maxBytes` bytes; an empty result means the peer closed its side.
    Bytes receive(std::size_t maxBytes, std::stop_token stop);

    // Ends every wait of this connection at once; later calls fail as cancelled. Thread-safe.
    void cancel();

    bool isConnected() const { return fd_ >= 0 && connected_; }

private:
    // Waits until the socket is ready for `events` (POLLIN/POLLOUT), the deadline passes (false) or the
    // wait is stopped (throws cancelled).
    bool waitFor(short events, std::optional<double> timeoutSeconds, std::stop_token& stop);
    void close();

    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> cancelled_{false};
};

} // namespace corvane::platform
