#include "platform/video/VideoFormat.hpp"
#include <gtest/gtest.h>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

namespace corvane::platform {
namespace {

// Writes an H.264 sequence parameter set bit by bit, emulation prevention included.
class SpsWriter {
public:
    void bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
    }
    void ue(std::uint32_t value) {
        const std::uint64_t coded = static_cast<std::uint64_t>(value) + 1;
        int length = 0;
        while ((coded >> length) > 1) ++length;
        bits(0, length);
        for (int i = length; i >= 0; --i) bits_.push_back(((coded >> i) & 1) != 0);
    }
    Bytes nal() const {
        std::vector<bool> all = bits_;
        all.push_back(true);  // rbsp stop bit
        while (all.size() % 8 != 0) all.push_back(false);
        Bytes out{0x67};
        int zeros = 0;
        for (std::size_t i = 0; i < all.size(); i += 8) {
            std::uint8_t byte = 0;
            for (std::size_t b = 0; b < 8; ++b) byte = static_cast<std::uint8_t>(byte << 1 | (all[i + b] ? 1 : 0));
            if (zeros >= 2 && byte <= 3) out.push_back(3), zeros = 0;
            out.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    std::vector<bool> bits_;
};

struct High {
    std::uint32_t chroma = 1;  // chroma_format_idc
    std::uint32_t depth = 0;   // bit_depth_luma_minus8
};

// An SPS of widthMbs x heightMbs macroblocks with an optional cropping window: baseline profile, or high
// profile with the chroma format and depth given.
Bytes baselineSps(std::uint32_t widthMbs, std::uint32_t heightMbs, std::vector<std::uint32_t> crop = {},
                  std::optional<High> high = std::nullopt) {
    SpsWriter w;
    w.bits(high ? 100 : 66, 8);  // profile_idc
    w.bits(0, 8);
    w.bits(51, 8);  // level_idc
    w.ue(0);        // seq_parameter_set_id
    if (high) {
        w.ue(high->chroma);
        w.ue(high->depth);
        w.ue(0);        // bit_depth_chroma_minus8
        w.bits(0, 2);   // qpprime_y_zero_transform_bypass_flag, seq_scaling_matrix_present_flag
    }
    w.ue(0);        // log2_max_frame_num_minus4
    w.ue(2);        // pic_order_cnt_type
    w.ue(1);        // max_num_ref_frames
    w.bits(0, 1);
    w.ue(widthMbs - 1);
    w.ue(heightMbs - 1);
    w.bits(1, 1);  // frame_mbs_only_flag
    w.bits(1, 1);  // direct_8x8_inference_flag
    w.bits(crop.empty() ? 0 : 1, 1);
    for (std::uint32_t edge : crop) w.ue(edge);
    w.bits(0, 1);  // vui_parameters_present_flag
    return w.nal();
}

TEST(VideoFormatTest, SizeChromaFormatAndDepthAreReadWithinTheirRanges) {
    // 1920x1080 is 120x68 macroblocks with 4 rows of chroma (8 luma rows) cropped at the bottom.
    const auto result = VideoFormat::make(VideoFormat::Codec::h264, {baselineSps(120, 68, {0, 0, 0, 4})}, std::nullopt);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(std::tuple(result.format->width(), result.format->height(), result.format->bitDepth()), std::tuple(1920, 1080, 8));
    // Within the largest picture (8192 x 8192) it is taken; one macroblock row more, a side beyond 16384, a
    // cropping window as large as the picture, a set cut short or none at all is refused.
    EXPECT_EQ(VideoFormat::make(VideoFormat::Codec::h264, {baselineSps(512, 512)}, std::nullopt).status, 0);
    Bytes cut = baselineSps(120, 68);
    cut.resize(4);
    for (const auto& sets : {std::vector<Bytes>{baselineSps(512, 513)}, {baselineSps(1025, 1)},
                             {baselineSps(2, 2, {0, 16, 0, 0})}, {cut}, {}})
        EXPECT_LT(VideoFormat::make(VideoFormat::Codec::h264, sets, std::nullopt).status, 0) << sets.size();
    // A chroma format or depth outside its range is refused.
    const auto made = VideoFormat::make(VideoFormat::Codec::h264, {baselineSps(20, 15, {}, High{2, 2})}, std::nullopt);
    ASSERT_EQ(made.status, 0);
    EXPECT_EQ(std::pair(made.format->bitDepth(), made.format->chromaFormat()), std::pair(10, 2));
    for (const High high : {High{4, 0}, High{0xFFFFFFFE, 0}, High{1, 9}, High{1, 0xFFFFFFF8}})
        EXPECT_LT(VideoFormat::make(VideoFormat::Codec::h264, {baselineSps(20, 15, {}, high)}, std::nullopt).status, 0)
            << high.chroma << " " << high.depth;
}

}  // namespace
}  // namespace corvane::platform
