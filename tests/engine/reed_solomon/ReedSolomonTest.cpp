#include "engine/reed_solomon/ReedSolomon.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>

#include "platform/core/Bytes.hpp"

namespace corvane::stream {
namespace {

using Context = std::unique_ptr<reed_solomon, decltype(&reed_solomon_release)>;

Context makeContext(int ds, int ps) { return {reed_solomon_new(ds, ps), &reed_solomon_release}; }

std::vector<std::uint8_t*> pointersTo(std::vector<Bytes>& shards)
{
    std::vector<std::uint8_t*> result;
    for (auto& shard : shards) result.push_back(shard.data());
    return result;
}

// The parity matrix built with ISA-L's own field arithmetic, independent of the codec's tables.
Bytes isalParityMatrix(int ds, int ps)
{
    Bytes matrix(static_cast<std::size_t>(ds * ps));
    for (int i = 0; i < ps; ++i)
        for (int j = 0; j < ds; ++j)
            matrix[i * ds + j] = gf_inv(static_cast<unsigned char>((j + ps) ^ i));
    return matrix;
}

// One block of shards, data random, parity made by ISA-L from the same matrix.
struct Block {
    int ds, ps, bs;
    std::vector<Bytes> shards;

    Block(int dataShards, int parityShards, int size, std::mt19937& random)
        : ds(dataShards), ps(parityShards), bs(size), shards(static_cast<std::size_t>(ds + ps), Bytes(size))
    {
        for (int j = 0; j < ds; ++j)
            for (auto& b : shards[j]) b = static_cast<std::uint8_t>(random());
        Bytes matrix = isalParityMatrix(ds, ps);
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * ds * ps));
        ec_init_tables(ds, ps, matrix.data(), tables.data());
        auto all = pointers();
        ec_encode_data(bs, ds, ps, tables.data(), all.data(), all.data() + ds);
    }

    std::vector<std::uint8_t*> pointers() { return pointersTo(shards); }

    // Marks the given shards lost and fills them with junk, as a receiver's buffers would be.
    std::vector<std::uint8_t> lose(const std::vector<int>& lost)
    {
        std::vector<std::uint8_t> marks(shards.size(), 0);
        for (int index : lost) {
            marks[index] = 1;
            std::fill(shards[index].begin(), shards[index].end(), std::uint8_t{0xA5});
        }
        return marks;
    }

    int decode(const std::vector<std::uint8_t>& marks)
    {
        auto rs = makeContext(ds, ps);
        return reed_solomon_decode(rs.get(), pointers().data(), marks.data(), ds + ps, bs);
    }
};

TEST(ReedSolomonContext, LimitsAndCallerBuffers)
{
    for (auto [ds, ps] : {std::pair{0, 1}, {1, 0}, {256, 1}, {200, 56}, {-1, 5}, {5, -1}, {255, 1}}) {
        EXPECT_EQ(reed_solomon_new(ds, ps), nullptr) << ds << "," << ps;
        EXPECT_EQ(reed_solomon_size(ds, ps), 0u) << ds << "," << ps;
    }
    for (auto [ds, ps] : {std::pair{200, 55}, {254, 1}, {1, 254}, {1, 1}})
        EXPECT_NE(makeContext(ds, ps), nullptr) << ds << "," << ps;

    const std::size_t size = reed_solomon_size(3, 2);
    std::vector<std::uint64_t> storage(size / 8 + 2);
    auto* buffer = reinterpret_cast<std::uint8_t*>(storage.data());
    EXPECT_EQ(reed_solomon_new_static(nullptr, size, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer, size - 1, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer + 1, size, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer, size * 4, 200, 56), nullptr);
    reed_solomon* rs = reed_solomon_new_static(buffer, size, 3, 2);
    ASSERT_NE(rs, nullptr);

    // A context in a caller's buffer decodes like any other, and releasing it frees nothing.
    std::mt19937 random(7);
    Block block(3, 2, 100, random);
    const Block original = block;
    auto marks = block.lose({0, 2});
    EXPECT_EQ(reed_solomon_decode(rs, block.pointers().data(), marks.data(), 5, 100), 0);
    EXPECT_EQ(block.shards, original.shards);
    reed_solomon_release(rs);
    reed_solomon_release(nullptr);
}

TEST(ReedSolomonVectors, KnownParityAndMatrixRows)
{
    auto rs = makeContext(2, 1);
    Bytes d0{0x01}, d1{0x02}, parity{0xFF};
    std::uint8_t* shards[] = {d0.data(), d1.data(), parity.data()};
    ASSERT_EQ(reed_solomon_encode(rs.get(), shards, 3, 1), 0);
    EXPECT_EQ(parity, Bytes{0x00}); // 0x01 * 0x01 + 0x8E * 0x02 = 0x01 + 0x01
    d1[0] = 0x77;
    const std::uint8_t marks[] = {0, 1, 0};
    ASSERT_EQ(reed_solomon_decode(rs.get(), shards, marks, 3, 1), 0);
    EXPECT_EQ(d1, Bytes{0x02});

    // Encoding unit shards reads the matrix out column by column.
    auto check = [](int ds, int ps, const std::vector<Bytes>& rows) {
        auto rs = makeContext(ds, ps);
        for (int j = 0; j < ds; ++j) {
            std::vector<Bytes> shards(static_cast<std::size_t>(ds + ps), Bytes(1, 0));
            shards[j][0] = 1;
            ASSERT_EQ(reed_solomon_encode(rs.get(), pointersTo(shards).data(), ds + ps, 1), 0);
            for (int i = 0; i < ps; ++i) EXPECT_EQ(shards[ds + i][0], rows[i][j]) << "row " << i << " column " << j;
        }
    };
    check(2, 1, {{0x01, 0x8E}});
    check(3, 2, {{0x8E, 0xF4, 0x47}, {0xF4, 0x8E, 0xA7}});
}

TEST(ReedSolomonEncode, EqualsIsalWithTheSameMatrix)
{
    std::mt19937 random(11);
    for (auto [ds, ps, bs] : {std::tuple{1, 1, 1}, {2, 1, 1408}, {20, 4, 1408}, {100, 20, 1411}, {200, 55, 333},
             {128, 127, 64}, {3, 252, 17}}) {
        Block block(ds, ps, bs, random);
        std::vector<Bytes> ours = block.shards;
        for (int i = ds; i < ds + ps; ++i) std::fill(ours[i].begin(), ours[i].end(), std::uint8_t{0});
        ASSERT_EQ(reed_solomon_encode(makeContext(ds, ps).get(), pointersTo(ours).data(), ds + ps, bs), 0);
        EXPECT_EQ(ours, block.shards) << ds << "," << ps;
    }
}

TEST(ReedSolomonDecode, RejectsBadArgumentsAndTouchesNothingItNeedNot)
{
    std::mt19937 random(3);
    Block block(4, 2, 64, random);
    auto pointers = block.pointers();
    auto marks = block.lose({1});
    auto rs = makeContext(4, 2);
    EXPECT_EQ(reed_solomon_decode(nullptr, pointers.data(), marks.data(), 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), nullptr, marks.data(), 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), nullptr, 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 5, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 6, 0), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 6, -5), -1);
    // A buffer the rebuild needs may not be missing; an unused lost parity buffer may.
    for (int hole : {1, 0, 4}) {
        auto withHole = pointers;
        withHole[hole] = nullptr;
        EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), -1) << hole;
    }
    auto withHole = pointers;
    withHole[5] = nullptr;
    marks[5] = 1;
    EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), 0);
    EXPECT_EQ(reed_solomon_encode(rs.get(), withHole.data(), 6, 64), -1);

    // Only parity lost: nothing touched. Too much lost: refused, lost buffers unchanged.
    Block other(4, 3, 50, random);
    for (const std::vector<int>& lost : {std::vector{4, 6}, std::vector{0, 3, 4, 6}}) {
        Block copy = other;
        marks = copy.lose(lost);
        const auto before = copy.shards;
        EXPECT_EQ(copy.decode(marks), lost.size() == 2 ? 0 : -1);
        EXPECT_EQ(copy.shards, before);
    }
    // Shards past ds + ps are ignored.
    const Block original = other;
    marks = other.lose({0, 3});
    pointers = other.pointers();
    pointers.push_back(nullptr);
    marks.push_back(1);
    ASSERT_EQ(reed_solomon_decode(makeContext(4, 3).get(), pointers.data(), marks.data(), 8, 50), 0);
    EXPECT_EQ(other.shards, original.shards);
}

// Every loss pattern of every small block shape.
TEST(ReedSolomonDecode, RebuildsEveryLossPatternOfSmallBlocks)
{
    std::mt19937 random(13);
    for (int ts = 2; ts <= 9; ++ts) {
        for (int ds = 1; ds < ts; ++ds) {
            const int ps = ts - ds;
            const int bs = 1 + static_cast<int>(random() % 150);
            const Block original(ds, ps, bs, random);
            for (unsigned pattern = 0; pattern < (1u << ts); ++pattern) {
                std::vector<int> lost;
                int lostData = 0;
                for (int i = 0; i < ts; ++i)
                    if (pattern & (1u << i)) {
                        lost.push_back(i);
                        lostData += i < ds;
                    }
                Block block = original;
                const int result = block.decode(block.lose(lost));
                if (lostData > ps - (static_cast<int>(lost.size()) - lostData)) {
                    EXPECT_EQ(result, -1) << ds << "," << ps << " pattern " << pattern;
                    continue;
                }
                ASSERT_EQ(result, 0) << ds << "," << ps << " pattern " << pattern;
                for (int j = 0; j < ds; ++j)
                    ASSERT_EQ(block.shards[j], original.shards[j]) << ds << "," << ps << " pattern " << pattern;
            }
        }
    }
}

// Random shapes up to 255 shards, random loss patterns of up to ps shards, on every kernel set.
TEST(ReedSolomonDecode, RebuildsRandomBlocksOnEveryKernelSet)
{
    std::mt19937 random(17);
    std::vector<std::tuple<int, int, int>> shapes = {{20, 4, 1408}, {100, 20, 1408}, {200, 40, 1408},
        {200, 55, 1408}, {1, 254, 33}, {254, 1, 64}, {128, 127, 100}};
    for (int n = 0; n < 12; ++n) {
        const int ts = 2 + static_cast<int>(random() % 254);
        const int ds = 1 + static_cast<int>(random() % (ts - 1));
        shapes.emplace_back(ds, ts - ds, 1 + static_cast<int>(random() % 1500));
    }
    for (const auto& [ds, ps, bs] : shapes) {
        const Block original(ds, ps, bs, random);
        for (int sample = 0; sample < 6; ++sample) {
            std::vector<int> order(static_cast<std::size_t>(ds + ps));
            for (int i = 0; i < ds + ps; ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), random);
            // Favour losing data shards, the case that does work.
            const int d = ds;
            std::stable_partition(order.begin(), order.end(), [&](int i) { return i < d && random() % 2 == 0; });
            const int count = sample == 0 ? ps : 1 + static_cast<int>(random() % ps);
            const std::vector<int> lost(order.begin(), order.begin() + count);
            for (auto isa : {oblas_isa::portable, oblas_isa::ssse3, oblas_isa::avx2}) {
                if (oblas_force_isa(isa) != 0) continue;
                Block block = original;
                const int result = block.decode(block.lose(lost));
                oblas_force_isa(oblas_isa::automatic);
                ASSERT_EQ(result, 0);
                for (int j = 0; j < ds; ++j)
                    ASSERT_EQ(block.shards[j], original.shards[j]) << ds << "," << ps << "," << bs << " shard " << j;
            }
        }
    }
}

// The rebuild solves the equations of the present data and the first present parity rows, so even a
// corrupted block gives the bytes ISA-L's own inversion over the same rows gives.
TEST(ReedSolomonDecode, CorruptBlockGivesTheSameBytesAsIsalsInversion)
{
    std::mt19937 random(23);
    for (auto [ds, ps, bs] : {std::tuple{4, 3, 40}, {20, 4, 99}, {60, 30, 64}, {30, 60, 20}}) {
        Block block(ds, ps, bs, random);
        for (int i = ds; i < ds + ps; ++i)
            for (auto& b : block.shards[i]) b = static_cast<std::uint8_t>(random());
        std::vector<int> lost;
        for (int i = 0; i < ds + ps; ++i)
            if (random() % 3 == 0 && static_cast<int>(lost.size()) < ps) lost.push_back(i);
        auto marks = block.lose(lost);

        // Rows used: each present data shard, then the first present parity rows, one per lost data shard.
        const Bytes parity = isalParityMatrix(ds, ps);
        Bytes rows;
        std::vector<std::uint8_t*> sources;
        std::vector<int> lostData;
        for (int i = 0; i < ds; ++i) {
            if (marks[i]) {
                lostData.push_back(i);
                continue;
            }
            for (int j = 0; j < ds; ++j) rows.push_back(j == i);
            sources.push_back(block.shards[i].data());
        }
        for (int i = ds; i < ds + ps && sources.size() < static_cast<std::size_t>(ds); ++i)
            if (!marks[i]) {
                rows.insert(rows.end(), parity.begin() + (i - ds) * ds, parity.begin() + (i - ds + 1) * ds);
                sources.push_back(block.shards[i].data());
            }
        ASSERT_EQ(sources.size(), static_cast<std::size_t>(ds));
        if (lostData.empty()) continue;
        Bytes inverse(rows.size());
        ASSERT_EQ(gf_invert_matrix(rows.data(), inverse.data(), ds), 0);
        Bytes decodeRows;
        for (int j : lostData) decodeRows.insert(decodeRows.end(), inverse.begin() + j * ds, inverse.begin() + (j + 1) * ds);
        const int e = static_cast<int>(lostData.size());
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * ds * e));
        ec_init_tables(ds, e, decodeRows.data(), tables.data());
        std::vector<Bytes> expected(lostData.size(), Bytes(bs));
        ec_encode_data(bs, ds, e, tables.data(), sources.data(), pointersTo(expected).data());

        ASSERT_EQ(block.decode(marks), 0);
        for (int m = 0; m < e; ++m)
            EXPECT_EQ(block.shards[lostData[m]], expected[m]) << ds << "," << ps << " lost shard " << lostData[m];
    }
}

} // namespace
} // namespace corvane::stream
