#include "platform/video/PixelBuffer.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace corvane::platform {

namespace {

constexpr int maxSide = 16384;

int paddedRow(int bytes) { return (bytes + 63) / 64 * 64; }

}  // namespace

PixelBuffer::Layout PixelBuffer::layout(Format format) {
    switch (format) {
    case Format::bgra: return {1, {4, 0, 0}, false};
    case Format::x420: return {2, {2, 4, 0}, true};
    case Format::nv12: return {2, {1, 2, 0}, true};
    case Format::i420: return {3, {1, 1, 1}, true};
    case Format::i444: return {3, {1, 1, 1}, false};
    case Format::i010: return {3, {2, 2, 2}, true};
    }
    return {};
}

std::shared_ptr<PixelBuffer> PixelBuffer::make(Format format, int width, int height) {
    return make(format, width, height, ColorSpace{});
}

std::shared_ptr<PixelBuffer> PixelBuffer::make(Format format, int width, int height, ColorSpace color) {
    if (width < 1 || height < 1 || width > maxSide || height > maxSide)
        throw std::invalid_argument("picture size out of range");
    const Layout shape = layout(format);
    std::array<Plane, 3> planes{};
    std::size_t total = 0;
    for (int p = 0; p < shape.planes; ++p) {
        const bool half = p > 0 && shape.subsampled;
        const int w = half ? (width + 1) / 2 : width;
        const int h = half ? (height + 1) / 2 : height;
        planes[std::size_t(p)] = Plane{nullptr, paddedRow(w * shape.bytesPerSample[std::size_t(p)]), w, h};
        total += static_cast<std::size_t>(planes[std::size_t(p)].bytesPerRow) * static_cast<std::size_t>(h);
    }
    void* memory = std::aligned_alloc(64, total);
    if (!memory) throw std::bad_alloc();
    std::shared_ptr<void> owner(memory, [](void* p) { std::free(p); });
    auto* next = static_cast<std::uint8_t*>(memory);
    for (int p = 0; p < shape.planes; ++p) {
        Plane& plane = planes[std::size_t(p)];
        plane.data = next;
        next += static_cast<std::size_t>(plane.bytesPerRow) * static_cast<std::size_t>(plane.height);
    }
    return std::make_shared<PixelBuffer>(format, width, height, planes, shape.planes, color, std::move(owner));
}

std::shared_ptr<PixelBuffer> PixelBuffer::deferred(Format format, int width, int height, ColorSpace color,
                                                   Converter convert) {
    auto picture = std::make_shared<PixelBuffer>(format, width, height, std::array<Plane, 3>{}, 0, color, nullptr);
    picture->convert_ = std::move(convert);
    picture->deferred_ = true;
    return picture;
}

PixelBuffer::PixelBuffer(Format format, int width, int height, std::array<Plane, 3> planes, int planeCount,
                         ColorSpace color, std::shared_ptr<const void> keepAlive)
    : format_(format),
      width_(width),
      height_(height),
      color_(color),
      planes_(planes),
      planeCount_(planeCount),
      keepAlive_(std::move(keepAlive)) {}

void PixelBuffer::convertNow() const {
    std::lock_guard guard(convertLock_);
    if (converted_.load(std::memory_order_relaxed)) return;
    const std::shared_ptr<const PixelBuffer> made = convert_ ? convert_() : nullptr;
    // Only a picture of the promised shape stands in: a reader relies on format and size as given.
    if (made && made->format() == format_ && made->width() == width_ && made->height() == height_) {
        for (int p = 0; p < made->planeCount(); ++p) planes_[std::size_t(p)] = made->plane(p);
        planeCount_ = made->planeCount();
        keepAlive_ = made;
    }
    // The converter holds the source picture: it goes now, converted or not.
    convert_ = nullptr;
    converted_.store(true, std::memory_order_release);
}

}  // namespace corvane::platform
