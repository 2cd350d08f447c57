// Every text, symbol and control of the windows, the transfer panel and the stream overlay, measured in the
// drawn pixels: in light, in dark, started dark and switched live both ways. Text keeps 4.5:1 against what
// is behind it, symbols 3:1, and a picker's chosen segment stands 3:1 apart from the others.
#include "app/controller/Appearance.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/Spinner.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QPainter>
#include <QTabWidget>
#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

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
            double wanted = 0;
            std::string what;
            if (auto* label = qobject_cast<QLabel*>(w)) {
                if (!label->text().isEmpty()) wanted = 4.5, what = label->text().toStdString();
                else if (!label->pixmap().isNull()) wanted = 3.0, what = "symbol " + w->objectName().toStdString();
            } else if (auto* button = qobject_cast<QAbstractButton*>(w); button && !button->text().isEmpty()) {
                wanted = 4.5, what = "button " + button->text().toStdString();
            } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
                wanted = 4.5, what = "picker " + combo->currentText().toStdString();
            } else if (dynamic_cast<Spinner*>(w)) {
                wanted = 3.0, what = "spinner";
            }
            if (wanted == 0) continue;
            const double got = drawnContrast(crop(w));
            EXPECT_GE(got, wanted) << where << ": " << what << " on " << std::hex << mostCommon(crop(w));
            ++measured;
        }
        // A chosen segment against the others.
        for (auto* picker : window.findChildren<SegmentedPicker*>()) {
            if (!picker->isVisibleTo(&window) || !picker->isEnabled()) continue;
            QRgb chosen = 0, other = 0;
            for (auto* segment : picker->findChildren<QAbstractButton*>())
                (segment->isChecked() ? chosen : other) = mostCommon(crop(segment));
            if (!chosen || !other) continue;
            EXPECT_GE(ratio(chosen, other), 3.0) << where << ": picker";
        }
    }

    // A panel drawn over the stream picture (the transfer panel, the overlay's pill and card), grabbed on its
    // own and laid over a white and a black picture. Each thing drawn on its body, found as a run of rows
    // split at gaps of 6 columns, is text (4.5:1) or, when no wider than tall, a symbol (3:1); runs of one
    // or two pixels are rules, and the overlay's graph (`symbols`) is a symbol.
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
            const auto drawn = [&](int x, int y) { return ratio(over.pixel(x, y), body) > 1.3; };
            const auto runs = [](int from, int to, int gap, const std::function<bool(int)>& any) {
                std::vector<std::pair<int, int>> found;
                for (int i = from, last = from - gap - 2; i <= to; ++i) {
                    if (!any(i)) continue;
                    if (i - last - 1 > gap) found.push_back({i, i});
                    found.back().second = last = i;
                }
                return found;
            };
            for (const auto& [top, bottom] : runs(inner.top(), inner.bottom(), 0, [&](int y) {
                     for (int x = inner.left(); x <= inner.right(); ++x) if (drawn(x, y)) return true;
                     return false; })) {
                for (const auto& [left, right] : runs(inner.left(), inner.right(), 6, [&](int x) {
                         for (int y = top; y <= bottom; ++y) if (drawn(x, y)) return true;
                         return false; })) {
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

    void everyWindow(const std::string& look, const std::function<void()>& afterBuilding) {
        MainWindow main(*box);
        SettingsWindow settings(*box);
        AdvancedStreamSheet sheet(*box, nullptr);
        Acknowledgements::show();
        afterBuilding();
        AgentClient::BoxStatus load{.cpuName = {}, .gpuName = "GPU", .cpuPercent = 13, .gpuPercent = 95, .memoryUsed = 8ull << 30,
                                    .memoryTotal = 32ull << 30, .diskFree = 400ull << 30, .diskTotal = 1000ull << 30, .temperatureC = {}};
        for (int k = 0; k <= static_cast<int>(Kind::streaming); ++k) {
            setBox({.phase = BoxController::Phase{static_cast<Kind>(k), k < 3 ? "The box said so." : ""},
                    .linkUp = k > 4, .boxFound = k > 6, .paired = k > 7,
                    .boxName = k > 6 ? std::optional<std::string>("Den") : std::nullopt,
                    .boxStatus = k > 6 ? std::optional(load) : std::nullopt});
            setUpdates({.status = k % 2 ? UpdateManager::Status::idle() : UpdateManager::Status::updating("Downloading"),
                        .progress = 0.4, .appUpdate = UpdateManager::AppUpdate{"9.9", std::nullopt, {}}});
            measure(main, look + " main " + std::to_string(k));
        }
        main.hide();
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            measure(settings, look + " " + settings.tabs()->tabText(tab).toStdString());
        }
        settings.hide();
        measure(sheet, look + " advanced");
        sheet.hide();
        measure(*Acknowledgements::window(), look + " acknowledgements");
        Acknowledgements::window()->hide();

        TransferHUD hud(clock);
        hud.show("Receiving holiday photos from Windows", 0.15);
        measurePanel(*hud.pill(), look + " transfer");
        hud.finish("Could not send to Windows: the box did not answer.", true);
        measurePanel(*hud.pill(), look + " transfer failed");
        StatsOverlay overlay(clock, pool);
        QWidget stream;
        stream.resize(800, 450);
        stream.show();
        for (const int fps : {58, 12}) {
            for (const bool detailed : {false, true}) {
                overlay.start(0, StatsOverlay::Position::topRight, detailed, {1920, 1080, "HEVC", 50, 60, false});
                overlay.engineWindow = &stream;
                overlay.engineFPS = [fps] { return fps; };
                overlay.engineLatency = [] { return 12.5; };
                overlay.setBoxStatus(load);
                for (int tick = 0; tick < 13; ++tick) overlay.tick();  // 3 figures, then the size they need
                measurePanel(*overlay.panel(), look + (detailed ? " card " : " pill ") + std::to_string(fps),
                             detailed ? StatsCard::graphRect(overlay).toAlignedRect() : QRect());
            }
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
        everyWindow(look.name, [&] {
            if (look.then) Appearance::apply(look.then->empty() ? std::nullopt : look.then);
        });
    }
    EXPECT_GT(measured, 500);
}

} // namespace
} // namespace corvane
