#pragma once

#include "engine/audio/OpusLayout.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct OpusMSDecoder;

namespace corvane::stream {

// One libopus multistream decoder at 48 kHz for a layout. Turns each packet, or each lost packet, into
// interleaved 32-bit float samples in the layout's channel order. Keeps libopus's state between packets
// (concealment draws on it) for its whole life. Used by one thread at a time (the media thread).
class OpusAudioDecoder final {
public:
    static constexpr int sampleRate = 48000;
    // Samples per channel of one concealed or silent frame: 5 ms.
    static constexpr int frameSamples = 240;
    // The longest Opus packet, 120 ms.
    static constexpr int maxFrameSamples = 5760;

    // None when libopus refuses the layout (or its mapping does not have one entry per channel).
    static std::unique_ptr<OpusAudioDecoder> make(const OpusLayout& layout);
    ~OpusAudioDecoder();
    OpusAudioDecoder(const OpusAudioDecoder&) = delete;
    OpusAudioDecoder& operator=(const OpusAudioDecoder&) = delete;

    // Never fails: an absent or empty packet is concealed as 5 ms from the decoder's history; a packet
    // libopus cannot decode gives 5 ms of silence, so the player's clock keeps running. The samples live in
    // the decoder's own buffer until the next call: nothing is allocated per packet.
    std::span<const float> decode(std::optional<ByteView> packet);

    const std::int64_t channels;

private:
    OpusAudioDecoder(std::int64_t channels, OpusMSDecoder* decoder);

    OpusMSDecoder* decoder_;
    std::vector<float> buffer_; // channels x maxFrameSamples, reused
};

} // namespace corvane::stream
