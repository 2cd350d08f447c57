#pragma once

#include "boxsim/media/AudioLayout.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <memory>

namespace corvane::boxsim {

// The box's sound: a steady sine tone on every channel (each channel its own pitch), encoded with the
// libopus multistream encoder in the announced layout, 48 kHz, 5 ms per packet, at a constant bitrate so
// that every packet has the same size (the audio parity needs equal lengths).
//
// Not thread-safe: one thread encodes.
class AudioSource final {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int frameSamples = 240;  // 5 ms per channel

    // bitrate 0: 64 kbit/s per coupled stream and 48 kbit/s per single one. Throws corvane::Error when
    // libopus refuses the layout.
    explicit AudioSource(AudioLayout layout, int bitrate = 0);
    ~AudioSource();
    AudioSource(const AudioSource&) = delete;
    AudioSource& operator=(const AudioSource&) = delete;

    // The next 5 ms as one Opus packet.
    Bytes next();

    const AudioLayout& layout() const { return layout_; }
    // The pitch of an input channel in Hz.
    static double toneHz(int channel);

private:
    AudioLayout layout_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace corvane::boxsim
