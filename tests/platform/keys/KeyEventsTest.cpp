#include "platform/keys/KeyEvents.hpp"

#include <gtest/gtest.h>

namespace corvane::platform {
namespace {

using Type = KeyEvents::Type;

// X11 keycodes (evdev + 8) and keysyms used below.
constexpr std::uint32_t keyQ = 24, key1 = 10, keyLeftShift = 50, keyRightShift = 62, keyLeftCtrl = 37,
                        keyCaps = 66, keyRightAlt = 108, keyLeftMeta = 133, keyF1 = 67, keyKP1 = 87,
                        keyEscape = 9, keyVolumeUp = 123, keyMediaPlay = 172;
constexpr std::uint32_t symShiftL = 0xFFE1, symShiftR = 0xFFE2, symControlL = 0xFFE3, symCaps = 0xFFE5,
                        symSuperL = 0xFFEB, symLevel3 = 0xFE03;

TEST(KeyEventsTest, OrdinaryKeysGiveMacCodesAndUnshiftedCharacters) {
    KeyEvents keys;
    EXPECT_EQ(keys.press(keyQ, 'q'), (KeyEvents::Event{Type::keyDown, 0x0C, 0, "q", false}));
    EXPECT_EQ(keys.press(keyQ, 'q', true), (KeyEvents::Event{Type::keyDown, 0x0C, 0, "q", true}));
    EXPECT_FALSE(keys.release(keyQ, 'q', true)); // X11's repeat release has no Mac twin
    EXPECT_EQ(keys.release(keyQ, 'q'), (KeyEvents::Event{Type::keyUp, 0x0C, 0, "q", false}));
    EXPECT_EQ(keys.press(keyEscape, 0xFF1B)->keyCode, 0x35);
    EXPECT_EQ(keys.press(keyVolumeUp, 0x1008FF13)->keyCode, 0x48);
    EXPECT_FALSE(keys.press(keyMediaPlay, 0x1008FF14)); // no Mac key
    EXPECT_FALSE(keys.press(0, 0));
    EXPECT_FALSE(keys.press(5000, 0));
}

TEST(KeyEventsTest, LeftAndRightModifiersAreToldApart) {
    KeyEvents keys;
    auto event = keys.press(keyLeftShift, symShiftL);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, Type::flagsChanged);
    EXPECT_EQ(event->keyCode, KeyEvents::leftShiftKey);
    EXPECT_EQ(event->modifierFlags, KeyEvents::shiftFlag | KeyEvents::leftShiftBit);
    EXPECT_FALSE(keys.press(keyLeftShift, symShiftL, true)); // modifiers do not repeat

    event = keys.press(keyRightShift, symShiftR);
    EXPECT_EQ(event->modifierFlags, KeyEvents::shiftFlag | KeyEvents::leftShiftBit | KeyEvents::rightShiftBit);
    // Releasing the left one: Shift stays, only its own bit goes.
    event = keys.release(keyLeftShift, symShiftL);
    EXPECT_EQ(event->keyCode, KeyEvents::leftShiftKey);
    EXPECT_EQ(event->modifierFlags, KeyEvents::shiftFlag | KeyEvents::rightShiftBit);

    // Shifted keys still report their unshifted character, and carry the held flags.
    event = keys.press(key1, '!');
    EXPECT_EQ(event->charactersIgnoringModifiers, "1");
    EXPECT_EQ(event->modifierFlags, KeyEvents::shiftFlag | KeyEvents::rightShiftBit);
    EXPECT_EQ(keys.press(keyQ, 'Q')->charactersIgnoringModifiers, "q");

    keys.release(keyRightShift, symShiftR);
    EXPECT_EQ(keys.modifierFlags(), 0u);

    keys.press(keyLeftCtrl, symControlL);
    keys.press(keyLeftMeta, symSuperL);
    event = keys.press(keyRightAlt, symLevel3); // AltGr is the right Option
    EXPECT_EQ(event->keyCode, KeyEvents::rightOptionKey);
    EXPECT_EQ(event->modifierFlags, KeyEvents::controlFlag | KeyEvents::leftControlBit | KeyEvents::commandFlag |
                                        KeyEvents::leftCommandBit | KeyEvents::optionFlag | KeyEvents::rightOptionBit);
    keys.reset();
    EXPECT_EQ(keys.modifierFlags(), 0u);
}

TEST(KeyEventsTest, TheLayoutDecidesWhichModifierAKeyIsAndCapsLockToggles) {
    KeyEvents keys;
    auto event = keys.press(keyCaps, symControlL);  // Caps Lock made a Control key by the layout
    EXPECT_EQ(event->keyCode, KeyEvents::leftControlKey);
    EXPECT_EQ(event->modifierFlags, KeyEvents::controlFlag | KeyEvents::leftControlBit);
    keys.release(keyCaps, symControlL);
    event = keys.press(keyLeftCtrl, 0xFF1B);  // a modifier place typing an ordinary keysym
    EXPECT_EQ(event->type, Type::keyDown);
    EXPECT_EQ(event->modifierFlags, 0u);

    event = keys.press(keyCaps, symCaps);
    EXPECT_EQ(event->type, Type::flagsChanged);
    EXPECT_EQ(event->keyCode, KeyEvents::capsLockKey);
    EXPECT_EQ(event->modifierFlags, KeyEvents::capsLockFlag);
    EXPECT_FALSE(keys.release(keyCaps, symCaps));
    EXPECT_EQ(keys.press(keyCaps, symCaps)->modifierFlags, 0u);
    keys.setCapsLock(true);
    EXPECT_EQ(keys.press(keyQ, 'Q')->modifierFlags, KeyEvents::capsLockFlag);
}

TEST(KeyEventsTest, CharactersOfSpecialKeysAndOtherLayouts) {
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(keyF1, 0xFFBE, false), "\xEF\x9C\x84"); // U+F704
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(keyKP1, 0xFF9C, false), "1");           // KP_End
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(keyQ, 0x6CA, false), "q");              // Cyrillic, legacy keysym
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(keyQ, 0x1000439, false), "\xD0\xB9");    // Unicode keysym
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(38, 0xC4, true), "\xC3\xA4");             // Ä -> ä
    EXPECT_EQ(KeyEvents::charactersIgnoringModifiers(keyLeftShift, symShiftL, false), "");
}

TEST(KeyEventsTest, FollowsTheServersModifierState) {
    KeyEvents keys;
    keys.press(keyRightShift, symShiftR);
    keys.press(keyLeftCtrl, symControlL);
    // The server says: Shift held, Control released elsewhere, Mod4 held (missed), Lock on.
    keys.syncWithX11State(0x01 | 0x40 | 0x02);
    EXPECT_EQ(keys.modifierFlags(), KeyEvents::shiftFlag | KeyEvents::rightShiftBit | KeyEvents::commandFlag |
                                        KeyEvents::leftCommandBit | KeyEvents::capsLockFlag);
    EXPECT_EQ(KeyEvents::flagsOfX11State(0x4F), KeyEvents::shiftFlag | KeyEvents::capsLockFlag |
                                                    KeyEvents::controlFlag | KeyEvents::optionFlag |
                                                    KeyEvents::commandFlag);
}

} // namespace
} // namespace corvane::platform
