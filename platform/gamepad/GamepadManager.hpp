#pragma once

#include "platform/core/Error.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _SDL_GameController;
union SDL_Event;

namespace corvane::platform {

// The game controllers attached to this machine, through SDL2's game-controller layer: arrival, removal,
// every button and axis change, what each controller offers, and rumble on its two motors. Only devices SDL
// knows as game controllers (those with a mapping) appear; other joysticks are left alone.
//
// SDL has one event queue per process, so the whole app runs one manager and everyone who cares about
// controllers listens to it: listen() returns a Listening handle; while it lives the listener hears every
// arrival, change and removal. A listener added while the manager runs is first told of the controllers
// attached then, with their state, on the listening thread; controllers attached at start() are reported to
// every listener from start() itself.
//
// Events are delivered either on the manager's own thread "corvane.gamepad" (Delivery::ownThread, polling
// SDL every couple of milliseconds while a controller is attached, every 100 ms for an arrival while none
// is) or on whatever thread calls pump() (Delivery::pump). Callbacks never run under the manager's SDL lock,
// so they may call rumble(); they must not call start(), stop() or listen(), nor end a Listening. rumble()
// may be called from any thread.
//
// start() and stop() come from one owning thread; after stop() returns no callback runs any more, and once
// a Listening is gone its listener hears nothing more. The manager outlives every Listening.
class GamepadManager final {
public:
    using Id = std::int32_t; // SDL's instance id: one per attachment, never reused in a run

    // SDL's button order.
    enum class Button : std::uint8_t {
        a, b, x, y, back, guide, start, leftStick, rightStick, leftShoulder, rightShoulder,
        dpadUp, dpadDown, dpadLeft, dpadRight, misc1, paddle1, paddle2, paddle3, paddle4, touchpad, count
    };
    enum class Axis : std::uint8_t { leftX, leftY, rightX, rightY, leftTrigger, rightTrigger, count };
    enum class Type {
        unknown, xbox360, xboxOne, ps3, ps4, ps5, switchPro, joyConLeft, joyConRight, joyConPair, other
    };
    enum class Delivery { ownThread, pump };

    class Error final : public corvane::Error {
    public:
        explicit Error(std::string description) : corvane::Error(std::move(description)) {}
    };

    struct Info {
        Id id = 0;
        std::string name;            // SDL's name for the controller, "" when it has none
        std::string productCategory; // "Xbox One", "DualSense", "Nintendo Switch Pro Controller", ..., "Gamepad"
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
        Type type = Type::unknown;
        bool rumble = false;
        bool accelerometer = false;
        bool gyro = false;
        bool battery = false;        // it reports a battery level
        int touchpads = 0;
        std::uint32_t buttons = 0;   // bit (1 << Button) for each button it has
        bool has(Button button) const { return buttons & (1u << static_cast<unsigned>(button)); }
        bool operator==(const Info&) const = default;
    };

    // Raw SDL values: sticks -32768...32767 with Y growing downward, triggers 0...32767.
    struct State {
        std::uint32_t buttons = 0; // bit (1 << Button) for each pressed button
        std::array<std::int16_t, static_cast<std::size_t>(Axis::count)> axes{};
        bool pressed(Button button) const { return buttons & (1u << static_cast<unsigned>(button)); }
        std::int16_t axis(Axis which) const { return axes[static_cast<std::size_t>(which)]; }
        bool operator==(const State&) const = default;
    };

    struct Listener {
        std::function<void(const Info&, const State&)> onAdded;
        // One call per change of one button or axis, with the whole state after it.
        std::function<void(Id, const State&)> onChanged;
        std::function<void(Id)> onRemoved;
        // Also hear changes while the application is not the active one.
        bool background = false;
    };

    // A listener's registration; ending it (destruction or assignment) waits for a delivery under way.
    class Listening {
    public:
        Listening() = default;
        Listening(Listening&& other) noexcept { *this = std::move(other); }
        Listening& operator=(Listening&& other) noexcept;
        ~Listening() { reset(); }
        void reset();

    private:
        friend class GamepadManager;
        Listening(GamepadManager* manager, std::uint64_t key) : manager_(manager), key_(key) {}
        GamepadManager* manager_ = nullptr;
        std::uint64_t key_ = 0;
    };

    GamepadManager();
    ~GamepadManager();
    GamepadManager(const GamepadManager&) = delete;
    GamepadManager& operator=(const GamepadManager&) = delete;

    // Brings up SDL's game-controller subsystem, reports the controllers already attached to every listener
    // and, with Delivery::ownThread, starts the event thread. Throws Error when SDL cannot start. A second
    // start() while running does nothing.
    void start(Delivery delivery = Delivery::ownThread);
    [[nodiscard]] Listening listen(Listener listener);
    // Handles every pending controller event now, on this thread. For Delivery::pump; harmless otherwise.
    void pump();
    // Stops the event thread, silences and closes every controller and leaves the subsystem. Safe always.
    void stop();
    bool running() const;

    // Whether the application is the active one (true until told otherwise). SDL sees no window of ours, so
    // it cannot tell: a listener without `background` hears no change made while the application is inactive
    // (the state still follows them, so the next reported change carries the truth). Any thread.
    void setApplicationActive(bool active);

    // Runs both motors (0...65535 each) for `durationMs`, or stops them with 0 and 0. False when the
    // controller is unknown or refuses.
    bool rumble(Id id, std::uint16_t low, std::uint16_t high, std::uint32_t durationMs);

private:
    struct Delivered {
        enum class Kind { added, changed, removed } kind;
        Id id;
        State state;
        std::size_t info; // index into infos_ for `added`
    };
    struct Open {
        _SDL_GameController* controller = nullptr;
        State state;
        Info info;
    };

    // Under sdlLock_: turns SDL's pending events into deliveries.
    void collect();
    void open(int deviceIndex);
    void deliver();
    void run(std::stop_token stop);
    void unlisten(std::uint64_t key);

    std::mutex ownerLock_; // start and stop
    std::mutex pumpLock_;  // one pump at a time; held while delivering, and for listeners_
    mutable std::mutex sdlLock_; // every SDL call, and open_
    bool running_ = false;
    std::vector<std::pair<std::uint64_t, Listener>> listeners_;
    std::uint64_t nextKey_ = 1;
    std::atomic<bool> active_{true};
    std::map<Id, Open> open_;
    std::vector<Delivered> pending_; // reused between pumps
    std::vector<SDL_Event> events_;  // reused between pumps
    std::vector<Info> infos_;
    std::mutex waitLock_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

} // namespace corvane::platform
