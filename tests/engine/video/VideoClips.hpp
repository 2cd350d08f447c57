#pragma once

// Real H.264 and HEVC clips made by the ffmpeg program, cut into access units, and ffmpeg's own decoding
// of them. Shared by the engine's and the platform's video tests.

#include <gtest/gtest.h>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>
#include "platform/core/Bytes.hpp"
#include "platform/video/PixelBuffer.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::test::clips {

enum class Codec { h264, hevc };

struct ClipOptions {
    Codec codec = Codec::h264;
    int width = 320, height = 240, frames = 30, keyframeInterval = 10;
    bool tenBitHDR = false; // HEVC Main 10 tagged BT.2020 / PQ
    bool chroma422 = false; // H.264 High 4:2:2: a layout the view does not draw
    // HEVC Main 10 with this colour description in x265's terms ("colorprim=bt709:transfer=bt709"), or
    // none when empty; instead of tenBitHDR's.
    std::optional<std::string> tenBitColours = std::nullopt;
    std::string picture = "testsrc2";  // the lavfi source, e.g. "color=c=0x969696" for a flat grey
    bool tenBit() const { return tenBitHDR || tenBitColours; }
};

// Colour descriptions of 10-bit streams as x265 takes them, for ClipOptions::tenBitColours.
namespace colours {
inline const std::string bt709 = "colorprim=bt709:transfer=bt709:colormatrix=bt709";
inline const std::string bt2020 = "colorprim=bt2020:transfer=bt2020-10:colormatrix=bt2020nc";
inline const std::string smpte170m = "colorprim=smpte170m:transfer=smpte170m:colormatrix=smpte170m";
inline const std::string pq = "colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc";
inline const std::string hlg = "colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc";
}  // namespace colours

struct Clip {
    ClipOptions recipe;
    std::filesystem::path path;
    std::vector<Bytes> accessUnits;  // Annex B, in decoding order
};

// Where each NAL unit's start code and its first byte begin.
struct NalPosition {
    std::size_t startCode;
    std::size_t payload;
};

inline std::vector<NalPosition> nalPositions(const Bytes& stream) {
    std::vector<NalPosition> out;
    for (std::size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            out.push_back({(i > 0 && stream[i - 1] == 0) ? i - 1 : i, i + 3});
            i += 2;
        }
    }
    return out;
}

// Cuts an elementary stream into access units: a new one begins at a parameter set, SEI or delimiter that
// follows a picture's slices, or at a slice that starts a new picture (first_mb_in_slice 0 for H.264,
// first_slice_segment_in_pic_flag for HEVC).
inline std::vector<Bytes> splitAccessUnits(const Bytes& stream, Codec codec) {
    std::vector<Bytes> units;
    const std::vector<NalPosition> positions = nalPositions(stream);
    std::size_t unitBegin = positions.empty() ? 0 : positions.front().startCode;
    bool haveSlice = false;
    for (std::size_t n = 0; n < positions.size(); ++n) {
        const std::size_t p = positions[n].payload;
        if (p >= stream.size()) break;
        const bool h264 = codec == Codec::h264;
        const int type = h264 ? stream[p] & 0x1F : (stream[p] >> 1) & 0x3F;
        const bool slice = h264 ? type >= 1 && type <= 5 : type <= 31;
        const std::size_t flagAt = p + (h264 ? 1 : 2);
        const bool firstSlice = slice && flagAt < stream.size() && (stream[flagAt] & 0x80) != 0;
        const bool prefix = h264 ? type >= 6 && type <= 9 : (type >= 32 && type <= 35) || type == 39;
        if (haveSlice && (prefix || firstSlice)) {
            units.emplace_back(stream.begin() + long(unitBegin), stream.begin() + long(positions[n].startCode));
            unitBegin = positions[n].startCode;
            haveSlice = false;
        }
        haveSlice = haveSlice || slice;
    }
    if (unitBegin < stream.size()) units.emplace_back(stream.begin() + long(unitBegin), stream.end());
    return units;
}

inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Runs ffmpeg with `arguments`, failing the test when it fails.
inline void ffmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -hide_banner -loglevel error -y " + arguments + " 2>&1";
    const CommandResult result = runCommand(command);
    EXPECT_EQ(result.status, 0) << command << "\n" << result.output;
}

// Encodes a moving test picture with libx264 or libx265: no B-frames, a keyframe every keyframeInterval
// frames, as a streaming host sends.
inline Clip makeClip(const std::filesystem::path& folder, ClipOptions recipe) {
    const std::string size = std::to_string(recipe.width) + "x" + std::to_string(recipe.height);
    const std::string gop = std::to_string(recipe.keyframeInterval);
    std::ostringstream options;
    options << "-f lavfi -i " << recipe.picture << (recipe.picture.find('=') == std::string::npos ? "=" : ":")
            << "size=" << size << ":rate=30 -frames:v " << recipe.frames << " ";
    if (recipe.codec == Codec::h264) {
        options << (recipe.chroma422 ? "-pix_fmt yuv422p" : "-pix_fmt yuv420p") << " -c:v libx264 -preset ultrafast -tune zerolatency -bf 0 -g " << gop
                << " -keyint_min " << gop << " -sc_threshold 0 -f h264 ";
    } else {
        const std::string colours = recipe.tenBitHDR ? "colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc"
                                                     : recipe.tenBitColours.value_or("");
        options << (recipe.tenBit() ? "-pix_fmt yuv420p10le " : "-pix_fmt yuv420p ")
                << "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=0:keyint=" << gop
                << ":min-keyint=" << gop << ":scenecut=0" << (colours.empty() ? "" : ":" + colours) << " -f hevc ";
    }
    Clip clip{recipe, folder / ("clip-" + std::to_string(std::hash<std::string>{}(options.str()))), {}};
    ffmpeg(options.str() + quoted(clip.path));
    clip.accessUnits = splitAccessUnits(bytesOf(readWhole(clip.path)), recipe.codec);
    return clip;
}

// ffmpeg's own decoding of a clip as raw pictures of `pixelFormat`, one entry per picture. Extra output
// options (e.g. "-sws_flags bilinear") go before the format.
inline std::vector<Bytes> ffmpegFrames(const std::filesystem::path& clip, const std::string& pixelFormat,
                                       std::size_t frameBytes, const std::string& options = "") {
    const std::filesystem::path out = clip.string() + "." + pixelFormat + ".raw";
    ffmpeg("-i " + quoted(clip) + " " + options + " -pix_fmt " + pixelFormat + " -f rawvideo " + quoted(out));
    const Bytes all = bytesOf(readWhole(out));
    std::vector<Bytes> frames;
    for (std::size_t at = 0; at + frameBytes <= all.size(); at += frameBytes)
        frames.emplace_back(all.begin() + long(at), all.begin() + long(at + frameBytes));
    return frames;
}

// A picture's rows without their padding, planes one after the other.
inline Bytes tightBytes(const platform::PixelBuffer& image) {
    Bytes out;
    const auto layout = platform::PixelBuffer::layout(image.format());
    for (int p = 0; p < image.planeCount(); ++p) {
        const auto& plane = image.plane(p);
        const int sampleBytes = layout.bytesPerSample[std::size_t(p)];
        for (int y = 0; y < plane.height; ++y) {
            const std::uint8_t* row = plane.data + static_cast<std::ptrdiff_t>(y) * plane.bytesPerRow;
            out.insert(out.end(), row, row + plane.width * sampleBytes);
        }
    }
    return out;
}

// ffmpeg's own pictures of a clip, as tightBytes gives the decoder's, byte for byte, with no scaler
// anywhere: nv12 for an 8-bit clip (the decoder hands out Cb and Cr woven), yuv420p10le for a 10-bit one.
inline std::vector<Bytes> expectedPictures(const Clip& clip) {
    const auto luma = static_cast<std::size_t>(clip.recipe.width) * static_cast<std::size_t>(clip.recipe.height);
    const auto chroma = static_cast<std::size_t>((clip.recipe.width + 1) / 2) * std::size_t((clip.recipe.height + 1) / 2);
    const std::size_t sampleBytes = clip.recipe.tenBit() ? 2 : 1;
    return ffmpegFrames(clip.path, clip.recipe.tenBit() ? "yuv420p10le" : "nv12", (luma + 2 * chroma) * sampleBytes);
}

}  // namespace corvane::test::clips
