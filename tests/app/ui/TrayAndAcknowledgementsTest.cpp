#include "app/sharing/SharingManager.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/AcknowledgementsCheck.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextEdit>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Phase = BoxController::Phase;

class TrayMenuTest : public test::UiFixture {
protected:
    // Each item, " (off)" after one that cannot be used; separators "-".
    std::string items(const TrayMenu& tray) {
        std::string result;
        for (QAction* action : tray.menu()->actions())
            result += (action->isSeparator() ? "-" : action->text().toStdString() + (action->isEnabled() ? "" : " (off)")) + " | ";
        return result;
    }
    void trigger(const TrayMenu& tray, const QString& text) {
        for (QAction* action : tray.menu()->actions())
            if (action->text() == text) return action->trigger();
        ADD_FAILURE() << text.toStdString();
    }
};

TEST_F(TrayMenuTest, ItemsFollowThePhaseAndReachTheController) {
    int shows = 0, quits = 0;
    TrayMenu tray(*box, {[&shows] { ++shows; }, {}, [&quits] { ++quits; }});
    EXPECT_EQ(tray.findChild<QSystemTrayIcon*>(), nullptr);  // no tray on this desktop, no icon
    const std::string tail = "- | Show Corvane | Settings... | Check for Updates... | Save Diagnostics... | - | Quit Corvane | ";
    AgentClient::Info sharing;
    sharing.sharing = AgentClient::Info::Sharing{true, {}};
    const std::vector<std::string> wakeMACs{"aa:bb:cc:dd:ee:ff"};
    const struct { BoxControllerProbe::State state; bool sharing; const char* items; const char* icon; } rows[] = {
        {{.phase = phase(Kind::waitingForBox), .wakeMACs = wakeMACs}, false,
         "Box not connected (off) | - | Open Windows (off) | Wake Box | Send Files to Windows... (off) | Restart Box... (off) | ",
         "cable.connector"},
        {{.phase = phase(Kind::ready), .boxFound = true, .statusSupported = false, .boxName = "Den & Co", .wakeMACs = wakeMACs}, false,
         "Ready: Den && Co (off) | - | Open Windows | Send Files to Windows... (off) | Restart Box... (off) | ",
         "cable.connector.horizontal"},
        {{.phase = phase(Kind::streaming), .boxFound = true}, true,
         "Windows is open (off) | - | Close Windows Session | Send Files to Windows... | Restart Box... | ", "play.rectangle.fill"}};
    for (const auto& row : rows) {
        setBox(row.state);
        box->sharing().update(row.sharing ? std::optional(sharing) : std::nullopt, box->settings());
        EXPECT_EQ(items(tray), row.items + tail);
        EXPECT_EQ(tray.iconSymbol(), row.icon);
    }
    box->sharing().update(std::nullopt, box->settings());
    // "Wake Box" keeps waking for two minutes; unpaired, "Open Windows" does nothing.
    setBox({.phase = phase(Kind::waitingForBox), .wakeMACs = wakeMACs});
    trigger(tray, "Wake Box");
    EXPECT_EQ(BoxControllerProbe::wakeUntil(*box), clock.uptime() + 120);
    setBox({.phase = phase(Kind::ready), .boxFound = true});
    trigger(tray, "Open Windows");
    EXPECT_TRUE(box->phase().is(Kind::ready));
    // "Show Corvane" and "Check for Updates..." bring the main window; the latter checks as well.
    trigger(tray, "Show Corvane");
    trigger(tray, "Check for Updates...");
    EXPECT_EQ(shows, 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->updates().showResult() && !box->updates().isBusy(); }, 10000));
    tray.menu()->actions().back()->trigger();
    EXPECT_EQ(quits, 1);
}

// While pairing, the first line says so and nothing can be opened, sent or restarted.
TEST_F(TrayMenuTest, ItemsWhilePairing) {
    TrayMenu tray(*box, {});
    setBox({.phase = phase(Kind::pairing)});
    EXPECT_EQ(items(tray), "Pairing... (off) | - | Open Windows (off) | Send Files to Windows... (off) | Restart Box... (off) | - | "
                           "Show Corvane | Settings... | Check for Updates... | Save Diagnostics... | - | Quit Corvane | ");
    EXPECT_EQ(tray.iconSymbol(), "cable.connector");
}

// Built from the build tree's folder: every row has its text, and the box's rows stand once under their heading.
TEST(AcknowledgementsTest, EveryRowHasItsTextAndTheBoxsRowsStandOnce) {
    test::uiApp();
    delete Acknowledgements::window();
    Acknowledgements::show();
    const QString text = static_cast<QTextEdit*>(Acknowledgements::window())->toPlainText();
    EXPECT_EQ(text.count(Acknowledgements::missingLicence), 0);
    EXPECT_EQ(text.count("On the box\n\nENet 1.3.18\n"), 1);
    EXPECT_EQ(text.count("On the box"), 1);
}

// The build tree's list: the libraries the program links, each with its licence and copyright lines only.
TEST(AcknowledgementsTest, OneWindowAndEveryRowWithItsText) {
    test::uiApp();
    const auto rows = Acknowledgements::components();
    std::string names;
    for (const auto& row : rows) {
        names += row.name + "; ";
        const QString text = Acknowledgements::licence(Acknowledgements::folder() / row.file);
        EXPECT_NE(text, Acknowledgements::missingLicence) << row.name;
        EXPECT_TRUE(text.contains("Copyright", Qt::CaseInsensitive)) << row.name;
        for (const char* never : {"@", "Upstream-Contact", "Files: debian"}) EXPECT_FALSE(text.contains(never)) << row.name;
    }
    for (const char* linked : {"Qt ", "FFmpeg ", "libopus ", "ENet ", "OpenSSL ", "SDL ", "JSON for Modern C++ "})
        EXPECT_NE(names.find(linked), std::string::npos) << linked << " not in " << names;
    EXPECT_EQ(names.find("nanors"), std::string::npos);  // not in this build

    Acknowledgements::show();
    QWidget* first = Acknowledgements::window();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->windowTitle(), "Acknowledgements");
    first->close();
    Acknowledgements::show();
    EXPECT_EQ(Acknowledgements::window(), first);
    EXPECT_TRUE(static_cast<QTextEdit*>(first)->toPlainText().startsWith("Corvane uses this open source software. Thank you to its authors.\n\n" +
                                QString::fromStdString(rows.at(0).name) + "\n"));

    // Built anew without its folder: no list of the app's libraries, and each box row says where its text is.
    delete first;
    Acknowledgements::folderOverride = "/nonexistent/Acknowledgements";
    Acknowledgements::show();
    Acknowledgements::folderOverride.reset();
    const std::string missing = "\n\n(License text missing from this copy of Corvane.)\n\n\n",
                      onTheBox = "\n\n(Its license text is installed with the box software.)\n\n\n";
    EXPECT_EQ(static_cast<QTextEdit*>(Acknowledgements::window())->toPlainText().toStdString(),
              "Corvane uses this open source software. Thank you to its authors.\n\nOn the box\n\nENet 1.3.18\nCorvane Host's "
              "connection to this computer" + missing + "nanors\nCorvane Host's error correction for video packets" + onTheBox +
              "libopus 1.5.2\nCorvane Host's sound (Opus)" + missing + "Virtual Display Driver\nThe box's virtual screen, shaped "
              "like Corvane's window" + onTheBox + "ViGEmBus\nGame controllers on the box" + onTheBox +
              "ViGEmClient\nCorvane Host's connection to the controller driver" + onTheBox);
}

// Each row carries its licences, not pointers to them: the common licences its copyright file cites (in
// any quoting) whole and once, and where upstream points at a file of its own source, the licence it names.
TEST(AcknowledgementsTest, EveryRowCarriesTheWholeLicencesItCites) {
    test::uiApp();
    ASSERT_GE(Acknowledgements::components().size(), 10u);
    const std::map<std::string, QStringList> reported{
        {"FFmpeg ", {"LGPL-2.1", "GPL-2", "GPL-3"}}, {"SDL ", {"LGPL-2.1"}}, {"OpenSSL ", {"Apache-2.0"}},
        {"Qt ", {"LGPL-3", "GPL-2", "GPL-3"}}, {"systemd ", {"LGPL-2.1"}}};
    EXPECT_EQ(test::rowsShortOfTheirLicences(Acknowledgements::folder(), reported), "");
    // A pointer the text replaced is gone with it.
    for (const auto& row : Acknowledgements::components())
        EXPECT_FALSE(Acknowledgements::licence(Acknowledgements::folder() / row.file).contains("On Debian")) << row.name;
}

// The rows check reads the licences a text names in each way copyright files name them.
TEST(AcknowledgementsTest, TheRowsCheckReadsShortNamesAndPathsInAnyQuoting) {
    EXPECT_EQ(test::licencesNamed("License: LGPL-2.1+ and BSD-3-clause\nLicense: GPL-3 with Qt-1.0 exception\n"
                                  "License: GFDL-NIV-1.3 or OLDAP-2.8 or Apache-2.0\n the GPL-2 text is in "
                                  "`/usr/share/common-licenses/GPL-2'. and ‘/usr/share/common-licenses/CC0-1.0’.\n"),
              QStringList({"LGPL-2.1", "GPL-3", "Apache-2.0", "GPL-2", "CC0-1.0"}));
}

} // namespace
} // namespace corvane
