#pragma once

#include <SDL.h>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvane::test {

// SDL set up for controller tests without a display or sound card; keeps the game-controller subsystem up
// for the object's life, so virtual pads outlive a manager's stop() and start().
class SdlControllers {
public:
    SdlControllers() {
        ::setenv("SDL_VIDEODRIVER", "dummy", 1);
        ::setenv("SDL_AUDIODRIVER", "dummy", 1);
        SDL_SetHint(SDL_HINT_JOYSTICK_HIDAPI, "0");
        if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) throw std::runtime_error(SDL_GetError());
    }
    ~SdlControllers() { SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER); }
    SdlControllers(const SdlControllers&) = delete;
};

// A game controller that exists only inside SDL: a virtual joystick with the vendor and product ids of a real
// family and a mapping that gives every listed button and all six axes. Records the rumble SDL asks of it.
class VirtualPad {
public:
    struct Model {
        std::uint16_t vendor;
        std::uint16_t product;
        const char* name;
        std::uint32_t buttons; // bit (1 << SDL_GameControllerButton) per button it has
    };
    static constexpr std::uint32_t allButtons = (1u << SDL_CONTROLLER_BUTTON_MAX) - 1;
    static constexpr std::uint32_t paddles = (1u << SDL_CONTROLLER_BUTTON_PADDLE1) | (1u << SDL_CONTROLLER_BUTTON_PADDLE2) |
                                             (1u << SDL_CONTROLLER_BUTTON_PADDLE3) | (1u << SDL_CONTROLLER_BUTTON_PADDLE4);
    static constexpr std::uint32_t bit(SDL_GameControllerButton b) { return 1u << b; }
    static constexpr std::uint32_t misc1 = 1u << SDL_CONTROLLER_BUTTON_MISC1, touchpad = 1u << SDL_CONTROLLER_BUTTON_TOUCHPAD;
    static Model xboxElite() { return {0x045E, 0x0B00, "Xbox Elite Controller", allButtons & ~bit(SDL_CONTROLLER_BUTTON_TOUCHPAD)}; }
    static Model xboxPlain() { return {0x045E, 0x02EA, "Xbox One S Controller", allButtons & ~(paddles | misc1 | touchpad)}; }
    static Model dualSense() { return {0x054C, 0x0CE6, "DualSense Wireless Controller", allButtons & ~paddles}; }
    static Model dualShock4() { return {0x054C, 0x09CC, "PS4 Controller", allButtons & ~(paddles | misc1)}; }
    static Model switchPro() { return {0x057E, 0x2009, "Pro Controller", allButtons & ~(paddles | touchpad)}; }
    // No back, guide or stick buttons; an unknown maker.
    static Model arcade() {
        return {0x1234, 0x5678, "Arcade Stick",
                allButtons & ~(paddles | misc1 | touchpad | bit(SDL_CONTROLLER_BUTTON_BACK) | bit(SDL_CONTROLLER_BUTTON_GUIDE) |
                               bit(SDL_CONTROLLER_BUTTON_LEFTSTICK) | bit(SDL_CONTROLLER_BUTTON_RIGHTSTICK))};
    }
    explicit VirtualPad(Model model) {
        SDL_VirtualJoystickDesc desc{};
        desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        desc.naxes = SDL_CONTROLLER_AXIS_MAX;
        desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        desc.vendor_id = model.vendor;
        desc.product_id = model.product;
        desc.button_mask = model.buttons;
        desc.axis_mask = (1u << SDL_CONTROLLER_AXIS_MAX) - 1;
        desc.name = model.name;
        desc.userdata = this;
        desc.Rumble = [](void* self, Uint16 low, Uint16 high) -> int {
            static_cast<VirtualPad*>(self)->rumbled(low, high);
            return 0;
        };
        const int index = SDL_JoystickAttachVirtualEx(&desc);
        if (index < 0) throw std::runtime_error(SDL_GetError());
        id_ = SDL_JoystickGetDeviceInstanceID(index);
        // Our own mapping, so every family (Microsoft's ids have a built-in one with a hat for the d-pad)
        // has button n at joystick button n and the axes in SDL's order.
        char guid[64];
        SDL_JoystickGetGUIDString(SDL_JoystickGetDeviceGUID(index), guid, sizeof guid);
        static const char* names[] = {"a", "b", "x", "y", "back", "guide", "start", "leftstick", "rightstick",
                                      "leftshoulder", "rightshoulder", "dpup", "dpdown", "dpleft", "dpright",
                                      "misc1", "paddle1", "paddle2", "paddle3", "paddle4", "touchpad"};
        std::string mapping = std::string(guid) + "," + model.name;
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            if (model.buttons & (1u << b)) mapping.append(",").append(names[b]).append(":b").append(std::to_string(b));
        mapping += ",leftx:a0,lefty:a1,rightx:a2,righty:a3,lefttrigger:a4,righttrigger:a5,platform:Linux";
        if (SDL_GameControllerAddMapping(mapping.c_str()) < 0) throw std::runtime_error(SDL_GetError());
        joystick_ = SDL_JoystickOpen(index);
        if (!joystick_) throw std::runtime_error(SDL_GetError());
        // Triggers rest at the bottom of their axis.
        axis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, -32768);
        axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, -32768);
    }
    ~VirtualPad() {
        for (int i = 0; i < SDL_NumJoysticks(); ++i)
            if (SDL_JoystickGetDeviceInstanceID(i) == id_) {
                SDL_JoystickDetachVirtual(i);
                break;
            }
        if (joystick_) SDL_JoystickClose(joystick_);
    }
    VirtualPad(const VirtualPad&) = delete;
    SDL_JoystickID id() const { return id_; }
    void press(SDL_GameControllerButton button, bool down = true) {
        SDL_JoystickSetVirtualButton(joystick_, button, down ? SDL_PRESSED : SDL_RELEASED);
    }
    // Raw joystick values: sticks -32768...32767 (Y downward), triggers -32768 (rest) ... 32767 (full).
    void axis(SDL_GameControllerAxis which, std::int16_t value) { SDL_JoystickSetVirtualAxis(joystick_, which, value); }
    std::vector<std::pair<std::uint16_t, std::uint16_t>> rumbles() const {
        std::lock_guard guard(lock_);
        return rumbles_;
    }

private:
    void rumbled(std::uint16_t low, std::uint16_t high) {
        std::lock_guard guard(lock_);
        rumbles_.emplace_back(low, high);
    }
    SDL_JoystickID id_ = -1;
    SDL_Joystick* joystick_ = nullptr;
    mutable std::mutex lock_;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> rumbles_;
};

} // namespace corvane::test
