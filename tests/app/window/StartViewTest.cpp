#include "app/window/StartView.hpp"
#include <algorithm>
#include <cstring>
#include <QApplication>
#include <QImageReader>
#include <QLabel>
#include <gtest/gtest.h>
#include "tests/support/TestSupport.hpp"

namespace corvane {
namespace {

class StartViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "start-view-test", *argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!qApp) new QApplication(argc, argv);
        setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }
    test::TempDir dir;
};

TEST_F(StartViewTest, TitleIsTheBoxNameInCapitalsAsPlainText) {
    QWidget parent;
    parent.resize(640, 360);
    EXPECT_EQ(StartView(&parent, std::string("Study"), "Starting Windows...").title(), "STUDY");
    EXPECT_EQ(StartView(&parent, std::nullopt, "Starting Windows...").title(), "Corvane");
    StartView tagged(&parent, std::string("<b>box</b> & co"), "Resizing...");
    EXPECT_EQ(tagged.title(), "<B>BOX</B> & CO");
    for (auto* label : tagged.findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(tagged.geometry(), parent.rect());
}

TEST_F(StartViewTest, LastPictureIsASmallBlurredJpeg) {
    // A BGRA picture: left half white, right half black.
    auto bgra = platform::PixelBuffer::make(platform::PixelBuffer::Format::bgra, 1920, 1080);
    auto& plane = bgra->mutablePlane(0);
    for (int y = 0; y < 1080; ++y) std::memset(std::memset(plane.data + std::size_t(y) * plane.bytesPerRow, 0, 1920 * 4), 0xFF, 960 * 4);
    StartView::saveSnapshot(*bgra);
    const auto url = StartView::snapshotURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->filename(), "last-picture.jpg");
    QImageReader reader(QString::fromStdString(url->string()));
    EXPECT_EQ(reader.format(), "jpeg");
    const QImage saved = reader.read();
    EXPECT_EQ(saved.size(), QSize(480, 270));
    // Blurred across the edge, opaque at the borders.
    EXPECT_GT(qGray(saved.pixel(240, 135)), 60);
    EXPECT_LT(qGray(saved.pixel(240, 135)), 200);
    EXPECT_GT(qGray(saved.pixel(0, 0)), 230);
    EXPECT_LT(qGray(saved.pixel(479, 269)), 25);
    // A 10-bit picture of mid grey.
    auto x420 = platform::PixelBuffer::make(platform::PixelBuffer::Format::x420, 640, 360);
    for (int p = 0; p < 2; ++p) {
        auto& pl = x420->mutablePlane(p);
        for (int y = 0; y < pl.height; ++y)
            std::fill_n(reinterpret_cast<std::uint16_t*>(pl.data + std::size_t(y) * pl.bytesPerRow), pl.width * (p + 1), std::uint16_t((p ? 512 : 502) << 6));
    }
    StartView::saveSnapshot(*x420);
    const QImage grey(QString::fromStdString(url->string()));
    EXPECT_EQ(grey.size(), QSize(480, 270));
    EXPECT_NEAR(qGray(grey.pixel(100, 100)), 128, 12);
}

}  // namespace
}  // namespace corvane
