#pragma once

#include <cstdint>

namespace corvane::boxsim {

// The box's moving test picture in planar YUV 4:2:0 (BT.601 video range): eight colour bars that scroll
// sideways, a white square that bounces across them, and a band at the bottom holding the frame number
// as 16 black and white cells, most significant first. Every picture differs from the one before and none
// is dark, so a viewer (or a test) can tell a live stream from a frozen or black one.
namespace TestPicture {

// Draws picture number `n` into the three planes; width and height even and at least 2.
void draw(std::uint32_t n, int width, int height, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride,
          std::uint8_t* v, int vStride);

// Draws only the bottom band with the frame number, as draw() does; other test pictures carry it too.
void drawCounter(std::uint32_t n, int width, int height, std::uint8_t* y, int yStride, std::uint8_t* u, int uStride,
                 std::uint8_t* v, int vStride);

// The height of that band.
int counterHeight(int height);

} // namespace TestPicture
} // namespace corvane::boxsim
