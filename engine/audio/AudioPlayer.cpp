#include "engine/audio/AudioPlayer.hpp"

#include "engine/EngineLog.hpp"
#include "engine/session/MediaSocket.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include <pthread.h>

namespace corvane::stream {

AudioPlayer::AudioPlayer(std::int64_t channels, std::int64_t targetMs, std::int64_t maxMs)
    : channels(channels), target(targetMs * framesPerMs), maxBuffered(maxMs * framesPerMs) {
    if (channels < 1 || channels > 8) throw std::invalid_argument("audio player: channel count outside 1...8");
    if (targetMs <= 0 || targetMs > maxMs || maxMs > 1000)
        throw std::invalid_argument("audio player: target and cap must satisfy 0 < target <= cap <= 1000 ms");
    ring_.assign(static_cast<std::size_t>(channels * ringFrames), 0.0f);
}

AudioPlayer::~AudioPlayer() { stop(); }

void AudioPlayer::start() {
    std::lock_guard guard(outputLock_);
    if (!output_) {
        output_ = std::make_unique<platform::AudioOutput>(
            static_cast<int>(channels), [this](float* out, int frames) { render(out, frames); });
        output_->onThreadStart = &AudioPlayer::prepareOutputThread;
    }
    output_->start();
    EngineLog::write("audio: playing " + std::to_string(channels) + " channels at 48 kHz (start after " +
                     std::to_string(target / framesPerMs) + " ms, cap " + std::to_string(maxBuffered / framesPerMs) +
                     " ms)");
}

// A pull that waited for the thread filling the ring would run dry the moment it was late.
static_assert(AudioPlayer::outputScheduling.realtime > MediaSocket::scheduling.realtime);

void AudioPlayer::prepareOutputThread() {
    const auto grant = platform::ThreadPriority::raiseCallingThread(outputScheduling);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    EngineLog::write("audio: " + std::string(name) + " thread " + std::to_string(grant.thread) + ": " +
                     grant.description());
}

void AudioPlayer::stop() {
    std::lock_guard guard(outputLock_);
    if (output_) output_->stop();
}

void AudioPlayer::render(float* out, std::int64_t n) {
    if (n <= 0) return;
    std::lock_guard guard(lock_);
    const std::int64_t avail = priming_ ? 0 : std::min(count_, n);

    // At most two runs: up to the ring's end, then from its start.
    std::int64_t done = 0;
    while (done < avail) {
        const std::int64_t position = (readPos_ + done) % ringFrames;
        const std::int64_t run = std::min(avail - done, ringFrames - position);
        std::memcpy(out + done * channels, ring_.data() + position * channels,
                    static_cast<std::size_t>(run * channels) * sizeof(float));
        done += run;
    }
    std::fill(out + avail * channels, out + n * channels, 0.0f);

    readPos_ = (readPos_ + avail) % ringFrames;
    count_ -= avail;
    if (priming_ || avail == n) return;
    // Ran dry while playing: silence until the target is rebuilt. Only a render that found some audio
    // counts as an underrun.
    if (avail >= 1) ++stats_.underruns;
    priming_ = true;
}

void AudioPlayer::enqueue(std::span<const float> samples) {
    std::int64_t m = static_cast<std::int64_t>(samples.size()) / channels;
    if (m <= 0) return;
    std::int64_t count;
    bool priming;
    {
        std::lock_guard guard(lock_);
        count = count_;
        priming = priming_;
    }

    // Nudge the fill level toward the target by one frame of this packet: repeat its last frame when
    // running low, drop it when running high (never from a packet of one or two frames).
    bool repeatLast = false;
    if (!priming && count < target / 2) {
        repeatLast = true;
        stretched_.fetch_add(1, std::memory_order_relaxed);
    } else if (count > 2 * target && m > 2) {
        --m;
        squeezed_.fetch_add(1, std::memory_order_relaxed);
    }

    // A packet longer than the cap keeps only its newest frames.
    std::int64_t skipFrames = 0;
    std::int64_t total = m + (repeatLast ? 1 : 0);
    if (total > maxBuffered) {
        skipFrames = total - maxBuffered;
        total = maxBuffered;
    }
    const float* source = samples.data();
    const float* lastFrame = source + (m - 1) * channels;

    std::lock_guard guard(lock_);
    if (count_ + total > maxBuffered) {
        const std::int64_t d = std::min(count_ + total - target, count_);
        readPos_ = (readPos_ + d) % ringFrames;
        count_ -= d;
        stats_.trimmedMs += d / framesPerMs;
    }
    for (std::int64_t j = 0; j < total; ++j) {
        const std::int64_t frame = skipFrames + j;
        const float* from = frame < m ? source + frame * channels : lastFrame;
        const std::int64_t position = (readPos_ + count_ + j) % ringFrames;
        std::memcpy(ring_.data() + position * channels, from, static_cast<std::size_t>(channels) * sizeof(float));
    }
    count_ += total;
    if (priming_ && count_ >= target) priming_ = false;
}

AudioPlayer::Stats AudioPlayer::stats() const {
    std::lock_guard guard(lock_);
    Stats result = stats_;
    result.bufferedMs = count_ / framesPerMs;
    result.stretched = stretched_.load(std::memory_order_relaxed);
    result.squeezed = squeezed_.load(std::memory_order_relaxed);
    return result;
}

} // namespace corvane::stream
