#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/view/FrameSlot.hpp"
#include "engine/view/PictureRenderer.hpp"
#include "engine/view/RenderConnection.hpp"

namespace corvane::stream {

// Takes the next picture's planes into the renderer's spare set of textures, on a thread and GL context of
// its own, while the render thread draws and swaps the picture before. With a software rasteriser a swap
// blocks its thread until the frame is rasterised and sent, so on the render thread alone the upload (a
// tenth of its cycle at 4K) could never overlap it.
//
// The render thread starts and stops it and takes each picture it draws through it; a frame put in the slot
// wakes it from any thread. It writes only the set the render thread does not draw. Each upload ends in a
// fence, which the render thread's context waits for before it draws that set: until the upload is
// complete, a context running apart from this one could still read the textures half written.
class PictureUploader final {
public:
    explicit PictureUploader(FrameSlot& slot) : slot_(slot) {}
    ~PictureUploader() { stop(); }
    PictureUploader(const PictureUploader&) = delete;
    PictureUploader& operator=(const PictureUploader&) = delete;

    // Render thread, with `renderer` initialised in `connection`'s context, current there, drawing set
    // `drawn` (or none, -1). Waits until the connection's sharing context is current on the new thread;
    // false, with nothing started, when there is none or it cannot be made so. The connection stays until
    // stop().
    bool start(RenderConnection& connection, PictureRenderer& renderer, int drawn);
    // Render thread: waits for an upload under way; the thread ends and lets go of the sharing context.
    void stop();
    bool running() const { return thread_.joinable(); }

    // Any thread: the slot may hold a frame not taken up yet. Does not block.
    void wake();
    // Render thread: while held back, the thread takes up nothing of its own accord (what the render thread
    // asks for in take() it still does); a frame that came meanwhile is taken up once let go.
    void holdBack(bool held);
    // Render thread: the set holding `picture`'s planes (taken up now, on the uploader's thread, unless they
    // already were), which the render thread draws from now on; none when they cannot be drawn. What its
    // context issues from now on waits for the upload's fence.
    std::optional<int> take(const std::shared_ptr<const platform::PixelBuffer>& picture);

    // The fences of the uploads so far: each upload makes one, which the render thread waits for when it
    // takes the set, and which is deleted once waited for or once the set is written over or the thread
    // ends. Any thread.
    struct Fences {
        std::uint64_t made = 0;
        std::uint64_t waited = 0;
        std::uint64_t deleted = 0;
    };
    Fences fences() const;
    // Any thread: returns once the thread has looked at everything asked of it so far (frames woken for,
    // pictures asked for, being let go) and waits with nothing to do, or is not running.
    void settle();

private:
    void run();

    // Under lock_: the things asked of the thread so far, and how many of them it had seen when it last
    // found nothing to do.
    void asked() { ++asked_; }

    FrameSlot& slot_;
    std::thread thread_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    // Under lock_.
    RenderConnection* connection_ = nullptr;
    RenderConnection::SharingContext* context_ = nullptr;
    PictureRenderer* renderer_ = nullptr;
    std::uint64_t asked_ = 0;
    std::uint64_t looked_ = 0;
    Fences fences_;  // but for `waited`, and the deletions of those fences
    std::atomic<std::uint64_t> waited_{0};  // render thread: counted once its context waits (no lock per frame)
    std::optional<bool> current_;  // whether the thread made its context current, once it tried
    bool quit_ = false;
    bool woken_ = false;
    bool heldBack_ = false;
    int drawn_ = 0;
    std::shared_ptr<const platform::PixelBuffer> request_;  // the render thread's, before anything of the slot's
    // Pictures by address, never read through: the one being taken up, the one the render thread waits for,
    // the last taken up (not taken up twice in a row).
    const platform::PixelBuffer* taking_ = nullptr;
    const platform::PixelBuffer* wanted_ = nullptr;
    const platform::PixelBuffer* lastTaken_ = nullptr;
    struct Done {
        std::shared_ptr<const platform::PixelBuffer> picture;  // held, so it is told apart from any later one
        int set = 0;
        bool ok = false;
        RenderConnection::Fence fence = nullptr;  // the upload's end
    };
    std::optional<Done> done_;
};

}  // namespace corvane::stream
