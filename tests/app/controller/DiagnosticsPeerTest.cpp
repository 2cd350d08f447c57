#include "app/controller/Diagnostics.hpp"

#include "app/services/Log.hpp"
#include "tests/app/controller/ControllerRig.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

// The desktop's file manager on a session bus of its own: it writes the bus's address and its pid, and
// takes the file manager's name once the file "claim" appears; each call is one line of record.txt.
constexpr const char* kFileManager = R"(
import os, sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
folder = sys.argv[1]
record = open(os.path.join(folder, 'record.txt'), 'a', buffering=1)
bus = dbus.SessionBus()

class FileManager(dbus.service.Object):
    @dbus.service.method('org.freedesktop.FileManager1', in_signature='ass')
    def ShowItems(self, uris, startup):
        record.write('ShowItems|%s\n' % ','.join(uris))

held = []
def claim():
    try:
        os.kill(int(sys.argv[2]), 0)  # ends with the test, should the test die
    except OSError:
        os._exit(0)
    if held or not os.path.exists(os.path.join(folder, 'claim')):
        return True
    held.append(dbus.service.BusName('org.freedesktop.FileManager1', bus))
    held.append(FileManager(bus, '/org/freedesktop/FileManager1'))
    open(os.path.join(folder, 'claimed'), 'w').close()
    return True

with open(os.path.join(folder, 'bus.tmp'), 'w') as out:
    out.write('%s\n%d\n' % (os.environ['DBUS_SESSION_BUS_ADDRESS'], os.getpid()))
os.rename(os.path.join(folder, 'bus.tmp'), os.path.join(folder, 'bus'))
GLib.timeout_add(20, claim)
GLib.MainLoop().run()
)";

bool waitForFile(const fs::path& file) {
    for (int i = 0; i < 750 && !fs::exists(file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fs::exists(file);
}

// Types the path into the save dialog the report opens and presses Return.
void saveThroughDialog(BoxController& box, const std::string& typed, const fs::path& startFolder) {
    Diagnostics::save(box);
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) dialog = found;
        return dialog != nullptr;
    }, 15000));
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), startFolder.string());
    const auto proposed = fs::path(dialog->selectedFiles().value(0).toStdString()).filename().string();
    EXPECT_TRUE(std::regex_match(proposed, std::regex(R"(Corvane Diagnostics \d{4}-\d\d-\d\d \d{4}\.txt)"))) << proposed;
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, QString::fromStdString(typed));
    QTest::keyClick(edit, Qt::Key_Return);
}

// Saved through Qt's own file dialog on a virtual display, then shown: by the folder opened with xdg-open
// while no file manager is on the bus, then by the file manager with the file's encoded address.
TEST(DiagnosticsSaveTest, SavedThroughTheDialogThenShownByTheFolderOrTheFileManager) {
    test::TempDir dir;
    const fs::path desktop = dir.path() / "Desktop", bin = dir.path() / "bin", record = dir.path() / "record.txt";
    fs::create_directories(desktop);
    fs::create_directories(bin);
    setenv("HOME", dir.path().c_str(), 1);
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf 'xdg-open|%s\\n' \"$@\" >> '" << record.string() << "'\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);

    std::ofstream(dir.path() / "standin.py") << kFileManager;
    test::runCommand("dbus-run-session -- /usr/bin/python3 '" + (dir.path() / "standin.py").string() + "' '" +
                     dir.path().string() + "' " + std::to_string(::getpid()) + " >/dev/null 2>&1 &");
    ASSERT_TRUE(waitForFile(dir.path() / "bus"));
    std::ifstream bus(dir.path() / "bus");
    std::string address, pid;
    std::getline(bus, address);
    std::getline(bus, pid);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    const struct StandIn {
        int pid;
        ~StandIn() { ::kill(pid, SIGTERM); }
    } standIn{std::stoi(pid)};

    test::XvfbDisplay display;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::ControllerRig rig(std::make_unique<test::NoCable>());
    const auto recorded = [&](const std::string& line) {
        return QTest::qWaitFor([&] { return test::readWhole(record).find(line) != std::string::npos; }, 10000);
    };

    saveThroughDialog(*rig.controller, "first.txt", desktop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(desktop / "first.txt"); }, 15000));
    const std::string saved = test::readWhole(desktop / "first.txt");
    EXPECT_TRUE(saved.starts_with("Corvane diagnostics, "));
    EXPECT_TRUE(saved.ends_with("===== Box =====\nThe box is not connected, so only Mac details are included."));
    EXPECT_TRUE(recorded("xdg-open|" + desktop.string() + "\n"));

    // A path typed into another folder is the one saved.
    std::ofstream(dir.path() / "claim").flush();
    ASSERT_TRUE(waitForFile(dir.path() / "claimed"));
    const fs::path second = dir.path() / "Report #1 50%.txt";
    saveThroughDialog(*rig.controller, second.string(), desktop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(second); }, 15000));
    EXPECT_TRUE(recorded("ShowItems|file://" + dir.path().string() + "/Report%20%231%2050%25.txt\n"));
    EXPECT_NE(Log::tail(5).find("diagnostics saved to " + second.string()), std::string::npos);
}

} // namespace
} // namespace corvane
