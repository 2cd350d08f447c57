#include "engine/audio/AudioFEC.hpp"

#include <gtest/gtest.h>

#include <random>

#include "AudioTestStreams.hpp"

namespace corvane::stream {
namespace {

using Data = std::array<std::optional<Bytes>, 4>;
using Parity = std::array<std::optional<Bytes>, 2>;

std::array<Bytes, 4> randomShards(std::mt19937& random, std::array<std::size_t, 4> lengths) {
    std::array<Bytes, 4> shards;
    for (int j = 0; j < 4; ++j) {
        shards[j].resize(lengths[j]);
        for (auto& b : shards[j]) b = static_cast<std::uint8_t>(random());
    }
    return shards;
}

TEST(AudioFECTest, ParityRowsAreTheSystematicVandermondeRows) {
    EXPECT_EQ(test::audio::vandermondeParityRows(), AudioFEC::parityRows);
}

TEST(AudioFECTest, RebuildsEveryLossPatternTheParityCovers) {
    std::mt19937 random(7);
    const auto shards = randomShards(random, {97, 97, 97, 97});
    const auto parity = test::audio::isalParity(shards);
    for (unsigned lost = 0; lost < 16; ++lost) {
        for (unsigned parityMask = 0; parityMask < 4; ++parityMask) {
            Data data;
            for (int j = 0; j < 4; ++j)
                if (!(lost & (1u << j))) data[j] = shards[j];
            Parity given;
            for (int p = 0; p < 2; ++p)
                if (parityMask & (1u << p)) given[p] = parity[p];
            const Data before = data;
            const bool enough = __builtin_popcount(parityMask) >= __builtin_popcount(lost);
            ASSERT_EQ(AudioFEC::recover(data, given), enough) << "lost " << lost << " parity " << parityMask;
            EXPECT_EQ(data, (enough ? Data{shards[0], shards[1], shards[2], shards[3]} : before)) << "lost " << lost;
        }
    }
}

// Packets of a variable-rate stream differ in length; the box pads them with zeros for its parity.
TEST(AudioFECTest, ShardsOfDifferentLengthsAreReadOnlyToTheirEnd) {
    std::mt19937 random(9);
    const auto shards = randomShards(random, {40, 3, 61, 17});
    const auto parity = test::audio::isalParity(shards); // 61 bytes each

    // The longest lost: rebuilt exactly.
    Data data{shards[0], shards[1], std::nullopt, shards[3]};
    ASSERT_TRUE(AudioFEC::recover(data, Parity{parity[0], std::nullopt}));
    EXPECT_EQ(data[2], shards[2]);

    // A lost short shard comes back padded to the block's length.
    Data two{std::nullopt, std::nullopt, shards[2], shards[3]};
    ASSERT_TRUE(AudioFEC::recover(two, Parity{parity[0], parity[1]}));
    Bytes padded = shards[1];
    padded.resize(61, 0);
    EXPECT_EQ(two[1], padded);
    EXPECT_EQ(Bytes(two[0]->begin(), two[0]->begin() + 40), shards[0]);

    // Parity cut short by the network: rebuilt as far as it reaches, never read or written past it.
    Data cut{shards[0], std::nullopt, shards[2], shards[3]};
    Bytes shortParity(parity[1].begin(), parity[1].begin() + 2);
    ASSERT_TRUE(AudioFEC::recover(cut, Parity{std::nullopt, shortParity}));
    EXPECT_EQ(cut[1], Bytes(shards[1].begin(), shards[1].begin() + 2));

    // Empty parity rebuilds nothing.
    Data none{std::nullopt, shards[1], shards[2], shards[3]};
    EXPECT_FALSE(AudioFEC::recover(none, Parity{Bytes{}, std::nullopt}));
    EXPECT_FALSE(none[0]);
}

} // namespace
} // namespace corvane::stream
