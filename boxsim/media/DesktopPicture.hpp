#pragma once

#include <cstdint>
#include <vector>

namespace corvane::boxsim {

// The box's second moving test picture, for measuring: a desktop as busy as a real one in use. A document
// window of text-like lines scrolls a few pixels every picture, a video window's noise-like texture changes
// completely from one picture to the next, on a plain background, with TestPicture's frame number band at
// the bottom. It costs an encoder what such a desktop does: at the bitrates clients ask for it fills the
// budget (hundreds of KB a picture at 4K), where the colour bars take a few KB. Planar YUV 4:2:0, BT.601
// video range, and the same pictures every run.
//
// Made once per size (the text page and the texture are drawn then); draw() only copies rows.
class DesktopPicture final {
public:
    // `width` and `height` even and at least 16.
    DesktopPicture(int width, int height);

    void draw(std::uint32_t n, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v,
              int vStride) const;

private:
    struct Area {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    };

    int width_;
    int height_;
    Area document_;
    Area video_;
    int scroll_;                      // pixels the document moves per picture
    std::vector<std::uint8_t> page_;  // document luma, twice the window's height, scrolled through
    int pageHeight_;
    std::vector<std::uint8_t> texture_;  // video luma, then its two chroma planes
    int textureSide_;
};

} // namespace corvane::boxsim
