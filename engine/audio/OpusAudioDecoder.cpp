#include "engine/audio/OpusAudioDecoder.hpp"

#include <algorithm>
#include <climits>

#include <opus_multistream.h>

namespace corvane::stream {

std::unique_ptr<OpusAudioDecoder> OpusAudioDecoder::make(const OpusLayout& layout) {
    if (layout.channels < 1 || layout.channels > 255 || layout.streams < 1 || layout.streams > 255 ||
        layout.coupled < 0 || layout.coupled > layout.streams ||
        layout.mapping.size() != static_cast<std::size_t>(layout.channels))
        return nullptr;
    int error = OPUS_OK;
    OpusMSDecoder* decoder = opus_multistream_decoder_create(sampleRate, static_cast<int>(layout.channels),
                                                             static_cast<int>(layout.streams),
                                                             static_cast<int>(layout.coupled),
                                                             layout.mapping.data(), &error);
    if (decoder == nullptr || error != OPUS_OK) {
        if (decoder != nullptr) opus_multistream_decoder_destroy(decoder);
        return nullptr;
    }
    return std::unique_ptr<OpusAudioDecoder>(new OpusAudioDecoder(layout.channels, decoder));
}

OpusAudioDecoder::OpusAudioDecoder(std::int64_t channels, OpusMSDecoder* decoder)
    : channels(channels), decoder_(decoder), buffer_(static_cast<std::size_t>(channels) * maxFrameSamples) {}

OpusAudioDecoder::~OpusAudioDecoder() { opus_multistream_decoder_destroy(decoder_); }

std::span<const float> OpusAudioDecoder::decode(std::optional<ByteView> packet) {
    int n;
    if (!packet || packet->empty()) {
        n = opus_multistream_decode_float(decoder_, nullptr, 0, buffer_.data(), frameSamples, 0);
    } else if (packet->size() > static_cast<std::size_t>(INT_MAX)) {
        n = OPUS_INVALID_PACKET;
    } else {
        n = opus_multistream_decode_float(decoder_, packet->data(), static_cast<opus_int32>(packet->size()),
                                          buffer_.data(), maxFrameSamples, 0);
    }
    if (n < 1) {
        n = frameSamples;
        std::fill_n(buffer_.begin(), static_cast<std::size_t>(channels) * frameSamples, 0.0f);
    }
    return std::span<const float>(buffer_.data(), static_cast<std::size_t>(n) * static_cast<std::size_t>(channels));
}

} // namespace corvane::stream
