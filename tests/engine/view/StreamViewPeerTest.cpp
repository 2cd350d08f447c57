// The stream view's display side on a real (virtual) X display with software OpenGL.
#include "engine/view/StreamView.hpp"
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <tuple>
#include <QImage>
#include <QTest>
#include <QThread>
#include <QWindow>
#include "engine/video/AnnexB.hpp"
#include "engine/video/VideoDecoder.hpp"
#include "engine/view/StreamSurface.hpp"
#include "tests/engine/video/VideoClips.hpp"
#include "tests/engine/view/ViewPictures.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/GuiEnvironment.hpp"

namespace corvane::stream {
namespace {

using platform::PixelBuffer;
using namespace test::pictures;

// An HDR10 picture: luma `left` on the left half, `right` on the right, neutral chroma; 16-bit samples with
// the value in the upper 10 bits.
std::shared_ptr<PixelBuffer> x420(int w, int h, std::uint16_t left, std::uint16_t right) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::x420, w, h, PixelBuffer::hdr10);
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

// A Y'CbCr picture of 32 x 32 patches, each of one code triple, in any of the decoder's layouts.
struct Codes { int y, cb, cr; };
std::shared_ptr<PixelBuffer> patches(PixelBuffer::Format format, const std::vector<Codes>& codes, int across,
                                     PixelBuffer::ColorSpace color) {
    const int rows = int(codes.size()) / across;
    auto picture = PixelBuffer::make(format, across * 32, rows * 32, color);
    const auto layout = PixelBuffer::layout(format);
    const bool x420 = format == PixelBuffer::Format::x420;
    for (int p = 0; p < picture->planeCount(); ++p) {
        auto& plane = picture->mutablePlane(p);
        const int bytes = layout.bytesPerSample[std::size_t(p)];
        const bool interleaved = layout.planes == 2 && p == 1;
        const int scale = layout.subsampled && p > 0 ? 2 : 1;
        for (int y = 0; y < plane.height; ++y)
            for (int x = 0; x < plane.width; ++x) {
                const Codes& c = codes[std::size_t((y * scale / 32) * across + x * scale / 32)];
                const int values[2] = {p == 0 ? c.y : p == 1 && !interleaved ? c.cb : p == 2 ? c.cr : c.cb, c.cr};
                for (int v = 0; v < (interleaved ? 2 : 1); ++v) {
                    std::uint8_t* at = plane.data + y * plane.bytesPerRow + (x * (interleaved ? 2 : 1) + v) * (bytes / (interleaved ? 2 : 1));
                    const int value = x420 ? values[v] << 6 : values[v];
                    if (bytes / (interleaved ? 2 : 1) == 1) at[0] = std::uint8_t(value);
                    else at[0] = std::uint8_t(value & 0xFF), at[1] = std::uint8_t(value >> 8);
                }
            }
    }
    return picture;
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
    // A standard picture ends the 10-bit path and the next 10-bit picture starts it again (its colours: the
    // table below).
    const std::string hdr = "video: showing HDR (10-bit) through the HDR display layer";
    show(frameOf(x420(160, 120, 64, 940), 3));
    EXPECT_TRUE(near(shownAt(100, 150), black, 4));
    EXPECT_EQ(log.count(hdr), 1u);
    show(frameOf(patches(PixelBuffer::Format::nv12, {{126, 128, 128}}, 1, {}), 4));
    EXPECT_TRUE(near(shownAt(200, 150), {128, 128, 128}, 2));
    show(frameOf(x420(160, 120, 940, 940), 5));
    EXPECT_TRUE(near(shownAt(200, 150), white, 6));
    EXPECT_EQ(log.count(hdr), 2u);
}

// What each standard's matrix and range make of 8-bit codes, written out: R = y (Y - yOffset) + rCr (Cr - 128),
// G = y (Y - yOffset) + gCb (Cb - 128) + gCr (Cr - 128), B = y (Y - yOffset) + bCb (Cb - 128).
struct Coefficients { double y, yOffset, rCr, gCb, gCr, bCb; };
constexpr Coefficients bt601Limited{1.164384, 16, 1.596027, -0.391762, -0.812968, 2.017232};
constexpr Coefficients bt709Limited{1.164384, 16, 1.792741, -0.213249, -0.532909, 2.112402};
constexpr Coefficients bt601Full{1.0, 0, 1.402, -0.344136, -0.714136, 1.772};
constexpr Coefficients bt709Full{1.0, 0, 1.5748, -0.187324, -0.468124, 1.8556};

Rgb reference8(const Coefficients& k, Codes c) {
    const auto clamp = [](double v) { return std::uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
    const double y = k.y * (c.y - k.yOffset), cb = c.cb - 128.0, cr = c.cr - 128.0;
    return {clamp(y + k.rCr * cr), clamp(y + k.gCb * cb + k.gCr * cr), clamp(y + k.bCb * cb)};
}

// Video-range 10-bit codes as a standard screen shows them, from each standard's Kr and Kb and the transfer
// and primaries: a standard transfer as it is, BT.2020 primaries converted to BT.709 in linear light (BT.1886's
// 2.4 gamma both ways); PQ, and HLG as a 1000-nit screen shows it, with the reference white (203 nits) at 1.0
// and a soft shoulder above 0.8, then BT.709 primaries and a 2.2 gamma.
Rgb reference10(Codes c, PixelBuffer::ColorSpace color) {
    using Color = PixelBuffer::ColorSpace;
    const bool bt2020 = color.primaries == Color::Primaries::bt2020;
    const bool m709 = color.matrix == Color::Matrix::bt709, m2020 = color.matrix == Color::Matrix::bt2020;
    const double kr = m709 ? 0.2126 : m2020 ? 0.2627 : 0.299, kb = m709 ? 0.0722 : m2020 ? 0.0593 : 0.114;
    const double Y = (c.y - 64) / 876.0, U = (c.cb - 512) / 896.0, V = (c.cr - 512) / 896.0;
    const double r = Y + 2 * (1 - kr) * V, b = Y + 2 * (1 - kb) * U;
    double e[3] = {r, (Y - kr * r - kb * b) / (1 - kr - kb), b};
    for (double& v : e) v = std::clamp(v, 0.0, 1.0);
    const auto toBT709 = [](const double* x, double* out) {
        out[0] = 1.6605 * x[0] - 0.5876 * x[1] - 0.0728 * x[2];
        out[1] = -0.1246 * x[0] + 1.1329 * x[1] - 0.0083 * x[2];
        out[2] = -0.0182 * x[0] - 0.1006 * x[1] + 1.1187 * x[2];
    };
    double shown[3];
    if (color.transfer == Color::Transfer::sdr) {
        std::copy(e, e + 3, shown);
        if (bt2020) {
            const double light[3] = {std::pow(e[0], 2.4), std::pow(e[1], 2.4), std::pow(e[2], 2.4)};
            toBT709(light, shown);
            for (double& v : shown) v = std::pow(std::clamp(v, 0.0, 1.0), 1 / 2.4);
        }
    } else {
        double light[3];
        if (color.transfer == Color::Transfer::pq) {
            for (int i = 0; i < 3; ++i) {
                const double p = std::pow(e[i], 1 / 78.84375);
                light[i] = std::pow(std::max(p - 0.8359375, 0.0) / (18.8515625 - 18.6875 * p), 1 / 0.1593017578125) * 10000;
            }
        } else {
            double scene[3];
            for (int i = 0; i < 3; ++i)
                scene[i] = e[i] <= 0.5 ? e[i] * e[i] / 3 : (std::exp((e[i] - 0.55991073) / 0.17883277) + 0.28466892) / 12;
            const double ys = bt2020 ? 0.2627 * scene[0] + 0.6780 * scene[1] + 0.0593 * scene[2]
                                     : 0.2126 * scene[0] + 0.7152 * scene[1] + 0.0722 * scene[2];
            for (int i = 0; i < 3; ++i) light[i] = 1000 * std::pow(ys, 0.2) * scene[i];
        }
        for (double& v : light) v /= 203;
        if (bt2020) toBT709(light, shown);
        else std::copy(light, light + 3, shown);
        for (double& v : shown) {
            const double x = std::max(v, 0.0);
            v = std::pow(x <= 0.8 ? x : 0.8 + 0.2 * (1 - std::exp(-(x - 0.8) / 0.2)), 1 / 2.2);
        }
    }
    const auto byte = [](double v) { return std::uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    return {byte(shown[0]), byte(shown[1]), byte(shown[2])};
}

TEST_F(StreamViewDisplay, PlanesAreConvertedWithTheStreamsMatrixAndRangeWithinTwoStepsOfTheReference) {
    using Format = PixelBuffer::Format;
    using Matrix = PixelBuffer::ColorSpace::Matrix;
    // Greys, the primaries and their complements, and codes beyond the video range (clamped alike).
    const std::vector<Codes> codes8 = {{16, 128, 128}, {235, 128, 128}, {126, 128, 128}, {81, 90, 240},
                                       {145, 54, 34},  {41, 240, 110},  {210, 16, 146}, {170, 166, 16},
                                       {0, 0, 255},    {255, 255, 0},   {60, 200, 60},  {200, 60, 200},
                                       {100, 110, 150}, {180, 140, 100}, {30, 128, 200}, {240, 100, 128}};
    const std::vector<Codes> codes10 = {{64, 512, 512}, {940, 512, 512}, {502, 512, 512}, {400, 300, 700},
                                        {600, 700, 400}, {300, 600, 600}, {800, 450, 560}, {200, 512, 380}};
    using Transfer = PixelBuffer::ColorSpace::Transfer;
    using Primaries = PixelBuffer::ColorSpace::Primaries;
    struct Row {
        const char* name;
        Format format;
        PixelBuffer::ColorSpace color;
        const Coefficients* k;  // none: by the colour space (reference10)
    };
    const Row rows[] = {
        {"NV12 BT.601 limited", Format::nv12, {Matrix::bt601, false}, &bt601Limited},
        {"NV12 BT.709 limited", Format::nv12, {Matrix::bt709, false}, &bt709Limited},
        {"NV12 BT.601 full", Format::nv12, {Matrix::bt601, true}, &bt601Full},
        {"NV12 BT.709 full", Format::nv12, {Matrix::bt709, true}, &bt709Full},
        {"I420 BT.601 limited", Format::i420, {Matrix::bt601, false}, &bt601Limited},
        {"I420 BT.709 limited", Format::i420, {Matrix::bt709, false}, &bt709Limited},
        {"I420 BT.601 full", Format::i420, {Matrix::bt601, true}, &bt601Full},
        {"I420 BT.709 full", Format::i420, {Matrix::bt709, true}, &bt709Full},
        {"I444 BT.601 limited", Format::i444, {Matrix::bt601, false}, &bt601Limited},
        {"I444 BT.709 limited", Format::i444, {Matrix::bt709, false}, &bt709Limited},
        {"I444 BT.601 full", Format::i444, {Matrix::bt601, true}, &bt601Full},
        {"I444 BT.709 full", Format::i444, {Matrix::bt709, true}, &bt709Full},
        {"P010 HDR10", Format::x420, PixelBuffer::hdr10, nullptr},
        {"I010 HDR10", Format::i010, PixelBuffer::hdr10, nullptr},
        {"P010 BT.709 standard range", Format::x420, {Matrix::bt709, false}, nullptr},
        {"I010 BT.601 standard range", Format::i010, {Matrix::bt601, false}, nullptr},
        {"I010 BT.2020 standard range", Format::i010, {Matrix::bt2020, false, Transfer::sdr, Primaries::bt2020}, nullptr},
        {"NV12 BT.2020 standard range", Format::nv12, {Matrix::bt2020, false, Transfer::sdr, Primaries::bt2020}, nullptr},
        {"P010 HLG", Format::x420, {Matrix::bt2020, false, Transfer::hlg, Primaries::bt2020}, nullptr},
        {"I010 HLG, BT.709 primaries", Format::i010, {Matrix::bt709, false, Transfer::hlg, Primaries::bt709}, nullptr},
        {"P010 PQ, BT.709 primaries", Format::x420, {Matrix::bt709, false, Transfer::pq, Primaries::bt709}, nullptr},
    };
    view->resize(256, 64);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    std::uint32_t index = 0;
    for (const Row& row : rows) {
        const bool deep = PixelBuffer::isTenBit(row.format);
        const auto& codes = deep ? codes10 : codes8;
        const int across = int(codes.size()) / 2;
        view->resize(across * 32, 64);
        show(frameOf(patches(row.format, codes, across, row.color), ++index));
        const QImage shown = view->grabFramebuffer();
        ASSERT_EQ(shown.size(), QSize(across * 32, 64)) << row.name;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const int x = int(i % std::size_t(across)) * 32 + 16, y = int(i / std::size_t(across)) * 32 + 16;
            // 8-bit video-range codes are the 10-bit ones divided by 4.
            const Codes wide = deep ? codes[i] : Codes{codes[i].y * 4, codes[i].cb * 4, codes[i].cr * 4};
            const Rgb expected = row.k ? reference8(*row.k, codes[i]) : reference10(wide, row.color);
            EXPECT_TRUE(near(shown.pixel(x, y), expected, 2))
                << row.name << ", codes " << codes[i].y << " " << codes[i].cb << " " << codes[i].cr << ": expected "
                << int(expected.r) << "," << int(expected.g) << "," << int(expected.b);
        }
    }
}

// Saturated colours whose pictures differ in their primaries alone, one after another: each is converted
// with its own, not with those of the picture before.
TEST_F(StreamViewDisplay, APictureWhosePrimariesAloneChangeIsConvertedWithItsOwn) {
    using Color = PixelBuffer::ColorSpace;
    const std::vector<Codes> codes = {{400, 300, 700}, {600, 700, 400}, {300, 600, 600}, {500, 400, 420}};
    const Color narrow{Color::Matrix::bt2020, false, Color::Transfer::sdr, Color::Primaries::bt709};
    const Color wide{Color::Matrix::bt2020, false, Color::Transfer::sdr, Color::Primaries::bt2020};
    // Apart by more than both tolerances, so neither passes for the other.
    for (const Codes& c : codes) {
        const Rgb a = reference10(c, narrow), b = reference10(c, wide);
        EXPECT_GT(std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b), 12) << c.y << " " << c.cb << " " << c.cr;
    }
    view->resize(int(codes.size()) * 32, 32);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    std::uint32_t index = 0;
    for (const auto format : {PixelBuffer::Format::i010, PixelBuffer::Format::x420}) {
        for (const Color& color : {narrow, wide, narrow}) {
            show(frameOf(patches(format, codes, int(codes.size()), color), ++index));
            const QImage shown = view->grabFramebuffer();
            for (std::size_t i = 0; i < codes.size(); ++i) {
                const Rgb expected = reference10(codes[i], color);
                EXPECT_TRUE(near(shown.pixel(int(i) * 32 + 16, 16), expected, 2))
                    << index << ": codes " << codes[i].y << " " << codes[i].cb << " " << codes[i].cr << ", expected "
                    << int(expected.r) << "," << int(expected.g) << "," << int(expected.b);
            }
        }
    }
}

// Luma codes alternating black and white column by column, neutral chroma.
std::shared_ptr<PixelBuffer> stripes(int w, int h) {
    auto picture = PixelBuffer::make(PixelBuffer::Format::i420, w, h, {PixelBuffer::ColorSpace::Matrix::bt709, false});
    for (int p = 0; p < 3; ++p) {
        auto& plane = picture->mutablePlane(p);
        for (int y = 0; y < plane.height; ++y)
            for (int x = 0; x < plane.width; ++x) plane.data[y * plane.bytesPerRow + x] = p ? 128 : x % 2 ? 235 : 16;
    }
    return picture;
}

TEST_F(StreamViewDisplay, APictureShownPixelForPixelKeepsEachColumnAndAScaledOneIsFiltered) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    const Rgb black{0, 0, 0}, white{255, 255, 255}, grey{128, 128, 128};
    // Twice the view's size: every screen pixel lies halfway between a black and a white column.
    for (int round = 0; round < 2; ++round) {
        show(frameOf(stripes(400, 300), std::uint32_t(2 * round + 1)));
        QImage shown = view->grabFramebuffer();
        for (const int x : {0, 1, 120, 201, 398, 399})
            for (const int y : {0, 150, 299}) EXPECT_TRUE(near(shown.pixel(x, y), x % 2 ? white : black, 2)) << x << "," << y;
        show(frameOf(stripes(800, 600), std::uint32_t(2 * round + 2)));
        shown = view->grabFramebuffer();
        for (const int x : {1, 120, 201, 398})
            for (const int y : {1, 150, 298}) EXPECT_TRUE(near(shown.pixel(x, y), grey, 3)) << x << "," << y;
    }
}

// A picture that fills the view leaves nothing behind where the bars of a smaller one come; codes far past
// either end of the range come out as the screen's darkest and brightest steps exactly, in 8 and 10 bits.
TEST_F(StreamViewDisplay, BarsAreBlackAfterAPictureThatFilledTheViewAndCodesPastTheRangeSaturate) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    const Rgb black{0, 0, 0}, white{255, 255, 255};
    std::uint32_t index = 0;
    for (int round = 0; round < 2; ++round) {
        show(frameOf(gray(400, 300, 255), ++index));
        QImage shown = view->grabFramebuffer();
        for (const auto& [x, y] : {std::pair{0, 0}, {399, 0}, {200, 150}, {0, 299}, {399, 299}})
            EXPECT_TRUE(near(shown.pixel(x, y), white, 0)) << x << "," << y;
        // 150 x 84 in 400 x 300: bars above y 38 and below y 262.
        show(frameOf(gray(150, 84, 120), ++index));
        shown = view->grabFramebuffer();
        for (const auto& [x, y] : {std::pair{0, 0}, {399, 37}, {200, 20}, {0, 263}, {399, 299}})
            EXPECT_TRUE(near(shown.pixel(x, y), black, 0)) << x << "," << y;
        EXPECT_TRUE(near(shown.pixel(200, 150), {120, 120, 120}, 0));
    }
    using Format = PixelBuffer::Format;
    const PixelBuffer::ColorSpace bt709{PixelBuffer::ColorSpace::Matrix::bt709, false};
    // Every channel far above or far below (by 15 steps and more); the 10-bit codes are the 8-bit ones times 4.
    const std::vector<Codes> codes = {{255, 128, 128}, {0, 128, 128}, {200, 0, 0}, {60, 255, 255}};
    const Rgb expected[] = {{255, 255, 255}, {0, 0, 0}, {0, 255, 0}, {255, 0, 255}};
    view->resize(int(codes.size()) * 32, 32);
    for (const Format format : {Format::i420, Format::nv12, Format::i444, Format::x420, Format::i010}) {
        std::vector<Codes> used = codes;
        if (PixelBuffer::isTenBit(format))
            for (Codes& c : used) c = {c.y * 4, c.cb * 4, c.cr * 4};
        show(frameOf(patches(format, used, int(used.size()), bt709), ++index));
        const QImage shown = view->grabFramebuffer();
        for (std::size_t i = 0; i < used.size(); ++i)
            EXPECT_TRUE(near(shown.pixel(int(i) * 32 + 16, 16), expected[i], 0)) << int(format) << ", patch " << i;
    }
}

// Every sample a pseudo-random code (10-bit ones within their 10 bits), so that any change in where or how a
// sample is read or converted shows in some pixel.
std::shared_ptr<PixelBuffer> noise(PixelBuffer::Format format, int w, int h, PixelBuffer::ColorSpace color,
                                   std::uint32_t seed) {
    auto picture = PixelBuffer::make(format, w, h, color);
    const auto layout = PixelBuffer::layout(format);
    const auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (int p = 0; p < picture->planeCount(); ++p) {
        auto& plane = picture->mutablePlane(p);
        const int bytes = layout.bytesPerSample[std::size_t(p)];
        const bool wide = PixelBuffer::isTenBit(format);
        for (int y = 0; y < plane.height; ++y) {
            std::uint8_t* row = plane.data + y * plane.bytesPerRow;
            for (int i = 0; i < plane.width * bytes; i += wide ? 2 : 1) {
                if (wide) {
                    const std::uint32_t code = next() % 1024 << (format == PixelBuffer::Format::x420 ? 6 : 0);
                    row[i] = std::uint8_t(code), row[i + 1] = std::uint8_t(code >> 8);
                } else {
                    row[i] = format == PixelBuffer::Format::bgra && i % 4 == 3 ? 255 : std::uint8_t(next());
                }
            }
        }
    }
    return picture;
}

std::uint64_t checksum(const QImage& image) {
    std::uint64_t hash = 14695981039346656037ull;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            for (const int channel : {qRed(pixel), qGreen(pixel), qBlue(pixel)}) hash = (hash ^ std::uint64_t(channel)) * 1099511628211ull;
        }
    return hash;
}

// The drawn pixels of noise pictures in every layout and colour, shown pixel for pixel and scaled, are pinned
// (as Mesa's software rasteriser, the tests' GL, draws them): a faster way of drawing must give the same bytes.
TEST_F(StreamViewDisplay, NoisePicturesInEveryLayoutAndColourAreDrawnToTheSameBytes) {
    using Format = PixelBuffer::Format;
    using Color = PixelBuffer::ColorSpace;
    const Color bt601{Color::Matrix::bt601, false}, bt709Full{Color::Matrix::bt709, true};
    const Color wideSdr{Color::Matrix::bt2020, false, Color::Transfer::sdr, Color::Primaries::bt2020};
    const Color hlg{Color::Matrix::bt2020, false, Color::Transfer::hlg, Color::Primaries::bt2020};
    const std::pair<Format, Color> cases[] = {
        {Format::bgra, bt601},    {Format::nv12, bt601},      {Format::nv12, bt709Full}, {Format::nv12, wideSdr},
        {Format::i420, bt601},    {Format::i420, bt709Full},  {Format::i444, bt601},     {Format::i444, bt709Full},
        {Format::x420, PixelBuffer::hdr10}, {Format::x420, bt709Full}, {Format::x420, hlg},
        {Format::i010, PixelBuffer::hdr10}, {Format::i010, bt601}, {Format::i010, wideSdr},
    };
    // Each case shown pixel for pixel (48 x 32), then scaled into 100 x 40 between bars.
    const std::uint64_t expected[] = {
        0x7004a577fd88ac5b, 0x599c09002a506adc, 0x7b0556e74db9d933, 0xfbaf8a6b6736a0d5,
        0xc3a31f7d8296c949, 0x111f9fa1f1774e43, 0x43a489b9ad931a00, 0x68b5e9d153413b3a,
        0xcd07d9a70cdb7e9b, 0x20d7dd0fd229f8c1, 0x1839fa662706efcd, 0xe836dcccf30a4e05,
        0x73838afcf4301c41, 0xb9d515067a6bf543, 0x7f23006e3410d2af, 0xe43df61e8aae29d0,
        0x134768a2e6e3edad, 0x9d4762a4f8c4ab95, 0x63472a085b57cd9c, 0x66615dd1e947b687,
        0xe9543f3830097a3d, 0x34fc7911818279bb, 0x749ea69dd6b30a94, 0x52936f901f2c8105,
        0x8a131583570598d2, 0x9f0b36e3fa5cca17, 0x595b632ec3b65b08, 0x7e86540f6107134f,
    };
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    std::uint32_t index = 0;
    for (const auto& [format, color] : cases) {
        for (const QSize size : {QSize(48, 32), QSize(100, 40)}) {
            view->resize(size);
            show(frameOf(noise(format, 48, 32, color, index + 1), index + 1));
            const QImage shown = view->grabFramebuffer();
            ASSERT_EQ(shown.size(), size);
            EXPECT_EQ(checksum(shown), expected[index]) << "case " << index << ", format " << int(format);
            ++index;
        }
    }
}

// Real 10-bit HEVC streams of a mid grey (150 of 255), made by ffmpeg, decoded and shown: under any standard
// transfer the grey stays 150 whatever the primaries; only PQ and HLG take the HDR path, and a stream that
// names no colours only in an HDR session.
TEST_F(StreamViewDisplay, TenBitStreamsAreShownWithTheTransferAndPrimariesTheySignal) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    test::TempDir folder;
    namespace C = corvane::test::clips::colours;
    struct Row {
        const char* name;
        std::string colours;  // x265's colour description
        bool hdrSession;
        bool hdr;
    };
    const Row rows[] = {
        {"BT.709", C::bt709, false, false},
        {"PQ", C::pq, false, true},
        {"BT.2020 standard range", C::bt2020, false, false},
        {"SMPTE 170M", C::smpte170m, false, false},
        {"HLG", C::hlg, false, true},
        {"none", "", false, false},
        {"none in an HDR session", "", true, true},
        {"BT.709 in an HDR session", C::bt709, true, false},
    };
    const std::string hdrLine = "video: showing HDR (10-bit) through the HDR display layer";
    std::size_t hdrLines = 0;
    bool hdrShowing = false;
    std::uint32_t index = 0;
    for (const Row& row : rows) {
        test::clips::ClipOptions recipe{test::clips::Codec::hevc, 160, 120, 2, 2};
        recipe.tenBitColours = row.colours;
        recipe.picture = "color=c=0x969696";
        const test::clips::Clip clip = test::clips::makeClip(folder.path(), recipe);
        std::mutex lock;
        std::optional<DecodedFrame> decoded;
        VideoDecoder decoder(StreamConfig::Codec::hevc, row.hdrSession, 8, false);
        decoder.onFrame = [&](const DecodedFrame& frame) {
            std::lock_guard guard(lock);
            decoded = frame;
        };
        for (const Bytes& unit : clip.accessUnits) {
            VideoFrame frame;
            frame.index = index++;
            frame.data = unit;
            frame.isKeyframe = AnnexB::isKeyframe(unit, StreamConfig::Codec::hevc);
            decoder.decode(frame);
        }
        decoder.flush();
        std::lock_guard guard(lock);
        ASSERT_TRUE(decoded && decoded->image) << row.name;
        const PixelBuffer& picture = *decoded->image;
        ASSERT_EQ(picture.format(), PixelBuffer::Format::i010) << row.name;
        show(*decoded);
        const QRgb centre = shownAt(200, 150);
        if (row.hdr) {
            // The HDR path's curve, on the codes the decoder gave (PQ: 150 shows as 249).
            const auto code = [&](int p, int x, int y) {
                const std::uint8_t* at = picture.plane(p).data + y * picture.plane(p).bytesPerRow + x * 2;
                return at[0] | at[1] << 8;
            };
            const Codes codes{code(0, 80, 60), code(1, 40, 30), code(2, 40, 30)};
            const Rgb expected = reference10(codes, picture.colorSpace());
            EXPECT_TRUE(near(centre, expected, 2)) << row.name << ": expected " << int(expected.r);
            EXPECT_GT(expected.r, 160) << row.name;
        } else {
            EXPECT_TRUE(near(centre, {150, 150, 150}, 2)) << row.name;
        }
        // The line comes with the first HDR picture after standard ones.
        if (row.hdr && !hdrShowing) ++hdrLines;
        hdrShowing = row.hdr;
        EXPECT_EQ(log.count(hdrLine), hdrLines) << row.name;
    }
    EXPECT_EQ(hdrLines, 3u);
}

TEST_F(StreamViewDisplay, APanelsLookFadesAwayOverThePicture) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    show(frameOf(gray(400, 300, 50), 1));
    QImage panel(100, 40, QImage::Format_ARGB32_Premultiplied);
    panel.fill(Qt::white);
    view->fadeAway(panel, QRect(20, 30, 100, 40), 1.0);
    // Opaque at first, half way at half time, gone at the end; only where the panel was.
    for (const auto& [at, inside] : {std::pair{100.0, 255}, {100.5, 153}, {101.0, 50}}) {
        now = at;
        EXPECT_TRUE(near(shownAt(70, 50), {std::uint8_t(inside), std::uint8_t(inside), std::uint8_t(inside)}, 2)) << at;
        EXPECT_TRUE(near(shownAt(200, 150), {50, 50, 50}, 1)) << at;
    }
}

// A look laid over the picture (half-transparent red, premultiplied) stays over every new picture, beneath a
// fading panel, until a null image takes it away; the fade goes on without it.
TEST_F(StreamViewDisplay, ALookLaidOverThePictureStaysOverNewPicturesBeneathAFadeUntilTakenAway) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    show(frameOf(gray(400, 300, 50), 1));
    QImage look(200, 100, QImage::Format_ARGB32_Premultiplied);
    look.fill(QColor(255, 0, 0, 128));  // premultiplied: red 128
    view->setOverlay(look, QRect(100, 100, 200, 100));
    // Over grey g: red 128 + g/2, green and blue g/2.
    const auto over = [](int g) { return Rgb{std::uint8_t(128 + g * 127 / 255), std::uint8_t(g * 127 / 255), std::uint8_t(g * 127 / 255)}; };
    EXPECT_TRUE(near(shownAt(200, 150), over(50), 2));
    EXPECT_TRUE(near(shownAt(50, 50), {50, 50, 50}, 1));
    show(frameOf(gray(400, 300, 200), 2));
    EXPECT_TRUE(near(shownAt(200, 150), over(200), 2));
    QImage panel(100, 40, QImage::Format_ARGB32_Premultiplied);
    panel.fill(Qt::white);
    view->fadeAway(panel, QRect(80, 130, 100, 40), 1.0);
    EXPECT_TRUE(near(shownAt(150, 150), {255, 255, 255}, 1));  // the fade above the look
    EXPECT_TRUE(near(shownAt(250, 150), over(200), 2));
    view->setOverlay(QImage(), QRect());
    now = 100.5;
    EXPECT_TRUE(near(shownAt(150, 150), {227, 227, 227}, 2));  // half way from white to the picture
    EXPECT_TRUE(near(shownAt(250, 150), {200, 200, 200}, 1));
    show(frameOf(gray(400, 300, 60), 3));
    EXPECT_TRUE(near(shownAt(250, 150), {60, 60, 60}, 1));
}

// A frame put in the slot has its planes taken up at once, on a thread of their own, into the textures not
// drawn: until the frame's turn, whatever is drawn (here, read-backs) still shows the picture before it.
TEST_F(StreamViewDisplay, APictureTakenUpAheadStaysOffTheScreenUntilItsTurn) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    std::uint8_t drawn = 40;
    show(frameOf(gray(400, 300, drawn), 1));
    for (std::uint8_t next : {200, 90, 160}) {
        view->slot().put(frameOf(gray(400, 300, next), next));
        for (int look = 0; look < 10; ++look) {
            ASSERT_TRUE(near(shownAt(200, 150), {drawn, drawn, drawn}, 2)) << int(next);
            QTest::qWait(5);
        }
        view->tick();
        ASSERT_TRUE(near(shownAt(200, 150), {next, next, next}, 2)) << int(next);
        drawn = next;
    }
    EXPECT_TRUE(log.matching("video: the view takes up pictures on its render thread").empty());
}

// A picture whose planes cannot be taken up (rows shorter than their pixels) shows black, not the picture
// before it or a part of it; the picture after it shows whole.
TEST_F(StreamViewDisplay, APictureThatCannotBeTakenUpShowsBlackUntilTheNext) {
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    for (std::uint8_t next : {120, 200}) {
        show(frameOf(gray(400, 300, next), next));
        ASSERT_TRUE(near(shownAt(200, 150), {next, next, next}, 2));
        auto broken = gray(400, 300, 60);
        broken->mutablePlane(0).bytesPerRow = 100;
        show(frameOf(broken, next + 1u));
        EXPECT_TRUE(near(shownAt(200, 150), {0, 0, 0}, 0));
        EXPECT_TRUE(near(shownAt(10, 10), {0, 0, 0}, 0));
    }
    show(frameOf(gray(400, 300, 90), 7));
    EXPECT_TRUE(near(shownAt(200, 150), {90, 90, 90}, 2));
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
    // Three frames between two refreshes: only the last is shown (its decode time tells which). Pictures in
    // a layout the view converts are converted only when shown: the two replaced before never are.
    int conversions[3] = {0, 0, 0};
    const auto converted = [&](int which) {
        return PixelBuffer::deferred(PixelBuffer::Format::bgra, 8, 8, {}, [&conversions, which] {
            ++conversions[which];
            return std::shared_ptr<const PixelBuffer>(gray(8, 8, 50));
        });
    };
    view->slot().put(frameOf(converted(0), 1, 99.0, 99.0));
    view->slot().put(frameOf(converted(1), 2, 99.5, 99.5));
    show(frameOf(converted(2), 3, 99.99, 99.95, 10));
    EXPECT_EQ(std::vector<int>(conversions, conversions + 3), (std::vector<int>{0, 0, 1}));
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
    // Brightness on the 0...255 scale: 8-bit luma by its range, 10-bit samples by their top 8 bits. A picture
    // whose rows claim fewer bytes than its pixels need, or whose conversion failed, counts as bright.
    using Format = PixelBuffer::Format;
    const PixelBuffer::ColorSpace full{PixelBuffer::ColorSpace::Matrix::bt709, true};
    const std::pair<std::shared_ptr<const PixelBuffer>, double> pictures[] = {
        {gray(16, 16, 0), 0},
        {patches(Format::nv12, {{16, 128, 128}}, 1, {}), 0},
        {patches(Format::i420, {{235, 128, 128}}, 1, {}), 255},
        {patches(Format::i444, {{126, 90, 200}}, 1, {}), 110 * 255 / 219.0},
        {patches(Format::nv12, {{100, 128, 128}}, 1, full), 100},
        {patches(Format::i010, {{400, 512, 512}}, 1, {}), 100},
        {patches(Format::x420, {{400, 512, 512}}, 1, {}), 100},
        {PixelBuffer::deferred(Format::bgra, 8, 8, {}, [] { return nullptr; }), 255},
    };
    for (const auto& [picture, brightness] : pictures) EXPECT_NEAR(StreamView::averageLuma(*picture), brightness, 1e-9);
    auto picture = gray(16, 16, 0);
    picture->mutablePlane(0).bytesPerRow = 16;
    EXPECT_EQ(StreamView::averageLuma(*picture), 255);
}

// The sockets the process holds open: its X connections among them.
std::set<std::string> openSockets() {
    std::set<std::string> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.starts_with("socket:")) sockets.insert(target);
    }
    return sockets;
}

// Each opening of the stream window makes a new view. The X connection the first drew through (and the GL
// screen on it, with its driver threads) is kept when it goes, and the next draws through it: from one
// opening to the next, no X connection is opened or closed.
TEST(StreamViewOpenings, TheNextViewDrawsThroughTheConnectionTheLastOneLeft) {
    test::GuiEnvironment::ensure();
    test::EngineLogCapture log;
    const auto opening = [](std::uint8_t level) {
        auto view = std::make_unique<StreamView>(QRect(0, 0, 320, 240));
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
        view->slot().put(frameOf(gray(64, 48, level), 1));
        view->tick();
        EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {level, level, level}, 2));
        return view;
    };
    auto first = opening(80);
    const std::set<std::string> whileShown = openSockets();
    first.reset();
    EXPECT_EQ(openSockets(), whileShown);
    auto second = opening(140);
    EXPECT_EQ(openSockets(), whileShown);
    second.reset();
    EXPECT_EQ(openSockets(), whileShown);
    EXPECT_TRUE(log.matching("video: the view draws through the app's X connection").empty());
}

// A running view: its render thread takes the frames from the slot itself and the main thread counts them.
class StreamViewRunning : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiEnvironment::ensure();
        view = std::make_unique<StreamView>(QRect(0, 0, 320, 240));
        view->onPresented = [this](const DecodedFrame& frame) {
            onMain = onMain && QThread::currentThread() == qApp->thread();
            presented.emplace_back(frame.frameIndex, frame.image != nullptr);
        };
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view->grabFramebuffer().isNull(); }, 10000));
    }
    std::vector<std::uint32_t> indexes() const {
        std::vector<std::uint32_t> out;
        for (const auto& [index, pictured] : presented) out.push_back(index);
        return out;
    }
    std::unique_ptr<StreamView> view;
    std::vector<std::pair<std::uint32_t, bool>> presented;  // index, handed over with its picture
    bool onMain = true;
    test::EngineLogCapture log;
};

TEST_F(StreamViewRunning, FramesFromTheDecodersThreadAreDrawnOnceEachAndCountedOnTheMainThread) {
    int pictures = 0;
    view->onFirstPicture = [&] { ++pictures; };
    view->markOpened();
    view->start();
    // A decoder's thread puts 60 frames as fast as it can: newest-wins drops some, never the last.
    std::thread decoder([slot = &view->slot()] {
        for (std::uint32_t index = 1; index <= 60; ++index) slot->put(frameOf(gray(64, 48, 90), index, 1, 1));
    });
    decoder.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !presented.empty() && presented.back().first == 60; }, 20000));
    EXPECT_TRUE(onMain);
    const auto shown = indexes();
    EXPECT_TRUE(std::adjacent_find(shown.begin(), shown.end(), std::greater_equal<>()) == shown.end());
    EXPECT_EQ(view->shownTotal(), int(shown.size()));
    // Every frame reached the screen, in the order taken, through the upload and the swap.
    const auto timings = view->presented();
    ASSERT_EQ(timings.size(), shown.size());
    for (std::size_t i = 0; i < timings.size(); ++i) {
        EXPECT_EQ(timings[i].frameIndex, shown[i]);
        EXPECT_LE(timings[i].tickAt, timings[i].uploadedAt);
        EXPECT_LE(timings[i].uploadedAt, timings[i].swappedAt);
    }
    EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {90, 90, 90}, 2));
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(log.matching("video: first frame shown ").size(), 1u);
    EXPECT_EQ(log.matching("video: first non-black frame shown ").size(), 1u);
}

TEST_F(StreamViewRunning, PacedFramesAreEachShownInOrder) {
    view->slot().setPacing(true);
    // Three frames before the start: the slot keeps the newest two.
    for (std::uint32_t index = 1; index <= 3; ++index) view->slot().put(frameOf(gray(64, 48, 90), index));
    view->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() >= 2; }, 20000));
    // Two more while it runs, put at once: both wait their turn.
    view->slot().put(frameOf(gray(64, 48, 90), 4));
    view->slot().put(frameOf(gray(64, 48, 90), 5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() >= 4; }, 20000));
    EXPECT_EQ(indexes(), (std::vector<std::uint32_t>{2, 3, 4, 5}));
    EXPECT_EQ(view->presented().size(), 4u);
}

TEST_F(StreamViewRunning, AMainThreadFallenBehindCountsEveryFrameButIsHandedTheNewestPicturesOnly) {
    view->start();
    // The main thread runs no events while ten frames are taken one after another: each frame's picture is
    // converted when the render thread takes it, which lets the next one go.
    std::mutex mutex;
    std::condition_variable taken;
    std::uint32_t takenUpTo = 0;
    for (std::uint32_t index = 1; index <= 10; ++index) {
        view->slot().put(frameOf(PixelBuffer::deferred(PixelBuffer::Format::bgra, 8, 8, {}, [&, index] {
            std::lock_guard guard(mutex);
            takenUpTo = index;
            taken.notify_all();
            return std::shared_ptr<const PixelBuffer>(gray(8, 8, 50));
        }), index));
        std::unique_lock guard(mutex);
        ASSERT_TRUE(taken.wait_for(guard, std::chrono::seconds(20), [&] { return takenUpTo == index; }));
    }
    // A read-back runs on the render thread after the last frame was drawn and handed over.
    view->grabFramebuffer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() == 10; }, 10000));
    EXPECT_EQ(view->shownTotal(), 10);
    EXPECT_EQ(view->presented().size(), 10u);
    std::vector<std::pair<std::uint32_t, bool>> expected;
    for (std::uint32_t index = 1; index <= 10; ++index) expected.emplace_back(index, index > 6);
    EXPECT_EQ(presented, expected);
}

TEST_F(StreamViewRunning, OnceStoppedEveryFrameDrawnIsCountedAndNothingMoreComes) {
    view->start();
    // The render thread takes a frame while the main thread runs no events, and the view stops.
    std::mutex mutex;
    std::condition_variable taken;
    bool isTaken = false;
    view->slot().put(frameOf(PixelBuffer::deferred(PixelBuffer::Format::bgra, 8, 8, {}, [&] {
        std::lock_guard guard(mutex);
        isTaken = true;
        taken.notify_all();
        return std::shared_ptr<const PixelBuffer>(gray(8, 8, 50));
    }), 1));
    {
        std::unique_lock guard(mutex);
        ASSERT_TRUE(taken.wait_for(guard, std::chrono::seconds(20), [&] { return isTaken; }));
    }
    view->stop();
    EXPECT_EQ(view->shownTotal(), 1);
    EXPECT_EQ(indexes(), std::vector<std::uint32_t>{1});
    view->slot().put(frameOf(gray(8, 8, 60), 2));
    QTest::qWait(100);
    EXPECT_EQ(view->shownTotal(), 1);
    EXPECT_EQ(indexes(), std::vector<std::uint32_t>{1});
}

// The main thread lays, changes and takes away a look over and over while the render thread draws the frames
// a decoder's thread puts (under TSan: the hand-over is clean); what it said last is what shows.
TEST_F(StreamViewRunning, ALookLaidWhileFramesFlowShowsOverThemUntilTakenAway) {
    view->start();
    std::atomic<bool> stop{false};
    std::thread decoder([&, slot = &view->slot()] {
        for (std::uint32_t index = 1; !stop; ++index) slot->put(frameOf(gray(64, 48, std::uint8_t(60 + index % 2)), index));
    });
    QImage look(320, 240, QImage::Format_ARGB32_Premultiplied);
    for (int round = 0; round < 40; ++round) {
        look.fill(round % 2 ? QColor(0, 0, 200, 255) : QColor(0, 200, 0, 255));
        const std::size_t before = presented.size();
        if (round % 4 == 3)
            view->setOverlay(QImage(), QRect());
        else
            view->setOverlay(look, QRect(0, 0, 320, 240));
        ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() >= before + 2; }, 20000)) << round;
    }
    stop = true;
    decoder.join();
    // The last round (39) took it away; laid again, it shows over the last picture as soon as it is laid.
    EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {60, 60, 60}, 2));
    look.fill(QColor(0, 0, 200, 255));
    view->setOverlay(look, QRect(0, 0, 320, 240));
    EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {0, 0, 200}, 1));
}

TEST_F(StreamViewRunning, TheSurfaceGoingWhileFramesFlowIsLetGoAndDrawnIntoAgainWhenItReturns) {
    view->start();
    std::atomic<bool> stop{false};
    std::thread decoder([&, slot = &view->slot()] {
        for (std::uint32_t index = 1; !stop; ++index) slot->put(frameOf(gray(64, 48, std::uint8_t(60 + index % 2)), index));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() >= 3; }, 20000));
    // The surface's native window goes while the render thread draws, and comes back with the view.
    auto* surface = view->windowHandle()->findChild<StreamSurface*>();
    ASSERT_NE(surface, nullptr);
    surface->destroy();
    view->hide();
    const std::size_t before = presented.size();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return surface->isExposed() && presented.size() >= before + 3; }, 20000));
    EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {60, 60, 60}, 2));
    stop = true;
    decoder.join();
}

TEST_F(StreamViewRunning, ASurfaceTheContextFirstFailsToBeMadeCurrentOnIsDrawnIntoOnceItCanBe) {
    view->start();
    std::atomic<bool> stop{false};
    std::thread decoder([&, slot = &view->slot()] {
        for (std::uint32_t index = 1; !stop; ++index) slot->put(frameOf(gray(64, 48, 70), index));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return presented.size() >= 3; }, 20000));
    auto* surface = view->windowHandle()->findChild<StreamSurface*>();
    ASSERT_NE(surface, nullptr);
    surface->destroy();
    view->hide();
    // The new surface's first make-current fails; frames keep coming and later ones reach it.
    view->refuseMakeCurrent(1);
    const std::uint32_t last = view->presented().back().frameIndex;
    const auto drawnSince = [&] {
        const auto timings = view->presented();
        return std::count_if(timings.begin(), timings.end(), [&](const auto& t) { return t.frameIndex > last; });
    };
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get(), 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return drawnSince() >= 3; }, 20000));
    stop = true;
    decoder.join();
    EXPECT_TRUE(near(view->grabFramebuffer().pixel(160, 120), {70, 70, 70}, 2));
}

}  // namespace
}  // namespace corvane::stream
