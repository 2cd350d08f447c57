#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Bytes.hpp"

namespace corvane::platform {

// What a decoder session is built for: the codec, the parameter sets (NAL units without start codes, in the
// order a decoder wants them: H.264 SPS then PPS; HEVC VPS, SPS, PPS), the picture size and sample depth
// read from the first sequence parameter set, and optional colour tags that override what the stream says.
// A plain value; made only through make(), so every VideoFormat describes a picture.
class VideoFormat {
public:
    enum class Codec { h264, hevc };

    // Colour tags in their printed forms, e.g. primaries "ITU_R_2020", transfer "SMPTE_ST_2084_PQ",
    // matrix "ITU_R_2020".
    struct ColorTags {
        std::string primaries;
        std::string transfer;
        std::string matrix;
        bool operator==(const ColorTags&) const = default;
    };

    static constexpr const char* primariesBT2020 = "ITU_R_2020";
    static constexpr const char* transferPQ = "SMPTE_ST_2084_PQ";
    static constexpr const char* matrixBT2020 = "ITU_R_2020";

    // The largest picture a format may describe (8192 x 8192, twice 8K UHD): a stream that claims more is
    // refused rather than given gigabytes of pictures.
    static constexpr long long maxPixels = 8192LL * 8192LL;

    // Status 0 and the format, or a negative status (an AVERROR code) and none when the sets hold no
    // readable sequence parameter set, a side outside 1...16384 or more than maxPixels.
    struct Result;
    static Result make(Codec codec, std::vector<Bytes> orderedSets, std::optional<ColorTags> extensions);

    Codec codec() const { return codec_; }
    const std::vector<Bytes>& parameterSets() const { return parameterSets_; }
    int width() const { return width_; }    // after the conformance (cropping) window
    int height() const { return height_; }
    int bitDepth() const { return bitDepth_; }    // luma bits per sample, 8 to 16
    int chromaFormat() const { return chroma_; }  // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    const std::optional<ColorTags>& extensions() const { return extensions_; }

    // The parameter sets in Annex B form, each behind a four-byte start code.
    Bytes annexB() const;

    bool operator==(const VideoFormat&) const = default;

private:
    VideoFormat() = default;

    Codec codec_ = Codec::h264;
    std::vector<Bytes> parameterSets_;
    int width_ = 0;
    int height_ = 0;
    int bitDepth_ = 8;
    int chroma_ = 1;
    std::optional<ColorTags> extensions_;
};

struct VideoFormat::Result {
    int status = 0;
    std::optional<VideoFormat> format;
};

}  // namespace corvane::platform
