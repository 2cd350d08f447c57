// Box text is cut where its place ends: the main window's subtitle, the settings' box name, the tray's first
// line, the main window's detail and an update row's title. A short name shows whole where there is room.
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QFontMetricsF>
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

// The box's name in the main window's header (its place ends before the gear) and on the General tab (at the
// page's edge), in the shown windows: whole wherever it fits there, else cut there and not a glyph sooner,
// as the name grows and again in a larger font.
TEST_F(BoxTextTest, NameShowsWholeWhereItsPlaceHoldsIt) {
    MainWindow main(*box);
    SettingsWindow settings(*box);
    main.show();
    settings.show();
    auto* subtitle = main.findChild<QLabel*>("subtitle");
    auto* gear = main.findChild<QWidget*>("settingsButton");
    auto* name = settings.page(0)->findChild<QLabel*>("boxName");
    ASSERT_TRUE(subtitle && gear && name);
    const auto x = [](QWidget* w) { return w->mapTo(w->window(), QPoint()).x(); };
    const struct { QLabel* label; const char* before; std::function<int()> room; } places[] = {
        {subtitle, "Connected to ", [&] { return x(gear) - 10 - x(subtitle); }},  // the header's spacing
        {name, "", [&] { return x(name->parentWidget()) + name->parentWidget()->width() - x(name); }}};
    std::vector<std::string> names{"corvane-box"};
    for (std::string grown = "box"; grown.size() <= 80; grown += "-w") names.push_back(grown);
    for (const double larger : {1.0, 1.6}) {
        for (const auto& place : places) {
            QFont font = place.label->font();
            font.setPointSizeF(font.pointSizeF() * larger);
            place.label->setFont(font);
            int whole = 0, cut = 0;
            for (const std::string& boxName : names) {
                setBox({.phase = Phase::of(Phase::Kind::ready), .boxName = boxName});
                QCoreApplication::processEvents();
                const QString text = place.before + QString::fromStdString(boxName), shown = place.label->text();
                const int room = place.room();
                const QFontMetricsF metrics(font, place.label);
                const std::string where = text.toStdString() + " in " + std::to_string(room) + " px at " +
                                          std::to_string(font.pointSizeF()) + " pt";
                if (metrics.horizontalAdvance(text) <= room) {
                    EXPECT_EQ(shown.toStdString(), text.toStdString()) << where;
                    ++whole;
                    continue;
                }
                ++cut;
                ASSERT_TRUE(shown.endsWith(QChar(0x2026)) && text.startsWith(shown.chopped(1))) << where << ": " << shown.toStdString();
                EXPECT_LE(metrics.horizontalAdvance(shown), room) << where;
                EXPECT_GT(metrics.horizontalAdvance(text.left(shown.size()) + QChar(0x2026)), room)
                    << where << ": cut a glyph early, " << shown.toStdString();
            }
            EXPECT_TRUE(whole > 0 && cut > 0) << place.before << " at " << larger;
        }
    }
}

} // namespace
} // namespace corvane
