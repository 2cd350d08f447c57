#include "engine/input/Gamepads.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/VirtualPad.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <mutex>
#include <tuple>

namespace corvane::stream {
namespace {

using test::VirtualPad;
using Rumbles = std::vector<std::pair<std::uint16_t, std::uint16_t>>;

// One packet as the box reads it.
struct Seen {
    bool arrival = false;
    int slot = 0, kind = 0, capabilities = 0, mask = 0;
    std::uint32_t buttons = 0;
    int leftTrigger = 0, rightTrigger = 0, leftX = 0, leftY = 0, rightX = 0, rightY = 0;
};

int i16(const Bytes& p, std::size_t at) { return static_cast<std::int16_t>(p[at] | p[at + 1] << 8); }
int u16(const Bytes& p, std::size_t at) { return p[at] | p[at + 1] << 8; }

Seen parse(const Bytes& p) {
    if (p.size() == 16 && p[7] == 0x55 && p[4] == 0x04)
        return {true, p[8], p[9], u16(p, 10), 0, static_cast<std::uint32_t>(u16(p, 12) | u16(p, 14) << 16), 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(p.size(), 34u);
    EXPECT_EQ(p[4], 0x0C);
    return {false, u16(p, 10), 0, 0, u16(p, 12), static_cast<std::uint32_t>(u16(p, 16) | u16(p, 30) << 16),
            p[18], p[19], i16(p, 20), i16(p, 22), i16(p, 24), i16(p, 26)};
}

bool neutral(const Seen& s) {
    return !s.arrival && s.buttons == 0 && s.leftTrigger == 0 && s.rightTrigger == 0 && s.leftX == 0 && s.leftY == 0 &&
           s.rightX == 0 && s.rightY == 0;
}

// Controllers as virtual SDL pads, events pumped by the test on its own thread.
class GamepadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        gamepads.send = [this](ByteView packet) { std::lock_guard guard(lock); packets.emplace_back(packet.begin(), packet.end()); };
    }
    void TearDown() override { gamepads.stop(); }
    std::vector<Seen> take() {
        std::lock_guard guard(lock);
        std::vector<Seen> seen;
        for (const Bytes& p : packets) seen.push_back(parse(p));
        packets.clear();
        return seen;
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
    const std::tuple<int, int, std::uint32_t, const char*> expected[] = {
        {1, 0x03, 0x2FF7FF, "controller 1: Xbox Elite Controller (Xbox One), as xbox"}, // paddles and share
        {2, 0x0B, 0x10F7FF, "controller 2: DualSense Wireless Controller (DualSense), as playstation"}, // touchpad
        {3, 0x03, 0x00F7FF, "controller 3: Pro Controller (Nintendo Switch Pro Controller), as nintendo"},
        {1, 0x03, 0x00F31F, "controller 4: Arcade Stick (Gamepad), as xbox"}, // unknown maker; only what it has
    };
    const auto seen = take();
    ASSERT_EQ(seen.size(), 8u);
    for (std::size_t n = 0; n < 4; ++n) {
        const Seen &arrival = seen[2 * n], &state = seen[2 * n + 1];
        EXPECT_TRUE(arrival.arrival && arrival.slot == static_cast<int>(n)) << n;
        EXPECT_EQ(std::tie(arrival.kind, arrival.capabilities, arrival.buttons),
                  std::tie(std::get<0>(expected[n]), std::get<1>(expected[n]), std::get<2>(expected[n])));
        EXPECT_TRUE(neutral(state) && state.slot == static_cast<int>(n) && state.mask == (2 << n) - 1) << n;
        EXPECT_TRUE(log.has(std::get<3>(expected[n])));
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
    auto seen = take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(std::tie(seen[0].slot, seen[0].mask, seen[0].buttons), std::make_tuple(0, 0x3, 0x2000u));
    xbox->press(SDL_CONTROLLER_BUTTON_PADDLE3);
    xbox->press(SDL_CONTROLLER_BUTTON_MISC1);
    xbox->press(SDL_CONTROLLER_BUTTON_Y);
    gamepads.pump();
    seen = take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].buttons, 0x2000u | 0x4000u | 0x040000u | 0x200000u);
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
    const Seen& l = seen.back();
    EXPECT_EQ(std::tie(l.slot, l.buttons, l.leftTrigger, l.rightTrigger), std::make_tuple(1, 0x100000u, 255, 0));
    EXPECT_EQ(std::tie(l.leftX, l.leftY, l.rightX, l.rightY), std::make_tuple(-32767, 32767, 1000, -32767));
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
    EXPECT_EQ(std::tie(seen[30].slot, seen[32].slot, seen[33].mask), std::make_tuple(15, 15, 0xFFFF));
    pads[15].reset();
    gamepads.pump();
    EXPECT_EQ(gamepads.activeMask(), 0xFFFF);
    // Only the neutral state: SDL's recentring of the leaving pad (half-way triggers) is not sent.
    pads[1].reset();
    gamepads.pump();
    seen = take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(neutral(seen[0]) && seen[0].slot == 1 && seen[0].mask == 0xFFFD);
    EXPECT_TRUE(log.has("controller 2 disconnected"));
    pads[1] = attach(VirtualPad::dualSense());
    seen = take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].arrival && seen[0].slot == 1 && seen[1].mask == 0xFFFF);
    gamepads.start(false); // a second report of the same controllers changes nothing
    EXPECT_TRUE(take().empty());
    pads.clear();
    gamepads.stop();
    take();
    gamepads.multiController = false;
    gamepads.start(false);
    auto first = attach(VirtualPad::xboxPlain());
    auto second = attach(VirtualPad::dualSense());
    EXPECT_EQ(take().at(2).slot, 0);
    gamepads.rumble(0, 30000, 10000);
    EXPECT_EQ(second->rumbles(), (Rumbles{{30000, 10000}}));
    first.reset();
    gamepads.pump();
    EXPECT_TRUE(take().empty());
    second->press(SDL_CONTROLLER_BUTTON_START);
    gamepads.pump();
    seen = take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(std::tie(seen[0].mask, seen[0].buttons), std::make_tuple(0x1, 0x10u));
    second.reset();
    gamepads.pump();
    seen = take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(neutral(seen[0]) && seen[0].mask == 0);
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
    gamepads.rumble(0, 40000, 20000);
    gamepads.rumble(0, 656, 0);
    gamepads.rumble(0, 20000, 40000);
    gamepads.rumble(0, 655, 0);
    gamepads.rumble(0, 50000, 50000);
    EXPECT_EQ(first->rumbles(), (Rumbles{{40000, 20000}, {656, 0}, {20000, 40000}, {0, 0}, {50000, 50000}}));
    gamepads.stop(); // silences the motors and neutralises slots 0 and 2
    EXPECT_EQ(first->rumbles().back(), (std::pair<std::uint16_t, std::uint16_t>{0, 0}));
    auto seen = take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::tie(seen[0].slot, seen[1].slot), std::make_tuple(0, 2));
    for (const Seen& s : seen) EXPECT_TRUE(neutral(s) && s.mask == 0);
    first->press(SDL_CONTROLLER_BUTTON_A);
    gamepads.pump();
    EXPECT_TRUE(take().empty());
    gamepads.start(false); // announced afresh, with the state they have now
    seen = take();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(std::tie(seen[1].buttons, seen[2].slot), std::make_tuple(0x1000u, 1));
}

} // namespace
} // namespace corvane::stream
