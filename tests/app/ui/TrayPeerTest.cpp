// The tray item as a desktop sees it: registered with a stand-in StatusNotifierWatcher (python3-dbus) on
// the test's own session bus, its menu read and clicked through com.canonical.dbusmenu, the simulated box
// behind it; and the settings as trays come to the desktop and go.
#include "app/ui/GeneralTab.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/window/EngineStream.hpp"
#include "platform/tray/TrayHost.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QCheckBox>
#include <QCoroTask>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>
#include <filesystem>
#include <gmock/gmock.h>
#include <tuple>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
// A cached compile leaves __FILE__ relative to the build folder, the parent of this program's.
const std::filesystem::path kScripts = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                       std::filesystem::path(__FILE__).parent_path() / "dbus";

class TrayOverDBus : public test::UiFixture {
protected:
    TrayOverDBus() : UiFixture(true) {}
    void SetUp() override { startWatcher(); }
    void TearDown() override { stopWatcher(); }
    void startWatcher(const QStringList& extra = {}) {
        test::endsWithTest(watcher);
        output.clear();
        watcher.setProgram("/usr/bin/python3");
        watcher.setArguments(QStringList{QString::fromStdString((kScripts / "watcher.py").string())} + extra);
        watcher.start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return readWatcher().contains("ready"); }, 15000)) << watcher.readAllStandardError().toStdString();
    }
    void stopWatcher() {
        watcher.kill();
        watcher.waitForFinished();
    }
    QString readWatcher() {
        output += QString::fromUtf8(watcher.readAllStandardOutput());
        return output;
    }
    // Items registered with the watcher running now.
    int registrations() { return static_cast<int>(readWatcher().count("item ")); }
    // Runs the menu reader while this process keeps answering its D-Bus calls.
    QStringList menu(const QStringList& extra = {}) {
        QProcess reader;
        test::endsWithTest(reader);
        reader.start("/usr/bin/python3", QStringList{QString::fromStdString((kScripts / "menu.py").string())} + extra);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reader.state() != QProcess::NotRunning && std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            reader.waitForFinished(5);
        }
        const QString err = QString::fromUtf8(reader.readAllStandardError());
        EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        return QString::fromUtf8(reader.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }
    QProcess watcher;
    QString output;
};

TEST_F(TrayOverDBus, ItemRegistersFollowsThePhaseOpensWindowsAndFollowsTheSetting) {
    TrayMenu tray(*box, {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return registrations() == 1; }, 15000)) << output.toStdString();
    EXPECT_TRUE(tray.shown());
    EXPECT_EQ(tray.findChild<QSystemTrayIcon*>()->toolTip(), "Corvane");
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    setBox({.phase = phase(Kind::waitingForBox)});
    const QStringList waitingIcon = menu({"icon"});
    EXPECT_EQ(menu().mid(0, 3), (QStringList{"Box not connected (off)", "-", "Open Windows (off)"}));  // all: TrayMenuTest
    // The whole menu as the desktop shows it.
    EXPECT_EQ(menu().join(" | ").toStdString(), "Box not connected (off) | - | Open Windows (off) | Send Files to Windows... (off) | "
                                                "Restart Box... (off) | - | Show Corvane | Settings... | Check for Updates... | "
                                                "Save Diagnostics... | - | Quit Corvane");
    // The simulated box on the fixture's address: one pass of the loop pairs, then the menu opens Windows.
    QProcess boxsim;
    test::endsWithTest(boxsim);
    boxsim.start(CORVANE_BOXSIM_PROGRAM, {"--address", QString::fromStdString(address), "--no-media"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxsim.canReadLine() && boxsim.readLine().startsWith("ready"); }, 15000));
    edit([](StreamSettings& s) { s.autoConnect = false, s.codec = StreamSettings::Codec::h264; });
    cable->address = address;
    QCoro::waitFor(box->tick());
    ASSERT_TRUE(box->phase().is(Kind::ready)) << box->phase().description();
    EXPECT_EQ(menu({"click", "Open Windows"}), QStringList{"clicked"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->engineStream().session() != nullptr; }, 60000));
    EXPECT_TRUE(box->streamOpen());
    ASSERT_NE(box->engineStream().window(), nullptr);
    EXPECT_TRUE(box->engineStream().window()->isVisible());
    EXPECT_EQ(menu().mid(0, 3), (QStringList{"Windows is open (off)", "-", "Close Windows Session"}));
    // The picture follows the phase.
    const QStringList streamingIcon = menu({"icon"});
    ASSERT_EQ(streamingIcon.size(), 1);
    EXPECT_NE(streamingIcon, waitingIcon);
    QCoro::waitFor(box->stopStreamAndWait());
    boxsim.terminate();
    boxsim.waitForFinished();
    // Turning the setting off removes the item; on again registers it anew.
    defaults->set(StreamSettings::menuBarKey, {false});
    tray.syncVisibility();
    EXPECT_FALSE(tray.shown());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    defaults->set(StreamSettings::menuBarKey, {true});
    tray.syncVisibility();
    EXPECT_TRUE(QTest::qWaitFor([&] { return registrations() == 2; }, 15000)) << output.toStdString();
}

// A desktop with no tray until the test starts one.
class TrayComesAndGoes : public TrayOverDBus {
protected:
    void SetUp() override {}
};

// No tray, then a tray host that comes, goes and comes back: the tray switch with its reason, the note and
// whether closing the last window quits follow it, and the stored choice is never rewritten.
TEST_F(TrayComesAndGoes, TheTraySwitchAndClosingTheWindowFollowTheHost) {
    defaults->set(StreamSettings::menuBarKey, {true});
    const std::string stored = test::readWhole(dir.path() / "defaults.json");
    TrayMenu tray(*box, {});
    SettingsWindow settings(*box);
    settings.general()->setTray(&tray);
    QWidget& tab = *settings.page(0);
    QCheckBox* toggle = nullptr;
    for (auto* check : tab.findChildren<QCheckBox*>())
        if (check->text() == "Show Corvane in the tray") toggle = check;
    ASSERT_NE(toggle, nullptr);
    const std::string withTray = "Show Corvane in the tray\n~With both on, Corvane waits quietly in the tray and opens Windows as soon "
                                 "as the box is plugged in. With the tray icon on, closing the Corvane window keeps it running.\n",
                      noTray = "Show Corvane in the tray (off)\n~This desktop shows no tray. Closing the Corvane window quits Corvane.\n";
    const struct { const char* step; std::function<void()> act; bool tray; } steps[] = {
        {"none yet", [] {}, false},
        {"a host comes", [this] { startWatcher(); }, true},
        {"it goes", [this] { stopWatcher(); }, false},
        {"it comes back", [this] { startWatcher(); }, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        step.act();
        ASSERT_TRUE(QTest::qWaitFor([&] { return tray.available() == step.tray; }, 15000));
        EXPECT_THAT(test::shownTexts(tab), testing::HasSubstr("Open Corvane when you log in\n" + (step.tray ? withTray : noTray) + "Box\n"));
        EXPECT_EQ(toggle->isChecked(), step.tray);
        EXPECT_EQ(QApplication::quitOnLastWindowClosed(), !step.tray);
        // The icon, made once a host came, reaches it.
        if (step.tray) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return registrations() == 1; }, 15000)) << output.toStdString();
        }
        EXPECT_EQ(test::readWhole(dir.path() / "defaults.json"), stored);
    }
    // With a host, the switch takes the icon away and closing the window quits again.
    toggle->click();
    EXPECT_FALSE(StreamSettings::menuBarEnabled(*defaults));
    EXPECT_FALSE(tray.shown());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    EXPECT_THAT(test::shownTexts(tab), testing::HasSubstr(withTray));
}

// An X tray manager as a panel runs one: a window of its own holding the screen's tray selection.
struct XTrayManager {
    Display* display = XOpenDisplay(nullptr);
    ::Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XTrayManager() {
        const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
        XSetSelectionOwner(display, XInternAtom(display, name.c_str(), 0), window, 0);
        XFlush(display);
    }
    ~XTrayManager() { XCloseDisplay(display); }
};

// A watcher whose host is gone shows no items; an X tray is seen as it comes and as it goes.
TEST_F(TrayComesAndGoes, EachKindOfTrayIsSeenAsItComesAndGoes) {
    platform::TrayHost host;
    std::unique_ptr<XTrayManager> xTray;
    const struct { const char* name; std::function<void()> start, stop; std::tuple<bool, bool, bool> seen; } trays[] = {
        {"watcher, no host", [this] { startWatcher({"--no-host"}); }, [this] { stopWatcher(); }, {true, false, false}},
        {"X tray", [&xTray] { xTray = std::make_unique<XTrayManager>(); }, [&xTray] { xTray.reset(); }, {false, false, true}}};
    const auto seen = [&host] { return std::tuple{host.notifierWatcher(), host.notifierHost(), host.xTray()}; };
    for (const auto& tray : trays) {
        SCOPED_TRACE(tray.name);
        EXPECT_EQ(seen(), std::tuple(false, false, false));
        tray.start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen() == tray.seen; }, 15000));
        tray.stop();
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen() == std::tuple(false, false, false); }, 15000));
    }
}

} // namespace
} // namespace corvane
