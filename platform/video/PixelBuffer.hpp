#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace corvane::platform {

// One decoded picture in memory the CPU can read. Made once by the decoder (or a test), then only read:
// frames share it through std::shared_ptr<const PixelBuffer>, so holding a frame holds its picture.
class PixelBuffer {
public:
    // Four-character codes as the pictures' formats are known elsewhere.
    enum class Format : std::uint32_t {
        bgra = 0x42475241,  // 'BGRA': one plane, 4 bytes a pixel, B G R A
        x420 = 0x78343230,  // 'x420': 10-bit 4:2:0 video range, a luma plane and an interleaved CbCr plane,
                            // 16 bits a sample, little-endian, the value in the upper 10 bits
    };

    struct Plane {
        std::uint8_t* data = nullptr;
        int bytesPerRow = 0;
        int width = 0;   // in samples (pixels for BGRA, chroma pairs count as one for the CbCr plane)
        int height = 0;  // in rows
    };

    // Allocates a picture of its own, rows padded to 64 bytes. Throws std::bad_alloc on failure and
    // std::invalid_argument for sizes outside 1...16384.
    static std::shared_ptr<PixelBuffer> make(Format format, int width, int height);

    // Wraps memory someone else owns; `keepAlive` holds it for as long as the picture lives.
    PixelBuffer(Format format, int width, int height, std::array<Plane, 2> planes, int planeCount,
                std::shared_ptr<void> keepAlive);

    Format format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int planeCount() const { return planeCount_; }
    const Plane& plane(int index) const { return planes_.at(static_cast<std::size_t>(index)); }
    // Writable access for whoever fills a picture before sharing it.
    Plane& mutablePlane(int index) { return planes_.at(static_cast<std::size_t>(index)); }

private:
    Format format_;
    int width_;
    int height_;
    std::array<Plane, 2> planes_;
    int planeCount_;
    std::shared_ptr<void> keepAlive_;
};

}  // namespace corvane::platform
