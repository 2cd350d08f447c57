#pragma once

#include "platform/core/Error.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace corvane::platform {

// The sound output of one stream: an SDL audio device at 48 kHz with 32-bit float samples, interleaved by
// channel, fed by a pull callback on SDL's audio thread (named "corvane.audio"). For 6 and 8 channels the
// channel order is the usual 5.1 / 7.1 one: front left, front right, centre, LFE, back left, back right
// (then side left, side right). When the device cannot play the format, SDL converts it.
//
// `render(out, frames)` must fill `frames` whole frames (frames x channels floats) and must not block for
// long or allocate: it runs on the real-time audio thread. Each call asks for at most maxFramesPerRender
// frames. `onThreadStart`, when set (before start()), runs on that thread before its first render, once per
// start(): the place to ask for the thread's scheduling. start() and stop() are for the owner's thread;
// after stop() (or destruction) returns, neither callback runs any more.
class AudioOutput final {
public:
    using Render = std::function<void(float* interleaved, int frames)>;

    class Error final : public corvane::Error {
    public:
        using corvane::Error::Error;
    };

    static constexpr int sampleRate = 48000;
    static constexpr int maxFramesPerRender = 512;

    // Throws std::invalid_argument for a channel count outside 1...8 or an empty callback.
    AudioOutput(int channels, Render render);
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Opens the default output device and starts pulling. Throws Error with SDL's reason when the audio
    // system or the device cannot be opened; nothing is left open then. A second call does nothing.
    void start();
    // Stops pulling and closes the device. Safe at any time and more than once.
    void stop();

    int channels() const { return channels_; }
    bool running() const { return device_ != 0; }

    std::function<void()> onThreadStart;

private:
    static void callback(void* self, std::uint8_t* stream, int bytes);

    const int channels_;
    const Render render_;
    std::uint32_t device_ = 0;
    bool named_ = false; // audio thread only
};

} // namespace corvane::platform
