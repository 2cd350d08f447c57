#include "engine/reed_solomon/ReedSolomon.hpp"
#include <algorithm>
#include <memory>
#include <random>
#include <tuple>
#include <vector>
#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>
#include "platform/core/Bytes.hpp"

namespace corvane::stream {
namespace {

using Context = std::unique_ptr<reed_solomon, decltype(&reed_solomon_release)>;
Context makeContext(int ds, int ps) { return {reed_solomon_new(ds, ps), &reed_solomon_release}; }

std::vector<std::uint8_t*> pointersTo(std::vector<Bytes>& shards) {
    std::vector<std::uint8_t*> result;
    for (auto& shard : shards) result.push_back(shard.data());
    return result;
}

// One block: random data, parity made by ISA-L's own field arithmetic, independent of the codec's tables.
struct Block {
    int ds, ps, bs;
    std::vector<Bytes> shards;
    Block(int dataShards, int parityShards, int size, std::mt19937& random)
        : ds(dataShards), ps(parityShards), bs(size), shards(static_cast<std::size_t>(ds + ps), Bytes(size)) {
        for (int j = 0; j < ds; ++j)
            for (auto& b : shards[j]) b = static_cast<std::uint8_t>(random());
        Bytes matrix(static_cast<std::size_t>(ds * ps));
        for (int i = 0; i < ps; ++i)
            for (int j = 0; j < ds; ++j) matrix[i * ds + j] = gf_inv(static_cast<unsigned char>((j + ps) ^ i));
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * ds * ps));
        ec_init_tables(ds, ps, matrix.data(), tables.data());
        auto all = pointersTo(shards);
        ec_encode_data(bs, ds, ps, tables.data(), all.data(), all.data() + ds);
    }
    // Marks the shards lost and fills them with junk, as a receiver's buffers would be.
    std::vector<std::uint8_t> lose(const std::vector<int>& lost) {
        std::vector<std::uint8_t> marks(shards.size(), 0);
        for (int index : lost) {
            marks[index] = 1;
            std::fill(shards[index].begin(), shards[index].end(), std::uint8_t{0xA5});
        }
        return marks;
    }
    int decode(const std::vector<std::uint8_t>& marks, reed_solomon* rs = nullptr) {
        auto own = makeContext(ds, ps);
        return reed_solomon_decode(rs ? rs : own.get(), pointersTo(shards).data(), marks.data(), ds + ps, bs);
    }
};

TEST(ReedSolomonTest, Limits) {
    for (auto [ds, ps] : {std::pair{0, 1}, {1, 0}, {256, 1}, {200, 56}, {-1, 5}, {5, -1}, {255, 1}}) {
        EXPECT_EQ(reed_solomon_new(ds, ps), nullptr) << ds << "," << ps;
        EXPECT_EQ(reed_solomon_size(ds, ps), 0u) << ds << "," << ps;
    }
    for (auto [ds, ps] : {std::pair{200, 55}, {254, 1}, {1, 254}}) EXPECT_NE(makeContext(ds, ps), nullptr);
    reed_solomon_release(nullptr);
}

TEST(ReedSolomonTest, BadArgumentsAreRefusedAndNothingIsTouchedThatNeedNotBe) {
    std::mt19937 random(3);
    Block block(4, 3, 64, random);
    auto pointers = pointersTo(block.shards);
    auto marks = block.lose({1});
    auto rs = makeContext(4, 3);
    for (auto [context, shards, lost, count, bytes] : {std::tuple{(reed_solomon*)nullptr, pointers.data(), marks.data(), 7, 64},
             {rs.get(), nullptr, marks.data(), 7, 64}, {rs.get(), pointers.data(), nullptr, 7, 64},
             {rs.get(), pointers.data(), marks.data(), 6, 64}, {rs.get(), pointers.data(), marks.data(), 7, 0}})
        EXPECT_EQ(reed_solomon_decode(context, shards, lost, count, bytes), -1) << count << " " << bytes;
    // A buffer the rebuild needs may not be missing; an unused lost parity buffer may.
    for (int hole : {1, 0, 4}) {
        auto withHole = pointers;
        withHole[hole] = nullptr;
        EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 7, 64), -1) << hole;
    }
    pointers[6] = nullptr;
    marks[6] = 1;
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 7, 64), 0);
    EXPECT_EQ(reed_solomon_encode(rs.get(), pointers.data(), 7, 64), -1);
    // Only parity lost: nothing touched. Too much lost: refused, lost buffers unchanged. Shards past ds + ps
    // are ignored.
    for (const std::vector<int>& lost : {std::vector{4, 6}, std::vector{0, 3, 4, 6}}) {
        Block copy(4, 3, 50, random);
        marks = copy.lose(lost);
        const auto before = copy.shards;
        marks.push_back(1);
        copy.shards.push_back({});
        EXPECT_EQ(reed_solomon_decode(rs.get(), pointersTo(copy.shards).data(), marks.data(), 8, 50),
            lost.size() == 2 ? 0 : -1);
        copy.shards.pop_back();
        EXPECT_EQ(copy.shards, before);
    }
}

// Every loss pattern of every small block shape, on every kernel set. (Large blocks: FECTest.)
TEST(ReedSolomonTest, RebuildsEveryPatternOfSmallBlocksOnEveryKernelSet) {
    std::mt19937 random(13);
    for (auto isa : {oblas_isa::portable, oblas_isa::ssse3, oblas_isa::avx2, oblas_isa::avx512}) {
        if (oblas_force_isa(isa) != 0) continue;
        for (int ts = 2; ts <= 8; ++ts)
            for (int ds = 1; ds < ts; ++ds) {
                const int ps = ts - ds;
                const Block original(ds, ps, 1 + static_cast<int>(random() % 150), random);
                for (unsigned pattern = 0; pattern < (1u << ts); ++pattern) {
                    std::vector<int> lost;
                    for (int i = 0; i < ts; ++i)
                        if (pattern & (1u << i)) lost.push_back(i);
                    Block block = original;
                    const int result = block.decode(block.lose(lost));
                    ASSERT_EQ(result, static_cast<int>(lost.size()) > ps ? -1 : 0) << ds << "," << ps << " " << pattern;
                    for (int j = 0; result == 0 && j < ds; ++j) ASSERT_EQ(block.shards[j], original.shards[j]);
                }
            }
    }
    oblas_force_isa(oblas_isa::automatic);
}

} // namespace
} // namespace corvane::stream
