#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane::platform {

// One decoded picture in memory the CPU can read, in the layout the decoder gave it. Made once by the
// decoder (or a test), then only read: frames share it through std::shared_ptr<const PixelBuffer>, so
// holding a frame holds its picture.
//
// A picture in a layout the view does not draw is made `deferred`: its planes are converted to a layout it
// does draw when they are first read, on whichever thread reads them, so a picture nobody looks at costs no
// conversion.
class PixelBuffer {
public:
    // Four-character codes as the pictures' formats are known elsewhere.
    enum class Format : std::uint32_t {
        bgra = 0x42475241,  // 'BGRA': one plane, 4 bytes a pixel, B G R A
        x420 = 0x78343230,  // 'x420': 10-bit 4:2:0 video range, a luma plane and an interleaved CbCr plane,
                            // 16 bits a sample, little-endian, the value in the upper 10 bits (P010)
        nv12 = 0x4E563132,  // 'NV12': 8-bit 4:2:0, a luma plane and an interleaved CbCr plane (Cb first)
        i420 = 0x49343230,  // 'I420': 8-bit 4:2:0, luma, Cb and Cr planes
        i444 = 0x49343434,  // 'I444': 8-bit 4:4:4, luma, Cb and Cr planes
        i010 = 0x49303130,  // 'I010': 10-bit 4:2:0, luma, Cb and Cr planes of 16-bit little-endian samples,
                            // the value in the lower 10 bits
    };

    // The colour the stream signals: the Y'CbCr matrix and range, the transfer function and the primaries.
    // BGRA pictures carry one too; it means nothing there.
    struct ColorSpace {
        enum class Matrix { bt601, bt709, bt2020 };
        // `sdr` is every standard-range curve (BT.709, BT.601, BT.2020, sRGB, unnamed): a standard screen
        // shows those codes as they are. PQ (SMPTE ST 2084) and HLG carry high dynamic range.
        enum class Transfer { sdr, pq, hlg };
        // BT.709's, or near enough that a screen shows them as its own (BT.601's); BT.2020's need converting.
        enum class Primaries { bt709, bt2020 };
        Matrix matrix = Matrix::bt601;
        bool fullRange = false;
        Transfer transfer = Transfer::sdr;
        Primaries primaries = Primaries::bt709;
        bool operator==(const ColorSpace&) const = default;
    };
    // HDR10 as an HDR stream's tags describe it: BT.2020 matrix and primaries, PQ, video range.
    static constexpr ColorSpace hdr10{ColorSpace::Matrix::bt2020, false, ColorSpace::Transfer::pq,
                                      ColorSpace::Primaries::bt2020};

    struct Plane {
        std::uint8_t* data = nullptr;
        int bytesPerRow = 0;
        int width = 0;   // in samples (pixels for BGRA, chroma pairs count as one for an interleaved CbCr plane)
        int height = 0;  // in rows
    };

    // How a format lays out its planes.
    struct Layout {
        int planes = 1;
        std::array<int, 3> bytesPerSample{};  // per plane, as Plane::width counts samples
        bool subsampled = false;              // chroma planes are half wide and half high (4:2:0)
    };
    static Layout layout(Format format);
    // 10 bits a sample.
    static bool isTenBit(Format format) { return format == Format::x420 || format == Format::i010; }

    // Allocates a picture of its own, rows padded to 64 bytes; without a colour space, it is one that signals
    // nothing (BT.601, video range, standard dynamic range, whatever the depth). Throws std::bad_alloc on
    // failure and std::invalid_argument for sizes outside 1...16384.
    static std::shared_ptr<PixelBuffer> make(Format format, int width, int height);
    static std::shared_ptr<PixelBuffer> make(Format format, int width, int height, ColorSpace color);

    // A picture whose planes `convert` makes when they are first read: a picture of `format`, `width` and
    // `height`, or none (the planes then stay empty). Called at most once, under the picture's own lock.
    using Converter = std::function<std::shared_ptr<const PixelBuffer>()>;
    static std::shared_ptr<PixelBuffer> deferred(Format format, int width, int height, ColorSpace color,
                                                 Converter convert);

    // Wraps memory someone else owns; `keepAlive` holds it for as long as the picture lives.
    PixelBuffer(Format format, int width, int height, std::array<Plane, 3> planes, int planeCount, ColorSpace color,
                std::shared_ptr<const void> keepAlive);
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    Format format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    const ColorSpace& colorSpace() const { return color_; }
    // Light beyond a standard screen's (PQ or HLG), which it shows only tone-mapped. Never for BGRA, which is
    // shown as it is.
    bool highDynamicRange() const {
        return format_ != Format::bgra && color_.transfer != ColorSpace::Transfer::sdr;
    }
    int planeCount() const {
        resolve();
        return planeCount_;
    }
    const Plane& plane(int index) const {
        resolve();
        return planes_.at(static_cast<std::size_t>(index));
    }
    // Writable access for whoever fills a picture before sharing it.
    Plane& mutablePlane(int index) {
        resolve();
        return planes_.at(static_cast<std::size_t>(index));
    }
    void setColorSpace(ColorSpace color) { color_ = color; }
    // True once the planes can be read without a conversion first.
    bool ready() const { return !deferred_ || converted_.load(std::memory_order_acquire); }

private:
    void resolve() const {
        if (deferred_ && !converted_.load(std::memory_order_acquire)) convertNow();
    }
    void convertNow() const;

    Format format_;
    int width_;
    int height_;
    ColorSpace color_;
    mutable std::array<Plane, 3> planes_;
    mutable int planeCount_;
    mutable std::shared_ptr<const void> keepAlive_;
    // Deferred pictures only; `deferred_` is set before the picture is shared and never changes.
    bool deferred_ = false;
    mutable Converter convert_;  // under convertLock_
    mutable std::mutex convertLock_;
    mutable std::atomic<bool> converted_{false};
};

}  // namespace corvane::platform
