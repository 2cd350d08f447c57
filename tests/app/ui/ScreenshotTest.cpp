#include "app/controller/Appearance.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QImage>
#include <QSet>
#include <QTabWidget>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

// Pictures of every phase and tab in both looks: each must show something, and the looks must differ.
class ScreenshotTest : public test::UiFixture {
protected:
    ~ScreenshotTest() override { Appearance::apply(std::nullopt); }
    QImage shoot(QWidget& widget) {
        widget.show();
        QCoreApplication::processEvents();
        return widget.grab().toImage();
    }
    static int colours(const QImage& image) {
        QSet<QRgb> seen;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) seen.insert(image.pixel(x, y));
        return static_cast<int>(seen.size());
    }
};

TEST_F(ScreenshotTest, MainWindowInEveryPhaseAndSettingsTabsInBothLooks) {
    MainWindow window(*box);
    SettingsWindow settings(*box);
    // Each look shows something, and the two differ.
    const auto bothLooks = [&](QWidget& widget, const QString& name) {
        QImage looks[2];
        for (int dark = 0; dark < 2; ++dark) {
            Appearance::apply(dark ? Appearance::dark : Appearance::light);
            looks[dark] = shoot(widget);
            EXPECT_GT(colours(looks[dark]), 8) << name.toStdString();
        }
        EXPECT_NE(looks[0], looks[1]) << name.toStdString();
    };
    for (int k = 0; k <= static_cast<int>(Kind::streaming); ++k) {
        const auto kind = static_cast<Kind>(k);
        setBox({.phase = BoxController::Phase{kind, k < 3 ? "The box said so." : ""}, .linkUp = k > 4,
                .boxFound = k > 6, .paired = k > 7, .boxName = k > 6 ? std::optional<std::string>("Den") : std::nullopt});
        bothLooks(window, QString("main-%1").arg(k));
    }
    for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
        settings.tabs()->setCurrentIndex(tab);
        bothLooks(settings, QString("settings-%1").arg(tab));
    }
}

} // namespace
} // namespace corvane
