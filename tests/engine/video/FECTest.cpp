#include "engine/video/FEC.hpp"

#include <random>

#include <gtest/gtest.h>

#include "tests/engine/video/VideoPacketsForTest.hpp"

namespace corvane::stream {
namespace {

// A block of random data shards and their ISA-L parity, all as slots.
FEC::Shards makeBlock(int data, int parity, std::size_t length, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Bytes> shards(static_cast<std::size_t>(data), Bytes(length));
    for (auto& shard : shards)
        for (auto& byte : shard) byte = static_cast<std::uint8_t>(random());
    const auto parityShards = test::isalParity(shards, parity);
    FEC::Shards full(shards.begin(), shards.end());
    full.insert(full.end(), parityShards.begin(), parityShards.end());
    return full;
}

FEC::Shards without(FEC::Shards shards, std::initializer_list<int> lost)
{
    for (int i : lost) shards[static_cast<std::size_t>(i)].reset();
    return shards;
}

TEST(FECTest, RebuildsLostDataAndRefusalsLeaveTheShardsUnchanged)
{
    // As many shards lost as there is parity, spread over data and parity; lost parity is not rebuilt.
    for (auto [data, parity] : {std::pair{4, 2}, {200, 55}, {128, 127}}) {
        const auto full = makeBlock(data, parity, 64, 1);
        FEC::Shards shards = full, expected = full;
        for (int i = 0; i < parity; ++i) {
            const auto lost = static_cast<std::size_t>(i * (data + parity) / parity);
            shards[lost].reset();
            if (lost >= static_cast<std::size_t>(data)) expected[lost].reset();
        }
        ASSERT_TRUE(FEC::recover(shards, data, parity)) << data << "+" << parity;
        EXPECT_EQ(shards, expected) << data << "+" << parity;
    }

    const auto full = makeBlock(4, 1, 40, 3);
    auto tooFew = without(full, {0, 2});
    const auto before = tooFew;
    EXPECT_FALSE(FEC::recover(tooFew, 4, 1));
    EXPECT_EQ(tooFew, before);

    auto wrongCount = without(full, {0});
    EXPECT_FALSE(FEC::recover(wrongCount, 4, 2));
    EXPECT_FALSE(FEC::recover(wrongCount, 0, 5));
    EXPECT_FALSE(FEC::recover(wrongCount, 5, -1));

    auto uneven = without(full, {0});
    uneven[1]->push_back(0);
    const auto unevenBefore = uneven;
    EXPECT_FALSE(FEC::recover(uneven, 4, 1));
    EXPECT_EQ(uneven, unevenBefore);

    FEC::Shards empty(5, Bytes{});
    empty[0].reset();
    EXPECT_FALSE(FEC::recover(empty, 4, 1));
}

TEST(FECTest, CompleteDataNeedsNoParityAndNoCodec)
{
    FEC::Shards noParity{Bytes{1}, Bytes{2, 3}};
    EXPECT_TRUE(FEC::recover(noParity, 2, 0));
    // 260 shards in all is beyond the codec, which only matters when something is missing.
    const auto big = makeBlock(200, 60, 8, 5);
    auto complete = without(big, {210, 259});
    EXPECT_TRUE(FEC::recover(complete, 200, 60));
    auto missing = without(big, {3});
    EXPECT_FALSE(FEC::recover(missing, 200, 60));
    EXPECT_FALSE(FEC::codecAccepts(200, 60));
    EXPECT_TRUE(FEC::codecAccepts(200, 55));
}

TEST(FECTest, InPlaceDecodeChecksItsArguments)
{
    const auto full = makeBlock(3, 2, 32, 9);
    std::vector<Bytes> buffers;
    for (const auto& shard : full) buffers.push_back(*shard);
    buffers[0].assign(32, 0);
    std::vector<std::uint8_t*> pointers;
    for (auto& buffer : buffers) pointers.push_back(buffer.data());
    pointers[4] = nullptr; // a lost parity shard needs no buffer
    const std::vector<std::uint8_t> lost{1, 0, 0, 0, 1};
    EXPECT_FALSE(FEC::recoverInPlace(std::span(pointers).first(4), lost, 3, 2, 32));
    EXPECT_FALSE(FEC::recoverInPlace(pointers, lost, 3, 0, 32));
    EXPECT_EQ(buffers[0], Bytes(32, 0));
    ASSERT_TRUE(FEC::recoverInPlace(pointers, lost, 3, 2, 32));
    EXPECT_EQ(buffers[0], *full[0]);
}

} // namespace
} // namespace corvane::stream
