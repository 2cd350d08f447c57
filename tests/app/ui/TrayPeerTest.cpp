// The tray item as a desktop sees it: registered with a stand-in StatusNotifierWatcher (python3-dbus) on
// the test's own session bus, its menu read and clicked through com.canonical.dbusmenu, the simulated box
// behind it.
#include "app/ui/TrayMenu.hpp"
#include "app/window/EngineStream.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QCoroTask>
#include <QProcess>
#include <QTest>
#include <filesystem>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
// A cached compile leaves __FILE__ relative to the build folder, the parent of this program's.
const std::filesystem::path kScripts = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                       std::filesystem::path(__FILE__).parent_path() / "dbus";

class TrayOverDBus : public test::UiFixture {
protected:
    TrayOverDBus() : UiFixture(true) {}
    void SetUp() override {
        test::endsWithTest(watcher);
        watcher.setProgram("/usr/bin/python3");
        watcher.setArguments({QString::fromStdString((kScripts / "watcher.py").string())});
        watcher.start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return readWatcher().contains("ready"); }, 15000)) << watcher.readAllStandardError().toStdString();
    }
    void TearDown() override {
        watcher.kill();
        watcher.waitForFinished();
    }
    QString readWatcher() {
        output += QString::fromUtf8(watcher.readAllStandardOutput());
        return output;
    }
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

} // namespace
} // namespace corvane
