#include "engine/audio/AudioFEC.hpp"
#include "engine/audio/AudioPacket.hpp"
#include <gtest/gtest.h>
#include <random>
#include "tests/support/AudioStreams.hpp"

namespace corvane::stream {
namespace {

TEST(AudioPacketTest, ParsesTheBoxsTwoDatagramKindsByteForByte) {
    // kind 0: none, 1: audio (a sequence, b timestamp), 2: parity (a index, b base, c timestamp)
    struct Case { Bytes datagram; int kind; std::uint32_t a = 0, b = 0, c = 0; Bytes payload{}; };
    const Bytes audio{0x80, 0x61, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 9, 9, 9, 9, 0x5A};
    Bytes marked = audio;
    marked[1] = 0xE1; // marker bit over type 97
    const Bytes fec{0x80, 0x7F, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 0x01, 9, 0xFF, 0xFC, 0, 0, 0, 7, 9, 9, 9, 9, 0x99};
    Bytes other = audio;
    other[1] = 96;
    const Case cases[] = {
        {audio, 1, 0x1234, 0xA1B2C3D4, 0, {0x5A}},   {marked, 1, 0x1234, 0xA1B2C3D4, 0, {0x5A}},
        {Bytes(audio.begin(), audio.end() - 1), 0}, {fec, 2, 1, 0xFFFC, 7, {0x99}},
        {Bytes(fec.begin(), fec.end() - 1), 0},     {Bytes(fec.begin(), fec.begin() + 13), 0},
        {other, 0},                                 {{}, 0},
    };
    for (const auto& c : cases) {
        const auto parsed = AudioPacket::parse(c.datagram);
        ASSERT_EQ(parsed.has_value(), c.kind != 0) << c.datagram.size() << " bytes";
        if (const auto* a = parsed ? std::get_if<AudioPacket::Audio>(&*parsed) : nullptr) {
            EXPECT_EQ(c.kind, 1);
            EXPECT_EQ(std::tuple(a->sequence, a->timestamp, Bytes(a->payload.begin(), a->payload.end())),
                      std::tuple(c.a, c.b, c.payload));
        } else if (const auto* f = parsed ? std::get_if<AudioPacket::Fec>(&*parsed) : nullptr) {
            EXPECT_EQ(c.kind, 2);
            EXPECT_EQ(std::tuple(std::uint32_t{f->index}, std::uint32_t{f->baseSequence}, f->baseTimestamp,
                                 Bytes(f->payload.begin(), f->payload.end())),
                      std::tuple(c.a, c.b, c.c, c.payload));
        }
    }
}

// Every pattern of lost data and present parity, on shards of different lengths (the box pads them with
// zeros for its parity): enough parity rebuilds exactly, padded to the block's length; too little fails.
TEST(AudioFECTest, RebuildsEveryLossPatternTheParityCovers) {
    EXPECT_EQ(test::audio::vandermondeParityRows(), AudioFEC::parityRows);
    std::mt19937 random(7);
    std::array<Bytes, 4> shards{Bytes(40), Bytes(3), Bytes(61), Bytes(17)};
    for (auto& shard : shards)
        for (auto& b : shard) b = static_cast<std::uint8_t>(random());
    const auto parity = test::audio::isalParity(shards); // 61 bytes each
    for (unsigned lost = 0; lost < 16; ++lost) {
        for (unsigned given = 0; given < 4; ++given) {
            std::array<ByteView, 4> data;
            std::array<Bytes, 4> buffers;
            std::array<std::span<std::uint8_t>, 4> out;
            for (int j = 0; j < 4; ++j) {
                buffers[j].assign(100, 0xEE);
                out[j] = buffers[j];
                if (!(lost & (1u << j))) data[j] = shards[j];
            }
            std::array<ByteView, 2> p;
            for (int i = 0; i < 2; ++i) p[i] = given & (1u << i) ? ByteView(parity[i]) : ByteView();
            const auto length = AudioFEC::recover(data, p, out);
            const bool enough = std::popcount(given) >= std::popcount(lost);
            ASSERT_EQ(length.has_value(), enough) << "lost " << lost << " parity " << given;
            if (!enough || lost == 0) continue;
            ASSERT_EQ(*length, 61u);
            for (int j = 0; j < 4; ++j) {
                if (!(lost & (1u << j))) continue;
                Bytes padded = shards[j];
                padded.resize(61, 0);
                EXPECT_EQ(Bytes(buffers[j].begin(), buffers[j].begin() + 61), padded) << "lost " << lost;
                EXPECT_EQ(buffers[j][61], 0xEE) << "written past the block";
            }
        }
    }
    // Parity cut short by the network rebuilds as far as it reaches.
    std::array<ByteView, 4> data{shards[0], {}, shards[2], shards[3]};
    Bytes one(100);
    const std::array<std::span<std::uint8_t>, 4> out{{{}, one, {}, {}}};
    const std::array<ByteView, 2> cut{ByteView(parity[0]).first(2), {}};
    EXPECT_EQ(AudioFEC::recover(data, cut, out), 2u);
    EXPECT_EQ(Bytes(one.begin(), one.begin() + 2), Bytes(shards[1].begin(), shards[1].begin() + 2));
}

} // namespace
} // namespace corvane::stream
