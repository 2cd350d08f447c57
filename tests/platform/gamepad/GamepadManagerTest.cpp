#include "platform/gamepad/GamepadManager.hpp"

#include "tests/support/VirtualPad.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <variant>

#include <pthread.h>

namespace corvane::platform {
namespace {

using test::VirtualPad;
using Button = GamepadManager::Button;

struct Added { GamepadManager::Info info; GamepadManager::State state; };
struct Changed { GamepadManager::Id id; GamepadManager::State state; };
struct Removed { GamepadManager::Id id; };
using Report = std::variant<Added, Changed, Removed>;

class GamepadManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.onAdded = [this](const auto& info, const auto& state) { record(Added{info, state}); };
        manager.onChanged = [this](GamepadManager::Id id, const auto& state) { record(Changed{id, state}); };
        manager.onRemoved = [this](GamepadManager::Id id) { record(Removed{id}); };
    }
    void TearDown() override { manager.stop(); }
    void record(Report report) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard guard(lock);
        reports.push_back(std::move(report));
        thread = name;
        changed.notify_all();
    }
    std::vector<Report> take(std::size_t atLeast = 0) {
        std::unique_lock guard(lock);
        changed.wait_for(guard, std::chrono::seconds(10), [&] { return reports.size() >= atLeast; });
        return std::exchange(reports, {});
    }

    test::SdlControllers sdl;
    GamepadManager manager;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::string thread;
};

// Arrivals with the state at start, each change between two pumps on its own and removals without SDL's
// recentring are seen through the engine's controller tests; here what the engine does not ask for.
TEST_F(GamepadManagerTest, AnInactiveApplicationHearsChangesOnlyWithBackgroundEvents) {
    VirtualPad pad(VirtualPad::xboxPlain());
    for (const bool background : {false, true}) {
        manager.start(background, GamepadManager::Delivery::pump);
        take();
        manager.setApplicationActive(false);
        pad.press(SDL_CONTROLLER_BUTTON_A, !background);
        manager.pump();
        EXPECT_EQ(take().size(), background ? 1u : 0u);
        manager.setApplicationActive(true);
        manager.stop();
    }
    // Back in front, the next change carries the whole state, the press made meanwhile included.
    manager.start(false, GamepadManager::Delivery::pump);
    take();
    manager.setApplicationActive(false);
    pad.press(SDL_CONTROLLER_BUTTON_A);
    manager.pump();
    manager.setApplicationActive(true);
    pad.press(SDL_CONTROLLER_BUTTON_B);
    manager.pump();
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Changed>(got[0]).state.buttons, 0x3u);
}

TEST_F(GamepadManagerTest, OwnThreadDeliversUntilStoppedAndRestarts) {
    VirtualPad pad(VirtualPad::xboxPlain());
    for (int run = 0; run < 2; ++run) {
        manager.start(true, GamepadManager::Delivery::ownThread);
        auto got = take(1); // reported afresh on each start, with the state then
        EXPECT_EQ(std::get<Added>(got.at(0)).info.id, pad.id());
        EXPECT_EQ(std::get<Added>(got.at(0)).state.pressed(Button::b), run == 1);
        pad.press(SDL_CONTROLLER_BUTTON_B, run == 0);
        got = take(1);
        EXPECT_EQ(std::get<Changed>(got.at(0)).state.pressed(Button::b), run == 0);
        EXPECT_EQ(thread, "corvane.gamepad");
        manager.stop();
        EXPECT_FALSE(manager.running());
    }
}

} // namespace
} // namespace corvane::platform
