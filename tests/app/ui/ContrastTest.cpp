// Every text, symbol and control of the windows, the tray menu, the transfer panel and the stream overlay,
// measured in the drawn pixels: in light, in dark, started dark and switched live both ways. Text keeps
// 4.5:1 against what is behind it, symbols 3:1, and a picker's chosen segment stands 3:1 apart from the
// others. Unchecked boxes and round buttons and the pickers' outlines stand 3:1 against what is around them;
// a disabled picker draws dimmer than an enabled one, its text as readable as other disabled text. A menu's
// status line reads as text. Each Tab stop of the settings and main windows shows keyboard focus at 3:1.
#include "app/controller/Appearance.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/Spinner.hpp"
#include "app/ui/Style.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/ui/WrappingCheckBox.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <map>

namespace corvane {
namespace {

double luminance(QRgb c) {  // the web's relative luminance, measured here on its own
    const auto ch = [](int v) { return v <= 10 ? v / 255.0 / 12.92 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4); };
    return 0.2126 * ch(qRed(c)) + 0.7152 * ch(qGreen(c)) + 0.0722 * ch(qBlue(c));
}
double ratio(QRgb a, QRgb b) { return (std::max(luminance(a), luminance(b)) + 0.05) / (std::min(luminance(a), luminance(b)) + 0.05); }
// The pixels of `image` inside `area` and outside `hole`.
std::vector<QRgb> pixels(const QImage& image, QRect area, QRect hole = {}) {
    std::vector<QRgb> out;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (!hole.contains(x, y)) out.push_back(image.pixel(x, y) | 0xff000000);
    return out;
}
// Of colours as common (the rows of a shaded face), the lowest value, so every run finds the same.
QRgb mostCommon(const std::vector<QRgb>& all) {
    std::map<QRgb, int> seen;
    for (const QRgb pixel : all) ++seen[pixel];
    return std::max_element(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
}
QRgb mostCommon(const QImage& image) { return mostCommon(pixels(image, image.rect())); }
// The `k`th strongest contrast against `backdrop`: `k` pixels are a line a user sees, a stray one is not.
double strongest(const std::vector<QRgb>& all, QRgb backdrop, std::size_t k) {
    std::vector<double> ratios;
    for (const QRgb pixel : all) ratios.push_back(ratio(pixel, backdrop));
    std::sort(ratios.begin(), ratios.end(), std::greater<>());
    return ratios.size() >= k ? ratios[k - 1] : 1;
}
// The contrast of what is drawn against its backdrop (the commonest colour): the third strongest pixel, so
// one stray pixel decides nothing.
double drawnContrast(const QImage& image) { return strongest(pixels(image, image.rect()), mostCommon(image), 3); }

// The app's controls in each state they have, beside a disabled button and label.
struct Controls final : QWidget {
    Controls() {
        auto* column = new QVBoxLayout(this);
        for (const bool enabled : {true, false}) {
            auto* popup = new PopupPicker(200, this);
            popup->setChoices({{"After 30 minutes", 30}, {"Never", 0}}, 30);
            auto* segments = new SegmentedPicker({{"Top left", 0}, {"Top right", 1}}, 200, this);
            segments->setCurrent(1);
            for (QWidget* picker : std::initializer_list<QWidget*>{popup, segments}) {
                picker->setEnabled(enabled);
                column->addWidget(picker);
            }
        }
        auto* checked = new QCheckBox("Checked box", this);
        checked->setChecked(true);
        auto* chosen = new QRadioButton("Chosen round button", this);
        chosen->setChecked(true);
        auto* disabled = new QPushButton("Disabled button", this);
        auto* dimmed = new QLabel("Disabled label", this);
        for (QWidget* w : std::initializer_list<QWidget*>{disabled, dimmed}) w->setEnabled(false);
        for (QWidget* w : std::initializer_list<QWidget*>{new QCheckBox("Box", this), checked, new WrappingCheckBox("Wrapping box", 200, this),
                                                          new QRadioButton("Round button", this), chosen, disabled, dimmed})
            column->addWidget(w);
    }
};

class ContrastTest : public test::UiFixture {
protected:
    ~ContrastTest() override { Appearance::apply(std::nullopt); }

    // Measures every visible, enabled text, symbol and control of `window` in one grab.
    void measure(QWidget& window, const std::string& where) {
        window.show();
        QCoreApplication::processEvents();
        const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const qreal scale = shot.width() / double(window.width());
        const auto inShot = [&](QWidget* w, QRect r) { return QRect(w->mapTo(&window, r.topLeft()) * scale, r.size() * scale); };
        const auto crop = [&](QWidget* w) { return shot.copy(inShot(w, w->rect()).intersected(shot.rect())); };
        // What a button or picker draws on its face, clear of its outline.
        const auto inside = [&](QWidget* w) { return shot.copy(inShot(w, w->rect().adjusted(3, 3, -3, -3))); };
        const auto inView = [&](QWidget* w) {
            return w->isVisibleTo(&window) && w->visibleRegion().boundingRect().contains(w->rect());
        };
        for (QWidget* w : window.findChildren<QWidget*>()) {
            if (!w->isVisibleTo(&window) || !w->isEnabled() || w->width() < 4 || w->height() < 4) continue;
            if (!w->visibleRegion().boundingRect().contains(w->rect())) continue;  // scrolled out of view
            auto* label = qobject_cast<QLabel*>(w);
            const auto* button = qobject_cast<QAbstractButton*>(w);
            const QString text = label ? label->text() : button ? button->text() : w->property("currentText").toString();
            // Text 4.5:1; a label's picture and the spinner are symbols, 3:1.
            const bool symbol = (label && text.isEmpty() && !label->pixmap().isNull()) || dynamic_cast<Spinner*>(w);
            if (text.isEmpty() && !symbol) continue;
            const QImage drawn = qobject_cast<QComboBox*>(w) ? inside(w) : crop(w);
            EXPECT_GE(drawnContrast(drawn), symbol ? 3.0 : 4.5)
                << where << ": " << w->metaObject()->className() << " " << text.toStdString() << " on " << std::hex << mostCommon(drawn);
            ++measured;
        }
        // A chosen segment against the others.
        for (auto* picker : window.findChildren<SegmentedPicker*>()) {
            if (!picker->isVisibleTo(&window) || !picker->isEnabled()) continue;
            QRgb chosen = 0, other = 0;
            for (auto* segment : picker->findChildren<QAbstractButton*>())
                (segment->isChecked() ? chosen : other) = mostCommon(crop(segment));
            ASSERT_NE(chosen, 0u) << where << ": picker";  // the grab never yields 0: its alpha is set
            ASSERT_NE(other, 0u) << where << ": picker";
            EXPECT_GE(ratio(chosen, other), 3.0) << where << ": picker";
        }
        // An unchecked box or round button: a side's worth of its indicator's pixels (the strip before its text)
        // against the button's backdrop.
        for (auto* button : window.findChildren<QAbstractButton*>()) {
            const bool round = qobject_cast<QRadioButton*>(button);
            if ((!round && !qobject_cast<QCheckBox*>(button)) || button->isChecked() || !button->isEnabled() || !inView(button)) continue;
            const auto metric = round ? QStyle::PM_ExclusiveIndicatorWidth : QStyle::PM_IndicatorWidth;
            const int side = int(button->style()->pixelMetric(metric, nullptr, button) * scale);
            const QImage whole = crop(button);
            EXPECT_GE(strongest(pixels(whole, QRect(0, 0, side + 1, whole.height())), mostCommon(whole), side), 3.0)
                << where << ": indicator of " << button->text().toStdString() << " on " << std::hex << mostCommon(whole);
            ++measured;
        }
        // A picker's outline: half the ring just inside its edge against the ring just outside.
        const auto outline = [&](QWidget* picker, QRect box) {
            if (!picker->isEnabled()) return;
            const QRect r = inShot(picker, box);
            const QRgb around = mostCommon(pixels(shot, r.adjusted(-2, -2, 2, 2), r));
            EXPECT_GE(strongest(pixels(shot, r, r.adjusted(2, 2, -2, -2)), around, std::size_t(r.width() + r.height())), 3.0)
                << where << ": outline of " << picker->metaObject()->className() << " on " << std::hex << around;
            ++measured;
        };
        // How strongly a picker draws: a pop-up one its text on its face, a segmented one its chosen segment
        // against the others. Every disabled one is weaker than every enabled one of its kind.
        struct { std::vector<double> enabled, disabled; } popups, segmented;
        std::vector<double> readable;  // how a disabled picker's texts read
        for (auto* picker : window.findChildren<QComboBox*>()) {
            if (!inView(picker)) continue;
            outline(picker, picker->rect());
            (picker->isEnabled() ? popups.enabled : popups.disabled).push_back(drawnContrast(inside(picker)));
            if (!picker->isEnabled()) readable.push_back(popups.disabled.back());
        }
        for (auto* picker : window.findChildren<SegmentedPicker*>()) {
            if (!inView(picker)) continue;
            outline(picker, picker->childrenRect());
            QRgb chosen = 0, other = 0;
            for (auto* segment : picker->findChildren<QAbstractButton*>()) {
                (segment->isChecked() ? chosen : other) = mostCommon(crop(segment));
                if (!picker->isEnabled()) readable.push_back(drawnContrast(inside(segment)));
            }
            if (chosen && other) (picker->isEnabled() ? segmented.enabled : segmented.disabled).push_back(ratio(chosen, other));
        }
        for (auto* kind : {&popups, &segmented}) {
            const auto& [on, off] = *kind;
            if (!off.empty() && !on.empty()) {
                EXPECT_LT(*std::max_element(off.begin(), off.end()), *std::min_element(on.begin(), on.end()))
                    << where << (kind == &popups ? ": pop-up" : ": segmented") << " picker, disabled against enabled";
            }
        }
        // The texts of disabled pickers read at least as well as the faintest other disabled text: of a button on
        // its face, of a label on the window.
        std::optional<double> faintest;
        for (QWidget* w : window.findChildren<QWidget*>()) {
            const bool button = qobject_cast<QPushButton*>(w) && !qobject_cast<SegmentedPicker*>(w->parentWidget());
            auto* label = qobject_cast<QLabel*>(w);
            if (w->isEnabled() || !inView(w) || !(button || (label && !label->text().isEmpty()))) continue;
            faintest = std::min(faintest.value_or(21), drawnContrast(button ? inside(w) : crop(w)));
        }
        for (const double text : readable) {
            if (faintest) { EXPECT_GE(text, *faintest - 0.05) << where << ": disabled picker"; }
        }
    }

    // A menu's status line, its first item, reads as text at 4.5:1 and cannot be clicked.
    void measureMenu(QMenu& menu, const std::string& where) {
        menu.popup(QPoint(0, 0));
        QCoreApplication::processEvents();
        const QImage shot = menu.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRect line = menu.actionGeometry(menu.actions().front());
        const qreal scale = shot.width() / double(menu.width());
        EXPECT_GE(drawnContrast(shot.copy(QRect(line.topLeft() * scale, line.size() * scale))), 4.5)
            << where << ": " << menu.actions().front()->text().toStdString();
        ++measured;
        QSignalSpy triggered(&menu, &QMenu::triggered);
        QTest::mouseClick(&menu, Qt::LeftButton, {}, line.center());
        EXPECT_EQ(triggered.count(), 0) << where;
        menu.hide();
    }

    // A panel drawn over the stream picture (the transfer panel, the overlay's pill and card), grabbed on its
    // own and laid over a white and a black picture. Each thing drawn on its body, a run of rows split at
    // gaps of 6 columns, is text (4.5:1) or, when no wider than tall or in the overlay's graph (`symbols`), a
    // symbol (3:1); runs of one or two pixels are rules.
    void measurePanel(QWidget& panel, const std::string& where, QRect symbols = {}) {
        panel.show();
        QCoreApplication::processEvents();
        const QImage grabbed = panel.grab().toImage();
        for (const QColor behind : {QColor(Qt::white), QColor(Qt::black)}) {
            QImage over(grabbed.size(), QImage::Format_RGB32);
            over.fill(behind);
            QPainter(&over).drawImage(0, 0, grabbed);
            const QRect inner = over.rect().adjusted(14, 3, -14, -3);  // clear of the rounded ends and the border
            const QRgb body = mostCommon(over.copy(inner));
            // Runs of `from`...`to` where `drawn(i)`, joined across at most `gap` undrawn.
            const auto runs = [](int from, int to, int gap, const std::function<bool(int)>& drawn) {
                std::vector<std::pair<int, int>> found;
                for (int i = from, last = from - gap - 2; i <= to; ++i) {
                    if (!drawn(i)) continue;
                    (i - last - 1 > gap ? found.emplace_back(i, i) : found.back()).second = i;
                    last = i;
                }
                return found;
            };
            const auto drawnIn = [&](QRect r) {
                for (int y = r.top(); y <= r.bottom(); ++y)
                    for (int x = r.left(); x <= r.right(); ++x)
                        if (ratio(over.pixel(x, y), body) > 1.3) return true;
                return false;
            };
            for (const auto& [top, bottom] : runs(inner.top(), inner.bottom(), 0, [&](int y) {
                     return drawnIn(QRect(inner.left(), y, inner.width(), 1)); })) {
                for (const auto& [left, right] : runs(inner.left(), inner.right(), 6, [&, top = top, bottom = bottom](int x) {
                         return drawnIn(QRect(QPoint(x, top), QPoint(x, bottom))); })) {
                    const QRect item(QPoint(left, top), QPoint(right, bottom));
                    if (item.width() <= 2 || item.height() <= 2) continue;
                    const double wanted = item.width() <= item.height() || symbols.intersects(item) ? 3.0 : 4.5;
                    EXPECT_GE(drawnContrast(over.copy(item.adjusted(-1, -1, 1, 1))), wanted)
                        << where << " over " << behind.name().toStdString() << " at " << left << "," << top;
                    ++measured;
                }
            }
        }
        panel.hide();
    }

    void everyPanel(const std::string& look) {
        TransferHUD hud(clock);
        hud.show("Receiving holiday photos from Windows", 0.15);
        measurePanel(*hud.pill(), look + " transfer");
        hud.finish("Could not send to Windows: the box did not answer.", true);
        measurePanel(*hud.pill(), look + " transfer failed");
        StatsOverlay overlay(clock, pool);
        QWidget stream;
        stream.show();
        for (const auto& [fps, detailed] : {std::pair{58, false}, {58, true}, {12, false}, {12, true}}) {
            overlay.start(0, StatsOverlay::Position::topRight, detailed, {1920, 1080, "HEVC", 50, 60, false});
            overlay.engineWindow = &stream, overlay.engineFPS = [fps = fps] { return fps; }, overlay.engineLatency = [] { return 12.5; };
            overlay.setBoxStatus(load);
            for (int tick = 0; tick < 13; ++tick) overlay.tick();  // 3 figures, then the size they need
            measurePanel(*overlay.panel(), look + (detailed ? " card " : " pill ") + std::to_string(fps),
                         detailed ? StatsCard::graphRect(overlay).toAlignedRect() : QRect());
        }
    }

    // Each stop the Tab key reaches in `window`, from the one focused when it opens round to it again, in view
    // and against itself without focus: at least as many of its pixels change by 3:1 as make a line round a
    // square of its shorter side (a stop that shows nothing changes none).
    void walkFocus(QWidget& window, const std::string& where) {
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window)) << where;
        QWidget* const first = QApplication::focusWidget();
        ASSERT_NE(first, nullptr) << where;
        // Reached by the keyboard, so it shows as the keyboard's.
        QTest::keyClick(first, Qt::Key_Backtab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), first) << where;
        const auto shot = [&window](QWidget* w) {
            QCoreApplication::processEvents();
            const QImage whole = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
            const qreal scale = whole.width() / double(window.width());
            return whole.copy(QRect(w->mapTo(&window, QPoint()) * scale, w->size() * scale));
        };
        int stops = 0;
        for (QWidget* stop = first; stop && (stops == 0 || stop != first) && stops < 200;
             stop = QApplication::focusWidget(), ++stops) {
            auto* button = qobject_cast<QAbstractButton*>(stop);
            const QString text = button ? button->text() : stop->objectName();
            const std::string what = where + ": focus on " + stop->metaObject()->className() + " \"" + text.toStdString() + "\"";
            EXPECT_TRUE(stop->visibleRegion().boundingRect().contains(stop->rect())) << what << " out of view";
            const QImage focused = shot(stop);
            // Without focus for a moment, in the same place (moving on could scroll it).
            stop->clearFocus();
            const QImage unfocused = shot(stop);
            stop->setFocus(Qt::TabFocusReason);
            std::vector<double> ratios;
            for (int y = 0; y < focused.height(); ++y)
                for (int x = 0; x < focused.width(); ++x) ratios.push_back(ratio(focused.pixel(x, y), unfocused.pixel(x, y)));
            std::sort(ratios.begin(), ratios.end(), std::greater<>());
            const std::size_t line = 4 * std::size_t(std::min(focused.width(), focused.height()));
            EXPECT_GE(ratios.size() >= line ? ratios[line - 1] : 1, 3.0) << what;
            ++measured;
            QTest::keyClick(stop, Qt::Key_Tab);
        }
        EXPECT_EQ(QApplication::focusWidget(), first) << where << ": the Tab key comes round";
        EXPECT_GT(stops, 1) << where;
    }

    int measured = 0;
};

TEST_F(ContrastTest, EveryTextSymbolAndControlInEveryLook) {
    const struct { const char* name; std::optional<std::string> start, then; } looks[] = {
        {"light", Appearance::light, {}}, {"started dark", Appearance::dark, {}}, {"to dark", Appearance::light, Appearance::dark},
        {"to system", Appearance::dark, std::string()}, {"to light", Appearance::dark, Appearance::light}};
    for (const auto& look : looks) {
        Appearance::apply(look.start);
        Controls controls;
        TrayMenu tray(*box, {});
        everyWindow([&](QWidget& window, const std::string& name) { measure(window, look.name + (" " + name)); }, [&] {
            if (look.then) Appearance::apply(look.then->empty() ? std::nullopt : look.then);
        });
        measure(controls, look.name + std::string(" controls"));
        for (const auto kind : {BoxController::Phase::Kind::waitingForBox, BoxController::Phase::Kind::streaming}) {
            setBox({.phase = phase(kind)});
            measureMenu(*tray.menu(), look.name + std::string(" tray"));
        }
        everyPanel(look.name);
    }
    EXPECT_GT(measured, 500);
}

// A menu's status line and an item that can be used, of the same text, look alike in each look: the line is
// drawn in the menu's text colour, not in the dimmed one of an item that cannot be used (which may still read
// at 4.5:1).
TEST_F(ContrastTest, AMenusStatusLineIsDrawnAsAnItemThatCanBeUsed) {
    Look::keepReadable();
    for (const char* look : {Appearance::light, Appearance::dark}) {
        Appearance::apply(look);
        QMenu menu;
        menu.addAction("Show Corvane");  // the first item lies on the menu's edge
        QAction* line = menu.addAction("Connected to Study over Wi-Fi");
        line->setEnabled(false);
        Style::setStatusLine(line);
        QAction* usable = menu.addAction(line->text());
        QAction* dimmed = menu.addAction(line->text());
        dimmed->setEnabled(false);
        menu.popup(QPoint(300, 300));
        QCoreApplication::processEvents();
        ASSERT_EQ(menu.activeAction(), nullptr) << look;
        const QImage shot = menu.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const qreal scale = shot.width() / double(menu.width());
        const auto item = [&](QAction* action) {
            const QRect at = menu.actionGeometry(action);
            return shot.copy(QRect(at.topLeft() * scale, at.size() * scale));
        };
        EXPECT_FALSE(item(dimmed) == item(usable)) << look << ": the looks tell the two kinds apart";
        EXPECT_TRUE(item(line) == item(usable)) << look;
        menu.hide();
    }
}

// Every Tab stop of the settings window on each tab, the advanced sheet and the main window with its
// buttons shows where the keyboard is, in light and dark.
TEST_F(ContrastTest, KeyboardFocusShowsAtEveryStop) {
    using Kind = BoxController::Phase::Kind;
    for (const auto look : {Appearance::light, Appearance::dark}) {
        Appearance::apply(look);
        const std::string name = look == Appearance::light ? "light" : "dark";
        SettingsWindow settings(*box);
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            settings.tabs()->tabBar()->setFocus();
            walkFocus(settings, name + " " + settings.tabs()->tabText(tab).toStdString());
        }
        settings.hide();
        AdvancedStreamSheet sheet(*box, nullptr);
        walkFocus(sheet, name + " advanced");
        sheet.hide();
        MainWindow main(*box);
        for (const auto kind : {Kind::ready, Kind::failed}) {
            setBox({.phase = phase(kind), .boxName = "Den", .boxStatus = load});
            setUpdates({.appUpdate = UpdateManager::AppUpdate{"9.9", std::nullopt, {}}, .boxUpdates = {{"host", "1.1"}}});
            walkFocus(main, name + " main " + std::to_string(int(kind)));
        }
    }
    EXPECT_GT(measured, 80);
}

} // namespace
} // namespace corvane
