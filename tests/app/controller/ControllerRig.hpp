#pragma once

#include "app/controller/BoxController.hpp"
#include "boxsim/Box.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/GuiEnvironment.hpp"
#include "tests/support/TestSupport.hpp"
#include <QApplication>
#include <QCoroTask>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>
#include <memory>

namespace corvane::test {

// One controller as the app builds it (offscreen unless the test chose a platform), over a manual clock and
// folders of its own, its simulated box (not started) on a loopback address of its own.
struct ControllerRig {
    explicit ControllerRig(std::unique_ptr<CableLink> cable, boxsim::Box::Options options = {}) {
        if (app)  // else the test's display environment gave the app its folders
            for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
                setenv(name, (dir.path() / name).c_str(), 1);
        setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);
        options.address = address;
        box = std::make_unique<boxsim::Box>(options);
        controller = std::make_unique<BoxController>(BoxController::Environment{
            clock, pool, std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json"), std::move(cable),
            dir.path() / "keys"});
        controller->autostartConfigHome = dir.path() / "config";
        edit([](StreamSettings& s) { s.autoConnect = false; });
    }
    ~ControllerRig() {
        controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        box->stop();
    }
    void edit(const std::function<void(StreamSettings&)>& change) {
        StreamSettings settings = controller->settings();
        change(settings);
        controller->setSettings(settings);
    }
    // One pass of the loop and the status request it started, then the second its sleep would take.
    void pass() {
        QCoro::waitFor(controller->tick());
        (void)QTest::qWaitFor([&] { return !controller->askingStatus(); }, 10000);
        clock.advance(1);
    }

    inline static int argc = 1;
    inline static char name[] = "test";
    inline static char* argv[] = {name, nullptr};
    const bool platform = setenv("QT_QPA_PLATFORM", "offscreen", 0) == 0;
    // The test's own display and application when it made them first.
    std::unique_ptr<QApplication> app = qApp ? nullptr : std::make_unique<QApplication>(argc, argv);
    TempDir dir;
    const std::string address = uniqueLoopbackAddress();
    ManualClock clock;
    AppPool pool;
    std::unique_ptr<boxsim::Box> box;
    std::unique_ptr<BoxController> controller;
};

// The alerts shown now; the one alert shown, once it has this text; a button of it pressed and the alert gone.
inline std::vector<QMessageBox*> alerts() { return shownWindows<QMessageBox>(); }
inline QMessageBox* alert(const QString& text) {
    QMessageBox* found = nullptr;
    (void)QTest::qWaitFor([&] {
        const auto shown = alerts();
        return (found = shown.size() == 1 && shown[0]->text() == text ? shown[0] : nullptr) != nullptr;
    }, 5000);
    return found;
}
inline bool press(QMessageBox* box, const QString& button) {
    if (!box) return false;
    for (auto* candidate : box->findChildren<QPushButton*>())
        if (candidate->text() == button) return candidate->click(), QTest::qWaitFor([] { return alerts().empty(); }, 5000);
    return false;
}

} // namespace corvane::test
