#include "platform/gamepad/GamepadManager.hpp"

#include "tests/support/VirtualPad.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <variant>

namespace corvane::platform {
namespace {

using test::VirtualPad;
using Button = GamepadManager::Button;
using Axis = GamepadManager::Axis;

struct Added { GamepadManager::Info info; GamepadManager::State state; };
struct Changed { GamepadManager::Id id; GamepadManager::State state; };
struct Removed { GamepadManager::Id id; };
using Report = std::variant<Added, Changed, Removed>;

class GamepadManagerTest : public ::testing::Test {
protected:
    void SetUp() override { listening = manager.listen(listener(false)); }
    void TearDown() override {
        listening.reset();
        manager.stop();
    }
    GamepadManager::Listener listener(bool background) {
        GamepadManager::Listener listener;
        listener.onAdded = [this](const auto& info, const auto& state) { record(Added{info, state}); };
        listener.onChanged = [this](GamepadManager::Id id, const auto& state) { record(Changed{id, state}); };
        listener.onRemoved = [this](GamepadManager::Id id) { record(Removed{id}); };
        listener.background = background;
        return listener;
    }
    // Deliveries come on this thread (pumped).
    void record(Report report) { reports.push_back(std::move(report)); }
    std::vector<Report> take() { return std::exchange(reports, {}); }

    test::SdlControllers sdl;
    GamepadManager manager;
    GamepadManager::Listening listening;
    std::vector<Report> reports;
};

TEST_F(GamepadManagerTest, ReportsArrivalEachChangeAndRemovalAlone) {
    VirtualPad dualSense(VirtualPad::dualSense());
    dualSense.press(SDL_CONTROLLER_BUTTON_A);
    manager.start(GamepadManager::Delivery::pump);
    auto got = take(); // from start() itself, with the state at that moment
    ASSERT_EQ(got.size(), 1u);
    const auto& first = std::get<Added>(got[0]);
    EXPECT_EQ(std::tie(first.info.id, first.info.name, first.info.productCategory, first.info.type, first.info.vendor,
                       first.info.product, first.info.rumble, first.info.buttons),
              std::make_tuple(dualSense.id(), "DualSense Wireless Controller", "DualSense", GamepadManager::Type::ps5,
                              0x054C, 0x0CE6, true, VirtualPad::dualSense().buttons));
    EXPECT_EQ(first.state.buttons, 1u << static_cast<int>(Button::a));

    // Changes made between two pumps are separate changes, each with the whole state after it.
    auto pad = std::make_unique<VirtualPad>(VirtualPad::switchPro());
    manager.pump();
    pad->press(SDL_CONTROLLER_BUTTON_X);
    pad->axis(SDL_CONTROLLER_AXIS_LEFTY, -32768);
    pad->axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767);
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(std::get<Added>(got[0]).info.type, GamepadManager::Type::switchPro);
    const auto last = std::get<Changed>(got[3]);
    EXPECT_NE(std::get<Changed>(got[1]).state, std::get<Changed>(got[2]).state);
    EXPECT_NE(std::get<Changed>(got[2]).state, last.state);
    EXPECT_EQ(std::make_tuple(last.id, last.state.buttons, last.state.axis(Axis::leftY), last.state.axis(Axis::rightTrigger)),
              std::make_tuple(pad->id(), 1u << static_cast<int>(Button::x), -32768, 32767));

    // Removal alone: SDL's recentring of the leaving controller is not the player's.
    const auto id = pad->id();
    pad.reset();
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Removed>(got[0]).id, id);
}

TEST_F(GamepadManagerTest, AnInactiveApplicationReachesOnlyBackgroundListeners) {
    VirtualPad pad(VirtualPad::xboxPlain());
    manager.start(GamepadManager::Delivery::pump);
    take();
    // A second listener, for the background, first hears of the pad already there.
    auto background = manager.listen(listener(true));
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Added>(got[0]).info.id, pad.id());

    manager.setApplicationActive(false);
    pad.press(SDL_CONTROLLER_BUTTON_A);
    manager.pump();
    EXPECT_EQ(take().size(), 1u);
    // Back in front, the next change carries the whole state, the press made meanwhile included.
    manager.setApplicationActive(true);
    pad.press(SDL_CONTROLLER_BUTTON_B);
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::get<Changed>(got[0]).state.buttons, 0x3u);

    // A listener that has gone hears nothing more.
    background.reset();
    pad.press(SDL_CONTROLLER_BUTTON_B, false);
    manager.pump();
    EXPECT_EQ(take().size(), 1u);
}

} // namespace
} // namespace corvane::platform
