#include "app/controller/Appearance.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QImage>
#include <QScreen>
#include <QSet>
#include <QTabWidget>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

// Pictures of every phase and tab in both looks, read back from the X server: each must show something,
// and the looks must differ. CORVANE_KEEP_SCREENSHOTS names a folder that keeps them.
class ScreenshotTest : public test::UiFixture {
protected:
    ScreenshotTest() : UiFixture(true) {}
    ~ScreenshotTest() override { Appearance::apply(std::nullopt); }
    static QImage shoot(QWidget& widget, const QString& name) {
        widget.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&widget));
        // The window manager may still be fitting the frame to a new height: shoot once it holds.
        QImage image;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            QCoreApplication::processEvents();
            widget.repaint();
            image = widget.screen()->grabWindow(widget.winId()).toImage();
            return image.size() == widget.size() * widget.devicePixelRatio();
        })) << name.toStdString();
        if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS")) image.save(QString(keep) + "/" + name + ".png");
        return image;
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
    AgentClient::BoxStatus load;
    load.gpuPercent = 30, load.cpuPercent = 13, load.memoryUsed = 8ull << 30, load.memoryTotal = 32ull << 30;
    load.diskFree = 400ull << 30, load.diskTotal = 1000ull << 30, load.gpuName = "Simulated GPU";
    // Each look shows something, and the two differ.
    const auto bothLooks = [&](QWidget& widget, const QString& name) {
        QImage looks[2];
        for (int dark = 0; dark < 2; ++dark) {
            Appearance::apply(dark ? Appearance::dark : Appearance::light);
            looks[dark] = shoot(widget, name + (dark ? "-dark" : "-light"));
            EXPECT_GT(colours(looks[dark]), 8) << name.toStdString();
        }
        EXPECT_NE(looks[0], looks[1]) << name.toStdString();
    };
    for (int k = 0; k <= static_cast<int>(Kind::streaming); ++k) {
        const auto kind = static_cast<Kind>(k);
        setBox({.phase = BoxController::Phase{kind, k < 3 ? "The box said so." : ""}, .linkUp = k > 4,
                .boxFound = k > 6, .paired = k > 7, .boxName = k > 6 ? std::optional<std::string>("Den") : std::nullopt,
                .boxStatus = k > 6 ? std::optional(load) : std::nullopt});
        bothLooks(window, "main-" + QString::fromStdString(box->phase().description()).section('(', 0, 0));
    }
    window.hide();
    for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
        settings.tabs()->setCurrentIndex(tab);
        bothLooks(settings, "settings-" + settings.tabs()->tabText(tab));
    }
}

} // namespace
} // namespace corvane
