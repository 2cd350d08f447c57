// Every text, symbol and control of the windows, the transfer panel and the stream overlay, measured in the
// drawn pixels: in light, in dark, started dark and switched live both ways. Text keeps 4.5:1 against what
// is behind it, symbols 3:1, and a picker's chosen segment stands 3:1 apart from the others.
#include "app/controller/Appearance.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/Spinner.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QHash>
#include <QLabel>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

double luminance(QRgb c) {  // the web's relative luminance, measured here on its own
    const auto ch = [](int v) { return v <= 10 ? v / 255.0 / 12.92 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4); };
    return 0.2126 * ch(qRed(c)) + 0.7152 * ch(qGreen(c)) + 0.0722 * ch(qBlue(c));
}
double ratio(QRgb a, QRgb b) { return (std::max(luminance(a), luminance(b)) + 0.05) / (std::min(luminance(a), luminance(b)) + 0.05); }
QRgb mostCommon(const QImage& image) {
    QHash<QRgb, int> seen;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ++seen[image.pixel(x, y) | 0xff000000];
    return std::max_element(seen.begin(), seen.end(), [](int a, int b) { return a < b; }).key();
}
// The contrast of what is drawn against its backdrop (the commonest colour): the third strongest pixel, so
// one stray pixel decides nothing.
double drawnContrast(const QImage& image) {
    const QRgb backdrop = mostCommon(image);
    std::vector<double> all;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) all.push_back(ratio(image.pixel(x, y), backdrop));
    std::partial_sort(all.begin(), all.begin() + std::min<std::size_t>(3, all.size()), all.end(), std::greater<>());
    return all.size() >= 3 ? all[2] : 1;
}

class ContrastTest : public test::UiFixture {
protected:
    ~ContrastTest() override { Appearance::apply(std::nullopt); }

    // Measures every visible, enabled text, symbol and control of `window` in one grab.
    void measure(QWidget& window, const std::string& where) {
        window.show();
        QCoreApplication::processEvents();
        const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const qreal scale = shot.width() / double(window.width());
        const auto crop = [&](QWidget* w) {
            const QRect r(w->mapTo(&window, QPoint(0, 0)) * scale, w->size() * scale);
            return shot.copy(r.intersected(shot.rect()));
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
            EXPECT_GE(drawnContrast(crop(w)), symbol ? 3.0 : 4.5)
                << where << ": " << w->metaObject()->className() << " " << text.toStdString() << " on " << std::hex << mostCommon(crop(w));
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
    int measured = 0;
};

TEST_F(ContrastTest, EveryTextSymbolAndControlInEveryLook) {
    const struct { const char* name; std::optional<std::string> start, then; } looks[] = {
        {"light", Appearance::light, {}}, {"started dark", Appearance::dark, {}}, {"to dark", Appearance::light, Appearance::dark},
        {"to system", Appearance::dark, std::string()}, {"to light", Appearance::dark, Appearance::light}};
    for (const auto& look : looks) {
        Appearance::apply(look.start);
        everyWindow([&](QWidget& window, const std::string& name) { measure(window, look.name + (" " + name)); }, [&] {
            if (look.then) Appearance::apply(look.then->empty() ? std::nullopt : look.then);
        });
        everyPanel(look.name);
    }
    EXPECT_GT(measured, 500);
}

} // namespace
} // namespace corvane
