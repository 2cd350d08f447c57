// The stream view's display side on a real (virtual) X display with software OpenGL.
#include "engine/view/StreamView.hpp"

#include <atomic>
#include <cstring>
#include <thread>

#include <QImage>

#include "engine/Uptime.hpp"

#include "tests/engine/view/ViewTestSupport.hpp"

namespace corvane::stream {
namespace {

using platform::PixelBuffer;

struct Rgb {
    std::uint8_t r, g, b;
};

// A BGRA picture in four quadrants: top-left, top-right, bottom-left, bottom-right.
std::shared_ptr<PixelBuffer> quadrants(int w, int h, Rgb tl, Rgb tr, Rgb bl, Rgb br) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::bgra, w, h);
    auto& plane = picture->mutablePlane(0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = y < h / 2 ? (x < w / 2 ? tl : tr) : (x < w / 2 ? bl : br);
            std::uint8_t* p = plane.data + y * plane.bytesPerRow + x * 4;
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
            p[3] = 255;
        }
    return picture;
}

std::shared_ptr<PixelBuffer> gray(int w, int h, std::uint8_t value) {
    return quadrants(w, h, {value, value, value}, {value, value, value}, {value, value, value},
                     {value, value, value});
}

// A 10-bit picture: luma `left` on the left half, `right` on the right, neutral chroma; samples are 16 bit
// with the value in the upper 10 bits.
std::shared_ptr<PixelBuffer> x420(int w, int h, std::uint16_t left, std::uint16_t right) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::x420, w, h);
    auto& luma = picture->mutablePlane(0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint16_t sample = static_cast<std::uint16_t>((x < w / 2 ? left : right) << 6);
            std::memcpy(luma.data + y * luma.bytesPerRow + x * 2, &sample, 2);
        }
    auto& chroma = picture->mutablePlane(1);
    const std::uint16_t neutral = 512 << 6;
    for (int y = 0; y < chroma.height; ++y)
        for (int x = 0; x < chroma.width * 2; ++x) std::memcpy(chroma.data + y * chroma.bytesPerRow + x * 2, &neutral, 2);
    return picture;
}

DecodedFrame frameOf(std::shared_ptr<PixelBuffer> picture, std::uint32_t index, double decodedAt = 0,
                     double firstPacketAt = 0, double hostMs = 0) {
    DecodedFrame f;
    f.image = std::move(picture);
    f.frameIndex = index;
    f.decodedAt = decodedAt;
    f.firstPacketAt = firstPacketAt;
    f.hostProcessingMs = hostMs;
    return f;
}

::testing::AssertionResult near(QRgb pixel, Rgb expected, int tolerance = 8) {
    const int dr = std::abs(qRed(pixel) - expected.r);
    const int dg = std::abs(qGreen(pixel) - expected.g);
    const int db = std::abs(qBlue(pixel) - expected.b);
    if (dr <= tolerance && dg <= tolerance && db <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel " << qRed(pixel) << "," << qGreen(pixel) << "," << qBlue(pixel)
                                         << " expected " << int(expected.r) << "," << int(expected.g) << ","
                                         << int(expected.b);
}

class StreamViewDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiEnvironment::ensure();
        view = std::make_unique<StreamView>(QRect(0, 0, 400, 300));
        view->setClock([this] { return now; });
    }

    QImage shown() { return view->grabFramebuffer(); }

    void showView() {
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    }

    double now = 100;
    std::unique_ptr<StreamView> view;
    test::LogCapture log;
};

TEST_F(StreamViewDisplay, DrawsTheNewestPictureAspectFittedOnBlack) {
    showView();
    const Rgb red{255, 0, 0}, blue{0, 0, 255}, green{0, 255, 0}, white{255, 255, 255};
    // 150 pixels of 4 bytes make rows padded to 640 bytes; 150 x 84 in 400 x 300 is 400 x 224 at y 38.
    view->slot().put(frameOf(gray(150, 84, 40), 1));
    view->slot().put(frameOf(quadrants(150, 84, red, blue, green, white), 2));
    view->tick();
    const QImage image = shown();
    ASSERT_EQ(image.size(), QSize(400, 300));
    EXPECT_TRUE(near(image.pixel(100, 100), red));
    EXPECT_TRUE(near(image.pixel(300, 100), blue));
    EXPECT_TRUE(near(image.pixel(100, 200), green));
    EXPECT_TRUE(near(image.pixel(300, 200), white));
    // Bars above and below.
    EXPECT_TRUE(near(image.pixel(200, 20), {0, 0, 0}, 0));
    EXPECT_TRUE(near(image.pixel(200, 280), {0, 0, 0}, 0));
    EXPECT_EQ(view->shownTotal(), 1);
}

TEST_F(StreamViewDisplay, TenBitPicturesGoThroughTheConversionAndBackAgain) {
    showView();
    // Video-range black (64) on the left, peak white (940) on the right.
    view->slot().put(frameOf(x420(160, 120, 64, 940), 1));
    view->tick();
    QImage image = shown();
    EXPECT_TRUE(near(image.pixel(100, 150), {0, 0, 0}, 4));
    EXPECT_TRUE(near(image.pixel(300, 150), {255, 255, 255}, 6));
    EXPECT_EQ(log.count("video: showing HDR (10-bit) through the HDR display layer"), 1u);

    // Mid grey sits in between and stays neutral.
    view->slot().put(frameOf(x420(160, 120, 512, 512), 2));
    view->tick();
    image = shown();
    const QRgb mid = image.pixel(200, 150);
    EXPECT_GT(qGreen(mid), 60);
    EXPECT_LT(qGreen(mid), 230);
    EXPECT_TRUE(near(mid, {std::uint8_t(qGreen(mid)), std::uint8_t(qGreen(mid)), std::uint8_t(qGreen(mid))}, 3));
    EXPECT_EQ(log.count("video: showing HDR (10-bit) through the HDR display layer"), 1u);

    // A standard picture ends the 10-bit path; the next 10-bit picture starts it again.
    view->slot().put(frameOf(gray(160, 120, 200), 3));
    view->tick();
    EXPECT_TRUE(near(shown().pixel(200, 150), {200, 200, 200}, 2));
    view->slot().put(frameOf(x420(160, 120, 940, 940), 4));
    view->tick();
    EXPECT_TRUE(near(shown().pixel(200, 150), {255, 255, 255}, 6));
    EXPECT_EQ(log.count("video: showing HDR (10-bit) through the HDR display layer"), 2u);
}

TEST_F(StreamViewDisplay, FirstFrameAndFirstNonBlackFrameAreLoggedOncePerOpening) {
    int pictures = 0;
    view->onFirstPicture = [&] { ++pictures; };

    // Not armed: nothing is logged.
    view->slot().put(frameOf(gray(64, 64, 128), 1));
    view->tick();
    EXPECT_TRUE(log.all().empty());

    view->markOpened();
    now = 100.25;
    view->slot().put(frameOf(gray(64, 64, 0), 2));
    view->tick();
    EXPECT_TRUE(log.has("video: first frame shown 250 ms after the window opened"));
    EXPECT_EQ(pictures, 0);

    // A 10-bit picture whose sampled brightness is exactly 6 is still black; 7 is not.
    now = 100.4;
    view->slot().put(frameOf(x420(64, 64, 6 << 2, 6 << 2), 3));
    view->tick();
    EXPECT_EQ(pictures, 0);
    now = 100.5;
    view->slot().put(frameOf(x420(64, 64, 7 << 2, 7 << 2), 4));
    view->tick();
    EXPECT_TRUE(log.has("video: first non-black frame shown 500 ms after the window opened (brightness 7)"));
    EXPECT_EQ(pictures, 1);

    now = 101;
    view->slot().put(frameOf(gray(64, 64, 128), 5));
    view->tick();
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(log.all().size(), 3u);  // two firsts and the 10-bit path

    // Opening again re-arms both lines and the callback.
    view->markOpened();
    now = 101.125;
    view->slot().put(frameOf(gray(64, 64, 128), 6));
    view->tick();
    EXPECT_TRUE(log.has("video: first frame shown 125 ms after the window opened"));
    EXPECT_TRUE(log.has("video: first non-black frame shown 125 ms after the window opened (brightness 128)"));
    EXPECT_EQ(pictures, 2);
}

TEST_F(StreamViewDisplay, CountsEachFrameOnceAndSmoothsTheLatencies) {
    // Three frames between two refreshes: only the last is shown (its decode time tells which).
    view->slot().put(frameOf(gray(8, 8, 50), 1, 99.0, 99.0));
    view->slot().put(frameOf(gray(8, 8, 50), 2, 99.5, 99.5));
    view->slot().put(frameOf(gray(8, 8, 50), 3, 99.99, 99.95, 10));
    view->tick();
    EXPECT_EQ(view->shownTotal(), 1);
    EXPECT_NEAR(view->latencyMs().decodeToShow, 10, 1e-6);
    EXPECT_NEAR(view->latencyMs().packetToShow, 50, 1e-6);
    EXPECT_NEAR(view->hostProcessingMs(), 10, 1e-9);

    // The same frame again, or another picture under the same index, is neither shown nor counted.
    view->tick();
    view->slot().put(frameOf(gray(8, 8, 90), 3, 99.0, 99.0, 500));
    view->tick();
    EXPECT_EQ(view->shownTotal(), 1);

    // Smoothing: packet-to-show 0.1 new + 0.9 old; host times outside (0, 1000) leave it alone.
    for (const double host : {0.0, -5.0, 1000.0}) {
        static std::uint32_t index = 10;
        view->slot().put(frameOf(gray(8, 8, 50), ++index, 99.9, 99.9, host));
        view->tick();
    }
    EXPECT_NEAR(view->hostProcessingMs(), 10, 1e-9);
    view->slot().put(frameOf(gray(8, 8, 50), 20, 99.9, 99.85, 20));
    view->tick();
    EXPECT_NEAR(view->hostProcessingMs(), 11, 1e-9);
    double expected = 50;
    for (int i = 0; i < 3; ++i) expected = 0.1 * 100 + 0.9 * expected;
    expected = 0.1 * 150 + 0.9 * expected;
    EXPECT_NEAR(view->latencyMs().packetToShow, expected, 1e-6);
    EXPECT_EQ(view->shownTotal(), 5);

    // A frame without a picture is not counted, but its index is taken.
    view->slot().put(frameOf(nullptr, 21));
    view->tick();
    EXPECT_EQ(view->shownTotal(), 5);
}

TEST_F(StreamViewDisplay, ShownFPSReportsTheLastWholeSecondAndFallsToZero) {
    // The clock started at 100; two frames in the first second.
    now = 100.3;
    view->slot().put(frameOf(gray(8, 8, 50), 1));
    view->tick();
    now = 100.6;
    view->slot().put(frameOf(gray(8, 8, 50), 2));
    view->tick();
    EXPECT_EQ(view->shownFPS(), 0);
    now = 100.999;
    view->tick();
    EXPECT_EQ(view->shownFPS(), 0);
    now = 101.0;
    view->tick();
    EXPECT_EQ(view->shownFPS(), 2);
    now = 102.0;
    view->tick();
    EXPECT_EQ(view->shownFPS(), 0);
    EXPECT_EQ(view->shownTotal(), 2);
}

TEST_F(StreamViewDisplay, PicturesThatCannotBeMeasuredCountAsBright) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::bgra, 16, 16);
    std::memset(picture->mutablePlane(0).data, 0, static_cast<std::size_t>(picture->plane(0).bytesPerRow) * 16);
    EXPECT_EQ(StreamView::averageLuma(*picture), 0);
    // A row that claims fewer bytes than its pixels need is not read.
    auto& plane = picture->mutablePlane(0);
    plane.bytesPerRow = 16;
    EXPECT_EQ(StreamView::averageLuma(*picture), 255);
    plane.data = nullptr;
    EXPECT_EQ(StreamView::averageLuma(*picture), 255);
}

TEST_F(StreamViewDisplay, RunningViewTicksWithItsFrameSwapsAndWhileHidden) {
    EXPECT_FALSE(view->focusWatched());
    showView();
    EXPECT_TRUE(view->focusWatched());
    view->setClock(uptimeSeconds);
    view->markOpened();
    view->start();

    // A decoder thread delivers 30 frames a second until told to stop.
    std::atomic<bool> stopDecoder{false};
    std::thread decoder([&] {
        std::uint32_t index = 0;
        auto picture = quadrants(64, 36, {255, 0, 0}, {255, 0, 0}, {255, 0, 0}, {255, 0, 0});
        while (!stopDecoder) {
            view->slot().put(frameOf(picture, ++index, uptimeSeconds(), uptimeSeconds()));
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->shownFPS() >= 10; }, 15000)) << view->shownFPS();
    const auto lines = log.all();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("[engine] video: first frame shown ");
    }));
    EXPECT_TRUE(near(shown().pixel(200, 150), {255, 0, 0}));

    // Hidden, nothing is painted, but the slot is still drained.
    view->hide();
    const int before = view->shownTotal();
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->shownTotal() >= before + 5; }, 15000));
    stopDecoder = true;
    decoder.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->shownFPS() == 0; }, 15000));
    view->stop();
    const int stopped = view->shownTotal();
    view->slot().put(frameOf(gray(8, 8, 50), 100000));
    QTest::qWait(200);
    EXPECT_EQ(view->shownTotal(), stopped);
}

}  // namespace
}  // namespace corvane::stream
