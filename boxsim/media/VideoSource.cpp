#include "boxsim/media/VideoSource.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "boxsim/media/DesktopPicture.hpp"
#include "boxsim/media/TestPicture.hpp"
#include "platform/core/Error.hpp"

namespace corvane::boxsim {
namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace

struct VideoSource::Impl {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::uint32_t pictures = 0;
    std::optional<DesktopPicture> desktop;
    std::vector<Frame> loop;   // the pictures kept for sending round again
    std::size_t loopAt = 0;    // the next one to send once all are kept

    ~Impl() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

std::optional<VideoSource::Picture> VideoSource::pictureNamed(std::string_view name) {
    if (name == "bars") return Picture::bars;
    if (name == "desktop") return Picture::desktop;
    return std::nullopt;
}

int VideoSource::threadsFor(int width, int height) {
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    const int cores = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    return static_cast<int>(std::clamp<std::int64_t>((pixels + 999'999) / 1'000'000, 1, cores));
}

VideoSource::VideoSource(Format format) : format_(format), impl_(std::make_unique<Impl>()) {
    format_.width &= ~1;
    format_.height &= ~1;
    if (format_.width < 16 || format_.height < 16 || format_.width > 8192 || format_.height > 8192)
        throw Error("boxsim: video size " + std::to_string(format_.width) + "x" + std::to_string(format_.height) +
                    " cannot be encoded");
    format_.fps = std::clamp(format_.fps, 1, 240);
    format_.bitrateKbps = std::clamp(format_.bitrateKbps, 100, 500000);
    format_.loopFrames = std::clamp(format_.loopFrames, 0, maxLoopFrames);

    const char* name = format_.codec == VideoCodec::h264   ? "libx264"
                       : format_.codec == VideoCodec::hevc ? "libx265"
                                                           : nullptr;
    const AVCodec* codec = name ? avcodec_find_encoder_by_name(name) : nullptr;
    if (!codec) throw Error(std::string("boxsim: no encoder for ") + std::string(toString(format_.codec)));

    Impl& s = *impl_;
    s.context = avcodec_alloc_context3(codec);
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.context || !s.frame || !s.packet) throw Error("boxsim: out of memory for the video encoder");
    AVCodecContext* c = s.context;
    c->width = format_.width;
    c->height = format_.height;
    c->time_base = AVRational{1, format_.fps};
    c->framerate = AVRational{format_.fps, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->bit_rate = static_cast<std::int64_t>(format_.bitrateKbps) * 1000;
    c->rc_max_rate = c->bit_rate;
    // About two frames of buffer: low latency, yet room for a keyframe.
    c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(c->bit_rate * 2 / format_.fps, INT32_MAX));
    c->max_b_frames = 0;
    c->gop_size = 0x7FFFFFFF;  // keyframes only when asked
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT470BG;
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    // Threads only within a picture: frame threads would hold pictures back.
    const std::string threads = std::to_string(threadsFor(format_.width, format_.height));
    c->thread_count = std::stoi(threads);
    if (format_.codec == VideoCodec::hevc)
        av_opt_set(c->priv_data, "x265-params",
                   ("log-level=error:repeat-headers=1:open-gop=0:frame-threads=1" +
                    (threads == "1" ? std::string() : ":pools=" + threads)).c_str(), 0);
    else
        av_opt_set(c->priv_data, "x264-params",
                   (std::string("log=-1:repeat-headers=1:sliced-threads=") + (threads == "1" ? "0" : "1")).c_str(), 0);
    if (const int rc = avcodec_open2(c, codec, nullptr); rc < 0)
        throw Error(std::string("boxsim: the ") + name + " encoder did not open: " + averror(rc));

    s.frame->format = c->pix_fmt;
    s.frame->width = c->width;
    s.frame->height = c->height;
    if (const int rc = av_frame_get_buffer(s.frame, 0); rc < 0)
        throw Error("boxsim: no picture buffer for the video encoder: " + averror(rc));
    if (format_.picture == Picture::desktop) s.desktop.emplace(format_.width, format_.height);
}

VideoSource::~VideoSource() = default;

VideoSource::Frame VideoSource::next(bool keyframe) {
    Impl& s = *impl_;
    const auto started = std::chrono::steady_clock::now();
    const auto loopFrames = static_cast<std::size_t>(std::max(0, format_.loopFrames));
    if (loopFrames > 0 && s.loop.size() == loopFrames) {
        // Every round starts with the first picture, a keyframe; a keyframe asked for starts a round.
        if (keyframe) s.loopAt = 0;
        Frame out = s.loop[s.loopAt];
        s.loopAt = (s.loopAt + 1) % loopFrames;
        out.encodeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        return out;
    }
    Frame out;
    out.picture = s.pictures;
    if (av_frame_make_writable(s.frame) < 0) return out;
    if (s.desktop)
        s.desktop->draw(s.pictures, s.frame->data[0], s.frame->linesize[0], s.frame->data[1], s.frame->linesize[1],
                        s.frame->data[2], s.frame->linesize[2]);
    else
        TestPicture::draw(s.pictures, format_.width, format_.height, s.frame->data[0], s.frame->linesize[0],
                          s.frame->data[1], s.frame->linesize[1], s.frame->data[2], s.frame->linesize[2]);
    s.frame->pts = s.pictures;
    const bool forceKey = keyframe || s.pictures == 0;
    s.frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    ++s.pictures;

    if (avcodec_send_frame(s.context, s.frame) < 0) return out;
    // Zero latency gives one packet per picture; take whatever is there.
    while (avcodec_receive_packet(s.context, s.packet) == 0) {
        out.accessUnit.insert(out.accessUnit.end(), s.packet->data, s.packet->data + s.packet->size);
        out.keyframe = out.keyframe || (s.packet->flags & AV_PKT_FLAG_KEY);
        av_packet_unref(s.packet);
    }
    out.encodeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (loopFrames > 0 && !out.accessUnit.empty()) s.loop.push_back(out);
    return out;
}

} // namespace corvane::boxsim
