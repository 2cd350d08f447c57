// The parameter sets of a keyframe, as the box sends them, into the reader of the stream's geometry. The
// input is a codec byte (bit 0: HEVC) and then records of a little-endian length byte pair and that many
// bytes, one parameter set each. Whatever the bytes, a format that comes back describes a picture.
#include "platform/video/VideoFormat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

using namespace corvane;
using namespace corvane::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const auto codec = (data[0] & 1) ? VideoFormat::Codec::hevc : VideoFormat::Codec::h264;
    std::vector<Bytes> sets;
    std::size_t at = 1;
    while (at + 2 <= size && sets.size() < 16) {
        const std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
        at += 2;
        const std::size_t taken = std::min(length, size - at);
        sets.emplace_back(data + at, data + at + taken);
        at += taken;
    }
    std::size_t annexBBytes = 0;
    for (const Bytes& set : sets) annexBBytes += 4 + set.size();

    auto made = VideoFormat::make(codec, sets, std::nullopt);
    if ((made.status == 0) != made.format.has_value()) __builtin_trap();
    if (!made.format) return 0;
    const VideoFormat& format = *made.format;
    if (format.width() < 1 || format.height() < 1 || format.width() > 16384 || format.height() > 16384) __builtin_trap();
    if (static_cast<long long>(format.width()) * format.height() > VideoFormat::maxPixels) __builtin_trap();
    if (format.bitDepth() < 8 || format.bitDepth() > 16 || format.chromaFormat() < 0 || format.chromaFormat() > 3)
        __builtin_trap();
    if (format.codec() != codec || format.parameterSets() != sets || format.annexB().size() != annexBBytes)
        __builtin_trap();
    return 0;
}
