#pragma once
// The reference the picture path is measured against: the least a player needs to show a stream. libavcodec
// alone decodes access units on a thread of its own ("ref.decode", with the engine's software settings: low
// delay, slice threads, as many as it likes), the newest picture goes to a render thread, which uploads its
// three planes into textures, draws one textured quad (a BT.709 Y'CbCr shader) into a plain GL window and
// swaps. It draws at most one picture a refresh by the same rule as the stream view: no sooner than three
// quarters of a refresh interval after the last draw. No network, no assembly, no queue but the decoder's.
//
// Main thread: make it, play(), read the results. It runs the event loop while it plays.
#include "platform/core/Bytes.hpp"

#include <QSize>

#include <cstdint>
#include <vector>

namespace corvane::bench {

class ReferencePlayer final {
public:
    struct Unit {
        Bytes data;  // Annex B, parameter sets in front of keyframes
        bool keyframe = false;
    };

    // One picture drawn, seconds of the steady clock.
    struct Shown {
        std::uint32_t index = 0;  // of the unit
        double sentAt = 0;        // the unit was due (and handed to the decoder if it was free)
        double decodeStartedAt = 0;
        double decodedAt = 0;
        double tickAt = 0;  // the render thread took it
        double uploadedAt = 0;
        double swappedAt = 0;
    };

    struct Result {
        std::vector<Shown> shown;
        std::int64_t decoded = 0;
        double decodeCpuSeconds = 0;  // every thread of the decoder's, over the whole play
        double renderCpuSeconds = 0;  // the render thread's own
        double rasterCpuSeconds = 0;  // the software rasteriser's threads ("llvmpipe-*")
        bool drew = false;            // the GL window came up and drew
    };

    // A window of `size` on the current display, drawn at `refreshInterval` seconds.
    ReferencePlayer(QSize size, double refreshInterval);
    ~ReferencePlayer();
    ReferencePlayer(const ReferencePlayer&) = delete;
    ReferencePlayer& operator=(const ReferencePlayer&) = delete;

    // Plays `units` at `fps`, each due 1/fps after the one before; returns once the last was drawn.
    Result play(const std::vector<Unit>& units, int fps);

private:
    QSize size_;
    double refreshInterval_;
};

}  // namespace corvane::bench
