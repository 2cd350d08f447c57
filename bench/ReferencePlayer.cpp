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
#include <deque>
#include <memory>
#include <mutex>
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
#ifndef GL_LUMINANCE_ALPHA
#define GL_LUMINANCE_ALPHA 0x190A
#endif

namespace corvane::bench {
namespace {

using Clock = std::chrono::steady_clock;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// The chroma's place (4:2:0 samples sit on the even luma columns) is worked out per corner, not per pixel.
const char* const vertexShader = R"(
attribute vec2 position;
uniform float chromaShift;
varying vec2 uv;
varying vec2 cuv;
void main() {
    uv = vec2(position.x * 0.5 + 0.5, 0.5 - position.y * 0.5);
    cuv = vec2(uv.x + chromaShift, uv.y);
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// BT.601, video range, as constants. The framebuffer clamps the result itself.
const char* const fragmentShader = R"(
uniform sampler2D luma;
uniform sampler2D chroma;
varying vec2 uv;
varying vec2 cuv;
const mat3 toRgb = mat3(1.164, 1.164, 1.164, 0.0, -0.392, 2.017, 1.596, -0.813, 0.0);
const vec3 offset = vec3(0.0627, 0.502, 0.502);
void main() {
    vec4 c = texture2D(chroma, cuv);
    gl_FragColor = vec4(toRgb * (vec3(texture2D(luma, uv).r, c.r, c.a) - offset), 1.0);
}
)";

const float quad[] = {-1.f, -1.f, 1.f, -1.f, -1.f, 1.f, 1.f, 1.f};

struct Unit {
    Bytes data;
    bool keyframe = false;
    std::uint32_t index = 0;
    double sentAt = 0;
};

struct Picture {
    AVFrame* frame = av_frame_alloc();
    ReferencePlayer::Shown timing;
    Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;
    ~Picture() { av_frame_free(&frame); }
};

}  // namespace

struct ReferencePlayer::Impl {
    QSize size;
    double refreshInterval;
    std::size_t queueLimit;
    QWindow window;
    std::thread decoder, renderer;
    std::atomic<bool> rendered{false};
    std::atomic<bool> keyframeAsked{false};
    std::atomic<bool> drewOnce{false};
    std::vector<ThreadCpu> threadsBefore;
    Result result;

    // The units waiting for the decoder.
    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::deque<Unit> queue;
    bool waitingForKeyframe = false;
    bool feeding = true;

    // The hand-over from the decoder to the render thread: the newest picture wins.
    std::mutex slotLock;
    std::condition_variable slotChanged;
    std::unique_ptr<Picture> newest;
    bool decoded = false;

    void decode();
    void render();
};

void ReferencePlayer::Impl::decode() {
    pthread_setname_np(pthread_self(), "ref.decode");
    const auto before = threadCpu();
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 0;
    context->thread_type = FF_THREAD_SLICE;
    // Opened here, so the codec's worker threads carry this thread's name.
    const bool opened = avcodec_open2(context, nullptr, nullptr) == 0;
    AVPacket* packet = av_packet_alloc();
    for (;;) {
        Unit unit;
        {
            std::unique_lock lock(queueLock);
            queueChanged.wait(lock, [&] { return !queue.empty() || !feeding; });
            if (queue.empty()) break;
            unit = std::move(queue.front());
            queue.pop_front();
        }
        if (!opened) continue;
        const double startedAt = now();
        if (av_new_packet(packet, int(unit.data.size())) != 0) break;
        std::memcpy(packet->data, unit.data.data(), unit.data.size());
        if (unit.keyframe) packet->flags |= AV_PKT_FLAG_KEY;
        packet->pts = unit.index;
        const bool sent = avcodec_send_packet(context, packet) == 0;
        av_packet_unref(packet);
        if (!sent) {
            keyframeAsked = true;
            continue;
        }
        auto picture = std::make_unique<Picture>();
        while (avcodec_receive_frame(context, picture->frame) == 0) {
            ++result.decoded;
            picture->timing = {std::uint32_t(picture->frame->pts), unit.sentAt, startedAt, now(), 0, 0, 0};
            {
                std::lock_guard guard(slotLock);
                newest = std::move(picture);
            }
            slotChanged.notify_one();
            picture = std::make_unique<Picture>();
        }
    }
    // Before the codec's threads end with it.
    result.decodeCpuSeconds = cpuBetween(before, threadCpu(), [](const ThreadCpu& t) { return t.name == "ref.decode"; });
    av_packet_free(&packet);
    avcodec_free_context(&context);
    std::lock_guard guard(slotLock);
    decoded = true;
    slotChanged.notify_one();
}

// Draws what the decoder hands over until it is done and its last picture drawn; then takes the CPU time
// of its own thread and of the rasteriser's since the start.
void ReferencePlayer::Impl::render() {
    pthread_setname_np(pthread_self(), "ref.render");
    QOpenGLContext context;
    context.setFormat(window.requestedFormat());
    if (!context.create() || !context.makeCurrent(&window)) return;
    QOpenGLExtraFunctions* gl = context.extraFunctions();
    QOpenGLShaderProgram program;
    program.addShaderFromSourceCode(QOpenGLShader::Vertex, vertexShader);
    program.addShaderFromSourceCode(QOpenGLShader::Fragment, fragmentShader);
    program.bindAttributeLocation("position", 0);
    if (!program.link()) return;
    GLuint textures[2] = {};
    gl->glGenTextures(2, textures);
    for (GLuint texture : textures) {
        gl->glBindTexture(GL_TEXTURE_2D, texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    program.bind();
    program.setUniformValue("luma", 0);
    program.setUniformValue("chroma", 1);
    program.enableAttributeArray(0);
    program.setAttributeArray(0, GL_FLOAT, quad, 2);
    std::vector<std::uint8_t> chroma;
    QSize textureSize;
    const QSize target = window.size() * window.devicePixelRatio();
    gl->glViewport(0, 0, target.width(), target.height());
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    double lastDraw = -1;
    for (;;) {
        std::unique_ptr<Picture> picture;
        {
            std::unique_lock lock(slotLock);
            slotChanged.wait(lock, [&] { return newest || decoded; });
            if (!newest) break;
        }
        // At most one picture a refresh; a newer one that comes meanwhile is the one drawn.
        const double earliest = lastDraw + 0.75 * refreshInterval;
        if (now() < earliest) std::this_thread::sleep_for(std::chrono::duration<double>(earliest - now()));
        {
            std::lock_guard guard(slotLock);
            picture = std::move(newest);
        }
        ReferencePlayer::Shown& timing = picture->timing;
        timing.tickAt = lastDraw = now();
        const AVFrame* frame = picture->frame;
        if (frame->format != AV_PIX_FMT_YUV420P && frame->format != AV_PIX_FMT_YUVJ420P) continue;
        const int cw = (frame->width + 1) / 2, ch = (frame->height + 1) / 2;
        if (textureSize != QSize(frame->width, frame->height)) {
            textureSize = QSize(frame->width, frame->height);
            gl->glActiveTexture(GL_TEXTURE0);
            gl->glBindTexture(GL_TEXTURE_2D, textures[0]);
            gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, frame->width, frame->height, 0, GL_LUMINANCE,
                             GL_UNSIGNED_BYTE, nullptr);
            // Shown pixel for pixel, each screen pixel sits on a texel's centre: its nearest texel is exact.
            const GLint filter = textureSize == target ? GL_NEAREST : GL_LINEAR;
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
            gl->glActiveTexture(GL_TEXTURE1);
            gl->glBindTexture(GL_TEXTURE_2D, textures[1]);
            gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE_ALPHA, cw, ch, 0, GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE,
                             nullptr);
            program.setUniformValue("chromaShift", 0.5f / float(frame->width));
            chroma.resize(2 * std::size_t(cw) * std::size_t(ch));
        }
        gl->glActiveTexture(GL_TEXTURE0);
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, frame->linesize[0]);
        gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame->width, frame->height, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                            frame->data[0]);
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        for (int y = 0; y < ch; ++y) {
            const std::uint8_t* b = frame->data[1] + std::size_t(y) * std::size_t(frame->linesize[1]);
            const std::uint8_t* r = frame->data[2] + std::size_t(y) * std::size_t(frame->linesize[2]);
            std::uint8_t* out = chroma.data() + 2 * std::size_t(cw) * std::size_t(y);
            for (int x = 0; x < cw; ++x) {
                out[2 * x] = b[x];
                out[2 * x + 1] = r[x];
            }
        }
        gl->glActiveTexture(GL_TEXTURE1);
        gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, cw, ch, GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE, chroma.data());
        timing.uploadedAt = now();
        gl->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        context.swapBuffers(&window);
        timing.swappedAt = now();
        result.shown.push_back(timing);
        result.drew = true;
        drewOnce = true;
    }
    // Before the context goes, and its rasteriser's threads with it.
    const auto threadsAfter = threadCpu();
    result.renderCpuSeconds =
        cpuBetween(threadsBefore, threadsAfter, [](const ThreadCpu& t) { return t.name == "ref.render"; });
    result.rasterCpuSeconds =
        cpuBetween(threadsBefore, threadsAfter, [](const ThreadCpu& t) { return t.name.rfind("llvmpipe", 0) == 0; });
    program.disableAttributeArray(0);
    program.release();
    gl->glDeleteTextures(2, textures);
    context.doneCurrent();
}

ReferencePlayer::ReferencePlayer(QSize size, double refreshInterval, std::size_t queueLimit)
    : impl_(std::make_unique<Impl>()) {
    impl_->size = size;
    impl_->refreshInterval = refreshInterval;
    impl_->queueLimit = std::max<std::size_t>(queueLimit, 1);
}

ReferencePlayer::~ReferencePlayer() {
    if (impl_->decoder.joinable()) stop();
}

bool ReferencePlayer::start() {
    Impl& s = *impl_;
    s.result.shown.reserve(4096);
    s.window.setSurfaceType(QSurface::OpenGLSurface);
    s.window.setGeometry(QRect(QPoint(0, 0), s.size));
    s.window.show();
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    spinUntil([&] { return s.window.isExposed() || Clock::now() > giveUp; });
    if (!s.window.isExposed()) return false;
    s.threadsBefore = threadCpu();
    s.renderer = std::thread([&s] {
        s.render();
        s.rendered = true;
    });
    s.decoder = std::thread([&s] { s.decode(); });
    return true;
}

void ReferencePlayer::receive(std::uint32_t index, ByteView unit, bool keyframe, double sentAt) {
    Impl& s = *impl_;
    std::deque<Unit> dropped;  // let go of after the lock
    {
        std::lock_guard guard(s.queueLock);
        if (!s.feeding) return;
        // Its references were dropped: decoding it would only show damage.
        if (s.waitingForKeyframe && !keyframe) {
            ++s.result.dropped;
            return;
        }
        if (s.queue.size() >= s.queueLimit) {
            if (keyframe) {
                dropped.swap(s.queue);
            } else {
                // The newest waiting keyframe behind the front one.
                const auto newest = std::find_if(s.queue.rbegin(), std::prev(s.queue.rend()),
                                                 [](const Unit& waiting) { return waiting.keyframe; });
                if (newest == std::prev(s.queue.rend())) {
                    ++s.result.dropped;
                    s.waitingForKeyframe = true;
                    s.keyframeAsked = true;
                    return;
                }
                const auto keep = std::prev(newest.base());
                std::move(s.queue.begin(), keep, std::back_inserter(dropped));
                s.queue.erase(s.queue.begin(), keep);
            }
            s.result.dropped += std::int64_t(dropped.size());
        }
        s.waitingForKeyframe = false;
        s.queue.push_back(Unit{Bytes(unit.begin(), unit.end()), keyframe, index, sentAt});
    }
    s.queueChanged.notify_one();
}

bool ReferencePlayer::keyframeWanted() { return impl_->keyframeAsked.exchange(false); }

bool ReferencePlayer::drewOnce() const { return impl_->drewOnce.load(); }

ReferencePlayer::Result ReferencePlayer::stop() {
    Impl& s = *impl_;
    if (!s.decoder.joinable()) return std::move(s.result);
    {
        std::lock_guard guard(s.queueLock);
        s.feeding = false;
    }
    s.queueChanged.notify_one();
    // The window's events go on meanwhile, as a player's would.
    spinUntil([&] { return s.rendered.load(); });
    s.decoder.join();
    s.renderer.join();
    return std::move(s.result);
}

}  // namespace corvane::bench
