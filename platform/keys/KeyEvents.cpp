#include "platform/keys/KeyEvents.hpp"

#include <array>

namespace corvane::platform {

namespace {

constexpr std::uint32_t evdevOffset = 8;
constexpr std::uint16_t none = 0xFFFF;

struct KeyEntry {
    std::uint16_t evdev;
    std::uint16_t mac;
    char us;        // the key's unshifted character on the US layout, 0 for none
};

// Positional keys: the Mac key at the same place on the keyboard. PC keys without a Mac twin take the key a
// Mac gives them (Print Screen, Scroll Lock and Pause are F13 to F15; Num Lock is the keypad's Clear; the
// Japanese conversion keys are Eisu and Kana; Menu is 0x6E).
constexpr KeyEntry keys[] = {
    {1, 0x35, 0},    {2, 0x12, '1'},  {3, 0x13, '2'},  {4, 0x14, '3'},  {5, 0x15, '4'},  {6, 0x17, '5'},
    {7, 0x16, '6'},  {8, 0x1A, '7'},  {9, 0x1C, '8'},  {10, 0x19, '9'}, {11, 0x1D, '0'}, {12, 0x1B, '-'},
    {13, 0x18, '='}, {14, 0x33, 0},   {15, 0x30, 0},   {16, 0x0C, 'q'}, {17, 0x0D, 'w'}, {18, 0x0E, 'e'},
    {19, 0x0F, 'r'}, {20, 0x11, 't'}, {21, 0x10, 'y'}, {22, 0x20, 'u'}, {23, 0x22, 'i'}, {24, 0x1F, 'o'},
    {25, 0x23, 'p'}, {26, 0x21, '['}, {27, 0x1E, ']'}, {28, 0x24, 0},   {29, 0x3B, 0},   {30, 0x00, 'a'},
    {31, 0x01, 's'}, {32, 0x02, 'd'}, {33, 0x03, 'f'}, {34, 0x05, 'g'}, {35, 0x04, 'h'}, {36, 0x26, 'j'},
    {37, 0x28, 'k'}, {38, 0x25, 'l'}, {39, 0x29, ';'}, {40, 0x27, '\''}, {41, 0x32, '`'}, {42, 0x38, 0},
    {43, 0x2A, '\\'}, {44, 0x06, 'z'}, {45, 0x07, 'x'}, {46, 0x08, 'c'}, {47, 0x09, 'v'}, {48, 0x0B, 'b'},
    {49, 0x2D, 'n'}, {50, 0x2E, 'm'}, {51, 0x2B, ','}, {52, 0x2F, '.'}, {53, 0x2C, '/'}, {54, 0x3C, 0},
    {55, 0x43, '*'}, {56, 0x3A, 0},   {57, 0x31, ' '}, {58, 0x39, 0},
    // F1 to F10
    {59, 0x7A, 0}, {60, 0x78, 0}, {61, 0x63, 0}, {62, 0x76, 0}, {63, 0x60, 0}, {64, 0x61, 0}, {65, 0x62, 0},
    {66, 0x64, 0}, {67, 0x65, 0}, {68, 0x6D, 0},
    {69, 0x47, 0},   {70, 0x6B, 0},
    // keypad
    {71, 0x59, '7'}, {72, 0x5B, '8'}, {73, 0x5C, '9'}, {74, 0x4E, '-'}, {75, 0x56, '4'}, {76, 0x57, '5'},
    {77, 0x58, '6'}, {78, 0x45, '+'}, {79, 0x53, '1'}, {80, 0x54, '2'}, {81, 0x55, '3'}, {82, 0x52, '0'},
    {83, 0x41, '.'},
    {86, 0x0A, 0},   {87, 0x67, 0},   {88, 0x6F, 0},   {89, 0x5E, 0},   {92, 0x68, 0},   {93, 0x68, 0},
    {94, 0x66, 0},   {95, 0x5F, ','}, {96, 0x4C, 0},   {97, 0x3E, 0},   {98, 0x4B, '/'}, {99, 0x69, 0},
    {100, 0x3D, 0},  {102, 0x73, 0},  {103, 0x7E, 0},  {104, 0x74, 0},  {105, 0x7B, 0},  {106, 0x7C, 0},
    {107, 0x77, 0},  {108, 0x7D, 0},  {109, 0x79, 0},  {110, 0x72, 0},  {111, 0x75, 0},  {113, 0x4A, 0},
    {114, 0x49, 0},  {115, 0x48, 0},  {117, 0x51, '='}, {119, 0x71, 0}, {121, 0x5F, ','}, {124, 0x5D, 0},
    {125, 0x37, 0},  {126, 0x36, 0},  {127, 0x6E, 0},  {138, 0x72, 0},
    // F13 to F20
    {183, 0x69, 0}, {184, 0x6B, 0}, {185, 0x71, 0}, {186, 0x6A, 0}, {187, 0x40, 0}, {188, 0x4F, 0},
    {189, 0x50, 0}, {190, 0x5A, 0},
};

struct Tables {
    std::array<std::uint16_t, 256> mac{};
    std::array<char, 256> us{};
};

constexpr Tables makeTables() {
    Tables tables;
    for (auto& code : tables.mac) code = none;
    for (const KeyEntry& key : keys) {
        tables.mac[key.evdev] = key.mac;
        tables.us[key.evdev] = key.us;
    }
    return tables;
}

constexpr Tables tables = makeTables();

struct Modifier {
    std::uint16_t mac;
    std::uint64_t bit;
};

// The modifier a keysym names, so the layout's choice wins over the key's place.
std::optional<Modifier> modifierOfKeysym(std::uint32_t keysym) {
    switch (keysym) {
    case 0xFFE1: return Modifier{KeyEvents::leftShiftKey, KeyEvents::leftShiftBit};       // Shift_L
    case 0xFFE2: return Modifier{KeyEvents::rightShiftKey, KeyEvents::rightShiftBit};     // Shift_R
    case 0xFFE3: return Modifier{KeyEvents::leftControlKey, KeyEvents::leftControlBit};   // Control_L
    case 0xFFE4: return Modifier{KeyEvents::rightControlKey, KeyEvents::rightControlBit}; // Control_R
    case 0xFFE5: return Modifier{KeyEvents::capsLockKey, 0};                              // Caps_Lock
    case 0xFFE9: return Modifier{KeyEvents::leftOptionKey, KeyEvents::leftOptionBit};     // Alt_L
    case 0xFFEA:                                                                          // Alt_R
    case 0xFE03: return Modifier{KeyEvents::rightOptionKey, KeyEvents::rightOptionBit};   // ISO_Level3_Shift
    case 0xFFE7:                                                                          // Meta_L
    case 0xFFEB: return Modifier{KeyEvents::leftCommandKey, KeyEvents::leftCommandBit};   // Super_L
    case 0xFFE8:                                                                          // Meta_R
    case 0xFFEC: return Modifier{KeyEvents::rightCommandKey, KeyEvents::rightCommandBit}; // Super_R
    default: return std::nullopt;
    }
}

std::optional<Modifier> modifierOfMacCode(std::uint16_t mac) {
    switch (mac) {
    case KeyEvents::leftShiftKey: return Modifier{mac, KeyEvents::leftShiftBit};
    case KeyEvents::rightShiftKey: return Modifier{mac, KeyEvents::rightShiftBit};
    case KeyEvents::leftControlKey: return Modifier{mac, KeyEvents::leftControlBit};
    case KeyEvents::rightControlKey: return Modifier{mac, KeyEvents::rightControlBit};
    case KeyEvents::leftOptionKey: return Modifier{mac, KeyEvents::leftOptionBit};
    case KeyEvents::rightOptionKey: return Modifier{mac, KeyEvents::rightOptionBit};
    case KeyEvents::leftCommandKey: return Modifier{mac, KeyEvents::leftCommandBit};
    case KeyEvents::rightCommandKey: return Modifier{mac, KeyEvents::rightCommandBit};
    case KeyEvents::capsLockKey: return Modifier{mac, 0};
    default: return std::nullopt;
    }
}

std::optional<std::uint16_t> positionalMacCode(std::uint32_t x11Keycode) {
    if (x11Keycode < evdevOffset || x11Keycode - evdevOffset >= tables.mac.size()) return std::nullopt;
    const std::uint16_t mac = tables.mac[x11Keycode - evdevOffset];
    if (mac == none) return std::nullopt;
    return mac;
}

char usCharacter(std::uint32_t x11Keycode) {
    if (x11Keycode < evdevOffset || x11Keycode - evdevOffset >= tables.us.size()) return 0;
    return tables.us[x11Keycode - evdevOffset];
}

std::optional<Modifier> modifierOf(std::uint32_t x11Keycode, std::uint32_t keysym) {
    if (auto modifier = modifierOfKeysym(keysym)) return modifier;
    // A keysym that names something else (say Escape on a Caps Lock key) makes the key an ordinary one.
    if (keysym != 0) return std::nullopt;
    if (auto mac = positionalMacCode(x11Keycode)) return modifierOfMacCode(*mac);
    return std::nullopt;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The Mac's characters for keys that type none: controls and the private-use function-key characters.
std::optional<std::uint32_t> specialCharacter(std::uint32_t keysym) {
    if (keysym >= 0xFFBE && keysym <= 0xFFE0) return 0xF704 + (keysym - 0xFFBE); // F1...F35
    switch (keysym) {
    case 0xFF08: return 0x7F;   // BackSpace: the Mac's Delete
    case 0xFF09: return 0x09;   // Tab
    case 0xFE20: return 0x19;   // ISO_Left_Tab (Shift-Tab)
    case 0xFF0D: return 0x0D;   // Return
    case 0xFF8D: return 0x03;   // KP_Enter
    case 0xFF1B: return 0x1B;   // Escape
    case 0xFFFF: return 0xF728; // Delete: forward delete
    case 0xFF52: return 0xF700; // Up
    case 0xFF54: return 0xF701; // Down
    case 0xFF51: return 0xF702; // Left
    case 0xFF53: return 0xF703; // Right
    case 0xFF63: return 0xF746; // Insert: Help
    case 0xFF6A: return 0xF746; // Help
    case 0xFF50: return 0xF729; // Home
    case 0xFF57: return 0xF72B; // End
    case 0xFF55: return 0xF72C; // Prior
    case 0xFF56: return 0xF72D; // Next
    case 0xFF7F: return 0xF739; // Num_Lock: Clear
    default: return std::nullopt;
    }
}

// The character a keysym types: Latin-1 keysyms are their code point, 0x01000000 + U is Unicode U.
std::optional<std::uint32_t> characterOfKeysym(std::uint32_t keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return keysym;
    if (keysym >= 0x01000100 && keysym <= 0x0110FFFF) return keysym - 0x01000000;
    return std::nullopt;
}

bool isLatinLetter(std::uint32_t cp) {
    return (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z') || (cp >= 0xC0 && cp <= 0xFE && cp != 0xD7 && cp != 0xF7);
}

std::uint32_t lowerLatin(std::uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
    return cp;
}

} // namespace

std::optional<std::uint16_t> KeyEvents::macKeyCode(std::uint32_t x11Keycode, std::uint32_t keysym) {
    if (auto modifier = modifierOfKeysym(keysym)) return modifier->mac;
    return positionalMacCode(x11Keycode);
}

std::string KeyEvents::charactersIgnoringModifiers(std::uint32_t x11Keycode, std::uint32_t keysym, bool shifted) {
    std::string out;
    if (modifierOfKeysym(keysym)) return out;
    const std::uint32_t evdev = x11Keycode >= evdevOffset ? x11Keycode - evdevOffset : 0;
    // Keypad keys give their digit or operator whatever Num Lock says.
    const bool keypad = (evdev >= 71 && evdev <= 83) || evdev == 55 || evdev == 98 || evdev == 117 || evdev == 121;
    if (keypad && usCharacter(x11Keycode) != 0) {
        out += usCharacter(x11Keycode);
        return out;
    }
    if (auto special = specialCharacter(keysym)) {
        appendUtf8(out, *special);
        return out;
    }
    if (auto cp = characterOfKeysym(keysym)) {
        if (isLatinLetter(*cp)) {
            appendUtf8(out, lowerLatin(*cp));
        } else if (shifted && usCharacter(x11Keycode) != 0) {
            out += usCharacter(x11Keycode);
        } else {
            appendUtf8(out, *cp);
        }
        return out;
    }
    if (const char us = usCharacter(x11Keycode)) out += us;
    return out;
}

std::uint64_t KeyEvents::flagsOfX11State(std::uint32_t state) {
    std::uint64_t flags = 0;
    if (state & 0x01) flags |= shiftFlag;
    if (state & 0x02) flags |= capsLockFlag;
    if (state & 0x04) flags |= controlFlag;
    if (state & 0x08) flags |= optionFlag;
    if (state & 0x40) flags |= commandFlag;
    return flags;
}

std::uint64_t KeyEvents::modifierFlags() const {
    std::uint64_t flags = held_;
    if (held_ & (leftShiftBit | rightShiftBit)) flags |= shiftFlag;
    if (held_ & (leftControlBit | rightControlBit)) flags |= controlFlag;
    if (held_ & (leftOptionBit | rightOptionBit)) flags |= optionFlag;
    if (held_ & (leftCommandBit | rightCommandBit)) flags |= commandFlag;
    if (capsLock_) flags |= capsLockFlag;
    return flags;
}

std::optional<KeyEvents::Event> KeyEvents::press(std::uint32_t x11Keycode, std::uint32_t keysym, bool autoRepeat) {
    if (auto modifier = modifierOf(x11Keycode, keysym)) {
        if (autoRepeat) return std::nullopt; // modifiers do not repeat on the Mac
        if (modifier->mac == capsLockKey)
            capsLock_ = !capsLock_;
        else
            held_ |= modifier->bit;
        return Event{Type::flagsChanged, modifier->mac, modifierFlags(), {}, false};
    }
    const auto mac = positionalMacCode(x11Keycode);
    if (!mac) return std::nullopt;
    const bool shifted = (held_ & (leftShiftBit | rightShiftBit)) != 0;
    return Event{Type::keyDown, *mac, modifierFlags(), charactersIgnoringModifiers(x11Keycode, keysym, shifted),
                 autoRepeat};
}

std::optional<KeyEvents::Event> KeyEvents::release(std::uint32_t x11Keycode, std::uint32_t keysym, bool autoRepeat) {
    if (autoRepeat) return std::nullopt; // X11 pairs every repeated press with a release; the Mac has none
    if (auto modifier = modifierOf(x11Keycode, keysym)) {
        if (modifier->mac == capsLockKey) return std::nullopt;
        held_ &= ~modifier->bit;
        return Event{Type::flagsChanged, modifier->mac, modifierFlags(), {}, false};
    }
    const auto mac = positionalMacCode(x11Keycode);
    if (!mac) return std::nullopt;
    const bool shifted = (held_ & (leftShiftBit | rightShiftBit)) != 0;
    return Event{Type::keyUp, *mac, modifierFlags(), charactersIgnoringModifiers(x11Keycode, keysym, shifted), false};
}

void KeyEvents::syncWithX11State(std::uint32_t state) {
    const std::uint64_t server = flagsOfX11State(state);
    const auto follow = [&](std::uint64_t flag, std::uint64_t leftBit, std::uint64_t rightBit) {
        if (!(server & flag))
            held_ &= ~(leftBit | rightBit);
        else if (!(held_ & (leftBit | rightBit)))
            held_ |= leftBit;
    };
    follow(shiftFlag, leftShiftBit, rightShiftBit);
    follow(controlFlag, leftControlBit, rightControlBit);
    follow(optionFlag, leftOptionBit, rightOptionBit);
    follow(commandFlag, leftCommandBit, rightCommandBit);
    capsLock_ = (server & capsLockFlag) != 0;
}

void KeyEvents::setCapsLock(bool on) { capsLock_ = on; }

void KeyEvents::reset() { held_ = 0; }

} // namespace corvane::platform
