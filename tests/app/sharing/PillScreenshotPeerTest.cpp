#include "tests/app/sharing/SharingTestSupport.hpp"

#include <QLabel>
#include <QPixmap>
#include <QScreen>

namespace corvane {
namespace {

// The pill as it looks on a real X display: over a stream window, then alone at the top right.
class PillScreenshot : public ::testing::Test {
protected:
    PillScreenshot() { test::SharingGui::ensure(true); }
    QImage screen() {
        QTest::qWait(200);  // let the X server draw
        return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    }
    static bool dark(QRgb pixel) { return qRed(pixel) < 90 && qGreen(pixel) < 90 && qBlue(pixel) < 90; }
    ManualClock clock;
};

TEST_F(PillScreenshot, OverTheStreamWindowThenTopRight) {
    QWidget window;
    window.setStyleSheet("background: rgb(40, 110, 200);");
    window.setAutoFillBackground(true);
    window.move(100, 100);
    window.resize(700, 450);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000));
    TransferHUD hud(clock);
    hud.streamPID = 1;
    hud.setStreamWindow(&window);
    hud.show("Receiving holiday photos from Windows", 0.42);
    const QRect pill(hud.pill()->mapToGlobal(QPoint(0, 0)), hud.pill()->size());
    auto shot = screen();
    EXPECT_EQ(pill.bottom() + 1, window.geometry().bottom() + 1 - 24);
    EXPECT_EQ(hud.pill()->x(), window.width() / 2 - hud.pill()->width() / 2);
    const auto labels = hud.pill()->findChildren<QLabel*>();
    ASSERT_FALSE(labels.empty());
    for (auto* label : labels) EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_TRUE(dark(shot.pixel(pill.left() + 30, pill.bottom() - 4)));     // the pill's dark body
    EXPECT_FALSE(dark(shot.pixel(pill.left() + 30, pill.top() - 10)));      // the window above it
    window.hide();
    hud.finish("Could not receive from Windows: The server answered with error 500.", true);
    clock.advance(TransferHUD::kTick);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(hud.pill(), 10000));
    shot = screen();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect alone = hud.pill()->frameGeometry();
    EXPECT_EQ(alone.right(), area.right() - 16);
    EXPECT_EQ(alone.top(), area.top() + 16);
    EXPECT_TRUE(dark(shot.pixel(alone.left() + 40, alone.bottom() - 6)));
    EXPECT_TRUE(hud.pill()->testAttribute(Qt::WA_TransparentForMouseEvents));
    clock.advance(TransferHUD::kHideAfterFailure);
    EXPECT_FALSE(hud.visible());
}

} // namespace
} // namespace corvane
