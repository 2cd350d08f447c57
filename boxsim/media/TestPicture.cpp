#include "boxsim/media/TestPicture.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace corvane::boxsim::TestPicture {
namespace {

struct Yuv {
    std::uint8_t y, u, v;
};

// White, yellow, cyan, green, magenta, red, blue and grey.
constexpr std::array<Yuv, 8> kBars = {{{235, 128, 128},
                                       {210, 16, 146},
                                       {170, 166, 16},
                                       {145, 54, 34},
                                       {106, 202, 222},
                                       {81, 90, 240},
                                       {41, 240, 110},
                                       {126, 128, 128}}};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kBlack{16, 128, 128};

void fill(int x0, int y0, int x1, int y1, Yuv c, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride,
          std::uint8_t* v, int vStride) {
    for (int row = y0; row < y1; ++row) std::memset(y + row * yStride + x0, c.y, static_cast<std::size_t>(x1 - x0));
    for (int row = y0 / 2; row < (y1 + 1) / 2; ++row) {
        std::memset(u + row * uStride + x0 / 2, c.u, static_cast<std::size_t>((x1 + 1) / 2 - x0 / 2));
        std::memset(v + row * vStride + x0 / 2, c.v, static_cast<std::size_t>((x1 + 1) / 2 - x0 / 2));
    }
}

} // namespace

void draw(std::uint32_t n, int width, int height, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride,
          std::uint8_t* v, int vStride) {
    const int barsHeight = height - counterHeight(height);
    const int barWidth = std::max(1, width / 8);
    const int shift = static_cast<int>((n * 4u) % static_cast<std::uint32_t>(barWidth * 8));

    // Bars: drawn one luma row, then copied down, so a 1080p picture costs little.
    for (int x = 0; x < width; ++x) y[x] = kBars[static_cast<std::size_t>(((x + shift) / barWidth) % 8)].y;
    for (int row = 1; row < barsHeight; ++row) std::memcpy(y + row * yStride, y, static_cast<std::size_t>(width));
    for (int x = 0; x < width / 2; ++x) {
        const Yuv c = kBars[static_cast<std::size_t>(((2 * x + shift) / barWidth) % 8)];
        u[x] = c.u;
        v[x] = c.v;
    }
    for (int row = 1; row < barsHeight / 2; ++row) {
        std::memcpy(u + row * uStride, u, static_cast<std::size_t>(width / 2));
        std::memcpy(v + row * vStride, v, static_cast<std::size_t>(width / 2));
    }

    // The bouncing square.
    const int side = std::max(2, std::min(width, barsHeight) / 6) & ~1;
    if (side < width && side < barsHeight) {
        const int spanX = width - side, spanY = barsHeight - side;
        const int px = static_cast<int>((n * 7u) % static_cast<std::uint32_t>(2 * spanX));
        const int py = static_cast<int>((n * 5u) % static_cast<std::uint32_t>(2 * spanY));
        const int x0 = (px < spanX ? px : 2 * spanX - px) & ~1;
        const int y0 = (py < spanY ? py : 2 * spanY - py) & ~1;
        fill(x0, y0, x0 + side, y0 + side, kWhite, y, yStride, u, uStride, v, vStride);
    }

    drawCounter(n, width, height, y, yStride, u, uStride, v, vStride);
}

int counterHeight(int height) { return std::max(2, height / 8) & ~1; }

void drawCounter(std::uint32_t n, int width, int height, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride,
                 std::uint8_t* v, int vStride) {
    // Grey behind 16 cells.
    const int band = counterHeight(height);
    const int barsHeight = height - band;
    fill(0, barsHeight, width, height, kBars[7], y, yStride, u, uStride, v, vStride);
    const int cell = width / 16;
    if (cell >= 2) {
        for (int bit = 0; bit < 16; ++bit) {
            const bool set = (n >> (15 - bit)) & 1u;
            const int x0 = (bit * cell + cell / 8) & ~1;
            const int x1 = ((bit + 1) * cell - cell / 8) & ~1;
            const int y0 = (barsHeight + band / 4) & ~1;
            const int y1 = (height - band / 4) & ~1;
            if (x1 > x0 && y1 > y0) fill(x0, y0, x1, y1, set ? kWhite : kBlack, y, yStride, u, uStride, v, vStride);
        }
    }
}

} // namespace corvane::boxsim::TestPicture
