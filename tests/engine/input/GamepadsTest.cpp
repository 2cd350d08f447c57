#include "engine/input/Gamepads.hpp"
#include "engine/input/GamepadPacket.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/VirtualPad.hpp"
#include <gtest/gtest.h>
#include <utility>
#include <memory>
#include <mutex>
#include <tuple>
#include <dlfcn.h>

// How long each rumble is asked of SDL: this program's own SDL_GameControllerRumble comes before SDL's,
// which it then calls.
std::vector<Uint32> rumbleDurations;  // SDL is asked only on the test's own thread
extern "C" int SDL_GameControllerRumble(SDL_GameController* controller, Uint16 low, Uint16 high, Uint32 ms) {
    static const auto sdl =
        reinterpret_cast<decltype(&SDL_GameControllerRumble)>(dlsym(RTLD_NEXT, "SDL_GameControllerRumble"));
    rumbleDurations.push_back(ms);
    return sdl(controller, low, high, ms);
}

namespace corvane::stream {
namespace {

using test::VirtualPad;
using Rumbles = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
using GamepadPacket::Buttons;
using GamepadPacket::Kind;

// The whole state of a slot as the box must receive it.
Bytes state(int slot, int mask, std::uint32_t buttons = 0, std::uint8_t leftTrigger = 0, std::int16_t leftX = 0,
            std::int16_t leftY = 0, std::int16_t rightX = 0, std::int16_t rightY = 0) {
    return GamepadPacket::state(slot, static_cast<std::uint16_t>(mask), Buttons::of(buttons), leftTrigger, 0, leftX,
                                leftY, rightX, rightY);
}

// Controllers as virtual SDL pads, events pumped by the test on its own thread.
class GamepadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        gamepads.send = [this](ByteView packet) { std::lock_guard guard(lock); packets.emplace_back(packet.begin(), packet.end()); };
    }
    void TearDown() override { gamepads.stop(); }
    std::vector<Bytes> take() {
        std::lock_guard guard(lock);
        return std::exchange(packets, {});
    }
    std::unique_ptr<VirtualPad> attach(VirtualPad::Model model) {
        auto pad = std::make_unique<VirtualPad>(model);
        gamepads.pump();
        return pad;
    }
    test::SdlControllers sdl;
    Gamepads gamepads{platform::GamepadManager::Delivery::pump};
    std::mutex lock;
    std::vector<Bytes> packets;
    corvane::test::EngineLogCapture log;
};

TEST_F(GamepadsTest, AnnouncesEachFamilyWithItsKindCapabilitiesAndButtons) {
    VirtualPad xbox(VirtualPad::xboxElite());
    VirtualPad dualSense(VirtualPad::dualSense());
    VirtualPad nintendo(VirtualPad::switchPro());
    VirtualPad arcade(VirtualPad::arcade());
    gamepads.start(false);
    // Each arrival is followed at once by the controller's state, with the mask as it is then.
    const std::tuple<Kind, std::uint16_t, std::uint32_t, const char*> expected[] = {
        {Kind::xbox, 0x03, 0x2FF7FF, "controller 1: Xbox Elite Controller (Xbox One), as xbox"}, // paddles, share
        {Kind::playstation, 0x0B, 0x10F7FF, "controller 2: DualSense Wireless Controller (DualSense), as playstation"},
        {Kind::nintendo, 0x03, 0x00F7FF, "controller 3: Pro Controller (Nintendo Switch Pro Controller), as nintendo"},
        {Kind::xbox, 0x03, 0x00F31F, "controller 4: Arcade Stick (Gamepad), as xbox"}, // unknown maker: what it has
    };
    const auto seen = take();
    ASSERT_EQ(seen.size(), 8u);
    for (int n = 0; n < 4; ++n) {
        const auto& [kind, capabilities, buttons, line] = expected[n];
        EXPECT_EQ(seen[2 * n], GamepadPacket::arrival(n, kind, GamepadPacket::Capabilities::of(capabilities),
                                                      Buttons::of(buttons)));
        EXPECT_EQ(seen[2 * n + 1], state(n, (2 << n) - 1)) << n;
        EXPECT_TRUE(log.has(line));
    }
}

TEST_F(GamepadsTest, EveryChangeSendsTheWholeStateOfTheSlot) {
    gamepads.swapButtons = true;
    gamepads.start(false);
    auto xbox = attach(VirtualPad::xboxElite());
    auto dualSense = attach(VirtualPad::dualSense());
    take();
    // With swapButtons the physical A is sent as B.
    xbox->press(SDL_CONTROLLER_BUTTON_A);
    gamepads.pump();
    EXPECT_EQ(take(), std::vector<Bytes>{state(0, 0x3, 0x2000)});
    xbox->press(SDL_CONTROLLER_BUTTON_PADDLE3);
    xbox->press(SDL_CONTROLLER_BUTTON_MISC1);
    xbox->press(SDL_CONTROLLER_BUTTON_Y);
    gamepads.pump();
    auto seen = take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], state(0, 0x3, 0x2000 | 0x4000 | 0x040000 | 0x200000));
    // Full triggers are 255; up on a stick (SDL's -32768) is sent as +32767, never 32768 or -32768.
    dualSense->axis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767);
    dualSense->axis(SDL_CONTROLLER_AXIS_LEFTX, -32768);
    dualSense->axis(SDL_CONTROLLER_AXIS_LEFTY, -32768);
    dualSense->axis(SDL_CONTROLLER_AXIS_RIGHTY, 32767);
    dualSense->axis(SDL_CONTROLLER_AXIS_RIGHTX, 1000);
    dualSense->press(SDL_CONTROLLER_BUTTON_TOUCHPAD);
    dualSense->press(SDL_CONTROLLER_BUTTON_MISC1); // not an Xbox share button: not sent
    gamepads.pump();
    seen = take();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen.back(), state(1, 0x3, 0x100000, 255, -32767, 32767, 1000, -32767));
    EXPECT_EQ(Gamepads::triggerValue(32766), 254);
}

// Freed slots are refilled; without multiController every pad shares slot 0, which stays occupied (mask,
// rumble) until its last pad leaves; a seventeenth pad shares slot 15.
TEST_F(GamepadsTest, SlotsAreRefilledSharedAndFreedWithTheirLastController) {
    gamepads.start(false);
    std::vector<std::unique_ptr<VirtualPad>> pads;
    for (int n = 0; n < 17; ++n) pads.push_back(attach(VirtualPad::xboxPlain()));
    auto seen = take();
    ASSERT_EQ(seen.size(), 34u);
    EXPECT_EQ(std::tie(seen[30][8], seen[32][8]), std::make_tuple(15, 15)); // arrivals' slot byte
    EXPECT_EQ(seen[33], state(15, 0xFFFF));
    pads[15].reset();
    gamepads.pump();
    EXPECT_EQ(gamepads.activeMask(), 0xFFFF);
    // Only the neutral state: SDL's recentring of the leaving pad (half-way triggers) is not sent.
    pads[1].reset();
    gamepads.pump();
    EXPECT_EQ(take(), std::vector<Bytes>{state(1, 0xFFFD)});
    EXPECT_TRUE(log.has("controller 2 disconnected"));
    pads[1] = attach(VirtualPad::dualSense());
    seen = take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0][8], 1);
    EXPECT_EQ(seen[1], state(1, 0xFFFF));
    gamepads.start(false); // a second report of the same controllers changes nothing
    EXPECT_TRUE(take().empty());
    pads.clear();
    gamepads.stop();
    take();
    gamepads.multiController = false;
    gamepads.start(false);
    auto first = attach(VirtualPad::xboxPlain());
    auto second = attach(VirtualPad::dualSense());
    EXPECT_EQ(take().at(2).at(8), 0);
    gamepads.rumble(0, 30000, 10000);
    EXPECT_EQ(second->rumbles(), (Rumbles{{30000, 10000}}));
    first.reset();
    gamepads.pump();
    EXPECT_TRUE(take().empty());
    second->press(SDL_CONTROLLER_BUTTON_START);
    gamepads.pump();
    EXPECT_EQ(take(), std::vector<Bytes>{state(0, 0x1, 0x10)});
    second.reset();
    gamepads.pump();
    EXPECT_EQ(take(), std::vector<Bytes>{state(0, 0)});
}

TEST_F(GamepadsTest, RumblePlaysOnBothMotorsAndStopNeutralisesEveryOccupiedSlot) {
    gamepads.start(false);
    auto first = attach(VirtualPad::dualShock4());
    auto gone = attach(VirtualPad::xboxPlain());
    auto third = attach(VirtualPad::switchPro());
    gone.reset();
    gamepads.pump();
    take();
    // Slots from the box that lie outside the table, or are empty, do nothing; 1 % or less only stops.
    for (std::int64_t index : {std::int64_t{-1}, std::int64_t{1}, std::int64_t{16}, std::int64_t{65535}})
        gamepads.rumble(index, 40000, 40000);
    rumbleDurations.clear();
    gamepads.rumble(0, 40000, 20000);
    gamepads.rumble(0, 656, 0);
    gamepads.rumble(0, 20000, 40000);
    gamepads.rumble(0, 655, 0);
    gamepads.rumble(0, 50000, 50000);
    EXPECT_EQ(first->rumbles(), (Rumbles{{40000, 20000}, {656, 0}, {20000, 40000}, {0, 0}, {50000, 50000}}));
    EXPECT_EQ(rumbleDurations, (std::vector<Uint32>{30000, 30000, 30000, 0, 30000})); // until the next, or 30 s
    gamepads.stop(); // silences the motors and neutralises slots 0 and 2
    EXPECT_EQ(first->rumbles().back(), (std::pair<std::uint16_t, std::uint16_t>{0, 0}));
    EXPECT_EQ(take(), (std::vector<Bytes>{state(0, 0), state(2, 0)}));
    first->press(SDL_CONTROLLER_BUTTON_A);
    gamepads.pump();
    EXPECT_TRUE(take().empty());
    gamepads.start(false); // announced afresh, with the state they have now
    const auto seen = take();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1], state(0, 0x1, 0x1000));
    EXPECT_EQ(seen[2].at(8), 1);
}

} // namespace
} // namespace corvane::stream
