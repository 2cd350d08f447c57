#include "platform/video/PixelBuffer.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace corvane::platform {

namespace {

constexpr int maxSide = 16384;

int paddedRow(int bytes) { return (bytes + 63) / 64 * 64; }

}  // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::make(Format format, int width, int height) {
    if (width < 1 || height < 1 || width > maxSide || height > maxSide)
        throw std::invalid_argument("picture size out of range");
    std::array<Plane, 2> planes{};
    int count = 1;
    std::size_t total = 0;
    if (format == Format::bgra) {
        planes[0] = Plane{nullptr, paddedRow(width * 4), width, height};
        total = static_cast<std::size_t>(planes[0].bytesPerRow) * static_cast<std::size_t>(height);
    } else {
        const int chromaWidth = (width + 1) / 2;
        const int chromaHeight = (height + 1) / 2;
        planes[0] = Plane{nullptr, paddedRow(width * 2), width, height};
        planes[1] = Plane{nullptr, paddedRow(chromaWidth * 4), chromaWidth, chromaHeight};
        count = 2;
        total = static_cast<std::size_t>(planes[0].bytesPerRow) * static_cast<std::size_t>(height) +
                static_cast<std::size_t>(planes[1].bytesPerRow) * static_cast<std::size_t>(chromaHeight);
    }
    void* memory = std::aligned_alloc(64, total);
    if (!memory) throw std::bad_alloc();
    std::shared_ptr<void> owner(memory, [](void* p) { std::free(p); });
    auto* base = static_cast<std::uint8_t*>(memory);
    planes[0].data = base;
    if (count == 2)
        planes[1].data = base + static_cast<std::size_t>(planes[0].bytesPerRow) * static_cast<std::size_t>(height);
    return std::make_shared<PixelBuffer>(format, width, height, planes, count, std::move(owner));
}

PixelBuffer::PixelBuffer(Format format, int width, int height, std::array<Plane, 2> planes, int planeCount,
                         std::shared_ptr<void> keepAlive)
    : format_(format),
      width_(width),
      height_(height),
      planes_(planes),
      planeCount_(planeCount),
      keepAlive_(std::move(keepAlive)) {}

}  // namespace corvane::platform
