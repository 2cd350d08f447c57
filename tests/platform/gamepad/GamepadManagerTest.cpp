#include "platform/gamepad/GamepadManager.hpp"
#include "tests/support/VirtualPad.hpp"
#include <gtest/gtest.h>
#include <utility>
#include <variant>

namespace corvane::platform {
namespace {

using test::VirtualPad;

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

// Arrivals, changes and removals are seen through the engine's controller tests; here what they do not ask.
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
