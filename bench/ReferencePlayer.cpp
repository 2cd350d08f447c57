#include "bench/ReferencePlayer.hpp"

#include "bench/BenchSupport.hpp"
#include "bench/ThreadCpu.hpp"

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLShaderProgram>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif
#ifndef GL_LUMINANCE
#define GL_LUMINANCE 0x1909
#endif

namespace corvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

const char* const vertexShader = R"(
attribute vec2 position;
varying vec2 uv;
void main() {
    uv = vec2(position.x * 0.5 + 0.5, 0.5 - position.y * 0.5);
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// BT.709, video range.
const char* const fragmentShader = R"(
uniform sampler2D y;
uniform sampler2D u;
uniform sampler2D v;
varying vec2 uv;
void main() {
    vec3 yuv = vec3(texture2D(y, uv).r - 0.0627, texture2D(u, uv).r - 0.502, texture2D(v, uv).r - 0.502);
    gl_FragColor = vec4(mat3(1.164, 1.164, 1.164, 0.0, -0.213, 2.112, 1.793, -0.533, 0.0) * yuv, 1.0);
}
)";

const float quad[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};

struct Picture {
    AVFrame* frame = av_frame_alloc();
    ReferencePlayer::Shown timing;
    Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    ~Picture() { av_frame_free(&frame); }
};

// The hand-over from the decoder to the render thread: the newest picture wins.
struct Slot {
    std::mutex lock;
    std::condition_variable changed;
    std::unique_ptr<Picture> newest;
    bool done = false;
};

void decode(const std::vector<ReferencePlayer::Unit>& units, int fps, Slot& slot, std::int64_t& decoded,
            double& cpuSeconds) {
    pthread_setname_np(pthread_self(), "ref.decode");
    const auto threadsBefore = threadCpu();
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 0;
    context->thread_type = FF_THREAD_SLICE;
    // Opened here, so the codec's worker threads carry this thread's name.
    const bool opened = avcodec_open2(context, nullptr, nullptr) == 0;
    AVPacket* packet = av_packet_alloc();
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; opened && i < units.size(); ++i) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(i) / fps));
        std::this_thread::sleep_until(due);
        const double sentAt = std::chrono::duration<double>(due.time_since_epoch()).count();
        const double startedAt = now();
        if (av_new_packet(packet, int(units[i].data.size())) != 0) break;
        std::memcpy(packet->data, units[i].data.data(), units[i].data.size());
        if (units[i].keyframe) packet->flags |= AV_PKT_FLAG_KEY;
        packet->pts = std::int64_t(i);
        if (avcodec_send_packet(context, packet) != 0) {
            av_packet_unref(packet);
            continue;
        }
        av_packet_unref(packet);
        auto picture = std::make_unique<Picture>();
        while (avcodec_receive_frame(context, picture->frame) == 0) {
            ++decoded;
            picture->timing = {std::uint32_t(picture->frame->pts), sentAt, startedAt, now(), 0, 0, 0};
            {
                std::lock_guard guard(slot.lock);
                slot.newest = std::move(picture);
            }
            slot.changed.notify_one();
            picture = std::make_unique<Picture>();
        }
    }
    // Before the codec's threads end with it.
    cpuSeconds = cpuBetween(threadsBefore, threadCpu(), [](const ThreadCpu& t) { return t.name == "ref.decode"; });
    av_packet_free(&packet);
    avcodec_free_context(&context);
    std::lock_guard guard(slot.lock);
    slot.done = true;
    slot.changed.notify_one();
}

// Draws what the slot hands over into `window` until the decoder is done and its last picture drawn; then
// takes the CPU time of its own thread and of the rasteriser's since `threadsBefore`.
void render(QWindow* window, double refreshInterval, Slot& slot, ReferencePlayer::Result& result,
            const std::vector<ThreadCpu>& threadsBefore) {
    QOpenGLContext context;
    context.setFormat(window->requestedFormat());
    if (!context.create() || !context.makeCurrent(window)) return;
    QOpenGLExtraFunctions* gl = context.extraFunctions();
    QOpenGLShaderProgram program;
    program.addShaderFromSourceCode(QOpenGLShader::Vertex, vertexShader);
    program.addShaderFromSourceCode(QOpenGLShader::Fragment, fragmentShader);
    program.bindAttributeLocation("position", 0);
    if (!program.link()) return;
    GLuint textures[3] = {};
    gl->glGenTextures(3, textures);
    for (GLuint texture : textures) {
        gl->glBindTexture(GL_TEXTURE_2D, texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    QSize textureSize;
    const QSize target = window->size() * window->devicePixelRatio();
    double lastDraw = -1;
    for (;;) {
        std::unique_ptr<Picture> picture;
        {
            std::unique_lock lock(slot.lock);
            slot.changed.wait(lock, [&] { return slot.newest || slot.done; });
            if (!slot.newest) break;
        }
        // At most one picture a refresh; a newer one that comes meanwhile is the one drawn.
        const double earliest = lastDraw + 0.75 * refreshInterval;
        if (now() < earliest) std::this_thread::sleep_for(std::chrono::duration<double>(earliest - now()));
        {
            std::lock_guard guard(slot.lock);
            picture = std::move(slot.newest);
        }
        ReferencePlayer::Shown& timing = picture->timing;
        timing.tickAt = lastDraw = now();
        const AVFrame* frame = picture->frame;
        if (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P) continue;
        const bool resized = textureSize != QSize(frame->width, frame->height);
        textureSize = QSize(frame->width, frame->height);
        gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        for (int p = 0; p < 3; ++p) {
            const int w = p ? (frame->width + 1) / 2 : frame->width, h = p ? (frame->height + 1) / 2 : frame->height;
            gl->glBindTexture(GL_TEXTURE_2D, textures[p]);
            if (resized) gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, w, h, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, nullptr);
            gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, frame->linesize[p]);
            gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, GL_LUMINANCE, GL_UNSIGNED_BYTE, frame->data[p]);
        }
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        timing.uploadedAt = now();
        gl->glViewport(0, 0, target.width(), target.height());
        program.bind();
        for (int p = 0; p < 3; ++p) {
            gl->glActiveTexture(GLenum(GL_TEXTURE0 + p));
            gl->glBindTexture(GL_TEXTURE_2D, textures[p]);
        }
        program.setUniformValue("y", 0);
        program.setUniformValue("u", 1);
        program.setUniformValue("v", 2);
        program.enableAttributeArray(0);
        program.setAttributeArray(0, GL_FLOAT, quad, 2);
        gl->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        context.swapBuffers(window);
        timing.swappedAt = now();
        result.shown.push_back(timing);
        result.drew = true;
    }
    // Before the context goes, and its rasteriser's threads with it.
    const auto threadsAfter = threadCpu();
    result.renderCpuSeconds =
        cpuBetween(threadsBefore, threadsAfter, [](const ThreadCpu& t) { return t.name == "ref.render"; });
    result.rasterCpuSeconds =
        cpuBetween(threadsBefore, threadsAfter, [](const ThreadCpu& t) { return t.name.rfind("llvmpipe", 0) == 0; });
    gl->glDeleteTextures(3, textures);
    context.doneCurrent();
}

}  // namespace

ReferencePlayer::ReferencePlayer(QSize size, double refreshInterval) : size_(size), refreshInterval_(refreshInterval) {}

ReferencePlayer::~ReferencePlayer() = default;

ReferencePlayer::Result ReferencePlayer::play(const std::vector<Unit>& units, int fps) {
    Result result;
    result.shown.reserve(units.size());
    QWindow window;
    window.setSurfaceType(QSurface::OpenGLSurface);
    window.setGeometry(QRect(QPoint(0, 0), size_));
    window.show();
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    spinUntil([&] { return window.isExposed() || Clock::now() > giveUp; });
    if (!window.isExposed()) return result;

    Slot slot;
    std::atomic<bool> finished{false};
    const auto threadsBefore = threadCpu();
    std::thread renderer([&] {
        pthread_setname_np(pthread_self(), "ref.render");
        render(&window, refreshInterval_, slot, result, threadsBefore);
        finished = true;
    });
    std::thread decoder([&] { decode(units, fps, slot, result.decoded, result.decodeCpuSeconds); });
    // The window's events go on meanwhile, as a player's would.
    spinUntil([&] { return finished.load(); });
    decoder.join();
    renderer.join();
    return result;
}

}  // namespace corvane::bench
