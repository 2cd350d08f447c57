#include "platform/notify/Notifier.hpp"
#include "platform/notify/Reveal.hpp"

#include "tests/support/TestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTest>

#include <csignal>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

// The desktop's notification server and file manager, as far as we use them: every call is written to a
// record file as one line; Click(id) makes the server report a click on a notice.
constexpr const char* kStandIn = R"(
import sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
record = open(sys.argv[1], 'a', buffering=1)
bus = dbus.SessionBus()

class Notifications(dbus.service.Object):
    @dbus.service.method('org.freedesktop.Notifications', out_signature='as')
    def GetCapabilities(self):
        return ['actions', 'body', 'body-markup']
    @dbus.service.method('org.freedesktop.Notifications', in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        record.write('Notify|%s|%d|%s|%s|%s|%s|%d\n' % (app, replaces, icon, summary, body, ','.join(actions), timeout))
        return 7
    @dbus.service.method('org.freedesktop.Notifications', in_signature='u')
    def Click(self, id):
        self.ActionInvoked(id, 'default')
    @dbus.service.signal('org.freedesktop.Notifications', signature='us')
    def ActionInvoked(self, id, key):
        pass

class FileManager(dbus.service.Object):
    @dbus.service.method('org.freedesktop.FileManager1', in_signature='ass')
    def ShowItems(self, uris, startup):
        record.write('ShowItems|%s|%s\n' % (','.join(uris), startup))

names = []
if sys.argv[2] != 'file-manager-only':
    names.append(dbus.service.BusName('org.freedesktop.Notifications', bus))
    Notifications(bus, '/org/freedesktop/Notifications')
if sys.argv[2] != 'alone':
    names.append(dbus.service.BusName('org.freedesktop.FileManager1', bus))
    FileManager(bus, '/org/freedesktop/FileManager1')
GLib.MainLoop().run()
)";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A session bus of the test's own, with the application on it.
class NotifierTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const auto started = test::runCommand("dbus-daemon --session --fork --print-address=1 --print-pid=1");
        std::istringstream lines(started.output);
        std::string address, pid;
        std::getline(lines, address);
        std::getline(lines, pid);
        ASSERT_FALSE(address.empty());
        busPid = std::stoi(pid);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        static int argc = 1;
        static char name[] = "notify-test";
        static char* argv[] = {name, nullptr};
        app = new QCoreApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        if (busPid > 0) ::kill(busPid, SIGTERM);
    }
    void TearDown() override {
        if (standInPid > 0) ::kill(standInPid, SIGTERM);
    }

    void startStandIn(const char* mode, const char* waitFor = "org.freedesktop.Notifications") {
        test::TempDir* dir = &temp;
        std::ofstream(dir->path() / "standin.py") << kStandIn;
        standInPid = std::stoi(test::runCommand("/usr/bin/python3 '" + (dir->path() / "standin.py").string() + "' '" +
                                                record().string() + "' " + mode + " >/dev/null 2>&1 & echo $!")
                                   .output);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(waitFor); }, 15000));
    }
    fs::path record() const { return temp.path() / "record.txt"; }
    bool recorded(const std::string& line) {
        return QTest::qWaitFor([&] { return readFile(record()).find(line) != std::string::npos; }, 10000);
    }

    static inline int busPid = -1;
    static inline QCoreApplication* app = nullptr;
    int standInPid = -1;
    test::TempDir temp;
};

TEST_F(NotifierTest, ANoticeIsSentAsCorvaneAndItsClickShowsTheFile) {
    startStandIn("with-file-manager");
    Notifier notifier;
    notifier.post("Received <b>a</b> & b from Windows", "Saved to <b>a</b> & b. Click to show in the file manager.",
                  fs::path("/tmp/in box/report 3.pdf"));
    ASSERT_TRUE(recorded("Notify|Corvane|0||Received <b>a</b> & b from Windows|"
                         "Saved to &lt;b&gt;a&lt;/b&gt; &amp; b. Click to show in the file manager.|default,Show|-1\n"))
        << readFile(record());

    QTest::qWait(100);  // the reply with the notice's id is in
    auto click = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                "org.freedesktop.Notifications", "Click");
    click << uint(7);
    QDBusConnection::sessionBus().call(click);
    EXPECT_TRUE(recorded("ShowItems|file:///tmp/in%20box/report%203.pdf|\n")) << readFile(record());
}

// A real notification server: dunst on a virtual display takes the notice, and its click (through
// dunstctl) shows the file.
TEST_F(NotifierTest, DunstShowsTheNoticeAndItsClickShowsTheFile) {
    test::XvfbDisplay display;
    const auto monitor = temp.path() / "monitor.txt";
    const int monitorPid = std::stoi(test::runCommand("dbus-monitor \"interface='org.freedesktop.Notifications',member='Notify'\" > '" +
                                                      monitor.string() + "' 2>/dev/null & echo $!").output);
    const int dunstPid = std::stoi(test::runCommand("dunst >/dev/null 2>&1 & echo $!").output);
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"); }, 15000));
    startStandIn("file-manager-only", "org.freedesktop.FileManager1");
    {
        Notifier notifier;
        notifier.post("Received 3 items from Windows", "Saved to Downloads. Click to show in the file manager.",
                      fs::path("/tmp/Downloads/report 3.pdf"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return readFile(monitor).find("Received 3 items from Windows") != std::string::npos; }, 10000));
        const auto seen = readFile(monitor);
        for (const char* part : {"string \"Corvane\"", "uint32 0", "string \"Saved to Downloads. Click to show in the file manager.\"",
                                 "string \"default\"", "string \"Show\"", "int32 -1"})
            EXPECT_NE(seen.find(part), std::string::npos) << part << "\n" << seen;
        QTest::qWait(300);  // dunst shows it
        auto click = std::async(std::launch::async, [] { return test::runCommand("dunstctl action 0").status; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return click.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
        EXPECT_TRUE(recorded("ShowItems|file:///tmp/Downloads/report%203.pdf|\n")) << readFile(record());
    }
    ::kill(dunstPid, SIGTERM);
    ::kill(monitorPid, SIGTERM);
    (void)QTest::qWaitFor(
        [] { return !QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"); }, 5000);
}

TEST_F(NotifierTest, WithoutAFileManagerTheFolderOpens) {
    startStandIn("alone");
    const auto bin = temp.path() / "bin";
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf 'xdg-open|%s\\n' \"$@\" >> '" << record().string() << "'\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    Reveal::show("/tmp/a; rm -rf x/$(echo no)/file.txt");
    EXPECT_TRUE(recorded("xdg-open|/tmp/a; rm -rf x/$(echo no)\n")) << readFile(record());
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
