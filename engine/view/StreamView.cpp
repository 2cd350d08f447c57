#include "engine/view/StreamView.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <type_traits>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSocketNotifier>

#include "engine/EngineLog.hpp"
#include "engine/Uptime.hpp"
#include "engine/view/RenderConnection.hpp"
#include "engine/view/StreamSurface.hpp"
#include "platform/realtime/TimeSlice.hpp"

namespace corvane::stream {

namespace {

using platform::PixelBuffer;

// While no frame comes, the rate figure is rolled this often, so it falls within its two seconds.
constexpr int idleTickMs = 250;
// Well under a refresh interval, and a tenth of the kernel's own default turn.
constexpr std::chrono::microseconds mainThreadSlice{300};

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
    // The slow timer also takes what the render thread handed over, should the eventfd be missing.
    rateTimer_.setInterval(idleTickMs);
    connect(&rateTimer_, &QTimer::timeout, this, [this] { presentedArrived(); });
    fadeTimer_.setTimerType(Qt::PreciseTimer);
    connect(&fadeTimer_, &QTimer::timeout, this, [this] { updateLooks(true); });
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0) {
        wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] { presentedArrived(); });
    }
    // The decoder's thread: a flag under the short lock, and the render thread woken while it takes frames.
    slot_.setOnPut([this] {
        bool wake = false;
        {
            std::lock_guard guard(renderLock);
            shared_.framePut = true;
            wake = shared_.running;
        }
        if (wake) renderWake.notify_one();
        uploader_.wake();
    });
    shared_.shown.reserve(2 * picturesHanded);
    arrived_.reserve(2 * picturesHanded);
    renderThread_ = std::thread([this] { renderLoop(); });
}

StreamView::StreamView(const QRect& frame, QWidget* parent) : StreamView(parent) { setGeometry(frame); }

StreamView::~StreamView() {
    halt();  // what was drawn meanwhile is not counted: no hook runs during teardown
    if (surface_) {
        surface_->onExposeChanged = nullptr;
        surface_->onGoing = nullptr;
    }
    detachSurface();
    {
        std::lock_guard guard(renderLock);
        shared_.quit = true;
    }
    renderWake.notify_one();
    renderThread_.join();
    delete surface_.data();
    delete wakeNotifier_;
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

template <class Job> void StreamView::onRenderThread(Job&& job) {
    using Callable = std::remove_reference_t<Job>;
    std::unique_lock guard(renderLock);
    // Only the main thread hands over jobs, one at a time, and waits for each.
    const std::uint64_t ticket = ++shared_.jobsPosted;
    shared_.job = Shared::Job{[](void* callable) { (*static_cast<Callable*>(callable))(); }, static_cast<void*>(&job)};
    renderWake.notify_one();
    jobDone.wait(guard, [&] { return shared_.jobsDone >= ticket; });
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
    // The main thread takes every picture's bookkeeping and the window's events while the decoder and the
    // rasteriser keep the cores busy: short turns let it in when it wakes rather than after theirs.
    static const bool shortened = [] {
        const auto slice = platform::TimeSlice::shortenCallingThread(mainThreadSlice);
        EngineLog::write(slice ? "video: main thread time slice " + std::to_string(slice->count()) + " us"
                               : std::string("video: main thread time slice left to the kernel"));
        return true;
    }();
    (void)shortened;
    publishSurface(false);
    {
        std::lock_guard guard(renderLock);
        shared_.running = true;
        // A frame may be waiting already.
        shared_.framePut = true;
    }
    renderWake.notify_one();
    rateTimer_.start();
}

void StreamView::stop() {
    if (!running_) return;
    halt();
    // A frame being drawn as the view stops still reaches the screen: once it has, what was drawn is counted
    // here, so that the figures are final when stop() returns.
    onRenderThread([] {});
    presentedArrived();
}

void StreamView::halt() {
    running_ = false;
    rateTimer_.stop();
    std::lock_guard guard(renderLock);
    shared_.running = false;
}

double StreamView::refreshInterval() const {
    const QScreen* shown = screen();
    const double rate = shown ? shown->refreshRate() : 0;
    return rate >= 20 && rate <= 500 ? 1.0 / rate : 1.0 / 60;
}

bool StreamView::claim(const std::optional<DecodedFrame>& frame) {
    std::lock_guard guard(lock);
    if (!frame || shownIndex == frame->frameIndex) return false;
    shownIndex = frame->frameIndex;
    return true;
}

void StreamView::tick() {
    const double now = clock_();
    const std::optional<DecodedFrame> frame = slot_.next();
    // Reading the planes of a picture in a layout the view does not draw converts it, here (or where the
    // render thread takes it) and only here.
    if (claim(frame) && frame->image && frame->image->plane(0).data) {
        Presented timing{frame->frameIndex, frame->firstPacketAt, frame->assembledAt, frame->queuedAt,
                         frame->decodeStartedAt, frame->decodedAt, uptimeSeconds(), 0, 0, frame->queuedBehind};
        bool drawn = false;
        onRenderThread([&] { drawn = present(*frame, currentTarget(), timing); });
        account(*frame, now, drawn ? &timing : nullptr);
    }
    rollSecond(now);
}

void StreamView::account(const DecodedFrame& frame, double now, const Presented* timing) {
    if (timing) {
        presented_[presentedCount_ % presentedKept] = *timing;
        ++presentedCount_;
    }

    if (openedAt) {
        const auto ms = static_cast<long long>((now - *openedAt) * 1000);
        if (!firstShownLogged) {
            firstShownLogged = true;
            EngineLog::write("video: first frame shown " + std::to_string(ms) + " ms after the window opened");
        }
        // A frame handed over without its picture (the main thread had fallen behind) is not measured.
        if (!nonBlackSeen && frame.image) {
            const double luma = averageLuma(*frame.image);
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
    if (onPresented) onPresented(frame);

    std::lock_guard guard(lock);
    shownThisSecond += 1;
    _shownTotal += 1;
    _decodeToShowMs = (now - frame.decodedAt) * 1000;
    const double d = (now - frame.firstPacketAt) * 1000;
    _packetToShowMs = _packetToShowMs == 0 ? d : 0.1 * d + 0.9 * _packetToShowMs;
    const double h = frame.hostProcessingMs;
    if (h > 0 && h < 1000) _hostMs = _hostMs == 0 ? h : 0.1 * h + 0.9 * _hostMs;
}

void StreamView::rollSecond(double now) {
    std::lock_guard guard(lock);
    if (now - secondStart >= 1.0) {
        _shownFPS = shownThisSecond;
        shownThisSecond = 0;
        secondStart = now;
    }
}

void StreamView::presentedArrived() {
    if (wakeFd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
    }
    // The batch is taken whole; the hooks run outside the lock and may run the event loop, so this may be
    // entered again meanwhile: it then takes a batch of its own.
    std::vector<Shown> batch = std::move(arrived_);
    bool reintroduce = false;
    {
        std::lock_guard guard(renderLock);
        batch.swap(shared_.shown);
        shared_.wakePending = false;
        reintroduce = std::exchange(shared_.reintroduce, false);
    }
    if (reintroduce) publishSurface(false);
    const double now = clock_();
    for (const Shown& shown : batch) account(shown.frame, now, shown.drawn ? &shown.timing : nullptr);
    rollSecond(now);
    batch.clear();
    if (arrived_.capacity() < batch.capacity()) arrived_ = std::move(batch);
}

// Render thread.
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
    publishSurface(false);
}

void StreamView::paintEvent(QPaintEvent*) {
    // The surface covers all of it; this shows only for the moment before the surface is on screen.
    QPainter(this).fillRect(rect(), Qt::black);
}

// The surface and the render thread.

void StreamView::ensureSurface() {
    QWindow* host = windowHandle();
    // No native window (the view's is going: closing the top-level destroys it and tells the view so): a
    // surface shown now would be made inside the window being destroyed, which takes it along on the X
    // server while Qt still holds it as there. The view's next native window brings the surface back.
    if (!host || !internalWinId()) return;
    if (!surface_) {
        surface_ = new StreamSurface(host);
        surface_->onExposeChanged = [this] { publishSurface(true); };
        surface_->onGoing = [this] { detachSurface(); };
    } else if (surface_->parent() != host) {
        surface_->setParent(host);
    } else if (surface_->isVisible()) {
        publishSurface(false);
        return;
    }
    surface_->setGeometry(QRect(QPoint(0, 0), size()));
    surface_->show();
    // Beneath the panels laid over the picture, whichever native window was made first.
    surface_->lower();
    publishSurface(false);
}

void StreamView::publishSurface(bool redraw) {
    StreamSurface* surface = surface_ && surface_->drawable() ? surface_.data() : nullptr;
    // The surface fills the view.
    const double ratio = surface ? surface->devicePixelRatio() : devicePixelRatioF();
    const QSize pixels(static_cast<int>(std::lround(width() * ratio)), static_cast<int>(std::lround(height() * ratio)));
    const QSurfaceFormat format = surface ? surface->requestedFormat() : QSurfaceFormat();
    const WId window = surface ? surface->winId() : 0;
    const bool exposed = surface && surface->isExposed();
    const double refresh = refreshInterval();
    bool introduce = false;
    {
        std::lock_guard guard(renderLock);
        shared_.surface = surface;
        shared_.window = window;
        shared_.format = format;
        shared_.pixels = pixels;
        shared_.exposed = exposed;
        shared_.refresh = refresh;
        if (redraw) ++shared_.redraws;
        introduce = exposed && shared_.introduced != surface;
    }
    if (introduce)
        introduceSurface(surface);
    else if (redraw)
        renderWake.notify_one();
}

void StreamView::introduceSurface(QWindow* surface) {
    // The first picture on a new surface: this thread sends nothing over its X connection meanwhile.
    const double waitFrom = uptimeSeconds();
    onRenderThread([this, surface] {
        const Target target = currentTarget();
        if (target.surface == surface) {
            lastDrawAt_ = uptimeSeconds();
            if (render(target, true)) redrawsDone_ = std::max(redrawsDone_, target.redraws);
        }
        // Without a context nothing is drawn anywhere; a context not made current here may be at the next try.
        const bool met = glSurface_ == surface || glFailed_ || target.surface != surface;
        std::lock_guard guard(renderLock);
        if (met)
            shared_.introduced = surface;
        else
            shared_.failed = surface;
    });
    introductionWaited_ += uptimeSeconds() - waitFrom;
}

void StreamView::detachSurface() {
    {
        std::lock_guard guard(renderLock);
        shared_.surface = nullptr;
        shared_.exposed = false;
    }
    // The render thread finishes what it draws, then lets go; the window stays until this returns.
    onRenderThread([this] { releaseGL(); });
}

void StreamView::refuseMakeCurrent(int count) {
    onRenderThread([this, count] { refusals_ = count; });
}

QImage StreamView::grabFramebuffer() {
    updateLooks(false);
    QImage image;
    onRenderThread([&] { image = readBack(currentTarget()); });
    return image;
}

void StreamView::fadeAway(const QImage& image, const QRect& area, double seconds) {
    fade_ = Fade{image, area, clock_(), seconds};
    ++fadeGeneration_;
    updateLooks(true);
    if (fade_) fadeTimer_.start(milliseconds(refreshInterval()));
}

void StreamView::setOverlay(const QImage& image, const QRect& area) {
    if (image.isNull() || area.isEmpty()) {
        if (!overlay_) return;
        overlay_.reset();
    } else {
        overlay_ = Overlay{image, area};
        ++overlayGeneration_;
    }
    updateLooks(true);
}

void StreamView::updateLooks(bool redraw) {
    const double ratio = surface_ ? surface_->devicePixelRatio() : devicePixelRatioF();
    const auto pixels = [ratio](const QRect& area) {
        return QRectF(area.x() * ratio, area.y() * ratio, area.width() * ratio, area.height() * ratio);
    };
    std::optional<Look> overlay;
    if (overlay_) overlay = Look{overlay_->image, pixels(overlay_->area), 1, overlayGeneration_};
    std::optional<Look> fade;
    if (fade_) {
        const double elapsed = clock_() - fade_->start;
        if (elapsed >= fade_->seconds)
            fade_.reset();
        else
            fade = Look{fade_->image, pixels(fade_->area), static_cast<float>(1 - elapsed / fade_->seconds), fadeGeneration_};
    }
    if (!fade_) fadeTimer_.stop();
    {
        std::lock_guard guard(renderLock);
        shared_.overlay = std::move(overlay);
        shared_.fade = std::move(fade);
        if (redraw) ++shared_.redraws;
    }
    if (redraw) renderWake.notify_one();
}

}  // namespace corvane::stream
