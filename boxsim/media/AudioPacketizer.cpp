#include "boxsim/media/AudioPacketizer.hpp"

#include <algorithm>

#include <isa-l/erasure_code.h>

namespace corvane::boxsim {
namespace {

void put16be(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put32be(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

} // namespace

AudioPacketizer::AudioPacketizer(std::uint16_t firstSequence, std::uint32_t ssrc)
    : sequence_(static_cast<std::uint16_t>(firstSequence & ~3u)), ssrc_(ssrc) {}

std::vector<Bytes> AudioPacketizer::packetize(ByteView opusPacket) {
    std::vector<Bytes> out;
    if (opusPacket.empty()) return out;
    const std::uint16_t sequence = sequence_++;
    const std::uint32_t timestamp = timestamp_;
    timestamp_ += samplesPerPacket;
    const int position = sequence & 3;
    if (position == 0) blockTimestamp_ = timestamp;

    Bytes datagram(12 + opusPacket.size());
    datagram[0] = 0x80;
    datagram[1] = 97;
    put16be(&datagram[2], sequence);
    put32be(&datagram[4], timestamp);
    put32be(&datagram[8], ssrc_);
    std::copy(opusPacket.begin(), opusPacket.end(), datagram.begin() + 12);
    out.push_back(std::move(datagram));
    block_[static_cast<std::size_t>(position)].assign(opusPacket.begin(), opusPacket.end());
    if (position != 3) return out;

    // The block is whole: two parity rows over its four packets, zero-padded to the longest.
    std::size_t length = 0;
    for (const Bytes& b : block_) length = std::max(length, b.size());
    for (Bytes& b : block_) b.resize(length, 0);
    unsigned char matrix[8];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 4; ++j) matrix[i * 4 + j] = parityRows[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
    unsigned char tables[32 * 4 * 2];
    ec_init_tables(4, 2, matrix, tables);
    unsigned char* sources[4];
    for (int j = 0; j < 4; ++j) sources[j] = block_[static_cast<std::size_t>(j)].data();
    const std::uint16_t base = static_cast<std::uint16_t>(sequence - 3);
    Bytes parity[2] = {Bytes(24 + length, 0), Bytes(24 + length, 0)};
    unsigned char* targets[2] = {parity[0].data() + 24, parity[1].data() + 24};
    ec_encode_data(static_cast<int>(length), 4, 2, tables, sources, targets);
    for (int i = 0; i < 2; ++i) {
        std::uint8_t* d = parity[i].data();
        d[0] = 0x80;
        d[1] = 127;
        put16be(d + 2, paritySequence_++);
        put32be(d + 4, blockTimestamp_);
        put32be(d + 8, ssrc_);
        d[12] = static_cast<std::uint8_t>(i);
        d[13] = 97;
        put16be(d + 14, base);
        put32be(d + 16, blockTimestamp_);
        put32be(d + 20, ssrc_);
        out.push_back(std::move(parity[i]));
    }
    for (Bytes& b : block_) b.clear();
    return out;
}

} // namespace corvane::boxsim
