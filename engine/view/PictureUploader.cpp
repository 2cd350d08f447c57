#include "engine/view/PictureUploader.hpp"

#include <system_error>
#include <utility>

#include <pthread.h>

namespace corvane::stream {

bool PictureUploader::start(RenderConnection& connection, PictureRenderer& renderer, int drawn) {
    if (running()) return false;
    RenderConnection::SharingContext* const context = connection.sharingContext();
    if (!context) return false;
    std::unique_lock guard(lock_);
    connection_ = &connection;
    context_ = context;
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
    connection_ = nullptr;
    context_ = nullptr;
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
    // Pictures are let go outside the lock; the thread deleted the fence of a set not taken.
    std::shared_ptr<const platform::PixelBuffer> request;
    std::optional<Done> done;
    {
        std::lock_guard guard(lock_);
        connection_ = nullptr;
        context_ = nullptr;
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
        asked();
    }
    changed_.notify_all();
}

void PictureUploader::holdBack(bool held) {
    {
        std::lock_guard guard(lock_);
        heldBack_ = held;
        if (!held) asked();
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
        asked();
        changed_.notify_all();
    }
    changed_.wait(guard, taken);
    const Done done = *std::exchange(done_, std::nullopt);
    wanted_ = nullptr;
    drawn_ = done.set;
    RenderConnection& connection = *connection_;
    guard.unlock();
    changed_.notify_all();
    // Issued in this thread's context: the draws of the set come after it; the fence goes.
    if (connection.waitFor(done.fence)) waited_.fetch_add(1, std::memory_order_relaxed);
    // The picture's last holder may be this one: released outside the lock.
    return done.ok ? std::optional<int>(done.set) : std::nullopt;
}

PictureUploader::Fences PictureUploader::fences() const {
    std::lock_guard guard(lock_);
    Fences fences = fences_;
    fences.waited = waited_.load(std::memory_order_relaxed);
    fences.deleted += fences.waited;
    return fences;
}

void PictureUploader::settle() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return looked_ == asked_ || quit_ || !renderer_; });
}

void PictureUploader::run() {
    pthread_setname_np(pthread_self(), "corvane.upload");
    std::unique_lock guard(lock_);
    current_ = context_->makeCurrent();
    changed_.notify_all();
    if (!*current_) return;
    // Nothing new is taken up while what the render thread waits for lies ready.
    const auto due = [this] {
        return quit_ || request_ || (woken_ && !heldBack_ && !(wanted_ && done_ && done_->picture.get() == wanted_));
    };
    for (;;) {
        while (!due()) {
            looked_ = asked_;
            changed_.notify_all();
            changed_.wait(guard);
        }
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
        // The spare set is written over: what it held is gone, its fence with it.
        std::optional<Done> over = std::exchange(done_, std::nullopt);
        if (over && over->fence) ++fences_.deleted;
        const int set = PictureRenderer::pictureSets - 1 - drawn_;
        lastTaken_ = taking_ = job.get();
        PictureRenderer& renderer = *renderer_;
        guard.unlock();
        if (over) context_->discard(over->fence);
        over.reset();
        const bool ok = job->plane(0).data && renderer.upload(*job, set);
        const RenderConnection::Fence fence = context_->fence();
        guard.lock();
        if (fence) ++fences_.made;
        taking_ = nullptr;
        done_ = Done{job, set, ok, fence};
        changed_.notify_all();
        guard.unlock();
        job.reset();
        guard.lock();
    }
    // The set not taken: nobody waits on its fence.
    const RenderConnection::Fence left = done_ ? std::exchange(done_->fence, nullptr) : nullptr;
    if (left) ++fences_.deleted;
    guard.unlock();
    context_->discard(left);
    context_->release();
}

}  // namespace corvane::stream
