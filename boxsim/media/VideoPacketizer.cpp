#include "boxsim/media/VideoPacketizer.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <isa-l/erasure_code.h>

#include "platform/core/Error.hpp"

namespace corvane::boxsim {
namespace {

constexpr int kMaxShards = 255;            // data + parity of one block, the limit of a GF(2^8) code
constexpr int kMaxBlocks = 4;              // two bits name the frame's last block
constexpr int kMaxFieldDataShards = 1023;  // ten bits of fecInfo

void put16le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32le(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put16be(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void put32be(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Parity shards a receiver derives from a block's data count and percent: the percent of the data count,
// rounded up.
int parityFromPercent(int data, int percent) { return (percent * data + 99) / 100; }

} // namespace

VideoPacketizer::VideoPacketizer(Options options) : options_(options) {
    if (options_.packetSize < 1 || options_.packetSize > 65000)
        throw Error("boxsim: video packet size " + std::to_string(options_.packetSize) + " is not 1 to 65000");
    if (options_.parityPercent < 0 || options_.parityPercent > 255)
        throw Error("boxsim: video parity percent " + std::to_string(options_.parityPercent) + " is not 0 to 255");
    if (options_.minParityShards < 0 || options_.minParityShards > 254 || options_.maxDataShardsPerBlock < 0)
        throw Error("boxsim: bad video parity shard limits");
}

VideoPacketizer::VideoPacketizer(int packetSize, int parityPercent)
    : VideoPacketizer(Options{packetSize, parityPercent, 2, 0}) {}

std::vector<VideoPacketizer::Block> VideoPacketizer::planBlocks(std::size_t packets) const {
    // The percent sent for a block of `data` shards: the configured one, raised (within the 8-bit field)
    // until the receiver's rounding yields the minimum parity count.
    auto blockOf = [&](int data) {
        int percent = options_.parityPercent;
        if (parityFromPercent(data, percent) < options_.minParityShards) {
            percent = (100 * options_.minParityShards - 99 + data - 1) / data;
            percent = std::min(percent, 255);
        }
        return Block{data, parityFromPercent(data, percent), percent};
    };
    std::vector<Block> blocks;
    if (packets == 0) return blocks;

    int maxData = 0;
    for (int d = 1; d < kMaxShards; ++d) {
        const Block b = blockOf(d);
        if (b.dataShards + b.parityShards <= kMaxShards) maxData = d;
    }
    if (options_.maxDataShardsPerBlock > 0) maxData = std::min(maxData, options_.maxDataShardsPerBlock);
    if (maxData < 1) maxData = 1;

    const std::size_t count = (packets + static_cast<std::size_t>(maxData) - 1) / static_cast<std::size_t>(maxData);
    const bool withParity = count <= kMaxBlocks;
    if (!withParity && packets > static_cast<std::size_t>(kMaxBlocks * kMaxFieldDataShards)) return blocks;
    const std::size_t n = withParity ? count : kMaxBlocks;
    // Even blocks: a loss costs about the same wherever it falls.
    for (std::size_t i = 0; i < n; ++i) {
        const int data = static_cast<int>(packets / n + (i < packets % n ? 1 : 0));
        blocks.push_back(withParity ? blockOf(data) : Block{data, 0, 0});
    }
    return blocks;
}

std::vector<Bytes> VideoPacketizer::packetize(ByteView accessUnit, std::uint32_t frameIndex, std::uint32_t rtpTimestamp,
                                              bool keyframe, double hostProcessingMs) {
    if (accessUnit.empty()) throw Error("boxsim: an empty video frame cannot be sent");
    const std::size_t size = static_cast<std::size_t>(options_.packetSize);

    // Frame payload: header, access unit, zero padding to whole packets.
    const std::size_t total = frameHeaderSize + accessUnit.size();
    const std::size_t packets = (total + size - 1) / size;
    const std::vector<Block> blocks = planBlocks(packets);
    if (blocks.empty())
        throw Error("boxsim: a video frame of " + std::to_string(accessUnit.size()) + " bytes does not fit four blocks");
    Bytes payload(packets * size, 0);
    payload[0] = 1;
    const double tenths = std::clamp(std::round(hostProcessingMs * 10.0), 0.0, 65535.0);
    put16le(&payload[1], static_cast<std::uint32_t>(tenths));
    payload[3] = keyframe ? 2 : 1;
    put16le(&payload[4], static_cast<std::uint32_t>(total - (packets - 1) * size));
    std::copy(accessUnit.begin(), accessUnit.end(), payload.begin() + frameHeaderSize);

    const std::size_t shardSize = headerSize - shardOffset + size;
    const int lastBlock = static_cast<int>(blocks.size()) - 1;
    std::vector<Bytes> datagrams;
    std::size_t consumed = 0;  // packets of the payload already placed

    // Header of the datagram: its RTP-style part and the 16 bytes that open its shard.
    auto writeHeader = [&](std::uint8_t* d, int blockIndex, const Block& block, int shardIndex, std::uint8_t flags) {
        d[0] = 0x80;
        d[1] = 0x60;
        put16be(d + 2, sequence_++);
        put32be(d + 4, rtpTimestamp);
        put32le(d + 16, streamPacketIndex_++);
        put32le(d + 20, frameIndex);
        d[24] = flags;
        d[25] = 0;
        d[26] = 0x10;
        d[27] = static_cast<std::uint8_t>((blockIndex << 4) | (lastBlock << 6));
        put32le(d + 28, static_cast<std::uint32_t>(block.dataShards) << 22 |
                            static_cast<std::uint32_t>(shardIndex) << 12 |
                            static_cast<std::uint32_t>(block.parityPercent) << 4);
    };

    for (int b = 0; b <= lastBlock; ++b) {
        const Block& block = blocks[static_cast<std::size_t>(b)];
        const std::size_t firstDatagram = datagrams.size();
        for (int j = 0; j < block.dataShards; ++j, ++consumed) {
            Bytes d(headerSize + size, 0);
            std::uint8_t flags = 0x01;
            if (consumed == 0) flags |= 0x04;
            if (consumed + 1 == packets) flags |= 0x02;
            writeHeader(d.data(), b, block, j, flags);
            std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(consumed * size), size, d.begin() + headerSize);
            datagrams.push_back(std::move(d));
        }
        if (block.parityShards == 0) continue;

        // Parity over whole shards (bytes 16.. of each data datagram) with the block's Cauchy rows.
        const int k = block.dataShards;
        const int rows = block.parityShards;
        std::vector<unsigned char> matrix(static_cast<std::size_t>(k * rows));
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < k; ++j)
                matrix[static_cast<std::size_t>(i * k + j)] = gf_inv(static_cast<unsigned char>((j + rows) ^ i));
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * k * rows));
        ec_init_tables(k, rows, matrix.data(), tables.data());
        std::vector<unsigned char*> sources(static_cast<std::size_t>(k));
        for (int j = 0; j < k; ++j) sources[static_cast<std::size_t>(j)] = datagrams[firstDatagram + static_cast<std::size_t>(j)].data() + shardOffset;
        std::vector<Bytes> parity(static_cast<std::size_t>(rows), Bytes(headerSize + size, 0));
        std::vector<unsigned char*> targets(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i) targets[static_cast<std::size_t>(i)] = parity[static_cast<std::size_t>(i)].data() + shardOffset;
        ec_encode_data(static_cast<int>(shardSize), k, rows, tables.data(), sources.data(), targets.data());
        for (int i = 0; i < rows; ++i) {
            // The parity of the data shards' headers gives way to this datagram's own header.
            Bytes& d = parity[static_cast<std::size_t>(i)];
            std::fill_n(d.begin(), headerSize, 0);
            writeHeader(d.data(), b, block, k + i, 0x01);
            datagrams.push_back(std::move(d));
        }
    }
    return datagrams;
}

} // namespace corvane::boxsim
