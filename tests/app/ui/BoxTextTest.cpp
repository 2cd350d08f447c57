// Box text with markup in it reaches every label, tool tip, title and menu item that shows it as it is, cut to
// a sane length.
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QMenu>
#include <QTextDocument>

namespace corvane {
namespace {

using Phase = BoxController::Phase;
constexpr const char* kMarkup = "<b>Zq</b><img src=\"/nonexistent/zq.png\">";

class BoxTextTest : public test::UiFixture {};

TEST_F(BoxTextTest, MarkupFromTheBoxIsNeverRead) {
    const std::string markup = kMarkup + std::string(5000, 'x');
    AgentClient::Info info;
    info.boxName = info.agentVersion = markup;
    info.windows = markup;
    setBox({.phase = Phase::failed(markup), .linkUp = true, .boxFound = true, .boxName = markup, .boxInfo = info,
            .boxStatus = AgentClient::BoxStatus{markup, markup, 10, 20, 1, 2, 1, 2, 50, 60}});
    setUpdates({.boxUpdates = {{markup, markup}}, .boxHostVersion = markup});
    MainWindow main(*box);
    SettingsWindow settings(*box);
    TrayMenu tray(*box, {});
    // Each text that carries the box's, as Qt draws it (markup read where Qt reads it), shows the markup; a
    // label cut to its width in the middle shows at least the markup's start.
    const auto shown = [](const QString& text, bool rich, const char* where) {
        if (!text.contains("Zq")) return 0;
        EXPECT_LE(text.size(), where == std::string("tool tip") ? 700 : 601) << where;
        QTextDocument document;
        document.setHtml(text);
        const QString markup = where == std::string("label") && text.contains(u'…') ? "<b>Zq</b>" : kMarkup;
        EXPECT_TRUE((rich ? document.toPlainText() : text).contains(markup)) << where << ": " << text.toStdString();
        return 1;
    };
    int labels = 0, tips = 0, items = 0;
    for (QWidget* top : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&settings)}) {
        QList<QWidget*> widgets = top->findChildren<QWidget*>();
        for (QWidget* widget : widgets << top) {
            tips += shown(widget->toolTip(), Qt::mightBeRichText(widget->toolTip()), "tool tip");
            shown(widget->windowTitle(), false, "title");
            if (auto* label = qobject_cast<QLabel*>(widget))
                labels += shown(label->text(), label->textFormat() == Qt::RichText ||
                                                   (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text())),
                                "label");
        }
    }
    setBox({.phase = Phase::of(Phase::Kind::ready), .boxName = markup});
    for (QAction* action : tray.menu()->actions()) items += shown(action->text().replace("&&", "&"), false, "menu");
    // The main window's subtitle, detail and load card, the settings' box name, versions and updates; the load
    // card's tip; the tray's first line.
    EXPECT_EQ(labels, 7);
    EXPECT_EQ(tips, 1);
    EXPECT_EQ(items, 1);
}

}  // namespace
}  // namespace corvane
