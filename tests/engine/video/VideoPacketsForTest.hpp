#pragma once

// Test-only packetiser: cuts an access unit into video datagrams the way the box does (frame header,
// payload slices, blocks of data shards with Cauchy parity made by ISA-L), so the assembler can be fed.

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include <isa-l/erasure_code.h>

#include "engine/session/StreamConfig.hpp"
#include "platform/core/Bytes.hpp"

namespace corvane::stream::test {

struct PacketiserOptions {
    std::size_t payloadBytes = 256;  // per datagram, after the 32-byte header
    int maxDataShardsPerBlock = 16;
    int parityPercent = 50;
    std::uint16_t hostProcessingTenths = 0;  // units of 0.1 ms
    bool padLastShard = true;  // false: the frame's last data shard is only as long as its bytes
};

// The datagrams of one frame, by block, each block in shard-index order (data shards, then parity).
struct PacketisedFrame {
    struct Block {
        int data = 0;
        int parity = 0;
        std::vector<Bytes> datagrams;
    };
    std::vector<Block> blocks;

    std::vector<Bytes> all(bool dataOnly = false) const
    {
        std::vector<Bytes> out;
        for (const auto& block : blocks)
            out.insert(out.end(), block.datagrams.begin(), dataOnly ? block.datagrams.begin() + block.data : block.datagrams.end());
        return out;
    }
    // Data shards only, block by block: what arrives when no parity is needed.
    std::vector<Bytes> dataOnly() const { return all(true); }
};

inline void putLE32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t fecInfoFor(int data, int shardIndex, int parityPercent)
{
    return std::uint32_t(data) << 22 | std::uint32_t(shardIndex) << 12 | std::uint32_t(parityPercent) << 4;
}


// The 32-byte datagram header; bytes 16..31 are also the first 16 bytes of the shard.
inline Bytes videoHeader(std::uint16_t sequence, std::uint32_t timestamp, std::uint32_t streamPacketIndex,
    std::uint32_t frameIndex, std::uint8_t multiFecBlocks, std::uint32_t fecInfo)
{
    Bytes header(32, 0);
    header[0] = 0x90;
    header[1] = 0x60;
    header[2] = static_cast<std::uint8_t>(sequence >> 8);
    header[3] = static_cast<std::uint8_t>(sequence);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * i));
    putLE32(&header[16], streamPacketIndex);
    putLE32(&header[20], frameIndex);
    header[24] = 0x01;
    header[27] = multiFecBlocks;
    putLE32(&header[28], fecInfo);
    return header;
}

// Parity shards of one block with ISA-L, from the matrix P[i][j] = 1 / ((j + ps) XOR i).
inline std::vector<Bytes> isalParity(const std::vector<Bytes>& dataShards, int parity)
{
    const int data = static_cast<int>(dataShards.size());
    const std::size_t length = dataShards.front().size();
    std::vector<unsigned char> matrix(static_cast<std::size_t>(data * parity));
    for (int i = 0; i < parity; ++i)
        for (int j = 0; j < data; ++j)
            matrix[static_cast<std::size_t>(i * data + j)] = gf_inv(static_cast<unsigned char>((j + parity) ^ i));
    std::vector<unsigned char> tables(static_cast<std::size_t>(32 * data * parity));
    ec_init_tables(data, parity, matrix.data(), tables.data());
    std::vector<Bytes> out(static_cast<std::size_t>(parity), Bytes(length, 0));
    std::vector<unsigned char*> in;
    for (const auto& shard : dataShards) in.push_back(const_cast<unsigned char*>(shard.data()));
    std::vector<unsigned char*> coding;
    for (auto& shard : out) coding.push_back(shard.data());
    ec_encode_data(static_cast<int>(length), data, parity, tables.data(), in.data(), coding.data());
    return out;
}

inline PacketisedFrame packetise(std::uint32_t frameIndex, std::uint32_t timestamp, ByteView accessUnit,
    const PacketiserOptions& options = {})
{
    const std::size_t size = options.payloadBytes;
    Bytes payload{1, static_cast<std::uint8_t>(options.hostProcessingTenths),
        static_cast<std::uint8_t>(options.hostProcessingTenths >> 8), 0, 0, 0, 0, 0};
    payload.insert(payload.end(), accessUnit.begin(), accessUnit.end());
    const std::size_t chunks = (payload.size() + size - 1) / size;
    const std::size_t lastBytes = payload.size() - (chunks - 1) * size;
    payload[4] = static_cast<std::uint8_t>(lastBytes);
    payload[5] = static_cast<std::uint8_t>(lastBytes >> 8);
    if (options.padLastShard) payload.resize(chunks * size, 0);

    const auto perBlock = static_cast<std::size_t>(options.maxDataShardsPerBlock);
    const int blockCount = static_cast<int>((chunks + perBlock - 1) / perBlock);
    assert(blockCount >= 1 && blockCount <= 4);
    PacketisedFrame frame;
    std::uint32_t packetIndex = 0;
    for (int b = 0; b < blockCount; ++b) {
        PacketisedFrame::Block block;
        block.data = static_cast<int>(std::min(perBlock, chunks - b * perBlock));
        block.parity = (options.parityPercent * block.data + 99) / 100;
        auto header = [&](int shard) {
            const auto blocks = static_cast<std::uint8_t>((blockCount - 1) << 6 | b << 4);
            ++packetIndex;
            return videoHeader(static_cast<std::uint16_t>(packetIndex - 1), timestamp, packetIndex - 1, frameIndex,
                blocks, fecInfoFor(block.data, shard, options.parityPercent));
        };
        // Shards are datagrams from byte 16 on; the last may be short, so parity sees it zero-padded.
        std::vector<Bytes> shards;
        for (int i = 0; i < block.data; ++i) {
            const std::size_t from = (b * perBlock + i) * size;
            Bytes datagram = header(i);
            datagram.insert(datagram.end(), payload.begin() + static_cast<std::ptrdiff_t>(from),
                payload.begin() + static_cast<std::ptrdiff_t>(std::min(payload.size(), from + size)));
            shards.emplace_back(datagram.begin() + 16, datagram.end()).resize(16 + size, 0);
            block.datagrams.push_back(std::move(datagram));
        }
        // A parity packet's own header replaces the first 16 parity bytes, which only cover header bytes.
        for (Bytes& parity : block.parity > 0 ? isalParity(shards, block.parity) : std::vector<Bytes>{}) {
            Bytes datagram = header(static_cast<int>(block.datagrams.size()));
            datagram.insert(datagram.end(), parity.begin() + 16, parity.end());
            block.datagrams.push_back(std::move(datagram));
        }
        frame.blocks.push_back(std::move(block));
    }
    return frame;
}

}  // namespace corvane::stream::test
