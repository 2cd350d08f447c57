#include "app/controller/ControllerWatcher.hpp"
#include "engine/input/Gamepads.hpp"
#include "tests/support/VirtualPad.hpp"
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QTest>
#include <memory>

namespace corvane {
namespace {

using Manager = platform::GamepadManager;
using Names = std::vector<std::string>;
using test::VirtualPad;

class ControllerWatcherTest : public ::testing::Test {
protected:
    static inline int argc = 1;
    static inline char name[] = "test";
    static inline char* argv[] = {name, nullptr};
    QCoreApplication app{argc, argv};
    test::SdlControllers sdl;
};

TEST_F(ControllerWatcherTest, NameIsTheControllersElseItsKindElseGameController) {
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"Pro Controller", "Nintendo Switch Pro Controller", "Pro Controller"}, {"", "DualSense", "DualSense"},
        {"", "", "Game controller"}};
    for (const auto& [name, category, shown] : rows) {
        Manager::Info info;
        info.name = name;
        info.productCategory = category;
        EXPECT_EQ(ControllerWatcher::displayName(info), shown);
    }
}

// The list and the stream hear the same controllers from the one manager; the stream's end leaves the list.
TEST_F(ControllerWatcherTest, ListsWhatTheManagerTheStreamSharesReports) {
    Manager manager;
    manager.start(Manager::Delivery::pump);
    auto first = std::make_unique<VirtualPad>(VirtualPad::dualSense());
    ControllerWatcher watcher(manager);
    stream::Gamepads gamepads(manager);
    gamepads.start(true);
    const auto settle = [&] {
        manager.pump();
        QCoreApplication::processEvents();
    };
    // Two of one kind are two equal names, in two slots of the stream.
    auto second = std::make_unique<VirtualPad>(VirtualPad::dualSense());
    settle();
    EXPECT_EQ(watcher.names(), (Names{"DualSense Wireless Controller", "DualSense Wireless Controller"}));
    EXPECT_EQ(gamepads.activeMask(), 0x3);
    first.reset();
    settle();
    EXPECT_EQ(watcher.names(), Names{"DualSense Wireless Controller"});
    EXPECT_EQ(gamepads.activeMask(), 0x2);
    // An arrival and a removal in one pump.
    gamepads.stop();
    VirtualPad third(VirtualPad::switchPro());
    second.reset();
    settle();
    EXPECT_EQ(watcher.names(), Names{"Pro Controller"});
}

// The app's watcher runs its manager on the manager's thread and hears it on the main thread.
TEST_F(ControllerWatcherTest, OwnManagerReportsOnTheMainThread) {
    ControllerWatcher watcher;
    EXPECT_TRUE(watcher.names().empty());
    auto pad = std::make_unique<VirtualPad>(VirtualPad::xboxPlain());
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.names() == Names{"Xbox One S Controller"}; }, 10000));
    pad.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.names().empty(); }, 10000));
}

} // namespace
} // namespace corvane
