#pragma once

#include "platform/core/Bytes.hpp"

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

namespace corvane::boxsim {

// The box's control server: ENet on <address>:47999 with one client. Messages from the client are opened
// (AES-128-GCM under the session key, either nonce style, or plain) and recorded; the test or demo sends
// messages, rumble and disconnects through it. Its own sealed messages carry the host's direction byte.
//
// Wire format of a sealed message: 01 00 | u16 length of the rest | u32 sequence number | 16-byte tag |
// ciphertext of (u16 type, u16 payload length, payload). All little-endian.
//
// One thread runs ENet; every public call only queues work or copies the record under a lock.
class ControlServer final {
public:
    enum class NonceStyle { v1, v2 };

    struct Options {
        std::string address;
        std::uint16_t port = 47999;
        std::optional<Bytes> key;           // without a key everything is plain
        NonceStyle style = NonceStyle::v2;  // for sealing, and tried first when opening
        bool silent = false;                // a host that never answers: binds the port and ignores it
    };

    struct Message {
        std::uint16_t type = 0;
        Bytes payload;
        bool sealed = false;
        std::uint32_t seq = 0;
        std::optional<NonceStyle> style; // the style that opened it
        std::chrono::steady_clock::time_point at; // when it arrived
    };

    explicit ControlServer(Options options);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the port and starts the thread; throws corvane::Error when the port cannot be bound.
    void start();
    void stop();

    std::vector<Message> messages() const;
    // Waits until `done` holds for the record (checked at every change) or the time passes.
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done, double seconds) const;
    bool waitConnected(double seconds) const;
    bool waitClientGone(double seconds) const; // the client disconnected (or timed out)
    std::optional<std::uint32_t> connectData() const;
    std::int64_t refused() const; // sealed messages that did not open

    // Sealed with the current style when there is a key, plain otherwise.
    void send(std::uint16_t type, Bytes payload);
    void sendPlain(std::uint16_t type, Bytes payload);
    void sendRaw(Bytes bytes);
    // 0x010B: 4 bytes of zeros, then controller, low and high motor as u16 little-endian.
    void sendRumble(std::uint16_t controller, std::uint16_t low, std::uint16_t high);
    void setStyle(NonceStyle style);
    void disconnect(std::uint32_t data);
    // A frozen server stops servicing ENet: nothing is answered or acknowledged.
    void freeze();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace corvane::boxsim
