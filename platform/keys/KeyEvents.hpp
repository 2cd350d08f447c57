#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane::platform {

// X11 key events in the one key vocabulary the rest of the system speaks: Mac virtual key codes (positional,
// ANSI layout) and Mac modifier-flag words, with the left and right modifier keys told apart by their
// device-dependent bits. Keys are identified by the X11 keycode (evdev code + 8, as Qt's nativeScanCode
// gives it); a modifier keysym (as Qt's nativeVirtualKey gives it) decides the modifier, so a keyboard whose
// layout moves Control onto Caps Lock behaves as that layout says.
//
// X11 reports no left/right modifier state, so an object follows the presses and releases it sees. One
// object per keyboard focus owner; not thread-safe (the GUI thread feeds it).
class KeyEvents final {
public:
    // Device-independent modifier flags.
    static constexpr std::uint64_t capsLockFlag = 0x00010000;
    static constexpr std::uint64_t shiftFlag = 0x00020000;
    static constexpr std::uint64_t controlFlag = 0x00040000;
    static constexpr std::uint64_t optionFlag = 0x00080000;
    static constexpr std::uint64_t commandFlag = 0x00100000;
    // Device-dependent bits, one per side.
    static constexpr std::uint64_t leftControlBit = 0x00000001;
    static constexpr std::uint64_t leftShiftBit = 0x00000002;
    static constexpr std::uint64_t rightShiftBit = 0x00000004;
    static constexpr std::uint64_t leftCommandBit = 0x00000008;
    static constexpr std::uint64_t rightCommandBit = 0x00000010;
    static constexpr std::uint64_t leftOptionBit = 0x00000020;
    static constexpr std::uint64_t rightOptionBit = 0x00000040;
    static constexpr std::uint64_t rightControlBit = 0x00002000;

    // Mac key codes of the modifier keys and Caps Lock.
    static constexpr std::uint16_t rightCommandKey = 0x36;
    static constexpr std::uint16_t leftCommandKey = 0x37;
    static constexpr std::uint16_t leftShiftKey = 0x38;
    static constexpr std::uint16_t capsLockKey = 0x39;
    static constexpr std::uint16_t leftOptionKey = 0x3A;
    static constexpr std::uint16_t leftControlKey = 0x3B;
    static constexpr std::uint16_t rightShiftKey = 0x3C;
    static constexpr std::uint16_t rightOptionKey = 0x3D;
    static constexpr std::uint16_t rightControlKey = 0x3E;

    enum class Type { keyDown, keyUp, flagsChanged };

    struct Event {
        Type type = Type::keyDown;
        std::uint16_t keyCode = 0;         // Mac virtual key code
        std::uint64_t modifierFlags = 0;   // after this event: a modifier's own event carries its new state
        std::string charactersIgnoringModifiers; // the key's unshifted character; empty for modifiers
        bool isRepeat = false;
        bool operator==(const Event&) const = default;
    };

    // The Mac key code of a key; none for keys the Mac vocabulary lacks (media keys, ...).
    static std::optional<std::uint16_t> macKeyCode(std::uint32_t x11Keycode, std::uint32_t keysym);
    // The key's character ignoring modifiers, UTF-8: letters lower-cased; with `shifted`, a symbol made by
    // Shift is replaced by the key's character on the US layout; a keysym without a character falls back to
    // that character too (so Command-Q is "q" on any layout); function and navigation keys give the Mac's
    // private-use characters (F1 U+F704, up arrow U+F700, ...).
    static std::string charactersIgnoringModifiers(std::uint32_t x11Keycode, std::uint32_t keysym, bool shifted);
    // The device-independent flags of an X11 modifier state mask (Shift, Lock, Control, Mod1 = Option,
    // Mod4 = Command).
    static std::uint64_t flagsOfX11State(std::uint32_t state);

    // A key press: keyDown for ordinary keys (isRepeat for X11's auto-repeat), flagsChanged for modifiers and
    // Caps Lock (which toggles the lock flag); none for an unknown key or a repeating modifier.
    std::optional<Event> press(std::uint32_t x11Keycode, std::uint32_t keysym, bool autoRepeat = false);
    // A key release: keyUp, or flagsChanged for a modifier; none for an unknown key, an auto-repeat release
    // and Caps Lock (the lock changes on the press only).
    std::optional<Event> release(std::uint32_t x11Keycode, std::uint32_t keysym, bool autoRepeat = false);

    std::uint64_t modifierFlags() const;
    // Brings the followed state in line with the X server's (an event's state mask, before that event): a
    // modifier the server says is up is forgotten on both sides, one it says is down but that this object
    // missed counts as the left key; the lock follows the server.
    void syncWithX11State(std::uint32_t state);
    void setCapsLock(bool on);
    // Forgets every held modifier, e.g. when focus went elsewhere and the releases will not come here.
    void reset();

private:
    std::uint64_t held_ = 0; // device-dependent bits of the held modifier keys
    bool capsLock_ = false;
};

} // namespace corvane::platform
