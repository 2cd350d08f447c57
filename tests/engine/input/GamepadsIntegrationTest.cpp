#include "engine/input/Gamepads.hpp"

#include "boxsim/Box.hpp"
#include "engine/input/GamepadPacket.hpp"
#include "engine/session/StreamSession.hpp"
#include "tests/support/VirtualPad.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace corvane::stream {
namespace {

using Message = boxsim::ControlServer::Message;
using GamepadPacket::Buttons;
using GamepadPacket::Capabilities;

bool received(const std::vector<Message>& messages, const Bytes& packet) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.type == 0x0206 && m.payload == packet; });
}

// A controller on this machine appears on a simulated box through a real session, and the box's rumble comes
// back to the controller through the session's rumble callback.
TEST(GamepadsIntegrationTest, ControllersReachTheBoxAndRumbleComesBack) {
    test::SdlControllers sdl;
    test::TempDir dir;
    boxsim::Box::Options options;
    options.address = test::uniqueLoopbackAddress();
    auto box = std::make_shared<boxsim::Box>(options);
    box->start();
    auto host = test::boxHostFor(options.address, dir.path());
    test::pairWithBox(*host, box);

    Gamepads gamepads; // events on its own thread, as in the application
    auto session = std::make_unique<StreamSession>(
        host, StreamConfig(1280, 720, 60, 10000, StreamConfig::Codec::h264, 2, 1392), 881448767);
    gamepads.send = [&session](ByteView packet) { session->sendInput(Bytes(packet.begin(), packet.end())); };
    session->onRumble = [&gamepads](std::int64_t slot, std::uint16_t low, std::uint16_t high) { gamepads.rumble(slot, low, high); };
    session->start(false);
    auto control = box->control();
    ASSERT_TRUE(control);

    test::VirtualPad pad(test::VirtualPad::dualSense());
    gamepads.start(true);
    const Bytes arrival = GamepadPacket::arrival(0, GamepadPacket::Kind::playstation,
                                                 Capabilities::analogTriggers | Capabilities::rumble | Capabilities::touchpad,
                                                 Buttons::of(0x10F7FF));
    ASSERT_TRUE(control->waitFor([&](const auto& m) { return received(m, arrival); }, 10));

    pad.press(SDL_CONTROLLER_BUTTON_Y);
    ASSERT_TRUE(control->waitFor([&](const auto& m) { return received(m, GamepadPacket::state(0, 0x1, Buttons::y, 0, 0, 0, 0, 0, 0)); }, 10));

    // Slots the box has no controller in, or that cannot exist, are ignored on the way.
    control->sendRumble(9, 1000, 1000);
    control->sendRumble(300, 1000, 1000);
    control->sendRumble(0, 40000, 20000);
    ASSERT_TRUE(pad.waitForRumbles(1, 10));
    control->sendRumble(0, 0, 0);
    ASSERT_TRUE(pad.waitForRumbles(2, 10));
    EXPECT_EQ(pad.rumbles(), (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{40000, 20000}, {0, 0}}));

    // The end of the stream neutralises the slot on the box.
    gamepads.stop();
    ASSERT_TRUE(control->waitFor([&](const auto& m) { return received(m, GamepadPacket::state(0, 0, {}, 0, 0, 0, 0, 0, 0)); }, 10));
    session.reset();
    box->stop();
}

} // namespace
} // namespace corvane::stream
