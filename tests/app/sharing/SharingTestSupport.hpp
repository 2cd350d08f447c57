#pragma once

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/sharing/SharingManager.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/support/GuiEnvironment.hpp"
#include "tests/support/RecordedRequests.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace corvane::test {

// One QApplication per test program, never destroyed (Qt's statics go first): on the shared virtual X display
// when the test needs the real X clipboard, else offscreen. The log goes to a folder of the program's own.
inline QApplication& sharingApp(bool x11) {
    static TempDir state;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    if (x11) return GuiEnvironment::ensure();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    static int argc = 1;
    static char name[] = "sharing-test", *argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    return *app;
}

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A manager talking to a simulated box agent of the test's own, on a clock the test moves.
class SharingFixture : public ::testing::Test {
protected:
    explicit SharingFixture(bool x11 = false) { sharingApp(x11); }
    void SetUp() override {
        agent.start();
        manager = std::make_unique<SharingManager>(clock, pool, AgentClient(address, 47800, sent.transport()));
        settings.receiveFolder = folder.path().string();
    }
    test::RecordedRequests sent;  // each request the manager's client and its transfers send
    void TearDown() override {
        manager.reset();
        clock.advance(3600);  // the ended manager's loops wake and finish
        agent.stop();
    }
    void turnOn() {
        AgentClient::Info info;
        info.sharing = AgentClient::Info::Sharing{true, std::nullopt};
        manager->update(info, settings);
    }
    bool waitIdle() { return QTest::qWaitFor([&] { return !manager->transferBusy(); }, 20000); }
    std::string logTail() { return Log::flush(), Log::tail(20); }
    std::size_t requests(const std::string& endpoint) { return agent.seen(endpoint).size(); }
    std::string address = uniqueLoopbackAddress();
    boxsim::Agent agent{[this] {
        boxsim::Agent::Options o;
        o.address = address;
        o.dropDest = "C:\\Users\\corvane\\Desktop\\";  // its last name is "Desktop"
        return o;
    }()};
    ManualClock clock;
    AppPool pool;
    TempDir folder;
    StreamSettings settings;
    std::unique_ptr<SharingManager> manager;
};

} // namespace corvane::test
