#pragma once

// One virtual display and one QApplication (xcb, software OpenGL) per test program, made by the first test
// that needs them and ended after the last test (header only: the test links Qt Widgets).

#include <cstdlib>
#include <dlfcn.h>
#include <memory>
#include <vector>
#include <gtest/gtest.h>
#include <QApplication>
#include "tests/support/XvfbDisplay.hpp"

namespace corvane::test {

class GuiEnvironment : public ::testing::Environment {
public:
    static QApplication& ensure();
    void TearDown() override {
        app.reset();
        xvfb.reset();
    }

private:
    int argc = 1;
    char name[16] = "gui-test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<XvfbDisplay> xvfb;
    std::unique_ptr<QApplication> app;
};

inline GuiEnvironment* const guiEnvironment =
    static_cast<GuiEnvironment*>(::testing::AddGlobalTestEnvironment(new GuiEnvironment));

inline QApplication& GuiEnvironment::ensure() {
    GuiEnvironment& env = *guiEnvironment;
    if (!env.app) {
        // A test may run itself again on a screen of another size, or scaled.
        const char* screen = std::getenv("CORVANE_TEST_SCREEN");
        env.xvfb = screen ? std::make_unique<XvfbDisplay>(screen) : std::make_unique<XvfbDisplay>();
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("LIBGL_ALWAYS_SOFTWARE", "1");
        if (const char* scale = std::getenv("CORVANE_TEST_SCALE")) qputenv("QT_SCALE_FACTOR", scale);
        else qunsetenv("QT_SCALE_FACTOR");
        // No session bus: Qt would otherwise reach for one (accessibility, theme) and libdbus keeps what it
        // allocated for it until exit, which the sanitizer builds report as leaks.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        // The software GL driver keeps its state in its own globals and is unloaded before the leak check at
        // exit, which would then report that state as lost; held here it stays mapped to the end.
        dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_LAZY | RTLD_NODELETE);
        env.app = std::make_unique<QApplication>(env.argc, env.argv);
    }
    return *env.app;
}

// The application's top-level windows of type T shown now.
template <class T>
std::vector<T*> shownWindows() {
    std::vector<T*> shown;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<T*>(widget); window && window->isVisible()) shown.push_back(window);
    return shown;
}

}  // namespace corvane::test
