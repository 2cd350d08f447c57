#include "platform/keys/KeyEvents.hpp"
#include <gtest/gtest.h>
#include <map>

namespace corvane::platform {
namespace {

using Type = KeyEvents::Type;
using K = KeyEvents;

// X11 keycode (evdev + 8) -> Mac virtual key code, keyboard row by row. Every keycode not listed has none.
const std::map<std::uint32_t, std::uint16_t> kKeyMap = {
    {9, 0x35},                                                                                  // Escape
    {10, 0x12}, {11, 0x13}, {12, 0x14}, {13, 0x15}, {14, 0x17}, {15, 0x16}, {16, 0x1A},          // 1-7
    {17, 0x1C}, {18, 0x19}, {19, 0x1D}, {20, 0x1B}, {21, 0x18}, {22, 0x33}, {23, 0x30},          // 8 9 0 - = BS Tab
    {24, 0x0C}, {25, 0x0D}, {26, 0x0E}, {27, 0x0F}, {28, 0x11}, {29, 0x10}, {30, 0x20},          // q w e r t y u
    {31, 0x22}, {32, 0x1F}, {33, 0x23}, {34, 0x21}, {35, 0x1E}, {36, 0x24}, {37, 0x3B},          // i o p [ ] Ret LCtrl
    {38, 0x00}, {39, 0x01}, {40, 0x02}, {41, 0x03}, {42, 0x05}, {43, 0x04}, {44, 0x26},          // a s d f g h j
    {45, 0x28}, {46, 0x25}, {47, 0x29}, {48, 0x27}, {49, 0x32}, {50, 0x38}, {51, 0x2A},          // k l ; ' ` LShift \ .
    {52, 0x06}, {53, 0x07}, {54, 0x08}, {55, 0x09}, {56, 0x0B}, {57, 0x2D}, {58, 0x2E},          // z x c v b n m
    {59, 0x2B}, {60, 0x2F}, {61, 0x2C}, {62, 0x3C}, {63, 0x43}, {64, 0x3A}, {65, 0x31},          // , . / RShift KP* LAlt Space
    {66, 0x39},                                                                                  // Caps Lock
    {67, 0x7A}, {68, 0x78}, {69, 0x63}, {70, 0x76}, {71, 0x60}, {72, 0x61}, {73, 0x62},          // F1-F7
    {74, 0x64}, {75, 0x65}, {76, 0x6D}, {77, 0x47}, {78, 0x6B},                                  // F8-F10 NumLock ScrollLock
    {79, 0x59}, {80, 0x5B}, {81, 0x5C}, {82, 0x4E}, {83, 0x56}, {84, 0x57}, {85, 0x58},          // KP 7 8 9 - 4 5 6
    {86, 0x45}, {87, 0x53}, {88, 0x54}, {89, 0x55}, {90, 0x52}, {91, 0x41},                      // KP + 1 2 3 0 .
    {94, 0x0A}, {95, 0x67}, {96, 0x6F}, {97, 0x5E}, {100, 0x68}, {101, 0x68}, {102, 0x66},       // ISO F11 F12 Ro Henkan .. Muhenkan
    {103, 0x5F}, {104, 0x4C}, {105, 0x3E}, {106, 0x4B}, {107, 0x69}, {108, 0x3D},                // KP, KPEnter RCtrl KP/ SysRq RAlt
    {110, 0x73}, {111, 0x7E}, {112, 0x74}, {113, 0x7B}, {114, 0x7C}, {115, 0x77}, {116, 0x7D},   // Home Up PgUp Left Right End Down
    {117, 0x79}, {118, 0x72}, {119, 0x75}, {121, 0x4A}, {122, 0x49}, {123, 0x48}, {125, 0x51},   // PgDn Ins Del Mute Vol- Vol+ KP=
    {127, 0x71}, {129, 0x5F}, {132, 0x5D}, {133, 0x37}, {134, 0x36}, {135, 0x6E}, {146, 0x72},   // Pause KP, Yen LSuper RSuper Menu Help
    {191, 0x69}, {192, 0x6B}, {193, 0x71}, {194, 0x6A}, {195, 0x40}, {196, 0x4F}, {197, 0x50},   // F13-F19
    {198, 0x5A},                                                                                 // F20
};

TEST(KeyEventsTest, EveryX11KeycodeMapsToItsMacKeyOrToNone) {
    for (std::uint32_t keycode = 0; keycode < 300; ++keycode) {
        const auto it = kKeyMap.find(keycode);
        EXPECT_EQ(KeyEvents::macKeyCode(keycode, 0),
                  it == kKeyMap.end() ? std::nullopt : std::optional<std::uint16_t>(it->second))
            << "X11 keycode " << keycode;
    }
    EXPECT_FALSE(KeyEvents::macKeyCode(5000, 0));
}

TEST(KeyEventsTest, CharactersIgnoringModifiers) {
    struct Row { std::uint32_t keycode, keysym; bool shifted; const char* expected; };
    const Row rows[] = {
        {24, 'q', false, "q"},           {24, 'Q', true, "q"},            {10, '!', true, "1"},
        {67, 0xFFBE, false, "\uF704"},   {111, 0xFF52, false, "\uF700"},  {22, 0xFF08, false, "\x7F"},
        {119, 0xFFFF, false, "\uF728"},  {87, 0xFF9C, false, "1"},        {24, 0x6CA, false, "q"},
        {24, 0x1000439, false, "\u0439"}, {46, 0xC4, true, "\u00E4"},     {50, 0xFFE1, false, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(r.keycode, r.keysym, r.shifted), r.expected)
            << r.keycode << " " << std::hex << r.keysym;
    // A symbol typed with Shift gives the key's own character on the US layout.
    for (const auto& [first, keys] : {std::pair{10u, "1234567890-="}, {24u, "qwertyuiop[]"}, {38u, "asdfghjkl;'`"},
                                      {51u, "\\zxcvbnm,./"}})
        for (std::uint32_t i = 0; keys[i]; ++i)
            EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(first + i, '!', true), std::string(1, keys[i])) << first + i;
}

TEST(KeyEventsTest, PressesAndReleasesFollowEachModifierSideAndTheServersState) {
    KeyEvents keys;
    EXPECT_EQ(keys.press(24, 'q', true), (K::Event{Type::keyDown, 0x0C, 0, "q", true}));
    EXPECT_FALSE(keys.release(24, 'q', true));  // X11's repeat release has no Mac twin
    EXPECT_EQ(keys.release(24, 'q'), (K::Event{Type::keyUp, 0x0C, 0, "q", false}));
    EXPECT_FALSE(keys.press(172, 0x1008FF14));   // no Mac key
    const std::uint64_t shiftBoth = K::shiftFlag | K::leftShiftBit | K::rightShiftBit;
    EXPECT_EQ(keys.press(50, 0xFFE1), (K::Event{Type::flagsChanged, 0x38, K::shiftFlag | K::leftShiftBit, "", false}));
    EXPECT_FALSE(keys.press(50, 0xFFE1, true));  // modifiers do not repeat
    EXPECT_EQ(keys.press(62, 0xFFE2), (K::Event{Type::flagsChanged, 0x3C, shiftBoth, "", false}));
    EXPECT_EQ(keys.release(50, 0xFFE1), (K::Event{Type::flagsChanged, 0x38, K::shiftFlag | K::rightShiftBit, "", false}));
    EXPECT_EQ(keys.press(10, '!'), (K::Event{Type::keyDown, 0x12, K::shiftFlag | K::rightShiftBit, "1", false}));
    keys.release(62, 0xFFE2);
    EXPECT_EQ(keys.modifierFlags(), 0u);
    // The keysym, not the place, decides the modifier: AltGr is the right Option, Caps Lock made Control is
    // Control, a modifier place typing Escape is an ordinary key.
    const std::pair<std::uint32_t, std::uint32_t> presses[] = {{37, 0xFFE3}, {133, 0xFFEB}, {108, 0xFE03}, {66, 0xFFE3},
                                                              {105, 0xFFE4}, {64, 0xFFE9}, {134, 0xFFEC}};
    for (const auto& [keycode, keysym] : presses) keys.press(keycode, keysym);
    EXPECT_EQ(keys.modifierFlags(), K::controlFlag | K::leftControlBit | K::rightControlBit | K::commandFlag |
                                        K::leftCommandBit | K::rightCommandBit | K::optionFlag | K::leftOptionBit |
                                        K::rightOptionBit);
    keys.reset();
    EXPECT_EQ(keys.press(37, 0xFF1B).value().type, Type::keyDown);
    // Caps Lock toggles on its press only.
    EXPECT_EQ(keys.press(66, 0xFFE5), (K::Event{Type::flagsChanged, 0x39, K::capsLockFlag, "", false}));
    EXPECT_FALSE(keys.release(66, 0xFFE5));
    EXPECT_EQ(keys.press(66, 0xFFE5).value().modifierFlags, 0u);
    keys.setCapsLock(true);
    EXPECT_EQ(keys.press(24, 'Q').value().modifierFlags, K::capsLockFlag);
    // The server's state wins: Shift held, Control released elsewhere, Mod4 held (missed), Lock on.
    KeyEvents synced;
    synced.press(62, 0xFFE2);
    synced.press(37, 0xFFE3);
    synced.syncWithX11State(0x01 | 0x40 | 0x02);
    EXPECT_EQ(synced.modifierFlags(), K::shiftFlag | K::rightShiftBit | K::commandFlag | K::leftCommandBit | K::capsLockFlag);
    EXPECT_EQ(KeyEvents::flagsOfX11State(0x4F),
              K::shiftFlag | K::capsLockFlag | K::controlFlag | K::optionFlag | K::commandFlag);
}

TEST(KeyEventsTest, FlagWordsAreTheMacsOwn) {
    const std::pair<std::uint64_t, std::uint64_t> words[] = {
        {K::capsLockFlag, 0x10000}, {K::shiftFlag, 0x20000}, {K::controlFlag, 0x40000}, {K::optionFlag, 0x80000},
        {K::commandFlag, 0x100000}, {K::leftControlBit, 0x1}, {K::leftShiftBit, 0x2}, {K::rightShiftBit, 0x4},
        {K::leftCommandBit, 0x8}, {K::rightCommandBit, 0x10}, {K::leftOptionBit, 0x20}, {K::rightOptionBit, 0x40},
        {K::rightControlBit, 0x2000}};
    for (const auto& [flag, expected] : words) EXPECT_EQ(flag, expected);
}

} // namespace
} // namespace corvane::platform
