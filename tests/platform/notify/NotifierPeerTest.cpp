#include "platform/notify/Notifier.hpp"
#include "platform/notify/Reveal.hpp"
#include "tests/support/ChildProcesses.hpp"
#include "tests/support/FileManagerStandIn.hpp"
#include "tests/support/OwnedProcess.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>
#include <csignal>
#include <fstream>
#include <future>
#include <sys/wait.h>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

// A session bus of the test's own, with the application on it.
class NotifierTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "notify-test";
        static char* argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
        ASSERT_TRUE(test::startSessionBus());
    }
    void TearDown() override { standIn.reset(); }

    void startFileManager() {
        std::ofstream(temp.path() / "standin.py") << test::kFileManagerStandIn;
        standIn = std::make_unique<test::OwnedProcess>("/usr/bin/python3 '" + (temp.path() / "standin.py").string() + "' '" +
                                                       record().string() + "' >/dev/null 2>&1");
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.FileManager1"); }, 15000));
    }
    fs::path record() const { return temp.path() / "record.txt"; }
    bool recorded(const std::string& line) {
        return QTest::qWaitFor([&] { return test::readWhole(record()).find(line) != std::string::npos; }, 10000);
    }

    static inline QCoreApplication* app = nullptr;
    std::unique_ptr<test::OwnedProcess> standIn;
    test::TempDir temp;
};

// A real notification server: dunst on a virtual display takes the notice (the body escaped, as dunst reads
// markup), and its click (through dunstctl) shows the file.
TEST_F(NotifierTest, DunstShowsTheNoticeAsCorvaneAndItsClickShowsTheFile) {
    test::XvfbDisplay display;
    const auto monitor = temp.path() / "monitor.txt";
    test::OwnedProcess monitorProcess("dbus-monitor \"interface='org.freedesktop.Notifications',member='Notify'\" > '" +
                                      monitor.string() + "' 2>/dev/null");
    // It watches once the bus has taken its name back (it then only listens).
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::readWhole(monitor).find("member=NameLost") != std::string::npos; }, 15000));
    test::OwnedProcess dunst("dunst >/dev/null 2>&1");
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"); }, 15000));
    startFileManager();
    {
        Notifier notifier;
        notifier.post("Received <b>a</b> & b from Windows", "Saved to <b>a</b> & b. Click to show in the file manager.",
                      fs::path("/tmp/Downloads/report 3.pdf"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return test::readWhole(monitor).find("from Windows") != std::string::npos; }, 10000));
        const auto seen = test::readWhole(monitor);
        for (const char* part : {"string \"Corvane\"", "uint32 0", "string \"Received <b>a</b> & b from Windows\"",
                                 "string \"Saved to &lt;b&gt;a&lt;/b&gt; &amp; b. Click to show in the file manager.\"",
                                 "string \"default\"", "string \"Show\"", "int32 -1"})
            EXPECT_NE(seen.find(part), std::string::npos);
        // Clicked once dunst shows it.
        EXPECT_TRUE(QTest::qWaitFor([] { return test::runCommand("dunstctl count displayed").output == "1\n"; }, 15000));
        auto click = std::async(std::launch::async, [] { return test::runCommand("dunstctl action 0").status; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return click.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
        EXPECT_TRUE(recorded("ShowItems|file:///tmp/Downloads/report%203.pdf|\n"));
    }
    // Ended by us while its display is still there, not by a failure of its own.
    const int ended = dunst.stop();
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0) << ended;
    monitorProcess.stop();
    (void)QTest::qWaitFor(
        [] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"); }, 5000);
}

TEST_F(NotifierTest, WithoutAFileManagerTheFolderOpens) {
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.FileManager1"); }, 5000));
    const auto bin = temp.path() / "bin";
    fs::create_directories(bin);
    test::writeScript(bin / "xdg-open", "printf 'xdg-open|%s\\n' \"$@\" >> '" + record().string() + "'\n");
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    Reveal::show("/tmp/a; rm -rf x/$(echo no)/file.txt");
    EXPECT_TRUE(recorded("xdg-open|/tmp/a; rm -rf x/$(echo no)\n"));
    ::setenv("PATH", path.c_str(), 1);
}

TEST_F(NotifierTest, WithoutAServerNoticesAreDroppedWithOneLine) {
    std::vector<std::string> lines;
    Notifier notifier;
    notifier.log = [&](const std::string& line) { lines.push_back(line); };
    notifier.post("a", "b", std::nullopt);
    notifier.post("c", "d", std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !lines.empty(); }, 10000));
    QTest::qWait(100);
    notifier.post("e", "f", std::nullopt);
    EXPECT_EQ(lines, std::vector<std::string>{"notifications: no notification server answers; notices are not shown"});
}

} // namespace
} // namespace corvane::platform
