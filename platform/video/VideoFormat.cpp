#include "platform/video/VideoFormat.hpp"

#include <cstddef>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace corvane::platform {

namespace {

constexpr int maxSide = 16384;

// Reads the bits of a NAL unit's payload, emulation-prevention bytes (00 00 03) removed. Reading past the
// end sets `failed` and yields zeros, so a truncated set is caught once at the end.
class BitReader {
public:
    BitReader(const Bytes& nal, std::size_t headerBytes) {
        rbsp_.reserve(nal.size());
        int zeros = 0;
        for (std::size_t i = headerBytes; i < nal.size(); ++i) {
            const std::uint8_t b = nal[i];
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            rbsp_.push_back(b);
        }
    }

    std::uint32_t bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }

    std::uint32_t bit() {
        if (position_ >= rbsp_.size() * 8) {
            failed = true;
            return 0;
        }
        const std::uint32_t value = (rbsp_[position_ / 8] >> (7 - position_ % 8)) & 1;
        ++position_;
        return value;
    }

    void skip(std::size_t count) {
        position_ += count;
        if (position_ > rbsp_.size() * 8) failed = true;
    }

    // Exp-Golomb, unsigned. Values beyond 32 bits are refused.
    std::uint32_t ue() {
        int leadingZeros = 0;
        while (bit() == 0) {
            if (failed || ++leadingZeros > 31) {
                failed = true;
                return 0;
            }
        }
        return static_cast<std::uint32_t>((1ull << leadingZeros) - 1 + bits(leadingZeros));
    }

    std::int32_t se() {
        const std::uint32_t k = ue();
        return (k & 1) ? static_cast<std::int32_t>((k + 1) / 2) : -static_cast<std::int32_t>(k / 2);
    }

    bool failed = false;

private:
    Bytes rbsp_;
    std::size_t position_ = 0;
};

struct Picture {
    long long width = 0;
    long long height = 0;
    int bitDepth = 8;
    int chroma = 1;
};

void skipScalingList(BitReader& r, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && !r.failed; ++j) {
        if (next != 0) next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

std::optional<Picture> readH264(const Bytes& sps) {
    BitReader r(sps, 1);
    const std::uint32_t profile = r.bits(8);
    r.skip(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    Picture picture;
    bool separatePlanes = false;
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135: {
        const std::uint32_t chroma = r.ue();
        if (chroma > 3) return std::nullopt;
        picture.chroma = static_cast<int>(chroma);
        if (picture.chroma == 3) separatePlanes = r.bit() != 0;
        const std::uint32_t depth = r.ue();  // bit_depth_luma_minus8
        if (depth > 8) return std::nullopt;
        picture.bitDepth = static_cast<int>(depth) + 8;
        r.ue();      // bit_depth_chroma_minus8
        r.skip(1);   // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) {  // seq_scaling_matrix_present_flag
            const int lists = picture.chroma == 3 ? 12 : 8;
            for (int i = 0; i < lists && !r.failed; ++i)
                if (r.bit()) skipScalingList(r, i < 6 ? 16 : 64);
        }
        break;
    }
    default:
        break;
    }
    r.ue();  // log2_max_frame_num_minus4
    const std::uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.skip(1);
        r.se();
        r.se();
        const std::uint32_t cycle = r.ue();
        if (cycle > 255) return std::nullopt;
        for (std::uint32_t i = 0; i < cycle && !r.failed; ++i) r.se();
    }
    r.ue();     // max_num_ref_frames
    r.skip(1);  // gaps_in_frame_num_value_allowed_flag
    const long long widthMbs = static_cast<long long>(r.ue()) + 1;
    const long long heightMapUnits = static_cast<long long>(r.ue()) + 1;
    const int frameMbsOnly = static_cast<int>(r.bit());
    if (!frameMbsOnly) r.skip(1);  // mb_adaptive_frame_field_flag
    r.skip(1);                     // direct_8x8_inference_flag
    long long cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.bit()) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    if (r.failed || picture.bitDepth > 16) return std::nullopt;
    const bool noChroma = picture.chroma == 0 || separatePlanes;
    const int subWidth = picture.chroma == 3 ? 1 : 2;
    const int subHeight = picture.chroma == 1 ? 2 : 1;
    const long long unitX = noChroma ? 1 : subWidth;
    const long long unitY = (noChroma ? 1 : subHeight) * (2 - frameMbsOnly);
    picture.width = widthMbs * 16 - unitX * (cropLeft + cropRight);
    picture.height = heightMapUnits * 16 * (2 - frameMbsOnly) - unitY * (cropTop + cropBottom);
    return picture;
}

std::optional<Picture> readHEVC(const Bytes& sps) {
    BitReader r(sps, 2);
    r.skip(4);  // sps_video_parameter_set_id
    const int subLayers = static_cast<int>(r.bits(3));
    r.skip(1);  // sps_temporal_id_nesting_flag
    // profile_tier_level: the general part is 96 bits, then per sub-layer presence flags and parts.
    r.skip(96);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profilePresent[i] = r.bit() != 0;
        levelPresent[i] = r.bit() != 0;
    }
    if (subLayers > 0)
        for (int i = subLayers; i < 8; ++i) r.skip(2);
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
    r.ue();  // sps_seq_parameter_set_id
    Picture picture;
    const std::uint32_t chroma = r.ue();
    if (chroma > 3) return std::nullopt;
    picture.chroma = static_cast<int>(chroma);
    bool separatePlanes = false;
    if (picture.chroma == 3) separatePlanes = r.bit() != 0;
    const long long width = r.ue();
    const long long height = r.ue();
    long long left = 0, right = 0, top = 0, bottom = 0;
    if (r.bit()) {
        left = r.ue();
        right = r.ue();
        top = r.ue();
        bottom = r.ue();
    }
    const std::uint32_t depth = r.ue();  // bit_depth_luma_minus8
    if (r.failed || depth > 8) return std::nullopt;
    picture.bitDepth = static_cast<int>(depth) + 8;
    const bool noChroma = picture.chroma == 0 || separatePlanes;
    const long long subWidth = noChroma || picture.chroma == 3 ? 1 : 2;
    const long long subHeight = noChroma || picture.chroma != 1 ? 1 : 2;
    picture.width = width - subWidth * (left + right);
    picture.height = height - subHeight * (top + bottom);
    return picture;
}

bool isSequenceSet(VideoFormat::Codec codec, const Bytes& nal) {
    if (nal.empty()) return false;
    if (codec == VideoFormat::Codec::h264) return (nal[0] & 0x1F) == 7;
    return nal.size() >= 2 && ((nal[0] >> 1) & 0x3F) == 33;
}

}  // namespace

VideoFormat::Result VideoFormat::make(Codec codec, std::vector<Bytes> orderedSets,
                                      std::optional<ColorTags> extensions) {
    const Bytes* sps = nullptr;
    for (const Bytes& set : orderedSets) {
        if (isSequenceSet(codec, set)) {
            sps = &set;
            break;
        }
    }
    if (!sps) return Result{AVERROR_INVALIDDATA, std::nullopt};
    const std::optional<Picture> picture = codec == Codec::h264 ? readH264(*sps) : readHEVC(*sps);
    if (!picture || picture->width < 1 || picture->height < 1 || picture->width > maxSide ||
        picture->height > maxSide || picture->width * picture->height > maxPixels)
        return Result{AVERROR_INVALIDDATA, std::nullopt};
    VideoFormat format;
    format.codec_ = codec;
    format.parameterSets_ = std::move(orderedSets);
    format.width_ = static_cast<int>(picture->width);
    format.height_ = static_cast<int>(picture->height);
    format.bitDepth_ = picture->bitDepth;
    format.chroma_ = picture->chroma;
    format.extensions_ = std::move(extensions);
    return Result{0, std::move(format)};
}

Bytes VideoFormat::annexB() const {
    Bytes out;
    for (const Bytes& set : parameterSets_) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), set.begin(), set.end());
    }
    return out;
}

}  // namespace corvane::platform
