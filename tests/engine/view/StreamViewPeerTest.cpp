// The stream view's display side on a real (virtual) X display with software OpenGL.
#include "engine/view/StreamView.hpp"
#include <cstring>
#include <tuple>
#include <QImage>
#include <QTest>
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/GuiEnvironment.hpp"

namespace corvane::stream {
namespace {

using platform::PixelBuffer;

struct Rgb { std::uint8_t r, g, b; };

// A BGRA picture in four quadrants: top-left, top-right, bottom-left, bottom-right.
std::shared_ptr<PixelBuffer> quadrants(int w, int h, Rgb tl, Rgb tr, Rgb bl, Rgb br) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::bgra, w, h);
    auto& plane = picture->mutablePlane(0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = y < h / 2 ? (x < w / 2 ? tl : tr) : (x < w / 2 ? bl : br);
            std::uint8_t* p = plane.data + y * plane.bytesPerRow + x * 4;
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
        }
    return picture;
}

std::shared_ptr<PixelBuffer> gray(int w, int h, std::uint8_t v) { return quadrants(w, h, {v, v, v}, {v, v, v}, {v, v, v}, {v, v, v}); }

// A 10-bit picture: luma `left` on the left half, `right` on the right, neutral chroma; 16-bit samples with
// the value in the upper 10 bits.
std::shared_ptr<PixelBuffer> x420(int w, int h, std::uint16_t left, std::uint16_t right) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::x420, w, h);
    for (int p = 0; p < 2; ++p) {
        auto& plane = picture->mutablePlane(p);
        for (int y = 0; y < plane.height; ++y)
            for (int x = 0; x < plane.width * (p + 1); ++x) {
                const auto sample = static_cast<std::uint16_t>((p ? 512 : x < w / 2 ? left : right) << 6);
                std::memcpy(plane.data + y * plane.bytesPerRow + x * 2, &sample, 2);
            }
    }
    return picture;
}

DecodedFrame frameOf(std::shared_ptr<PixelBuffer> picture, std::uint32_t index, double decodedAt = 0,
                     double firstPacketAt = 0, double hostMs = 0) {
    DecodedFrame f;
    std::tie(f.image, f.frameIndex, f.decodedAt, f.firstPacketAt, f.hostProcessingMs) =
        std::tuple(std::move(picture), index, decodedAt, firstPacketAt, hostMs);
    return f;
}

::testing::AssertionResult near(QRgb pixel, Rgb expected, int tolerance = 8) {
    if (std::abs(qRed(pixel) - expected.r) <= tolerance && std::abs(qGreen(pixel) - expected.g) <= tolerance &&
        std::abs(qBlue(pixel) - expected.b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel " << qRed(pixel) << "," << qGreen(pixel) << "," << qBlue(pixel);
}

class StreamViewDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiEnvironment::ensure();
        view = std::make_unique<StreamView>(QRect(0, 0, 400, 300));
        view->setClock([this] { return now; });
    }
    QRgb shownAt(int x, int y) { return view->grabFramebuffer().pixel(x, y); }
    void show(DecodedFrame frame) {
        view->slot().put(std::move(frame));
        view->tick();
    }
    double now = 100;
    std::unique_ptr<StreamView> view;
    test::EngineLogCapture log;
};

TEST_F(StreamViewDisplay, DrawsTheNewestPictureAspectFittedOnBlackAndTenBitPicturesToo) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    const Rgb red{255, 0, 0}, blue{0, 0, 255}, green{0, 255, 0}, white{255, 255, 255}, black{0, 0, 0};
    // 150 pixels of 4 bytes make rows padded to 640 bytes; 150 x 84 in 400 x 300 is 400 x 224 at y 38.
    view->slot().put(frameOf(gray(150, 84, 40), 1));
    show(frameOf(quadrants(150, 84, red, blue, green, white), 2));
    EXPECT_EQ(view->grabFramebuffer().size(), QSize(400, 300));
    const std::tuple<int, int, Rgb, int> points[] = {{100, 100, red, 8},  {300, 100, blue, 8}, {100, 200, green, 8},
                                                     {300, 200, white, 8}, {200, 20, black, 0}, {200, 280, black, 0}};
    for (const auto& [x, y, colour, tolerance] : points) EXPECT_TRUE(near(shownAt(x, y), colour, tolerance)) << x << "," << y;
    EXPECT_EQ(view->shownTotal(), 1);
    // Video-range black (64) and peak white (940); mid grey stays neutral; a standard picture ends the
    // 10-bit path and the next 10-bit picture starts it again.
    const std::string hdr = "video: showing HDR (10-bit) through the HDR display layer";
    show(frameOf(x420(160, 120, 64, 940), 3));
    EXPECT_TRUE(near(shownAt(100, 150), black, 4));
    EXPECT_TRUE(near(shownAt(300, 150), white, 6));
    show(frameOf(x420(160, 120, 512, 512), 4));
    const QRgb mid = shownAt(200, 150);
    EXPECT_GT(qGreen(mid), 60);
    EXPECT_LT(qGreen(mid), 230);
    EXPECT_TRUE(near(mid, {std::uint8_t(qGreen(mid)), std::uint8_t(qGreen(mid)), std::uint8_t(qGreen(mid))}, 3));
    EXPECT_EQ(log.count(hdr), 1u);
    show(frameOf(gray(160, 120, 200), 5));
    EXPECT_TRUE(near(shownAt(200, 150), {200, 200, 200}, 2));
    show(frameOf(x420(160, 120, 940, 940), 6));
    EXPECT_TRUE(near(shownAt(200, 150), white, 6));
    EXPECT_EQ(log.count(hdr), 2u);
}

TEST_F(StreamViewDisplay, FirstFrameAndFirstNonBlackFrameAreLoggedOncePerOpening) {
    int pictures = 0;
    view->onFirstPicture = [&] { ++pictures; };
    show(frameOf(gray(64, 64, 128), 1));  // not armed: nothing is logged
    EXPECT_TRUE(log.all().empty());
    view->markOpened();
    now = 100.25;
    show(frameOf(gray(64, 64, 0), 2));
    EXPECT_TRUE(log.has("video: first frame shown 250 ms after the window opened"));
    // A 10-bit picture whose sampled brightness is exactly 6 is still black; 7 is not.
    now = 100.4;
    show(frameOf(x420(64, 64, 6 << 2, 6 << 2), 3));
    EXPECT_EQ(pictures, 0);
    now = 100.5;
    show(frameOf(x420(64, 64, 7 << 2, 7 << 2), 4));
    EXPECT_TRUE(log.has("video: first non-black frame shown 500 ms after the window opened (brightness 7)"));
    now = 101;
    show(frameOf(gray(64, 64, 128), 5));
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(log.all().size(), 3u);  // two firsts and the 10-bit path
    view->markOpened();  // opening again re-arms both lines and the callback
    now = 101.125;
    show(frameOf(gray(64, 64, 128), 6));
    EXPECT_TRUE(log.has("video: first frame shown 125 ms after the window opened"));
    EXPECT_TRUE(log.has("video: first non-black frame shown 125 ms after the window opened (brightness 128)"));
    EXPECT_EQ(pictures, 2);
}

TEST_F(StreamViewDisplay, CountsEachFrameOnceAndSmoothsLatenciesAndRate) {
    // Three frames between two refreshes: only the last is shown (its decode time tells which).
    view->slot().put(frameOf(gray(8, 8, 50), 1, 99.0, 99.0));
    view->slot().put(frameOf(gray(8, 8, 50), 2, 99.5, 99.5));
    show(frameOf(gray(8, 8, 50), 3, 99.99, 99.95, 10));
    EXPECT_EQ(view->shownTotal(), 1);
    EXPECT_NEAR(view->latencyMs().decodeToShow, 10, 1e-6);
    EXPECT_NEAR(view->latencyMs().packetToShow, 50, 1e-6);
    EXPECT_NEAR(view->hostProcessingMs(), 10, 1e-9);
    // The same index again is neither shown nor counted; host times outside (0, 1000) leave the average.
    view->tick();
    show(frameOf(gray(8, 8, 90), 3, 99.0, 99.0, 500));
    std::uint32_t index = 10;
    for (const double host : {0.0, -5.0, 1000.0}) show(frameOf(gray(8, 8, 50), ++index, 99.9, 99.9, host));
    EXPECT_NEAR(view->hostProcessingMs(), 10, 1e-9);
    show(frameOf(gray(8, 8, 50), 2000, 99.9, 99.85, 20));
    EXPECT_NEAR(view->hostProcessingMs(), 11, 1e-9);  // 0.1 new + 0.9 old
    double expected = 50;
    for (const double sample : {100, 100, 100, 150}) expected = 0.1 * sample + 0.9 * expected;
    EXPECT_NEAR(view->latencyMs().packetToShow, expected, 1e-6);
    show(frameOf(nullptr, 2001));  // no picture: not counted
    EXPECT_EQ(view->shownTotal(), 5);
    // The rate is that of the last whole second since the clock started at 100, and falls to zero.
    EXPECT_EQ(view->shownFPS(), 0);
    for (const auto& [at, fps] : {std::pair{100.999, 0}, {101.0, 5}, {102.0, 0}}) {
        now = at;
        view->tick();
        EXPECT_EQ(view->shownFPS(), fps) << at;
    }
    // A picture whose rows claim fewer bytes than its pixels need cannot be measured: it counts as bright.
    auto picture = gray(16, 16, 0);
    EXPECT_EQ(StreamView::averageLuma(*picture), 0);
    picture->mutablePlane(0).bytesPerRow = 16;
    EXPECT_EQ(StreamView::averageLuma(*picture), 255);
}

}  // namespace
}  // namespace corvane::stream
