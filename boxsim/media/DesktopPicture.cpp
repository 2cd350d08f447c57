#include "boxsim/media/DesktopPicture.hpp"

#include <algorithm>
#include <cstring>

#include "boxsim/media/TestPicture.hpp"

namespace corvane::boxsim {
namespace {

constexpr std::uint8_t kBackgroundY = 92, kBackgroundU = 150, kBackgroundV = 104;  // a muted blue
constexpr std::uint8_t kPaper = 235, kInk = 40, kNeutral = 128;

// A small deterministic generator: the picture is the same on every run and every machine.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint32_t>(n)); }
};

int even(int value) { return value & ~1; }

// Copies `length` bytes of a row `period` bytes long, starting at `from` and wrapping round.
void copyWrapped(std::uint8_t* to, const std::uint8_t* row, int period, int from, int length) {
    while (length > 0) {
        const int run = std::min(length, period - from);
        std::memcpy(to, row + from, static_cast<std::size_t>(run));
        to += run;
        length -= run;
        from = 0;
    }
}

} // namespace

DesktopPicture::DesktopPicture(int width, int height) : width_(width), height_(height) {
    const int content = height - TestPicture::counterHeight(height);
    document_ = {even(width / 16), even(content / 12), even(width * 10 / 16), even(content * 11 / 12)};
    video_ = {even(width * 11 / 16), document_.y0, even(width * 15 / 16), std::max(document_.y0 + 2, even(content / 2))};
    scroll_ = std::max(1, height / 270);

    // The page: lines of words made of glyphs, each glyph a random 5x7 pattern scaled to the line.
    const int pageWidth = document_.x1 - document_.x0;
    pageHeight_ = std::max(2, 2 * (document_.y1 - document_.y0));
    page_.assign(static_cast<std::size_t>(pageWidth) * static_cast<std::size_t>(pageHeight_), kPaper);
    Random random{0x5EED};
    const int line = std::max(6, height / 45);
    const int glyphHeight = std::max(3, line * 5 / 8);
    const int glyphWidth = std::max(2, glyphHeight * 5 / 8);
    const int margin = line;
    for (int top = (line - glyphHeight) / 2; top + glyphHeight <= pageHeight_; top += line) {
        if (random.below(8) == 0) continue;  // a paragraph break
        const int end = pageWidth - margin - random.below(std::max(1, pageWidth / 4));
        for (int x = margin; x + glyphWidth <= end;) {
            for (int letters = 2 + random.below(8); letters > 0 && x + glyphWidth <= end; --letters) {
                const std::uint64_t pattern = random.next() | std::uint64_t(random.next()) << 32;
                for (int gy = 0; gy < glyphHeight; ++gy)
                    for (int gx = 0; gx < glyphWidth; ++gx)
                        if ((pattern >> ((gy * 7 / glyphHeight) * 5 + gx * 5 / glyphWidth)) & 1)
                            page_[static_cast<std::size_t>(top + gy) * static_cast<std::size_t>(pageWidth) +
                                  static_cast<std::size_t>(x + gx)] = kInk;
                x += glyphWidth + std::max(1, glyphWidth / 4);
            }
            x += glyphWidth;
        }
    }

    // The texture: random in 2x2 blocks, so the chroma planes match it block for block.
    textureSide_ = 512;
    const std::size_t lumaBytes = static_cast<std::size_t>(textureSide_) * static_cast<std::size_t>(textureSide_);
    texture_.resize(lumaBytes + lumaBytes / 2);
    const int half = textureSide_ / 2;
    for (int by = 0; by < half; ++by)
        for (int bx = 0; bx < half; ++bx) {
            const std::uint32_t r = random.next();
            const auto luma = static_cast<std::uint8_t>(16 + r % 220);
            for (int dy = 0; dy < 2; ++dy)
                std::memset(&texture_[static_cast<std::size_t>(2 * by + dy) * static_cast<std::size_t>(textureSide_) +
                                      static_cast<std::size_t>(2 * bx)],
                            luma, 2);
            const std::size_t c = static_cast<std::size_t>(by) * static_cast<std::size_t>(half) + static_cast<std::size_t>(bx);
            texture_[lumaBytes + c] = static_cast<std::uint8_t>(16 + (r >> 8) % 225);
            texture_[lumaBytes + lumaBytes / 4 + c] = static_cast<std::uint8_t>(16 + (r >> 16) % 225);
        }
}

void DesktopPicture::draw(std::uint32_t n, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v,
                          int vStride) const {
    const int content = height_ - TestPicture::counterHeight(height_);
    const int pageWidth = document_.x1 - document_.x0;
    const int offset = static_cast<int>((static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(scroll_)) %
                                        static_cast<std::uint64_t>(pageHeight_));
    // The texture jumps by far more than an encoder searches for motion, so every picture is new to it.
    const std::uint32_t hash = n * 2654435761u;
    const int textureX = even(static_cast<int>(hash % static_cast<std::uint32_t>(textureSide_)));
    const int textureY = even(static_cast<int>((hash >> 16) % static_cast<std::uint32_t>(textureSide_)));
    const int half = textureSide_ / 2;
    const std::size_t lumaBytes = static_cast<std::size_t>(textureSide_) * static_cast<std::size_t>(textureSide_);

    for (int row = 0; row < content; ++row) {
        std::uint8_t* to = y + static_cast<std::ptrdiff_t>(row) * yStride;
        std::memset(to, kBackgroundY, static_cast<std::size_t>(width_));
        if (row >= document_.y0 && row < document_.y1) {
            const int pageRow = (offset + row - document_.y0) % pageHeight_;
            std::memcpy(to + document_.x0, &page_[static_cast<std::size_t>(pageRow) * static_cast<std::size_t>(pageWidth)],
                        static_cast<std::size_t>(pageWidth));
        }
        if (row >= video_.y0 && row < video_.y1) {
            const int textureRow = (textureY + row - video_.y0) % textureSide_;
            copyWrapped(to + video_.x0, &texture_[static_cast<std::size_t>(textureRow) * static_cast<std::size_t>(textureSide_)],
                        textureSide_, textureX, video_.x1 - video_.x0);
        }
    }
    for (int row = 0; row < content / 2; ++row) {
        std::uint8_t* planes[2] = {u + static_cast<std::ptrdiff_t>(row) * uStride, v + static_cast<std::ptrdiff_t>(row) * vStride};
        for (int p = 0; p < 2; ++p) {
            std::memset(planes[p], p == 0 ? kBackgroundU : kBackgroundV, static_cast<std::size_t>(width_ / 2));
            if (2 * row >= document_.y0 && 2 * row < document_.y1)
                std::memset(planes[p] + document_.x0 / 2, kNeutral, static_cast<std::size_t>(pageWidth / 2));
            if (2 * row >= video_.y0 && 2 * row < video_.y1) {
                const int textureRow = (textureY / 2 + row - video_.y0 / 2) % half;
                const std::uint8_t* from = &texture_[lumaBytes + static_cast<std::size_t>(p) * lumaBytes / 4 +
                                                     static_cast<std::size_t>(textureRow) * static_cast<std::size_t>(half)];
                copyWrapped(planes[p] + video_.x0 / 2, from, half, textureX / 2, (video_.x1 - video_.x0) / 2);
            }
        }
    }
    TestPicture::drawCounter(n, width_, height_, y, yStride, u, uStride, v, vStride);
}

} // namespace corvane::boxsim
