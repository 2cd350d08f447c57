#include "app/controller/Diagnostics.hpp"
#include "app/services/Log.hpp"
#include "tests/app/controller/ControllerRig.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/support/FileManagerStandIn.hpp"
#include "tests/support/OwnedProcess.hpp"
#include "tests/support/XvfbDisplay.hpp"
#include <gtest/gtest.h>
#include <QAbstractItemView>
#include <QCompleter>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <csignal>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Enters the path into the save dialog the report opens and presses Return.
void saveThroughDialog(BoxController& box, const std::string& typed, const fs::path& startFolder) {
    Diagnostics::save(box);
    ASSERT_TRUE(QTest::qWaitFor([] { return !test::shownWindows<QFileDialog>().empty(); }, 15000));
    QFileDialog* dialog = test::shownWindows<QFileDialog>()[0];
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), startFolder.string());
    const auto proposed = fs::path(dialog->selectedFiles().value(0).toStdString()).filename().string();
    EXPECT_TRUE(std::regex_match(proposed, std::regex(R"(Corvane Diagnostics \d{4}-\d\d-\d\d \d{4}\.txt)"))) << proposed;
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    // Pasted in one go: typed key by key, the name's completer can pop up late on a loaded machine and take
    // the Return.
    edit->setText(QString::fromStdString(typed));
    if (edit->completer() && edit->completer()->popup()) edit->completer()->popup()->hide();
    QTest::keyClick(edit, Qt::Key_Return);
}

// Saved through Qt's own file dialog on a virtual display, then shown: by the folder opened with xdg-open
// and a notice naming the file while no file manager is on the bus, then by the file manager with the
// file's encoded address, and no notice.
TEST(DiagnosticsSaveTest, SavedThroughTheDialogThenShownByTheFolderOrTheFileManager) {
    test::TempDir dir;
    const fs::path desktop = dir.path() / "Desktop", bin = dir.path() / "bin", record = dir.path() / "record.txt";
    fs::create_directories(desktop);
    fs::create_directories(bin);
    setenv("HOME", dir.path().c_str(), 1);
    test::writeScript(bin / "xdg-open", "printf 'xdg-open|%s\\n' \"$@\" >> '" + record.string() + "'\n");
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);

    ASSERT_TRUE(test::startSessionBus());
    std::unique_ptr<test::OwnedProcess> standIn, notices;
    std::ofstream(dir.path() / "standin.py") << test::kFileManagerStandIn;
    const auto standInFor = [&](const char* service) {
        return std::make_unique<test::OwnedProcess>("/usr/bin/python3 '" + (dir.path() / "standin.py").string() + "' '" +
                                                    record.string() + "' " + service + " >/dev/null 2>&1");
    };
    notices = standInFor("notices");

    test::XvfbDisplay display;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::ControllerRig rig(std::make_unique<test::ScriptedCable>());
    const auto recorded = [&](const std::string& line) {
        return QTest::qWaitFor([&] { return test::readWhole(record).find(line) != std::string::npos; }, 10000);
    };
    ASSERT_TRUE(recorded("ready org.freedesktop.Notifications\n"));

    saveThroughDialog(*rig.controller, "first.txt", desktop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(desktop / "first.txt"); }, 15000));
    const std::string saved = test::readWhole(desktop / "first.txt");
    EXPECT_TRUE(saved.starts_with("Corvane diagnostics, "));
    EXPECT_TRUE(recorded("xdg-open|" + desktop.string() + "\n"));
    EXPECT_TRUE(recorded("Notify|Diagnostics saved|Saved to " + (desktop / "first.txt").string() + ".\n"));

    // With a file manager on the bus; a path typed into another folder is the one saved.
    standIn = standInFor("files");
    ASSERT_TRUE(recorded("ready org.freedesktop.FileManager1\n"));
    const fs::path second = dir.path() / "Report #1 50%.txt";
    const std::size_t mark = test::readWhole(record).size();
    saveThroughDialog(*rig.controller, second.string(), desktop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(second); }, 15000));
    EXPECT_TRUE(recorded("ShowItems|file://" + dir.path().string() + "/Report%20%231%2050%25.txt|\n"));
    EXPECT_NE(Log::tail(5).find("diagnostics saved to " + second.string()), std::string::npos);
    EXPECT_FALSE(QTest::qWaitFor([&] { return test::readWhole(record).find("Notify|", mark) != std::string::npos; }, 200));
}

// What is saved is the whole report, to its last line: with no box, the line that says so.
TEST(DiagnosticsSaveTest, TheSavedFileIsTheWholeReportToItsLastLine) {
    test::TempDir dir;
    const fs::path desktop = dir.path() / "Desktop", bin = dir.path() / "bin";
    fs::create_directories(desktop);
    fs::create_directories(bin);
    setenv("HOME", dir.path().c_str(), 1);
    test::writeScript(bin / "xdg-open", "exit 0\n");  // the folder is shown by nobody
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    ASSERT_TRUE(test::startSessionBus());
    test::XvfbDisplay display;
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::ControllerRig rig(std::make_unique<test::ScriptedCable>());
    saveThroughDialog(*rig.controller, "whole.txt", desktop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(desktop / "whole.txt"); }, 15000));
    const std::string saved = test::readWhole(desktop / "whole.txt");
    EXPECT_TRUE(saved.starts_with("Corvane diagnostics, "));
    EXPECT_TRUE(saved.ends_with("\n\n===== Box =====\nThe box is not connected, so only this computer's details are included."))
        << saved.substr(saved.size() - std::min<std::size_t>(saved.size(), 200));
}

} // namespace
} // namespace corvane
