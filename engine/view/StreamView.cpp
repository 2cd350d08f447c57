#include "engine/view/StreamView.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLFunctions>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSocketNotifier>

#include "engine/EngineLog.hpp"
#include "engine/Uptime.hpp"
#include "engine/view/StreamSurface.hpp"

namespace corvane::stream {

namespace {

using platform::PixelBuffer;

// While no frame comes, a tick this often keeps the rate figure falling within its two seconds.
constexpr int idleTickMs = 250;
// How often a drawn frame looks whether the GL is done with it, and how long it waits at most.
constexpr int swapPollMs = 1;
constexpr double swapWaitLimit = 0.1;

int milliseconds(double seconds) { return std::max(1, static_cast<int>(std::ceil(seconds * 1000))); }

// The five rows the brightness test reads.
std::array<int, 5> sampleRows(int h) { return {h / 5, 2 * h / 5, h / 2, 3 * h / 5, 4 * h / 5}; }

}  // namespace

StreamView::StreamView(QWidget* parent) : QWidget(parent), clock_(uptimeSeconds) {
    secondStart = clock_();
    // A window of its own, which the picture's surface fills: Qt paints nothing of its own there.
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    tickTimer_.setSingleShot(true);
    tickTimer_.setTimerType(Qt::PreciseTimer);
    connect(&tickTimer_, &QTimer::timeout, this, [this] {
        if (running_) {
            runTick();
        } else if (fade_) {
            render(true);
            if (fade_) tickTimer_.start(milliseconds(refreshInterval()));
        }
    });
    swapPoll_.setTimerType(Qt::PreciseTimer);
    connect(&swapPoll_, &QTimer::timeout, this, [this] { completeSwap(uptimeSeconds() - swapDrawnAt_ > swapWaitLimit); });
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0) {
        wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] { frameArrived(); });
        // The decoder's thread: one write (no lock, no allocation) per batch of frames, the main thread
        // clearing the flag before it looks at the slot.
        slot_.setOnPut([this] {
            if (!wakePending_.exchange(true, std::memory_order_acq_rel)) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
            }
        });
    }
}

StreamView::StreamView(const QRect& frame, QWidget* parent) : StreamView(parent) { setGeometry(frame); }

StreamView::~StreamView() {
    stop();
    releaseGL();
    delete surface_.data();
    delete wakeNotifier_;
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void StreamView::setClock(std::function<double()> clock) {
    clock_ = std::move(clock);
    std::lock_guard guard(lock);
    secondStart = clock_();
}

void StreamView::markOpened() {
    openedAt = clock_();
    firstShownLogged = false;
    nonBlackSeen = false;
}

void StreamView::start() {
    if (running_) return;
    running_ = true;
    runTick();
}

void StreamView::stop() {
    running_ = false;
    tickTimer_.stop();
}

double StreamView::refreshInterval() const {
    const QScreen* shown = screen();
    const double rate = shown ? shown->refreshRate() : 0;
    return rate >= 20 && rate <= 500 ? 1.0 / rate : 1.0 / 60;
}

void StreamView::frameArrived() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
    wakePending_.store(false, std::memory_order_release);
    if (running_) scheduleTick();
}

void StreamView::scheduleTick() {
    // At most one frame a refresh: a tick comes no sooner than most of a refresh interval after the last
    // (a screen without vsync swaps as fast as it is asked to).
    const double earliest = 0.75 * refreshInterval() - (uptimeSeconds() - lastTickAt);
    if (earliest <= 0) {
        runTick();
        return;
    }
    const int due = milliseconds(earliest);
    if (!tickTimer_.isActive() || tickTimer_.remainingTime() > due) tickTimer_.start(due);
}

void StreamView::runTick() {
    if (!running_) return;
    tickTimer_.stop();
    if (swapPending_) {
        // The GL is still drawing the last frame: the next tick follows its swap rather than wait for it.
        tickAfterSwap_ = true;
        return;
    }
    lastTickAt = uptimeSeconds();
    const std::size_t drawn = presentedCount_;
    tick();
    if (fade_ && presentedCount_ == drawn) render(true);
    // Paced frames wait in the slot for a refresh each, and a fade moves at every one. Otherwise the next
    // frame wakes the view as it arrives.
    const double interval = refreshInterval();
    if (fade_ || slot_.pacing() || wakeFd_ < 0)
        tickTimer_.start(milliseconds(interval));
    else
        tickTimer_.start(idleTickMs);
}

void StreamView::tick() {
    const double now = clock_();
    const std::optional<DecodedFrame> frame = slot_.next();

    bool fresh = false;
    {
        std::lock_guard guard(lock);
        if (frame && shownIndex != frame->frameIndex) {
            shownIndex = frame->frameIndex;
            fresh = true;
        }
    }

    // Reading the planes of a picture in a layout the view does not draw converts it, here and only here.
    if (fresh && frame->image && frame->image->plane(0).data) {
        if (frame->image->highDynamicRange()) {
            showHDR(*frame);
        } else {
            hdrActive = false;
            current = frame;
            uploadPending = true;
        }
        Presented timing{frame->frameIndex, frame->firstPacketAt, frame->assembledAt, frame->queuedAt,
                         frame->decodeStartedAt, frame->decodedAt, uptimeSeconds(), 0, 0, frame->queuedBehind};
        if (render(true, &timing)) {
            if (swapPending_) swapEntry_ = presentedCount_;
            presented_[presentedCount_ % presentedKept] = timing;
            ++presentedCount_;
        }

        if (openedAt) {
            const auto ms = static_cast<long long>((now - *openedAt) * 1000);
            if (!firstShownLogged) {
                firstShownLogged = true;
                EngineLog::write("video: first frame shown " + std::to_string(ms) + " ms after the window opened");
            }
            if (!nonBlackSeen) {
                const double luma = averageLuma(*frame->image);
                if (luma > 6.0) {
                    nonBlackSeen = true;
                    char line[160];
                    std::snprintf(line, sizeof line,
                                  "video: first non-black frame shown %lld ms after the window opened (brightness %.0f)",
                                  ms, luma);
                    EngineLog::write(line);
                    if (onFirstPicture) onFirstPicture();
                }
            }
        }

        // Each picture is presented once; whoever counts them (the overlay's frame counter) hears of it here.
        if (onPresented) onPresented(*frame);

        std::lock_guard guard(lock);
        shownThisSecond += 1;
        _shownTotal += 1;
        _decodeToShowMs = (now - frame->decodedAt) * 1000;
        const double d = (now - frame->firstPacketAt) * 1000;
        _packetToShowMs = _packetToShowMs == 0 ? d : 0.1 * d + 0.9 * _packetToShowMs;
        const double h = frame->hostProcessingMs;
        if (h > 0 && h < 1000) _hostMs = _hostMs == 0 ? h : 0.1 * h + 0.9 * _hostMs;
    }

    std::lock_guard guard(lock);
    if (now - secondStart >= 1.0) {
        _shownFPS = shownThisSecond;
        shownThisSecond = 0;
        secondStart = now;
    }
}

void StreamView::showHDR(const DecodedFrame& frame) {
    if (!hdrActive) {
        hdrActive = true;
        current.reset();
        uploadPending = true;
        EngineLog::write("video: showing HDR (10-bit) through the HDR display layer");
    }
    const PixelBuffer& picture = *frame.image;
    if (picture.planeCount() != PixelBuffer::layout(picture.format()).planes) return;
    for (int p = 0; p < picture.planeCount(); ++p)
        if (!picture.plane(p).data) return;
    current = frame;
    uploadPending = true;
}

double StreamView::averageLuma(const PixelBuffer& picture) {
    const PixelBuffer::Plane& plane = picture.plane(0);
    if (!plane.data) return 255;
    const int w = plane.width;
    const int h = plane.height;
    double sum = 0;
    int count = 0;
    // Every 16th pixel of five rows; `value` gives one pixel's brightness on the 0...255 scale.
    const auto sample = [&](int bytesPerPixel, auto value) {
        // A row shorter than its samples cannot be read safely.
        if (w < 1 || plane.bytesPerRow < w * bytesPerPixel) return false;
        for (const int row : sampleRows(h)) {
            if (row < 0 || row >= h) continue;
            const std::uint8_t* line = plane.data + static_cast<std::size_t>(row) * std::size_t(plane.bytesPerRow);
            for (int x = 0; x < w; x += 16) {
                sum += value(line + static_cast<std::size_t>(x) * std::size_t(bytesPerPixel));
                ++count;
            }
        }
        return true;
    };
    bool measured = false;
    switch (picture.format()) {
    case PixelBuffer::Format::x420:
        // The high byte of the little-endian sample: its top 8 bits.
        measured = sample(2, [](const std::uint8_t* p) { return double(p[1]); });
        break;
    case PixelBuffer::Format::i010:
        // The top 8 of the 10 bits, as for 'x420'.
        measured = sample(2, [](const std::uint8_t* p) { return double(((p[1] << 8) | p[0]) >> 2 & 0xFF); });
        break;
    case PixelBuffer::Format::bgra:
        measured = sample(4, [](const std::uint8_t* p) { return 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2]; });
        break;
    case PixelBuffer::Format::nv12:
    case PixelBuffer::Format::i420:
    case PixelBuffer::Format::i444:
        // Luma on the full scale, as a converted picture would measure: video-range black (16) is black.
        if (picture.colorSpace().fullRange)
            measured = sample(1, [](const std::uint8_t* p) { return double(p[0]); });
        else
            measured = sample(1, [](const std::uint8_t* p) { return std::max(0.0, (p[0] - 16) * 255.0 / 219.0); });
        break;
    }
    if (!measured) return 255;
    return count > 0 ? sum / count : 255;
}

int StreamView::shownFPS() const {
    std::lock_guard guard(lock);
    return _shownFPS;
}

int StreamView::shownTotal() const {
    std::lock_guard guard(lock);
    return _shownTotal;
}

StreamView::Latency StreamView::latencyMs() const {
    std::lock_guard guard(lock);
    return Latency{_decodeToShowMs, _packetToShowMs};
}

double StreamView::hostProcessingMs() const {
    std::lock_guard guard(lock);
    return _hostMs;
}

std::vector<StreamView::Presented> StreamView::presented() const {
    const std::size_t kept = std::min(presentedCount_, presentedKept);
    std::vector<Presented> out;
    out.reserve(kept);
    for (std::size_t i = presentedCount_ - kept; i < presentedCount_; ++i) out.push_back(presented_[i % presentedKept]);
    return out;
}

void StreamView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    ensureSurface();
    if (!focusWatched_) {
        focusWatched_ = true;
        watchFocusForPointer();
    }
}

void StreamView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (surface_) surface_->setGeometry(QRect(QPoint(0, 0), size()));
}

void StreamView::paintEvent(QPaintEvent*) {
    // The surface covers all of it; this shows only for the moment before the surface is on screen.
    QPainter(this).fillRect(rect(), Qt::black);
}

// Drawing.

void StreamView::ensureSurface() {
    QWindow* host = windowHandle();
    if (!host) return;
    if (!surface_) {
        surface_ = new StreamSurface(host);
        surface_->onExposed = [this] { render(true); };
    } else if (surface_->parent() != host) {
        surface_->setParent(host);
    } else if (surface_->isVisible()) {
        return;
    }
    surface_->setGeometry(QRect(QPoint(0, 0), size()));
    surface_->show();
    // Beneath the panels laid over the picture, whichever native window was made first.
    surface_->lower();
}

bool StreamView::makeCurrent() {
    if (!surface_ || !surface_->handle()) return false;
    if (!context_) {
        if (glFailed_) return false;
        auto context = std::make_unique<QOpenGLContext>();
        context->setFormat(surface_->requestedFormat());
        if (!context->create()) {
            // Nothing can be shown; trying again at every frame would not change that.
            glFailed_ = true;
            return false;
        }
        context_ = std::move(context);
        if (!context_->makeCurrent(surface_)) return false;
        const QSurfaceFormat format = context_->format();
        fences_ = format.version() >= (context_->isOpenGLES() ? qMakePair(3, 0) : qMakePair(3, 2)) ||
                  context_->hasExtension("GL_ARB_sync");
        return true;
    }
    return context_->makeCurrent(surface_);
}

bool StreamView::render(bool swap, Presented* timing) {
    // The frame drawn before goes out first, so frames reach the screen in order.
    completeSwap(true);
    if (!surface_ || !surface_->isExposed() || !makeCurrent()) return false;
    if (!renderer_.initialized()) {
        renderer_.initialize();
        uploadPending = true;
        if (fade_) fade_->uploaded = false;
    }
    if (uploadPending) {
        uploadPending = false;
        if (current && current->image)
            renderer_.upload(*current->image);
        else
            renderer_.forget();
    }
    if (timing) timing->uploadedAt = uptimeSeconds();
    const double ratio = surface_->devicePixelRatio();
    const QSize size(static_cast<int>(std::lround(surface_->width() * ratio)),
                     static_cast<int>(std::lround(surface_->height() * ratio)));
    renderer_.draw(size);
    if (fade_) {
        const double elapsed = clock_() - fade_->start;
        if (elapsed >= fade_->seconds) {
            fade_.reset();
            renderer_.setOverlay(QImage());
        } else {
            if (!fade_->uploaded) {
                renderer_.setOverlay(fade_->image);
                fade_->uploaded = true;
            }
            const QRectF area(fade_->area.x() * ratio, fade_->area.y() * ratio, fade_->area.width() * ratio,
                              fade_->area.height() * ratio);
            renderer_.drawOverlay(size, area, static_cast<float>(1 - elapsed / fade_->seconds));
        }
    }
    if (!swap) return true;
    if (fences_) {
        // The drawing starts now; the swap follows once it is done, without the main thread waiting for it.
        QOpenGLExtraFunctions* gl = context_->extraFunctions();
        fence_ = gl->glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
        gl->glFlush();
        if (fence_) {
            swapPending_ = true;
            swapDrawnAt_ = uptimeSeconds();
            swapEntry_.reset();
            swapPoll_.start(swapPollMs);
            return true;
        }
    }
    context_->swapBuffers(surface_);
    if (timing) timing->swappedAt = uptimeSeconds();
    return true;
}

void StreamView::completeSwap(bool wait) {
    if (!swapPending_) return;
    if (!surface_ || !context_ || !context_->makeCurrent(surface_)) {
        // Its surface went: the frame has nowhere to go (and the fence went with the context's objects).
        swapPending_ = false;
        fence_ = nullptr;
        swapPoll_.stop();
        if (std::exchange(tickAfterSwap_, false) && running_) scheduleTick();
        return;
    }
    QOpenGLExtraFunctions* gl = context_->extraFunctions();
    auto* fence = static_cast<GLsync>(fence_);
    if (!wait && gl->glClientWaitSync(fence, 0, 0) == GL_TIMEOUT_EXPIRED) return;
    swapPending_ = false;
    swapPoll_.stop();
    gl->glDeleteSync(fence);
    fence_ = nullptr;
    context_->swapBuffers(surface_);
    if (swapEntry_) presented_[*swapEntry_ % presentedKept].swappedAt = uptimeSeconds();
    swapEntry_.reset();
    if (std::exchange(tickAfterSwap_, false) && running_) scheduleTick();
}

QImage StreamView::grabFramebuffer() {
    if (!render(false)) return QImage();
    const double ratio = surface_->devicePixelRatio();
    const int w = static_cast<int>(std::lround(surface_->width() * ratio));
    const int h = static_cast<int>(std::lround(surface_->height() * ratio));
    QImage image(w, h, QImage::Format_RGBA8888);
    QOpenGLFunctions* gl = context_->functions();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    // OpenGL's rows run from the bottom up.
    return image.mirrored().convertToFormat(QImage::Format_RGB32);
}

void StreamView::fadeAway(const QImage& image, const QRect& area, double seconds) {
    fade_ = Fade{image, area, clock_(), seconds, false};
    render(true);
    if (!tickTimer_.isActive() || tickTimer_.remainingTime() > milliseconds(refreshInterval()))
        tickTimer_.start(milliseconds(refreshInterval()));
}

void StreamView::releaseGL() {
    if (!context_) return;
    completeSwap(true);
    if (renderer_.initialized()) {
        if (surface_ && surface_->handle() && context_->makeCurrent(surface_)) {
            renderer_.release();
            context_->doneCurrent();
        } else {
            // The surface went first (its window with the view's): any surface of the context will do.
            QOffscreenSurface offscreen;
            offscreen.setFormat(context_->format());
            offscreen.create();
            if (context_->makeCurrent(&offscreen)) {
                renderer_.release();
                context_->doneCurrent();
            }
        }
    }
    context_.reset();
}

}  // namespace corvane::stream
