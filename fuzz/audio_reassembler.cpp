// Arbitrary datagrams into the audio reassembler and on into a stereo Opus decoder: nothing may crash,
// read out of bounds or grow without limit, whatever the sequence numbers, parity bases and lengths.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/audio/AudioReassembler.hpp"
#include "engine/audio/OpusAudioDecoder.hpp"

using namespace corvane::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto decoder = OpusAudioDecoder::make(OpusLayout::stereo);
    AudioReassembler reassembler;
    std::int64_t handed = 0;
    reassembler.onFrame = [&](std::optional<corvane::ByteView> payload) {
        ++handed;
        if (payload && payload->size() > AudioReassembler::maxPayload) std::abort();
        const auto samples = decoder->decode(payload);
        if (samples.empty() || samples.size() % 2 != 0) std::abort();
    };

    // Each datagram: a length byte, then that many bytes. Unless bit 1 of its first byte is set, its
    // payload type is forced to audio or parity (bit 0), so the interesting paths are reached often.
    std::size_t at = 0;
    std::vector<std::uint8_t> datagram;
    while (at < size) {
        const std::size_t length = data[at++];
        const std::size_t n = std::min(length, size - at);
        datagram.assign(data + at, data + at + n);
        at += n;
        if (n >= 2 && !(datagram[0] & 2)) datagram[1] = (datagram[0] & 1) ? 97 : 127;
        reassembler.add(datagram);
        if (reassembler.pendingCount() > reassembler.reorderWindow + 1u) std::abort();
        if (reassembler.blockCount() > AudioReassembler::maxBlocks) std::abort();
    }
    // Every hand-on is a payload (frames) or a concealment (some of lost).
    const auto stats = reassembler.stats();
    if (handed < stats.frames || handed > stats.frames + stats.lost) std::abort();
    return 0;
}
