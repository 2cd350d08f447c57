#pragma once

#include "engine/input/GamepadPacket.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/gamepad/GamepadManager.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane::stream {

// Makes the game controllers attached here appear on the box: each gets a numbered slot from 0 to 15, is
// announced with an arrival packet, sends a whole state packet on every change of any control and a neutral
// state when it goes; rumble from the box is played on its two motors.
//
// Several controllers can share a slot (every controller takes slot 0 without `multiController`; a
// seventeenth takes slot 15). The slot stays occupied, in the active mask and able to rumble until the last
// of them leaves; only then is it freed, neutralised and silenced. Rumble for a shared slot drives every
// controller in it.
//
// The controllers come from a GamepadManager: the app's one, shared with whoever else lists controllers, or
// one of its own that runs between start() and stop().
//
// Threads: the controllers' events arrive on the manager's thread "corvane.gamepad" (or the thread calling
// pump() with Delivery::pump); rumble() comes from any thread (the session's "corvane.control"). One lock
// guards the tables and is held while `send` runs, so `send` must not call back into this object. Set
// `send`, `multiController` and `swapButtons` before start(); call start() and stop() from the owner's thread,
// never from `send`.
class Gamepads final {
public:
    // The packet's bytes, valid during the call. Building them allocates nothing.
    using Send = std::function<void(ByteView packet)>;

    static constexpr int slotCount = 16;
    // How long one rumble request runs unless the box sends another for the slot first.
    static constexpr std::uint32_t rumbleMs = 30000;

    Send send;
    bool multiController = true;
    bool swapButtons = false;

    // With a manager of its own.
    explicit Gamepads(platform::GamepadManager::Delivery delivery = platform::GamepadManager::Delivery::ownThread);
    // Listening to `shared`, which its owner runs and which outlives this object.
    explicit Gamepads(platform::GamepadManager& shared);
    ~Gamepads();
    Gamepads(const Gamepads&) = delete;
    Gamepads& operator=(const Gamepads&) = delete;

    // Watches the controllers (`background`: also while the application is not active) and announces those
    // already attached. A failure to reach the controllers is logged; the stream goes on without them.
    void start(bool background);
    // Stops watching, silences its controllers and sends a neutral state with mask 0 for every occupied
    // slot. start() may follow for the next stream.
    void stop();
    // With Delivery::pump: handles the controllers' pending events on this thread.
    void pump();
    // The owner tells whether the application is active; without `background` an inactive application sends
    // no controller changes. Any thread.
    void setApplicationActive(bool active);

    // The box's rumble for a slot: both motors as asked for 30 s; a strength of at most 1 % stops them.
    // Slots outside 0...15 and empty slots are ignored.
    void rumble(std::int64_t index, std::uint16_t low, std::uint16_t high);

    // The active mask: bit n for every occupied slot n.
    std::uint16_t activeMask() const;

    // Value conversions of the state packet: a trigger (0...32767) to 0...255, truncated; a stick axis to
    // -32767...32767, negated for the Y axes (SDL's Y grows downward, the box's upward).
    static std::uint8_t triggerValue(std::int16_t raw);
    static std::int16_t stickValue(std::int16_t raw, bool invert);

private:
    struct Pad {
        int slot = 0;
        bool playstation = false; // a DualShock 4 or DualSense, with its touchpad button
        bool xbox = false;        // an Xbox pad, with paddles and share button when present
    };

    void connect(const platform::GamepadManager::Info& info, const platform::GamepadManager::State& state);
    void disconnect(platform::GamepadManager::Id id);
    void sendState(int slot, const Pad& pad, const platform::GamepadManager::State& state);
    void sendNeutral(int slot, std::uint16_t mask);
    void emit(const PacketBuffer& packet);
    std::uint16_t activeMaskLocked() const;

    std::unique_ptr<platform::GamepadManager> own_;
    platform::GamepadManager& manager_;
    platform::GamepadManager::Delivery delivery_;
    platform::GamepadManager::Listening listening_;

    mutable std::mutex lock_;
    std::map<platform::GamepadManager::Id, Pad> slots_;
    std::array<std::vector<platform::GamepadManager::Id>, slotCount> controllers_; // in order of arrival
};

} // namespace corvane::stream
