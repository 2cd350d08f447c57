#pragma once

#include "engine/session/ControlCrypto.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace corvane::stream {

// The session's reliable two-way message path to the streaming host: ENet as a client with one peer, on its
// own thread "corvane.control", which makes every ENet call, seals and sends queued messages, opens received
// ones and runs both callbacks. Other threads only queue messages (send) and read statistics. The thread
// sleeps until the box sends, a message is queued (which wakes it at once) or ENet's next timer is due.
//
// Lifetime: connect once, close once. Destroying the channel closes it and joins its thread, so no thread
// outlives it. The callbacks run on "corvane.control": an owner that wants to stop or release the channel in
// response must hop to its own thread first. A close() made on the control thread only asks the thread to
// stop (it cannot wait for itself); releasing the channel there lets the thread finish on its own.
class ControlChannel final {
public:
    struct Stats {
        std::int64_t sent = 0;
        std::int64_t received = 0;
        std::map<std::uint16_t, std::int64_t> receivedTypes;
        std::int64_t decryptFailures = 0;
        std::int64_t rttMs = 0;
        std::int64_t rttVarianceMs = 0;
        std::int64_t packetsLost = 0;
        bool operator==(const Stats&) const = default;
    };

    // How the ENet peer watches the box: its ping interval and the limits after which it gives a silent box
    // up (milliseconds, and ENet's count of unanswered round trips). Zero until the thread has set them.
    struct PeerSettings {
        std::uint32_t pingIntervalMs = 0;
        std::uint32_t timeoutLimit = 0;
        std::uint32_t timeoutMinimumMs = 0;
        std::uint32_t timeoutMaximumMs = 0;
        bool operator==(const PeerSettings&) const = default;
    };

    class Error final : public corvane::Error {
    public:
        enum class Kind { setup, connectTimeout };
        static Error setup(const std::string& detail) {
            return Error(Kind::setup, "control channel setup failed: " + detail, detail);
        }
        static Error connectTimeout() { return Error(Kind::connectTimeout, "the box did not accept the control channel", {}); }
        Kind kind;
        std::string detail;

    private:
        Error(Kind kind, std::string description, std::string detail)
            : corvane::Error(std::move(description)), kind(kind), detail(std::move(detail)) {}
    };

    using MessageHandler = std::function<void(std::uint16_t type, const Bytes& payload)>;
    using DisconnectHandler = std::function<void(const std::string& reason)>;

    // `port` must lie in 0...65535: anything else throws Error::setup instead of being truncated. With a
    // key (16 bytes) messages are sealed with `ivStyle`; without one they travel plain.
    ControlChannel(std::string address, std::int64_t port, std::uint32_t connectData, std::optional<Bytes> key,
                   ControlCrypto::IVStyle ivStyle);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Set before connect; called on the control thread, never under the lock.
    MessageHandler onMessage;
    DisconnectHandler onDisconnect;

    const std::string& address() const;
    std::uint16_t port() const;
    std::uint32_t connectData() const;

    // Process-wide ENet initialisation; runs on the first connect and is never undone.
    static void initOnce();

    // Starts the control thread and returns once ENet reports the connection. Throws Error::setup when ENet
    // refuses the host, the address or the connection, and Error::connectTimeout when no connection comes
    // up within `timeoutSeconds`, the host disconnects first, or a stop is requested (through `stop` or
    // close()). On failure the thread has ended before this returns.
    void connect(double timeoutSeconds, std::stop_token stop = {});
    // Queues a message for the control thread and wakes it; any thread. Messages queued before the
    // connection are sent once it is up; after a stop was requested they are dropped.
    void send(std::uint16_t type, Bytes payload);
    Stats stats() const;
    PeerSettings peerSettings() const;
    // Asks the thread to end and waits for it: what was queued before goes out first, then a graceful
    // disconnect, forced after 1 s without reply. Returns at once when never connected or already ended.
    void close();

    // Runs the receive path on bytes as the control thread does (open, count, log, onMessage). For the
    // control thread itself and for tests and fuzzing of a channel that is not connected.
    void handle(ByteView bytes);
    // Makes the next sealed message use `last + 1`, to exercise the end of the sequence space in tests.
    void overrideSequenceForTest(std::uint32_t last);

    struct State;

private:
    std::shared_ptr<State> state_;
    std::mutex joinLock_;
    std::thread thread_;
};

} // namespace corvane::stream
