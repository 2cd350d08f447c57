// Box text is cut where its place ends: the main window's subtitle, the settings' box name, the tray's first
// line, the main window's detail and an update row's title.
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QMenu>
#include <QTextDocumentFragment>
#include <cstring>

namespace corvane {
namespace {

using Phase = BoxController::Phase;

class BoxTextTest : public test::UiFixture {};

// At its length a text shows whole; one more and it is cut there and ends in "…".
TEST_F(BoxTextTest, CutWhereItsPlaceEnds) {
    MainWindow main(*box);
    SettingsWindow settings(*box);
    TrayMenu tray(*box, {});
    using Set = std::function<void(const std::string&)>;
    const Set name = [&](const std::string& x) { setBox({.phase = Phase::of(Phase::Kind::ready), .boxName = x}); };
    const Set update = [&](const std::string& x) { setBox({}), setUpdates({.appUpdate = UpdateManager::AppUpdate{x, {}, {}}}); };
    const Set failed = [&](const std::string& x) { setBox({.phase = Phase::failed(x)}); };
    const struct { QWidget* in; Set set; const char* before; const char* after; int limit; } rows[] = {
        {&main, name, "Connected to ", "", 13 + 80}, {settings.page(0), name, "", "", 80}, {nullptr, name, "Ready: ", "", 80},
        {&main, failed, "", "", 600}, {&main, update, "Corvane ", " is available", 200}};
    // The label (or, without a window, the tray's first item) that shows the x's; where the label is too
    // narrow for all of them, its tool tip offers the text whole.
    const auto shown = [&tray](QWidget* in) {
        if (!in) return tray.menu()->actions().at(0)->text().toStdString();
        for (auto* label : in->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(in) || !label->text().contains("xx")) continue;
            if (!label->toolTip().isEmpty()) return QTextDocumentFragment::fromHtml(label->toolTip()).toPlainText().toStdString();
            return label->text().toStdString();
        }
        return std::string();
    };
    for (const auto& row : rows) {
        for (int over : {0, 1}) {
            const std::string x(row.limit - std::strlen(row.before) - std::strlen(row.after) + over, 'x');
            row.set(x);
            const QString full = row.before + QString::fromStdString(x) + row.after;
            EXPECT_EQ(shown(row.in), (over ? full.left(row.limit) + QChar(0x2026) : full).toStdString()) << row.limit << " " << row.before;
        }
    }
}

} // namespace
} // namespace corvane
