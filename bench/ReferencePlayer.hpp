#pragma once
// The reference the picture path is measured against: the least a player needs to show a stream, drawing
// and dropping at its best. Its units come straight from the box as each picture leaves it (receive(), on
// the box's thread): no network, no assembly.
// - Queue: at most `queueLimit` units wait for the decoder, dropped by the engine's rule when it is full: a
//   keyframe replaces every waiting unit, another unit drops the ones in front of the newest waiting keyframe
//   (behind the first), and with none to skip to the unit is dropped, and so is every unit after it until a
//   keyframe, which it asks the box for (keyframeWanted()). A decode error asks for one too.
// - Decoding: libavcodec alone, on a thread of its own ("ref.decode", with the engine's software settings:
//   low delay, slice threads, as many as it likes); the newest picture goes to the render thread
//   ("ref.render"), replacing one not yet drawn.
// - Drawing: into a plain GL window, at most one picture a refresh by the stream view's rule (no sooner than
//   three quarters of a refresh interval after the last draw). The full-size plane and the two chroma planes
//   woven into one two-channel texture are uploaded, then one draw of one quad, no clear (it covers the
//   window): the full-size plane at its nearest texel when the picture is shown pixel for pixel (linear
//   otherwise), chroma linear, BT.601 video range (what the box signals) as constants of the shader.
//
// Main thread: make it, start(), let the box feed it while the event loop runs, stop(), read the results.
#include "platform/core/Bytes.hpp"

#include <QSize>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvane::bench {

class ReferencePlayer final {
public:
    // One picture drawn, seconds of the steady clock.
    struct Shown {
        std::uint32_t index = 0;  // the box's frame index
        double sentAt = 0;        // the box sent it
        double decodeStartedAt = 0;
        double decodedAt = 0;
        double tickAt = 0;  // the render thread took it
        double uploadedAt = 0;
        double swappedAt = 0;
    };

    struct Result {
        std::vector<Shown> shown;
        std::int64_t decoded = 0;
        std::int64_t dropped = 0;     // units dropped before the decoder
        double decodeCpuSeconds = 0;  // every thread of the decoder's, over the whole play
        double renderCpuSeconds = 0;  // the render thread's own
        double rasterCpuSeconds = 0;  // the software rasteriser's threads ("llvmpipe-*")
        bool drew = false;            // the GL window came up and drew
    };

    // A window of `size` on the current display, drawn at `refreshInterval` seconds.
    ReferencePlayer(QSize size, double refreshInterval, std::size_t queueLimit);
    ~ReferencePlayer();
    ReferencePlayer(const ReferencePlayer&) = delete;
    ReferencePlayer& operator=(const ReferencePlayer&) = delete;

    // Shows the window and starts the threads; false when the window did not come up within 10 s.
    bool start();
    // A unit as the box sent it (Annex B, parameter sets in front of keyframes); any thread. Copied.
    void receive(std::uint32_t index, ByteView unit, bool keyframe, double sentAt);
    // Whether a keyframe was asked for since the last call.
    bool keyframeWanted();
    // Whether a picture reached the screen yet.
    bool drewOnce() const;
    // Decodes and draws what waits, ends the threads (running the event loop meanwhile) and returns what
    // was shown. Call after the box stopped feeding it.
    Result stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::bench
