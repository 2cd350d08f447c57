#include "engine/input/Gamepads.hpp"

#include "engine/EngineLog.hpp"
#include "engine/input/GamepadKind.hpp"

#include <algorithm>
#include <string>

namespace corvane::stream {

namespace {

using Manager = platform::GamepadManager;
using GamepadPacket::Buttons;
using GamepadPacket::Capabilities;

// Buttons every controller announces: the d-pad, start, both shoulders and the four face buttons.
constexpr Buttons baseButtons = Buttons::of(0x0000F31F);
constexpr Buttons allPaddles = Buttons::of(0x000F0000);

} // namespace

Gamepads::Gamepads(Manager::Delivery delivery)
    : own_(std::make_unique<Manager>()), manager_(*own_), delivery_(delivery) {}

Gamepads::Gamepads(Manager& shared) : manager_(shared), delivery_(Manager::Delivery::ownThread) {}

// Listening ends first, so no controller event reaches a half-destroyed object.
Gamepads::~Gamepads() {
    listening_.reset();
    if (own_) own_->stop();
}

void Gamepads::start(bool background) {
    if (own_) {
        try {
            own_->start(delivery_);
        } catch (const Manager::Error& error) {
            EngineLog::write(error.what());
        }
    }
    Manager::Listener listener;
    listener.onAdded = [this](const Manager::Info& info, const Manager::State& state) { connect(info, state); };
    listener.onRemoved = [this](Manager::Id id) { disconnect(id); };
    listener.onChanged = [this](Manager::Id id, const Manager::State& state) {
        std::lock_guard guard(lock_);
        const auto it = slots_.find(id);
        if (it != slots_.end()) sendState(it->second.slot, it->second, state);
    };
    listener.background = background;
    listening_ = manager_.listen(std::move(listener));
}

void Gamepads::pump() { manager_.pump(); }

void Gamepads::setApplicationActive(bool active) { manager_.setApplicationActive(active); }

void Gamepads::stop() {
    // Not under the lock: a delivery under way may be waiting for it while listening ends.
    listening_.reset();
    {
        std::lock_guard guard(lock_);
        std::vector<int> occupied;
        for (int slot = 0; slot < slotCount; ++slot)
            if (!controllers_[static_cast<std::size_t>(slot)].empty()) occupied.push_back(slot);
        // A shared manager keeps the controllers open: their motors stop here.
        for (const auto& [id, pad] : slots_) manager_.rumble(id, 0, 0, 0);
        for (auto& list : controllers_) list.clear();
        slots_.clear();
        for (int slot : occupied) sendNeutral(slot, 0);
    }
    if (own_) own_->stop();
}

void Gamepads::rumble(std::int64_t index, std::uint16_t low, std::uint16_t high) {
    // The slot number comes from the box: anything outside the table is ignored.
    if (index < 0 || index >= slotCount) return;
    const auto slot = static_cast<std::size_t>(index);
    std::lock_guard guard(lock_);
    const auto& pads = controllers_[slot];
    if (pads.empty()) return;
    const float intensity = static_cast<float>(std::max(low, high)) / 65535.0f;
    const bool play = intensity > 0.01f;
    for (Manager::Id id : pads) {
        if (play)
            manager_.rumble(id, low, high, rumbleMs);
        else
            manager_.rumble(id, 0, 0, 0);
    }
}

std::uint16_t Gamepads::activeMask() const {
    std::lock_guard guard(lock_);
    return activeMaskLocked();
}

std::uint16_t Gamepads::activeMaskLocked() const {
    std::uint16_t mask = 0;
    for (int slot = 0; slot < slotCount; ++slot)
        if (!controllers_[static_cast<std::size_t>(slot)].empty()) mask = static_cast<std::uint16_t>(mask | (1u << slot));
    return mask;
}

std::uint8_t Gamepads::triggerValue(std::int16_t raw) {
    const int value = std::clamp<int>(raw, 0, 32767);
    return static_cast<std::uint8_t>(value * 255 / 32767);
}

std::int16_t Gamepads::stickValue(std::int16_t raw, bool invert) {
    const int value = invert ? -static_cast<int>(raw) : raw;
    return static_cast<std::int16_t>(std::clamp(value, -32767, 32767));
}

void Gamepads::connect(const Manager::Info& info, const Manager::State& state) {
    using Type = Manager::Type;
    using Button = Manager::Button;
    std::lock_guard guard(lock_);
    if (slots_.contains(info.id)) return;

    int slot = 0;
    if (multiController) {
        slot = slotCount - 1;
        for (int n = 0; n < slotCount; ++n) {
            if (controllers_[static_cast<std::size_t>(n)].empty()) {
                slot = n;
                break;
            }
        }
    }
    Pad pad;
    pad.slot = slot;
    pad.playstation = info.type == Type::ps4 || info.type == Type::ps5;
    pad.xbox = info.type == Type::xbox360 || info.type == Type::xboxOne;
    slots_[info.id] = pad;
    controllers_[static_cast<std::size_t>(slot)].push_back(info.id);

    const GamepadPacket::Kind kind = GamepadKind::of(info);
    Capabilities capabilities = Capabilities::analogTriggers;
    if (info.rumble) capabilities.insert(Capabilities::rumble);
    if (pad.playstation) capabilities.insert(Capabilities::touchpad);
    if (info.accelerometer || info.gyro) capabilities.insert(Capabilities::accelerometer | Capabilities::gyro);
    if (info.battery) capabilities.insert(Capabilities::battery);

    Buttons supported = baseButtons;
    if (info.has(Button::leftStick)) supported.insert(Buttons::leftStick);
    if (info.has(Button::rightStick)) supported.insert(Buttons::rightStick);
    if (info.has(Button::back)) supported.insert(Buttons::back);
    if (info.has(Button::guide)) supported.insert(Buttons::guide);
    if (pad.playstation) supported.insert(Buttons::touchpad);
    if (pad.xbox && info.has(Button::paddle1)) supported.insert(allPaddles);
    if (pad.xbox && info.has(Button::misc1)) supported.insert(Buttons::misc);

    emit(GamepadPacket::fixed::arrival(slot, kind, capabilities, supported));
    EngineLog::write("controller " + std::to_string(slot + 1) + ": " + (info.name.empty() ? "?" : info.name) + " (" +
                     info.productCategory + "), as " + std::string(GamepadPacket::toString(kind)));
    // The box gets the current state right after the arrival.
    sendState(slot, pad, state);
}

void Gamepads::disconnect(Manager::Id id) {
    std::lock_guard guard(lock_);
    const auto it = slots_.find(id);
    if (it == slots_.end()) return;
    const int slot = it->second.slot;
    slots_.erase(it);
    auto& pads = controllers_[static_cast<std::size_t>(slot)];
    pads.erase(std::remove(pads.begin(), pads.end(), id), pads.end());
    EngineLog::write("controller " + std::to_string(slot + 1) + " disconnected");
    // Another controller still plays in this slot: it keeps the slot, its rumble and its state. (The one
    // that left is closed by SDL, which stops its motors.)
    if (!pads.empty()) return;
    sendNeutral(slot, activeMaskLocked());
}

void Gamepads::sendState(int slot, const Pad& pad, const Manager::State& state) {
    using Button = Manager::Button;
    using Axis = Manager::Axis;
    Buttons buttons;
    const auto map = [&](Button button, Buttons bit) {
        if (state.pressed(button)) buttons.insert(bit);
    };
    map(Button::a, swapButtons ? Buttons::b : Buttons::a);
    map(Button::b, swapButtons ? Buttons::a : Buttons::b);
    map(Button::x, swapButtons ? Buttons::y : Buttons::x);
    map(Button::y, swapButtons ? Buttons::x : Buttons::y);
    map(Button::dpadUp, Buttons::dpadUp);
    map(Button::dpadDown, Buttons::dpadDown);
    map(Button::dpadLeft, Buttons::dpadLeft);
    map(Button::dpadRight, Buttons::dpadRight);
    map(Button::leftShoulder, Buttons::leftShoulder);
    map(Button::rightShoulder, Buttons::rightShoulder);
    map(Button::leftStick, Buttons::leftStick);
    map(Button::rightStick, Buttons::rightStick);
    map(Button::start, Buttons::start);
    map(Button::back, Buttons::back);
    map(Button::guide, Buttons::guide);
    if (pad.playstation) map(Button::touchpad, Buttons::touchpad);
    if (pad.xbox) {
        map(Button::paddle1, Buttons::paddle1);
        map(Button::paddle2, Buttons::paddle2);
        map(Button::paddle3, Buttons::paddle3);
        map(Button::paddle4, Buttons::paddle4);
        map(Button::misc1, Buttons::misc);
    }
    if (!send) return;
    emit(GamepadPacket::fixed::state(slot, activeMaskLocked(), buttons, triggerValue(state.axis(Axis::leftTrigger)),
                                     triggerValue(state.axis(Axis::rightTrigger)),
                                     stickValue(state.axis(Axis::leftX), false), stickValue(state.axis(Axis::leftY), true),
                                     stickValue(state.axis(Axis::rightX), false),
                                     stickValue(state.axis(Axis::rightY), true)));
}

void Gamepads::sendNeutral(int slot, std::uint16_t mask) {
    emit(GamepadPacket::fixed::state(slot, mask, {}, 0, 0, 0, 0, 0, 0));
}

void Gamepads::emit(const PacketBuffer& packet) {
    if (send) send(packet.view());
}

} // namespace corvane::stream
