#include "engine/view/PictureUploader.hpp"

#include <system_error>
#include <utility>

#include <pthread.h>

namespace corvane::stream {

bool PictureUploader::start(std::unique_ptr<RenderConnection::SharingContext> context, PictureRenderer& renderer,
                            int drawn) {
    if (running() || !context) return false;
    std::unique_lock guard(lock_);
    context_ = std::move(context);
    renderer_ = &renderer;
    drawn_ = drawn < 0 ? 0 : drawn;
    current_.reset();
    quit_ = woken_ = heldBack_ = false;
    request_ = nullptr;
    done_.reset();
    taking_ = wanted_ = lastTaken_ = nullptr;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        current_ = false;  // no thread to be had: the render thread takes up the pictures itself
    }
    changed_.wait(guard, [this] { return current_.has_value(); });
    if (*current_) return true;
    guard.unlock();
    if (thread_.joinable()) thread_.join();
    guard.lock();
    context_.reset();
    renderer_ = nullptr;
    return false;
}

void PictureUploader::stop() {
    if (!running()) return;
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
    // Pictures are let go outside the lock.
    std::shared_ptr<const platform::PixelBuffer> request;
    std::optional<Done> done;
    {
        std::lock_guard guard(lock_);
        context_.reset();
        renderer_ = nullptr;
        request = std::exchange(request_, nullptr);
        done = std::exchange(done_, std::nullopt);
    }
}

void PictureUploader::wake() {
    {
        std::lock_guard guard(lock_);
        if (!renderer_ || quit_) return;
        woken_ = true;
    }
    changed_.notify_all();
}

void PictureUploader::holdBack(bool held) {
    {
        std::lock_guard guard(lock_);
        heldBack_ = held;
    }
    if (!held) changed_.notify_all();
}

std::optional<int> PictureUploader::take(const std::shared_ptr<const platform::PixelBuffer>& picture) {
    if (!picture) return std::nullopt;
    std::unique_lock guard(lock_);
    wanted_ = picture.get();
    const auto taken = [&] { return done_ && done_->picture == picture; };
    if (!taken() && taking_ != wanted_) {
        request_ = picture;
        changed_.notify_all();
    }
    changed_.wait(guard, taken);
    const Done done = *std::exchange(done_, std::nullopt);
    wanted_ = nullptr;
    drawn_ = done.set;
    guard.unlock();
    changed_.notify_all();
    // The picture's last holder may be this one: released outside the lock.
    return done.ok ? std::optional<int>(done.set) : std::nullopt;
}

void PictureUploader::run() {
    pthread_setname_np(pthread_self(), "corvane.upload");
    std::unique_lock guard(lock_);
    current_ = context_->makeCurrent();
    changed_.notify_all();
    if (!*current_) return;
    for (;;) {
        // Nothing new is taken up while what the render thread waits for lies ready.
        changed_.wait(guard, [this] {
            return quit_ || request_ ||
                   (woken_ && !heldBack_ && !(wanted_ && done_ && done_->picture.get() == wanted_));
        });
        if (quit_) break;
        std::shared_ptr<const platform::PixelBuffer> job = std::exchange(request_, nullptr);
        if (!job) {
            woken_ = false;
            guard.unlock();
            if (const std::optional<DecodedFrame> next = slot_.peek()) job = next->image;
            guard.lock();
            // Held back meanwhile: the frame waits until it is let go.
            if (heldBack_ && !request_) woken_ = true;
            // The render thread may have asked for another meanwhile: it goes first. A picture still to be
            // converted is left to the render thread, which converts what it takes for showing, and only that.
            if (request_ || heldBack_ || !job || !job->ready() || job.get() == lastTaken_) {
                guard.unlock();
                job.reset();  // pictures are let go outside the lock
                guard.lock();
                continue;
            }
        }
        // The spare set is written over: what it held is gone.
        std::optional<Done> over = std::exchange(done_, std::nullopt);
        const int set = PictureRenderer::pictureSets - 1 - drawn_;
        lastTaken_ = taking_ = job.get();
        PictureRenderer& renderer = *renderer_;
        guard.unlock();
        over.reset();
        const bool ok = job->plane(0).data && renderer.upload(*job, set);
        context_->flush();
        guard.lock();
        taking_ = nullptr;
        done_ = Done{job, set, ok};
        changed_.notify_all();
        guard.unlock();
        job.reset();
        guard.lock();
    }
    context_->release();
}

}  // namespace corvane::stream
