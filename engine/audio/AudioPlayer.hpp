#pragma once

#include "platform/audio/AudioOutput.hpp"
#include "platform/realtime/ThreadPriority.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace corvane::stream {

// A small jitter buffer in front of the sound output. It stays silent until `target` frames are buffered
// (priming), caps the buffer at `maxBuffered` frames by dropping the oldest audio, and nudges its fill
// level toward the target by repeating or dropping one frame of a packet. A render that runs dry plays
// what there is, then silence, and primes again.
//
// Threads: enqueue() on the media thread; render() on the audio thread (through the output, or called
// directly); start(), stop() and stats() on any thread. The ring (1 s, allocated here) and its position
// are guarded by `lock_`, held only to copy into or out of the ring; render() allocates nothing.
class AudioPlayer final {
public:
    struct Stats {
        std::int64_t underruns = 0;
        std::int64_t trimmedMs = 0;
        std::int64_t bufferedMs = 0;
        std::int64_t stretched = 0;
        std::int64_t squeezed = 0;
        bool operator==(const Stats&) const = default;
    };

    static constexpr std::int64_t framesPerMs = 48;
    static constexpr std::int64_t ringFrames = 48000;

    // Throws std::invalid_argument for a channel count outside 1...8, or a target or cap that does not
    // satisfy 0 < targetMs <= maxMs <= 1000.
    AudioPlayer(std::int64_t channels, std::int64_t targetMs, std::int64_t maxMs);
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Opens the sound output and starts pulling; throws platform::AudioOutput::Error when it cannot.
    void start();
    // Stops the output; the ring keeps being filled and trimmed by enqueue().
    void stop();

    // Interleaved floats of whole frames (a trailing partial frame is ignored).
    void enqueue(std::span<const float> samples);
    // Fills `frames` interleaved frames of `channels` floats.
    void render(float* out, std::int64_t frames);

    // Asks for sound's scheduling for the calling thread, the one that pulls render(), and logs what it got
    // ("audio: <thread name> thread <id>: ..."). The output does it on its thread before the first render;
    // whoever pulls render() on a thread of its own calls it there.
    static void prepareOutputThread();
    // Real-time above the media thread that fills the ring: a pull must never wait for it.
    static constexpr platform::ThreadPriority::Request outputScheduling{10, -15};

    Stats stats() const;

    const std::int64_t channels;
    const std::int64_t target;      // frames
    const std::int64_t maxBuffered; // frames

private:
    mutable std::mutex lock_;
    std::vector<float> ring_;
    std::int64_t readPos_ = 0;
    std::int64_t count_ = 0;
    bool priming_ = true;
    Stats stats_;
    // Written by enqueue outside the lock.
    std::atomic<std::int64_t> stretched_{0};
    std::atomic<std::int64_t> squeezed_{0};

    std::mutex outputLock_; // start and stop
    // Last, so it is stopped and gone before the ring it reads.
    std::unique_ptr<platform::AudioOutput> output_;
};

} // namespace corvane::stream
