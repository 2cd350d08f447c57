// The stream view's render thread: its GL context, the uploads, the drawing and the swaps.
#include "engine/view/StreamView.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWindow>

#include "engine/EngineLog.hpp"
#include "engine/Uptime.hpp"
#include "engine/view/RenderConnectionPool.hpp"

namespace corvane::stream {

namespace {

using platform::PixelBuffer;

std::chrono::steady_clock::time_point uptimePoint(double seconds) {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace

void StreamView::renderLoop() {
    pthread_setname_np(pthread_self(), "corvane.view");
    std::unique_lock guard(renderLock);
    for (;;) {
        if (shared_.job) {
            const Shared::Job job = *std::exchange(shared_.job, std::nullopt);
            guard.unlock();
            inJob_ = true;
            job.run(job.argument);
            inJob_ = false;
            guard.lock();
            ++shared_.jobsDone;
            jobDone.notify_all();
            continue;
        }
        if (shared_.quit) break;
        // At most one picture a refresh, frame or redraw: no sooner than most of a refresh interval after the
        // last (a screen without vsync swaps as fast as it is asked to). Paced frames wait in the slot a
        // refresh each.
        const double now = uptimeSeconds();
        // A surface on screen that GL has not met yet waits for the main thread's job that introduces it.
        const bool awaiting = shared_.exposed && shared_.surface && shared_.introduced != shared_.surface;
        const bool look = !awaiting && shared_.running && (shared_.framePut || (pacedAt_ && now >= *pacedAt_));
        const bool redraw = !awaiting && shared_.redraws > redrawsDone_;
        // One whose introduction failed is tried again when there is something to draw, at most once a refresh.
        const bool retry = awaiting && shared_.failed == shared_.surface &&
                           (shared_.framePut || shared_.redraws > redrawsDone_);
        const double earliest = lastDrawAt_ + 0.75 * shared_.refresh;
        std::optional<double> wakeAt;
        if ((look || redraw || retry) && now < earliest) {
            wakeAt = earliest;
        } else if (retry) {
            // Asked once: the next try's failure asks again.
            shared_.failed = nullptr;
            shared_.reintroduce = true;
            lastDrawAt_ = now;
            const bool wake = !std::exchange(shared_.wakePending, true);
            guard.unlock();
            wakeMainThread(wake);
            guard.lock();
            continue;
        } else if (look) {
            shared_.framePut = false;
            pacedAt_.reset();
            const Target target = targetLocked();
            guard.unlock();
            takeAndDraw(target);
            guard.lock();
            continue;
        } else if (redraw) {
            const Target target = targetLocked();
            guard.unlock();
            lastDrawAt_ = now;
            render(target, true);
            guard.lock();
            redrawsDone_ = std::max(redrawsDone_, target.redraws);
            continue;
        } else if (!awaiting && shared_.running && pacedAt_) {
            wakeAt = *pacedAt_;
        }
        if (wakeAt)
            renderWake.wait_until(guard, uptimePoint(*wakeAt));
        else
            renderWake.wait(guard);
    }
    guard.unlock();
    releaseGL();
#ifdef __GLIBC__
    // The view goes when its stream window closes: what the stream's many threads freed (the decoder's, the
    // GL's, this one's) stays with the allocator's per-thread arenas, each keeping its own, and the process
    // would grow with every opening. Handed back to the system here, once a window (a few milliseconds).
    malloc_trim(0);
#endif
}

StreamView::Target StreamView::targetLocked() const {
    return Target{shared_.exposed ? shared_.surface : nullptr, shared_.window, shared_.format, shared_.pixels,
                  shared_.refresh, shared_.overlay, shared_.fade, shared_.redraws};
}

StreamView::Target StreamView::currentTarget() {
    std::lock_guard guard(renderLock);
    return targetLocked();
}

void StreamView::takeAndDraw(const Target& target) {
    const double takenAt = uptimeSeconds();
    const bool paced = slot_.pacing();
    const std::optional<DecodedFrame> frame = slot_.next();
    if (paced && frame) pacedAt_ = takenAt + target.refresh;
    // Reading the planes of a picture in a layout the view does not draw converts it, here and only here.
    if (!claim(frame) || !frame->image || !frame->image->plane(0).data) return;
    lastDrawAt_ = takenAt;
    Shown shown{*frame,
                Presented{frame->frameIndex, frame->firstPacketAt, frame->assembledAt, frame->queuedAt,
                          frame->decodeStartedAt, frame->decodedAt, takenAt, 0, 0, frame->queuedBehind},
                false};
    shown.drawn = present(*frame, target, shown.timing);
    if (shown.drawn) redrawsDone_ = std::max(redrawsDone_, target.redraws);

    // Released after the lock, so a picture's last reference never drops under it.
    std::shared_ptr<const PixelBuffer> released;
    bool wake = false;
    {
        std::lock_guard guard(renderLock);
        shared_.shown.push_back(std::move(shown));
        if (shared_.shown.size() > picturesHanded)
            released = std::move(shared_.shown[shared_.shown.size() - 1 - picturesHanded].frame.image);
        wake = !std::exchange(shared_.wakePending, true);
    }
    wakeMainThread(wake);
}

void StreamView::wakeMainThread(bool wake) {
    if (wake && wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }
}

bool StreamView::present(const DecodedFrame& frame, const Target& target, Presented& timing) {
    if (frame.image->highDynamicRange()) {
        showHDR(frame);
    } else {
        hdrActive = false;
        current = frame;
        uploadPending = true;
    }
    return render(target, true, &timing);
}

bool StreamView::makeCurrent(const Target& target) {
    // Making the context, and making it current on a window for the first time, has the GL library look the
    // window up over the main thread's X connection, and it reads that reply outside Xlib's lock: any reply
    // the main thread reads meanwhile leaves Xlib's queue broken, which aborts the process. So those happen
    // only in a job, while the main thread waits; the context stays current on its window until released,
    // and making it current there again sends nothing.
    if (!inJob_ && (!context_ || glSurface_ != target.surface)) return false;
    if (!context_) {
        if (glFailed_) return false;
        auto context = std::make_unique<QOpenGLContext>();
        context->setFormat(target.format);
        if (!context->create()) {
            // Nothing can be shown; trying again at every frame would not change that.
            glFailed_ = true;
            return false;
        }
        context_ = std::move(context);
    }
    if (refusals_ > 0 && glSurface_ != target.surface) {
        --refusals_;
        return false;
    }
    if (connection_) {
        if (!connection_->makeCurrent(target.window)) return false;
    } else {
        if (!context_->makeCurrent(target.surface)) return false;
        if (inJob_ && !connectionTried_) {
            // From here on the render thread draws through a connection of its own, where there is one: the
            // one an earlier view drew through, where it suits.
            RenderConnection::Refusal refusal = RenderConnection::Refusal::unavailable;
            connection_ = RenderConnectionPool::take(*context_, target.window, &refusal);
            if (!connection_ && refusal == RenderConnection::Refusal::windowGone) {
                // Its window is being destroyed: nothing is drawn there, and whatever surface comes next still
                // gets a connection of its own. Only where none can be had at all does the app's serve.
                context_->doneCurrent();
                return false;
            }
            connectionTried_ = true;
            if (!connection_ && QGuiApplication::platformName() == QLatin1String("xcb"))
                EngineLog::write("video: the view draws through the app's X connection: it could not open one of its own");
        }
    }
    glSurface_ = target.surface;
    return true;
}

bool StreamView::render(const Target& target, bool swap, Presented* timing) {
    if (!target.surface || !makeCurrent(target)) return false;
    if (!renderer_->initialized()) {
        renderer_->initialize();
        uploadPending = true;
        overlayShown_ = 0;
        fadeShown_ = 0;
    }
    if (connection_ && !uploaderTried_) {
        uploaderTried_ = true;
        if (!uploader_.start(*connection_, *renderer_, renderer_->shown()))
            EngineLog::write("video: the view takes up pictures on its render thread: no second GL context could be made");
    }
    if (uploadPending) {
        uploadPending = false;
        if (!current || !current->image) {
            renderer_->forget();
        } else if (uploader_.running()) {
            const std::optional<int> set = uploader_.take(current->image);
            if (set)
                renderer_->show(*set);
            else
                renderer_->forget();
        } else {
            renderer_->upload(*current->image);
        }
    }
    if (timing) timing->uploadedAt = uptimeSeconds();
    // A software rasteriser wants every core while it draws the frame: the next picture is taken up ahead
    // only once this frame is drawn, while it goes to the window system.
    const bool holding = swap && uploader_.running();
    if (holding) uploader_.holdBack(true);
    renderer_->draw(target.pixels);
    lay(target.overlay, overlayLayer, overlayShown_, target.pixels);
    lay(target.fade, fadeLayer, fadeShown_, target.pixels);
    if (!swap) return true;
    if (holding) {
        renderer_->finish();
        uploader_.holdBack(false);
    }
    // Blocks until the rasteriser has drawn the frame and it went to the window system: on this thread
    // only, never the main thread's.
    if (connection_)
        connection_->swapBuffers();
    else
        context_->swapBuffers(target.surface);
    if (timing) timing->swappedAt = uptimeSeconds();
    return true;
}

void StreamView::lay(const std::optional<Look>& look, int layer, std::uint64_t& shown, QSize pixels) {
    if (!look) {
        if (shown != 0) renderer_->setOverlay(layer, QImage());
        shown = 0;
        return;
    }
    if (shown != look->generation) {
        renderer_->setOverlay(layer, look->image);
        shown = look->generation;
    }
    renderer_->drawOverlay(layer, pixels, look->area, look->opacity);
}

QImage StreamView::readBack(const Target& target) {
    if (!render(target, false)) return QImage();
    const int w = target.pixels.width();
    const int h = target.pixels.height();
    QImage image(w, h, QImage::Format_RGBA8888);
    QOpenGLFunctions* gl = context_->functions();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    // OpenGL's rows run from the bottom up.
    return image.mirrored().convertToFormat(QImage::Format_RGB32);
}

void StreamView::releaseGL() {
    // Its context shares the renderer's textures.
    uploader_.stop();
    uploaderTried_ = false;
    if (context_) {
        // A connection of its own stays, for the next view: its context lets go of the surface here, while
        // the window is still there, and then of what the renderer made in it.
        const bool current = connection_ ? connection_->leaveWindow() : glSurface_ && context_->makeCurrent(glSurface_);
        if (current) renderer_->release();
        // One whose context could not be made current keeps what the renderer made: it is closed, not kept.
        if (connection_ && !current) std::unique_ptr<RenderConnection>(connection_.release());
        connection_.reset();
        if (current) context_->doneCurrent();
        context_.reset();
    }
    connectionTried_ = false;
    // What the renderer could not release without its context went with the context.
    if (renderer_->initialized()) {
        renderer_.reset();
        renderer_.emplace();
    }
    glSurface_ = nullptr;
    overlayShown_ = 0;
    fadeShown_ = 0;
    std::lock_guard guard(renderLock);
    shared_.introduced = nullptr;
}

}  // namespace corvane::stream
