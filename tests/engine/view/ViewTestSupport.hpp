#pragma once

#include <algorithm>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>

#include "engine/EngineLog.hpp"
#include "tests/support/XvfbDisplay.hpp"

namespace corvane::test {

// One virtual display and one QApplication (xcb, software OpenGL) per test program, made by the first test
// that needs them and ended after the last test.
class GuiEnvironment : public ::testing::Environment {
public:
    static QApplication& ensure();

    void TearDown() override {
        app.reset();
        xvfb.reset();
    }

private:
    int argc = 1;
    char name[16] = "view-test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<XvfbDisplay> xvfb;
    std::unique_ptr<QApplication> app;
};

inline GuiEnvironment* const guiEnvironment =
    static_cast<GuiEnvironment*>(::testing::AddGlobalTestEnvironment(new GuiEnvironment));

inline QApplication& GuiEnvironment::ensure() {
    GuiEnvironment& env = *guiEnvironment;
    if (!env.app) {
        env.xvfb = std::make_unique<XvfbDisplay>();
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("LIBGL_ALWAYS_SOFTWARE", "1");
        qunsetenv("QT_SCALE_FACTOR");
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

// The engine's log lines while it lives.
class LogCapture {
public:
    LogCapture() {
        stream::EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(mutex);
            lines.push_back(line);
        });
    }
    ~LogCapture() { stream::EngineLog::setSink(nullptr); }

    std::size_t count(const std::string& line) const {
        std::lock_guard guard(mutex);
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), "[engine] " + line));
    }
    bool has(const std::string& line) const { return count(line) > 0; }
    std::vector<std::string> all() const {
        std::lock_guard guard(mutex);
        return lines;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace corvane::test
