#include "platform/gamepad/GamepadManager.hpp"

#include <SDL.h>

#include <chrono>
#include <utility>

#include <pthread.h>

namespace corvane::platform {

namespace {

// SDL reads controllers, and notices arrivals, only when pumped; it offers nothing to block on (its own
// SDL_WaitEventTimeout pumps every millisecond without a video subsystem). So: pump often while a
// controller is there, and only now and then for an arrival while none is.
constexpr auto pollInterval = std::chrono::milliseconds(2);
constexpr auto idleInterval = std::chrono::milliseconds(100);
constexpr int eventBatch = 64;

GamepadManager::Type typeOf(SDL_GameControllerType type) {
    using Type = GamepadManager::Type;
    switch (type) {
    case SDL_CONTROLLER_TYPE_UNKNOWN: return Type::unknown;
    case SDL_CONTROLLER_TYPE_XBOX360: return Type::xbox360;
    case SDL_CONTROLLER_TYPE_XBOXONE: return Type::xboxOne;
    case SDL_CONTROLLER_TYPE_PS3: return Type::ps3;
    case SDL_CONTROLLER_TYPE_PS4: return Type::ps4;
    case SDL_CONTROLLER_TYPE_PS5: return Type::ps5;
    case SDL_CONTROLLER_TYPE_NINTENDO_SWITCH_PRO: return Type::switchPro;
    case SDL_CONTROLLER_TYPE_NINTENDO_SWITCH_JOYCON_LEFT: return Type::joyConLeft;
    case SDL_CONTROLLER_TYPE_NINTENDO_SWITCH_JOYCON_RIGHT: return Type::joyConRight;
    case SDL_CONTROLLER_TYPE_NINTENDO_SWITCH_JOYCON_PAIR: return Type::joyConPair;
    default: return Type::other;
    }
}

const char* categoryOf(GamepadManager::Type type) {
    using Type = GamepadManager::Type;
    switch (type) {
    case Type::xbox360: return "Xbox 360";
    case Type::xboxOne: return "Xbox One";
    case Type::ps3: return "DualShock 3";
    case Type::ps4: return "DualShock 4";
    case Type::ps5: return "DualSense";
    case Type::switchPro: return "Nintendo Switch Pro Controller";
    case Type::joyConLeft: return "Nintendo Switch Joy-Con (L)";
    case Type::joyConRight: return "Nintendo Switch Joy-Con (R)";
    case Type::joyConPair: return "Nintendo Switch Joy-Con (L/R)";
    case Type::unknown:
    case Type::other: break;
    }
    return "Gamepad";
}

std::uint32_t bit(int button) { return 1u << static_cast<unsigned>(button); }

GamepadManager::State stateOf(SDL_GameController* controller) {
    GamepadManager::State state;
    for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
        if (SDL_GameControllerGetButton(controller, static_cast<SDL_GameControllerButton>(b))) state.buttons |= bit(b);
    for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
        state.axes[static_cast<std::size_t>(a)] = SDL_GameControllerGetAxis(controller, static_cast<SDL_GameControllerAxis>(a));
    return state;
}

} // namespace

GamepadManager::GamepadManager() = default;

GamepadManager::~GamepadManager() { stop(); }

bool GamepadManager::running() const {
    std::lock_guard guard(sdlLock_);
    return running_;
}

void GamepadManager::start(Delivery delivery) {
    std::lock_guard owner(ownerLock_);
    {
        std::lock_guard pump(pumpLock_);
        {
            std::lock_guard sdl(sdlLock_);
            if (running_) return;
            // Each listener says whether it hears changes in the background; SDL keeps them all.
            SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
            // SIGINT and SIGTERM belong to the app; SDL would turn them into quit events nobody reads.
            SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
            if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0)
                throw Error(std::string("game controllers are unavailable: ") + SDL_GetError());
            running_ = true;
            // Events left from an earlier run name devices of that run; the list below is the truth now.
            SDL_PumpEvents();
            SDL_FlushEvents(SDL_JOYAXISMOTION, SDL_CONTROLLERSENSORUPDATE);
            pending_.clear();
            infos_.clear();
            for (int index = 0; index < SDL_NumJoysticks(); ++index) open(index);
        }
        deliver();
    }
    if (delivery == Delivery::ownThread) thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void GamepadManager::setApplicationActive(bool active) { active_ = active; }

void GamepadManager::stop() {
    std::lock_guard owner(ownerLock_);
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
    }
    std::lock_guard pump(pumpLock_);
    std::lock_guard sdl(sdlLock_);
    if (!running_) return;
    for (auto& [id, open] : open_) {
        SDL_GameControllerRumble(open.controller, 0, 0, 0);
        SDL_GameControllerClose(open.controller);
    }
    open_.clear();
    pending_.clear();
    infos_.clear();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    running_ = false;
}

void GamepadManager::pump() {
    std::lock_guard pump(pumpLock_);
    {
        std::lock_guard sdl(sdlLock_);
        if (!running_) return;
        collect();
    }
    deliver();
}

bool GamepadManager::rumble(Id id, std::uint16_t low, std::uint16_t high, std::uint32_t durationMs) {
    std::lock_guard sdl(sdlLock_);
    const auto it = open_.find(id);
    if (it == open_.end()) return false;
    return SDL_GameControllerRumble(it->second.controller, low, high, durationMs) == 0;
}

void GamepadManager::run(std::stop_token stop) {
    pthread_setname_np(pthread_self(), "corvane.gamepad");
    while (!stop.stop_requested()) {
        pump();
        bool idle;
        {
            std::lock_guard sdl(sdlLock_);
            idle = open_.empty();
        }
        std::unique_lock lock(waitLock_);
        wake_.wait_for(lock, stop, idle ? idleInterval : pollInterval, [] { return false; });
    }
}

void GamepadManager::open(int deviceIndex) {
    if (!SDL_IsGameController(deviceIndex)) return;
    const Id id = SDL_JoystickGetDeviceInstanceID(deviceIndex);
    if (id < 0 || open_.contains(id)) return;
    SDL_GameController* controller = SDL_GameControllerOpen(deviceIndex);
    if (!controller) return;
    SDL_Joystick* joystick = SDL_GameControllerGetJoystick(controller);

    Info info;
    info.id = id;
    if (const char* name = SDL_GameControllerName(controller)) info.name = name;
    info.vendor = SDL_GameControllerGetVendor(controller);
    info.product = SDL_GameControllerGetProduct(controller);
    info.type = typeOf(SDL_GameControllerGetType(controller));
    info.productCategory = categoryOf(info.type);
    info.rumble = SDL_GameControllerHasRumble(controller);
    info.accelerometer = SDL_GameControllerHasSensor(controller, SDL_SENSOR_ACCEL);
    info.gyro = SDL_GameControllerHasSensor(controller, SDL_SENSOR_GYRO);
    const SDL_JoystickPowerLevel power = SDL_JoystickCurrentPowerLevel(joystick);
    info.battery = power != SDL_JOYSTICK_POWER_UNKNOWN && power != SDL_JOYSTICK_POWER_WIRED;
    info.touchpads = SDL_GameControllerGetNumTouchpads(controller);
    for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
        if (SDL_GameControllerHasButton(controller, static_cast<SDL_GameControllerButton>(b))) info.buttons |= bit(b);

    Open entry{controller, stateOf(controller), info};
    pending_.push_back({Delivered::Kind::added, id, entry.state, infos_.size()});
    infos_.push_back(std::move(info));
    open_.emplace(id, std::move(entry));
}

void GamepadManager::collect() {
    SDL_PumpEvents();
    events_.clear();
    SDL_Event batch[eventBatch];
    for (;;) {
        const int count = SDL_PeepEvents(batch, eventBatch, SDL_GETEVENT, SDL_JOYAXISMOTION, SDL_CONTROLLERSENSORUPDATE);
        if (count <= 0) break;
        events_.insert(events_.end(), batch, batch + count);
    }
    // A controller that goes is first recentred by SDL (sticks to 0, triggers to half way, buttons up); those
    // changes are not the player's and would reach the box as a half-pressed trigger, so a controller removed
    // in this pump reports nothing before its removal.
    const auto removedLater = [&](std::size_t from, Id id) {
        for (std::size_t j = from; j < events_.size(); ++j)
            if (events_[j].type == SDL_CONTROLLERDEVICEREMOVED && events_[j].cdevice.which == id) return true;
        return false;
    };
    // Arrivals are found by looking at every device once the pump's events are through: an arrival names a
    // device index of its moment, and SDL drops a controller's arrival when an earlier device leaves before
    // the pump.
    bool rescan = false;
    for (std::size_t i = 0; i < events_.size(); ++i) {
        const SDL_Event& event = events_[i];
        switch (event.type) {
        case SDL_JOYDEVICEADDED:
        case SDL_CONTROLLERDEVICEADDED:
        case SDL_JOYDEVICEREMOVED: rescan = true; break;
        case SDL_CONTROLLERDEVICEREMOVED: {
            rescan = true;
            const auto it = open_.find(event.cdevice.which);
            if (it == open_.end()) break;
            SDL_GameControllerClose(it->second.controller);
            open_.erase(it);
            pending_.push_back({Delivered::Kind::removed, event.cdevice.which, {}, 0});
            break;
        }
        case SDL_CONTROLLERBUTTONDOWN:
        case SDL_CONTROLLERBUTTONUP: {
            const auto it = open_.find(event.cbutton.which);
            if (it == open_.end() || event.cbutton.button >= SDL_CONTROLLER_BUTTON_MAX) break;
            if (removedLater(i + 1, it->first)) break;
            State& state = it->second.state;
            const std::uint32_t mask = bit(event.cbutton.button);
            const std::uint32_t buttons = event.cbutton.state == SDL_PRESSED ? state.buttons | mask : state.buttons & ~mask;
            if (buttons == state.buttons) break;
            state.buttons = buttons;
            pending_.push_back({Delivered::Kind::changed, it->first, state, 0});
            break;
        }
        case SDL_CONTROLLERAXISMOTION: {
            const auto it = open_.find(event.caxis.which);
            if (it == open_.end() || event.caxis.axis >= SDL_CONTROLLER_AXIS_MAX) break;
            if (removedLater(i + 1, it->first)) break;
            State& state = it->second.state;
            std::int16_t& value = state.axes[event.caxis.axis];
            if (value == event.caxis.value) break;
            value = event.caxis.value;
            pending_.push_back({Delivered::Kind::changed, it->first, state, 0});
            break;
        }
        default: break; // raw joystick events, remaps, touchpads and sensors: not used
        }
    }
    if (rescan)
        for (int index = 0; index < SDL_NumJoysticks(); ++index) open(index);
}

void GamepadManager::deliver() {
    const bool active = active_;
    for (const Delivered& d : pending_) {
        for (const auto& [key, listener] : listeners_) {
            switch (d.kind) {
            case Delivered::Kind::added:
                if (listener.onAdded) listener.onAdded(infos_[d.info], d.state);
                break;
            case Delivered::Kind::changed:
                if (listener.onChanged && (active || listener.background)) listener.onChanged(d.id, d.state);
                break;
            case Delivered::Kind::removed:
                if (listener.onRemoved) listener.onRemoved(d.id);
                break;
            }
        }
    }
    pending_.clear();
    infos_.clear();
}

GamepadManager::Listening GamepadManager::listen(Listener listener) {
    std::lock_guard pump(pumpLock_);
    std::vector<std::pair<Info, State>> attached;
    {
        std::lock_guard sdl(sdlLock_);
        if (running_) {
            collect();
            for (const auto& [id, open] : open_) attached.emplace_back(open.info, open.state);
        }
    }
    // What happened before this listener came goes to the others only; it hears the outcome below.
    deliver();
    if (listener.onAdded)
        for (const auto& [info, state] : attached) listener.onAdded(info, state);
    const std::uint64_t key = nextKey_++;
    listeners_.emplace_back(key, std::move(listener));
    return Listening(this, key);
}

void GamepadManager::unlisten(std::uint64_t key) {
    std::lock_guard pump(pumpLock_);
    std::erase_if(listeners_, [key](const auto& entry) { return entry.first == key; });
}

GamepadManager::Listening& GamepadManager::Listening::operator=(Listening&& other) noexcept {
    if (this == &other) return *this;
    reset();
    manager_ = std::exchange(other.manager_, nullptr);
    key_ = other.key_;
    return *this;
}

void GamepadManager::Listening::reset() {
    if (auto* manager = std::exchange(manager_, nullptr)) manager->unlisten(key_);
}

} // namespace corvane::platform
