#pragma once

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/sharing/SharingManager.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"

#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace corvane::test {

// One QApplication per test program: offscreen, or on a virtual X display of its own when the test needs
// the real X clipboard. The log goes to a folder of the program's own.
class SharingGui : public ::testing::Environment {
public:
    static QApplication& ensure(bool x11) {
        static SharingGui* env = static_cast<SharingGui*>(::testing::AddGlobalTestEnvironment(new SharingGui));
        if (!env->app) {
            env->state = std::make_unique<TempDir>();
            ::setenv("XDG_STATE_HOME", env->state->path().c_str(), 1);
            if (x11) {
                env->xvfb = std::make_unique<XvfbDisplay>();
                qputenv("QT_QPA_PLATFORM", "xcb");
            } else {
                qputenv("QT_QPA_PLATFORM", "offscreen");
            }
            qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
            env->app = std::make_unique<QApplication>(env->argc, env->argv);
        }
        return *env->app;
    }
    void TearDown() override { app.reset(), xvfb.reset(); }

private:
    int argc = 1;
    char name[16] = "sharing-test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<TempDir> state;
    std::unique_ptr<XvfbDisplay> xvfb;
    std::unique_ptr<QApplication> app;
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A manager talking to a simulated box agent of the test's own, on a clock the test moves.
class SharingFixture : public ::testing::Test {
protected:
    explicit SharingFixture(bool x11 = false) { SharingGui::ensure(x11); }
    void SetUp() override {
        agent.start();
        manager = std::make_unique<SharingManager>(clock, pool, AgentClient(address, 47800));
        settings.receiveFolder = folder.path().string();
    }
    void TearDown() override {
        manager.reset();
        agent.stop();
    }
    void turnOn() {
        AgentClient::Info info;
        info.sharing = AgentClient::Info::Sharing{true, std::nullopt};
        manager->update(info, settings);
    }
    // The pill shows a result line.
    bool waitForResult() {
        return QTest::qWaitFor([&] { return !manager->hud().title().empty() && !manager->hud().progress(); }, 20000);
    }
    bool waitIdle() { return QTest::qWaitFor([&] { return !manager->transferBusy(); }, 20000); }
    std::string logTail() { return Log::flush(), Log::tail(20); }
    std::size_t requests(const std::string& endpoint) { return agent.seen(endpoint).size(); }
    std::string address = uniqueLoopbackAddress();
    // A box agent on the fixture's address, with `change` made to its options.
    boxsim::Agent::Options agentOptions(const std::function<void(boxsim::Agent::Options&)>& change = {}) {
        boxsim::Agent::Options o;
        o.address = address;
        if (change) change(o);
        return o;
    }
    boxsim::Agent agent{agentOptions()};
    ManualClock clock;
    AppPool pool;
    TempDir folder;
    StreamSettings settings;
    std::unique_ptr<SharingManager> manager;
};

} // namespace corvane::test
