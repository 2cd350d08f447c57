#include "app/sharing/SharingManager.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QMenu>
#include <QTextEdit>
#include <fstream>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Phase = BoxController::Phase;

class TrayMenuTest : public test::UiFixture {
protected:
    // Each item as "text", with "(off)" when disabled; separators as "-".
    std::vector<std::string> items(const TrayMenu& tray) {
        std::vector<std::string> result;
        for (QAction* action : tray.menu()->actions()) {
            result.push_back(action->isSeparator() ? "-" : action->text().toStdString() + (action->isEnabled() ? "" : " (off)"));
        }
        return result;
    }
};

TEST_F(TrayMenuTest, ItemsFollowThePhase) {
    int quits = 0;
    TrayMenu tray(*box, {{}, {}, [&quits] { ++quits; }});
    const std::vector<std::string> tail{"-", "Show Corvane", "Settings...", "Check for Updates...", "Save Diagnostics...",
                                        "-", "Quit Corvane"};
    const auto with = [&tail](std::vector<std::string> head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    setBox({.phase = phase(Kind::waitingForBox), .wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    EXPECT_EQ(items(tray), with({"Box not connected (off)", "-", "Open Windows (off)", "Wake Box",
                                 "Send Files to Windows... (off)", "Restart Box... (off)"}));
    EXPECT_EQ(tray.iconSymbol(), "cable.connector");
    setBox({.phase = phase(Kind::ready), .boxFound = true, .statusSupported = false, .boxName = "Den & Co",
         .wakeMACs = {"aa:bb:cc:dd:ee:ff"}});
    EXPECT_EQ(items(tray), with({"Ready: Den && Co (off)", "-", "Open Windows", "Send Files to Windows... (off)",
                                 "Restart Box... (off)"}));
    EXPECT_EQ(tray.iconSymbol(), "cable.connector.horizontal");
    setBox({.phase = phase(Kind::streaming), .boxFound = true});  // its items: the tray's D-Bus test
    EXPECT_EQ(tray.iconSymbol(), "play.rectangle.fill");
    tray.menu()->actions().back()->trigger();
    EXPECT_EQ(quits, 1);
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
        EXPECT_FALSE(text.contains('@') || text.contains("Upstream-Contact") || text.contains("Files: debian")) << row.name;
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
    const QString text = static_cast<QTextEdit*>(first)->toPlainText();
    EXPECT_TRUE(text.startsWith("Corvane uses this open source software. Thank you to its authors.\n\n" +
                                QString::fromStdString(rows.at(0).name) + "\n"));
    EXPECT_EQ(text.count("On the box\n\nENet\n"), 1);
}

} // namespace
} // namespace corvane
