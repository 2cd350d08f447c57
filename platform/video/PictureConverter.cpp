#include "platform/video/PictureConverter.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace corvane::platform {

int PictureConverter::scaleFlags() {
    // Same size in and out, so the filter only shapes the chroma upsampling. Accurate rounding would cost
    // several times the conversion for a step of difference at most.
    return SWS_BILINEAR;
}

int PictureConverter::avPixelFormat(PixelBuffer::Format format) {
    switch (format) {
    case PixelBuffer::Format::bgra: return AV_PIX_FMT_BGRA;
    case PixelBuffer::Format::x420: return AV_PIX_FMT_P010LE;
    case PixelBuffer::Format::nv12: return AV_PIX_FMT_NV12;
    case PixelBuffer::Format::i420: return AV_PIX_FMT_YUV420P;
    case PixelBuffer::Format::i444: return AV_PIX_FMT_YUV444P;
    case PixelBuffer::Format::i010: return AV_PIX_FMT_YUV420P10LE;
    }
    return AV_PIX_FMT_NONE;
}

PictureConverter::~PictureConverter() { sws_freeContext(scaler_); }

std::shared_ptr<PixelBuffer> PictureConverter::picture(PixelBuffer::Format format, int width, int height) {
    for (auto& kept : pool_) {
        // Held by the pool alone: no frame shows it any more, and none can take it up again but us.
        if (kept.use_count() == 1 && kept->format() == format && kept->width() == width && kept->height() == height) {
            // Pairs with the release in the last holder's let-go: its reads come before our writes.
            std::atomic_thread_fence(std::memory_order_acquire);
            return kept;
        }
    }
    // Free pictures of another size or layout will not be wanted again soon: let them go first.
    std::erase_if(pool_, [&](const std::shared_ptr<PixelBuffer>& kept) {
        return kept.use_count() == 1 && (kept->format() != format || kept->width() != width || kept->height() != height);
    });
    std::shared_ptr<PixelBuffer> made;
    try {
        made = PixelBuffer::make(format, width, height);
    } catch (const std::invalid_argument&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (pool_.size() < poolSize) pool_.push_back(made);
    return made;
}

std::shared_ptr<PixelBuffer> PictureConverter::convert(const AVFrame& picture, PixelBuffer::Format format,
                                                       const std::optional<VideoFormat::ColorTags>& tags) {
    const auto source = static_cast<AVPixelFormat>(picture.format);
    const AVPixelFormat target = format == PixelBuffer::Format::bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_P010LE;
    std::shared_ptr<PixelBuffer> out = this->picture(format, picture.width, picture.height);
    if (!out) return nullptr;
    scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, source, picture.width, picture.height,
                                   target, scaleFlags(), nullptr, nullptr, nullptr);
    if (!scaler_) return nullptr;

    int matrix = picture.colorspace;
    if (matrix == AVCOL_SPC_UNSPECIFIED && tags && tags->matrix == VideoFormat::matrixBT2020)
        matrix = AVCOL_SPC_BT2020_NCL;
    const int* coefficients = sws_getCoefficients(matrix);
    const int sourceFull = picture.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    const int targetFull = format == PixelBuffer::Format::bgra ? 1 : 0;
    // Refused for layouts it cannot retune (e.g. the full-range-only J formats); the defaults then stand.
    sws_setColorspaceDetails(scaler_, coefficients, sourceFull, coefficients, targetFull, 0, 1 << 16, 1 << 16);

    std::uint8_t* planes[4] = {out->mutablePlane(0).data, nullptr, nullptr, nullptr};
    int strides[4] = {out->mutablePlane(0).bytesPerRow, 0, 0, 0};
    if (out->planeCount() == 2) {
        planes[1] = out->mutablePlane(1).data;
        strides[1] = out->mutablePlane(1).bytesPerRow;
    }
    const int rows = sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
    if (rows != picture.height) return nullptr;
    if (format == PixelBuffer::Format::x420)
        out->setColorSpace({matrix == AVCOL_SPC_BT709       ? PixelBuffer::ColorSpace::Matrix::bt709
                            : matrix == AVCOL_SPC_BT2020_NCL || matrix == AVCOL_SPC_BT2020_CL
                                ? PixelBuffer::ColorSpace::Matrix::bt2020
                                : PixelBuffer::ColorSpace::Matrix::bt601,
                            false});
    return out;
}

}  // namespace corvane::platform
