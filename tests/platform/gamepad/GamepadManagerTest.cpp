#include "platform/gamepad/GamepadManager.hpp"

#include "tests/support/VirtualPad.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <variant>

#include <pthread.h>

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
    void SetUp() override {
        manager.onAdded = [this](const GamepadManager::Info& info, const GamepadManager::State& state) {
            record(Added{info, state});
        };
        manager.onChanged = [this](GamepadManager::Id id, const GamepadManager::State& state) { record(Changed{id, state}); };
        manager.onRemoved = [this](GamepadManager::Id id) { record(Removed{id}); };
    }
    void TearDown() override { manager.stop(); }

    void record(Report report) {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        std::lock_guard guard(lock);
        reports.push_back(std::move(report));
        threads.emplace_back(name);
        changed.notify_all();
    }
    std::vector<Report> take() {
        std::lock_guard guard(lock);
        return std::exchange(reports, {});
    }
    bool waitFor(std::size_t count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return reports.size() >= count; });
    }

    test::SdlControllers sdl;
    GamepadManager manager;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::vector<std::string> threads;
};

TEST_F(GamepadManagerTest, ReportsEveryArrivalChangeAndRemoval) {
    VirtualPad dualSense(VirtualPad::dualSense());
    dualSense.press(SDL_CONTROLLER_BUTTON_A);
    manager.start(false, GamepadManager::Delivery::pump);
    // Reported from start() itself, with its state at that moment.
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    const auto& first = std::get<Added>(got[0]);
    EXPECT_EQ(std::tie(first.info.id, first.info.name, first.info.productCategory, first.info.type, first.info.vendor,
                       first.info.product, first.info.rumble, first.info.buttons),
              std::make_tuple(dualSense.id(), "DualSense Wireless Controller", "DualSense", GamepadManager::Type::ps5,
                              0x054C, 0x0CE6, true, VirtualPad::dualSense().buttons));
    EXPECT_EQ(first.state.buttons, 1u << static_cast<int>(Button::a));

    auto pad = std::make_unique<VirtualPad>(VirtualPad::switchPro());
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Added>(got[0]).info.type, GamepadManager::Type::switchPro);

    // Changes made between two pumps are still separate changes, each with the whole state after it.
    pad->press(SDL_CONTROLLER_BUTTON_DPAD_LEFT);
    manager.pump();
    pad->press(SDL_CONTROLLER_BUTTON_DPAD_LEFT, false);
    pad->press(SDL_CONTROLLER_BUTTON_X);
    manager.pump();
    pad->axis(SDL_CONTROLLER_AXIS_LEFTY, -32768);
    pad->axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767);
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(std::get<Changed>(got[0]).state.buttons, 1u << static_cast<int>(Button::dpadLeft));
    // SDL applies one update's buttons in index order: X (2) before the d-pad (13).
    EXPECT_EQ(std::get<Changed>(got[1]).state.buttons,
              (1u << static_cast<int>(Button::dpadLeft)) | (1u << static_cast<int>(Button::x)));
    EXPECT_EQ(std::get<Changed>(got[2]).state.buttons, 1u << static_cast<int>(Button::x));
    EXPECT_EQ(std::get<Changed>(got[3]).state.axis(Axis::leftY), -32768);
    const auto last = std::get<Changed>(got[4]);
    EXPECT_EQ(last.id, pad->id());
    EXPECT_EQ(std::make_tuple(last.state.buttons, last.state.axis(Axis::leftY), last.state.axis(Axis::rightTrigger)),
              std::make_tuple(1u << static_cast<int>(Button::x), -32768, 32767));

    // Removal alone: SDL's recentring of the leaving controller is not reported as the player's changes.
    const auto id = pad->id();
    pad.reset();
    manager.pump();
    manager.pump();
    got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Removed>(got[0]).id, id);

    // Rumble reaches only a known device; leaving silences it.
    EXPECT_FALSE(manager.rumble(id, 1, 1, 10));
    manager.rumble(dualSense.id(), 100, 100, 30000);
    manager.stop();
    EXPECT_EQ(dualSense.rumbles(), (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{100, 100}, {0, 0}}));
}

TEST_F(GamepadManagerTest, AnInactiveApplicationHearsChangesOnlyWithBackgroundEvents) {
    VirtualPad pad(VirtualPad::xboxPlain());
    manager.start(false, GamepadManager::Delivery::pump);
    take();
    manager.setApplicationActive(false);
    pad.press(SDL_CONTROLLER_BUTTON_A);
    manager.pump();
    EXPECT_TRUE(take().empty());
    // Back in front, the next change carries the whole state, the press made meanwhile included.
    manager.setApplicationActive(true);
    pad.press(SDL_CONTROLLER_BUTTON_B);
    manager.pump();
    auto got = take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<Changed>(got[0]).state.buttons, 0x3u);

    manager.stop();
    manager.start(true, GamepadManager::Delivery::pump);
    take();
    manager.setApplicationActive(false);
    pad.press(SDL_CONTROLLER_BUTTON_A, false);
    manager.pump();
    EXPECT_EQ(take().size(), 1u);
}

TEST_F(GamepadManagerTest, OwnThreadDeliversUntilStoppedAndRestarts) {
    VirtualPad pad(VirtualPad::xboxPlain());
    manager.start(true, GamepadManager::Delivery::ownThread);
    ASSERT_TRUE(waitFor(1));
    pad.press(SDL_CONTROLLER_BUTTON_B);
    ASSERT_TRUE(waitFor(2));
    {
        std::lock_guard guard(lock);
        EXPECT_TRUE(std::get<Changed>(reports[1]).state.pressed(Button::b));
        EXPECT_EQ(threads[1], "corvane.gamepad");
    }
    manager.stop();
    EXPECT_FALSE(manager.running());
    take();
    pad.press(SDL_CONTROLLER_BUTTON_B, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(take().empty());

    // The next start reports the controller afresh, with its current state.
    manager.start(true, GamepadManager::Delivery::ownThread);
    ASSERT_TRUE(waitFor(1));
    const auto got = take();
    EXPECT_EQ(std::get<Added>(got.at(0)).info.id, pad.id());
    EXPECT_EQ(std::get<Added>(got.at(0)).state.buttons, 0u);
}

} // namespace
} // namespace corvane::platform
