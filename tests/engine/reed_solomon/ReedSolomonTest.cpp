#include "engine/reed_solomon/ReedSolomon.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>

#include "platform/core/Bytes.hpp"

namespace corvane::stream {
namespace {

struct ContextDeleter {
    void operator()(reed_solomon* rs) const { reed_solomon_release(rs); }
};
using Context = std::unique_ptr<reed_solomon, ContextDeleter>;

Context makeContext(int ds, int ps)
{
    return Context(reed_solomon_new(ds, ps));
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
    int ds;
    int ps;
    int bs;
    std::vector<Bytes> shards;

    Block(int dataShards, int parityShards, int size, std::mt19937& random)
        : ds(dataShards), ps(parityShards), bs(size), shards(static_cast<std::size_t>(ds + ps), Bytes(size))
    {
        std::uniform_int_distribution<int> byte(0, 255);
        for (int j = 0; j < ds; ++j)
            for (auto& b : shards[j])
                b = static_cast<std::uint8_t>(byte(random));
        Bytes matrix = isalParityMatrix(ds, ps);
        std::vector<unsigned char> tables(static_cast<std::size_t>(32 * ds * ps));
        ec_init_tables(ds, ps, matrix.data(), tables.data());
        auto all = pointers();
        ec_encode_data(bs, ds, ps, tables.data(), all.data(), all.data() + ds);
    }

    std::vector<std::uint8_t*> pointers()
    {
        std::vector<std::uint8_t*> result;
        for (auto& shard : shards)
            result.push_back(shard.data());
        return result;
    }
};

// Marks the given shards lost and fills their buffers with junk, as a receiver's would be.
std::vector<std::uint8_t> loseShards(Block& block, const std::vector<int>& lost)
{
    std::vector<std::uint8_t> marks(block.shards.size(), 0);
    for (int index : lost) {
        marks[index] = 1;
        std::fill(block.shards[index].begin(), block.shards[index].end(), std::uint8_t{0xA5});
    }
    return marks;
}

// Forces one kernel set for the contexts made while it lives.
class ForcedIsa {
public:
    explicit ForcedIsa(oblas_isa isa) { ok_ = oblas_force_isa(isa) == 0; }
    ~ForcedIsa() { oblas_force_isa(oblas_isa::automatic); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

TEST(ReedSolomonContext, RefusesCountsOutsideTheLimits)
{
    for (auto [ds, ps] : {std::pair{0, 1}, {1, 0}, {256, 1}, {200, 56}, {-1, 5}, {5, -1}, {255, 1}}) {
        EXPECT_EQ(reed_solomon_new(ds, ps), nullptr) << ds << "," << ps;
        EXPECT_EQ(reed_solomon_size(ds, ps), 0u) << ds << "," << ps;
    }
    for (auto [ds, ps] : {std::pair{200, 55}, {254, 1}, {1, 254}, {1, 1}})
        EXPECT_NE(makeContext(ds, ps), nullptr) << ds << "," << ps;
}

TEST(ReedSolomonContext, CallerBufferMustBeLargeEnoughAndAligned)
{
    const std::size_t size = reed_solomon_size(3, 2);
    ASSERT_GE(size, 5u * 3u);
    std::vector<std::uint64_t> storage(size / 8 + 2);
    auto* buffer = reinterpret_cast<std::uint8_t*>(storage.data());

    EXPECT_EQ(reed_solomon_new_static(nullptr, size, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer, size - 1, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer + 1, size, 3, 2), nullptr);
    EXPECT_EQ(reed_solomon_new_static(buffer, size * 4, 200, 56), nullptr);

    reed_solomon* rs = reed_solomon_new_static(buffer, size, 3, 2);
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(rs->ts, 5);

    // A context in a caller's buffer decodes like any other, and releasing it frees nothing.
    std::mt19937 random(7);
    Block block(3, 2, 100, random);
    const Block original = block;
    auto marks = loseShards(block, {0, 2});
    EXPECT_EQ(reed_solomon_decode(rs, block.pointers().data(), marks.data(), 5, 100), 0);
    EXPECT_EQ(block.shards[0], original.shards[0]);
    EXPECT_EQ(block.shards[2], original.shards[2]);
    reed_solomon_release(rs);
    reed_solomon_release(nullptr);
}

TEST(ReedSolomonVectors, TwoDataShardsOneParity)
{
    auto rs = makeContext(2, 1);
    ASSERT_NE(rs, nullptr);
    Bytes d0{0x01};
    Bytes d1{0x02};
    Bytes parity{0xFF};
    std::uint8_t* shards[] = {d0.data(), d1.data(), parity.data()};
    ASSERT_EQ(reed_solomon_encode(rs.get(), shards, 3, 1), 0);
    EXPECT_EQ(parity, Bytes{0x00}); // 0x01 * 0x01 + 0x8E * 0x02 = 0x01 + 0x01

    d1[0] = 0x77;
    const std::uint8_t marks[] = {0, 1, 0};
    ASSERT_EQ(reed_solomon_decode(rs.get(), shards, marks, 3, 1), 0);
    EXPECT_EQ(d1, Bytes{0x02});
}

TEST(ReedSolomonVectors, ParityMatrixRows)
{
    // Encoding unit shards reads the matrix out column by column.
    auto check = [](int ds, int ps, const std::vector<Bytes>& rows) {
        auto rs = makeContext(ds, ps);
        ASSERT_NE(rs, nullptr);
        for (int j = 0; j < ds; ++j) {
            std::vector<Bytes> shards(static_cast<std::size_t>(ds + ps), Bytes(1, 0));
            shards[j][0] = 1;
            std::vector<std::uint8_t*> pointers;
            for (auto& s : shards)
                pointers.push_back(s.data());
            ASSERT_EQ(reed_solomon_encode(rs.get(), pointers.data(), ds + ps, 1), 0);
            for (int i = 0; i < ps; ++i)
                EXPECT_EQ(shards[ds + i][0], rows[i][j]) << "row " << i << " column " << j;
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
        for (int i = ds; i < ds + ps; ++i)
            std::fill(ours[i].begin(), ours[i].end(), std::uint8_t{0});
        std::vector<std::uint8_t*> pointers;
        for (auto& s : ours)
            pointers.push_back(s.data());
        auto rs = makeContext(ds, ps);
        ASSERT_NE(rs, nullptr);
        ASSERT_EQ(reed_solomon_encode(rs.get(), pointers.data(), ds + ps, bs), 0);
        EXPECT_EQ(ours, block.shards) << ds << "," << ps;
    }
}

TEST(ReedSolomonDecode, RejectsBadArguments)
{
    std::mt19937 random(3);
    Block block(4, 2, 64, random);
    auto pointers = block.pointers();
    auto marks = loseShards(block, {1});
    auto rs = makeContext(4, 2);

    EXPECT_EQ(reed_solomon_decode(nullptr, pointers.data(), marks.data(), 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), nullptr, marks.data(), 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), nullptr, 6, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 5, 64), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 6, 0), -1);
    EXPECT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 6, -5), -1);

    // A buffer the rebuild needs may not be missing; an unused lost parity buffer may.
    auto withHole = pointers;
    withHole[1] = nullptr;
    EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), -1);
    withHole = pointers;
    withHole[0] = nullptr;
    EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), -1);
    withHole = pointers;
    withHole[4] = nullptr;
    EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), -1);
    withHole = pointers;
    withHole[5] = nullptr;
    marks[5] = 1;
    EXPECT_EQ(reed_solomon_decode(rs.get(), withHole.data(), marks.data(), 6, 64), 0);
    EXPECT_EQ(reed_solomon_encode(rs.get(), withHole.data(), 6, 64), -1);
}

TEST(ReedSolomonDecode, LeavesBuffersAloneWhenNothingOrTooMuchIsLost)
{
    std::mt19937 random(5);
    Block block(4, 3, 50, random);
    auto rs = makeContext(4, 3);

    // Only parity lost: nothing to rebuild, nothing touched.
    auto marks = loseShards(block, {4, 6});
    const auto before = block.shards;
    EXPECT_EQ(reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), 7, 50), 0);
    EXPECT_EQ(block.shards, before);

    // Two data shards lost with one parity shard left: refused, lost buffers unchanged.
    marks = loseShards(block, {0, 3, 4, 6});
    const auto junk = block.shards;
    EXPECT_EQ(reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), 7, 50), -1);
    EXPECT_EQ(block.shards, junk);
}

TEST(ReedSolomonDecode, UsesTheFirstPresentParityRows)
{
    std::mt19937 random(9);
    Block block(4, 3, 200, random);
    const Block original = block;
    auto rs = makeContext(4, 3);
    auto marks = loseShards(block, {1, 2, 5});
    ASSERT_EQ(reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), 7, 200), 0);
    EXPECT_EQ(block.shards, [&] {
        auto expected = original.shards;
        expected[5] = block.shards[5];
        return expected;
    }());
    // Shards past ds + ps are ignored.
    block = original;
    marks = loseShards(block, {0, 3});
    auto pointers = block.pointers();
    pointers.push_back(nullptr);
    marks.push_back(1);
    ASSERT_EQ(reed_solomon_decode(rs.get(), pointers.data(), marks.data(), 8, 200), 0);
    EXPECT_EQ(block.shards[0], original.shards[0]);
    EXPECT_EQ(block.shards[3], original.shards[3]);
}

// Every loss pattern of up to ps shards, for every small block shape.
TEST(ReedSolomonDecode, RebuildsEveryLossPatternOfSmallBlocks)
{
    std::mt19937 random(13);
    for (int ts = 2; ts <= 9; ++ts) {
        for (int ds = 1; ds < ts; ++ds) {
            const int ps = ts - ds;
            const int bs = 1 + static_cast<int>(random() % 150);
            const Block original(ds, ps, bs, random);
            auto rs = makeContext(ds, ps);
            ASSERT_NE(rs, nullptr);
            for (unsigned pattern = 0; pattern < (1u << ts); ++pattern) {
                std::vector<int> lost;
                for (int i = 0; i < ts; ++i)
                    if (pattern & (1u << i))
                        lost.push_back(i);
                Block block = original;
                auto marks = loseShards(block, lost);
                const int lostData = static_cast<int>(std::count_if(lost.begin(), lost.end(), [&](int i) { return i < ds; }));
                const int presentParity = ps - (static_cast<int>(lost.size()) - lostData);
                const int result = reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), ts, bs);
                if (lostData > presentParity) {
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
    for (auto [shapeDs, shapePs, shapeBs] : shapes) {
        const int ds = shapeDs;
        const int ps = shapePs;
        const int bs = shapeBs;
        const Block original(ds, ps, bs, random);
        for (int sample = 0; sample < 6; ++sample) {
            std::vector<int> order(static_cast<std::size_t>(ds + ps));
            for (int i = 0; i < ds + ps; ++i)
                order[i] = i;
            std::shuffle(order.begin(), order.end(), random);
            // Favour losing data shards, the case that does work.
            std::stable_partition(order.begin(), order.end(), [&](int i) { return i < ds && random() % 2 == 0; });
            const int count = sample == 0 ? ps : 1 + static_cast<int>(random() % ps);
            std::vector<int> lost(order.begin(), order.begin() + std::min(count, ds + ps));

            for (auto isa : {oblas_isa::portable, oblas_isa::ssse3, oblas_isa::avx2}) {
                ForcedIsa forced(isa);
                if (!forced.ok())
                    continue;
                auto rs = makeContext(ds, ps);
                Block block = original;
                auto marks = loseShards(block, lost);
                ASSERT_EQ(reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), ds + ps, bs), 0);
                for (int j = 0; j < ds; ++j)
                    ASSERT_EQ(block.shards[j], original.shards[j]) << ds << "," << ps << "," << bs << " shard " << j;
            }
        }
    }
}

// The rebuild is the single solution of the partner rows' equations, so even a corrupted block gives the
// same bytes as plain elimination over those rows would.
TEST(ReedSolomonDecode, CorruptBlockGivesTheSameBytesAsPlainElimination)
{
    std::mt19937 random(23);
    for (auto [ds, ps, bs] : {std::tuple{4, 3, 40}, {20, 4, 99}, {60, 30, 64}, {30, 60, 20}}) {
        Block block(ds, ps, bs, random);
        for (int i = ds; i < ds + ps; ++i)
            for (auto& b : block.shards[i])
                b = static_cast<std::uint8_t>(random());
        std::vector<int> lost;
        for (int i = 0; i < ds + ps; ++i)
            if (random() % 3 == 0 && static_cast<int>(lost.size()) < ps)
                lost.push_back(i);
        auto marks = loseShards(block, lost);

        // Elimination with ISA-L's field arithmetic: parity rows in index order, forward then back.
        const Bytes matrix = isalParityMatrix(ds, ps);
        std::vector<int> lostData;
        std::vector<int> rows;
        for (int i = 0; i < ds; ++i)
            if (marks[i])
                lostData.push_back(i);
        for (int i = ds; i < ds + ps && rows.size() < lostData.size(); ++i)
            if (!marks[i])
                rows.push_back(i - ds);
        ASSERT_EQ(rows.size(), lostData.size());
        const std::size_t e = lostData.size();
        std::vector<Bytes> x(e);
        std::vector<Bytes> w(e, Bytes(e));
        for (std::size_t m = 0; m < e; ++m) {
            x[m] = block.shards[ds + rows[m]];
            for (std::size_t n = 0; n < e; ++n)
                w[m][n] = matrix[rows[m] * ds + lostData[n]];
            for (int c = 0; c < ds; ++c)
                if (!marks[c])
                    for (int t = 0; t < bs; ++t)
                        x[m][t] ^= gf_mul(matrix[rows[m] * ds + c], block.shards[c][t]);
        }
        for (std::size_t n = 0; n < e; ++n) {
            const unsigned char inv = gf_inv(w[n][n]);
            for (std::size_t k = 0; k < e; ++k)
                w[n][k] = gf_mul(w[n][k], inv);
            for (int t = 0; t < bs; ++t)
                x[n][t] = gf_mul(x[n][t], inv);
            for (std::size_t m = 0; m < e; ++m) {
                if (m == n || w[m][n] == 0)
                    continue;
                const unsigned char f = w[m][n];
                for (std::size_t k = 0; k < e; ++k)
                    w[m][k] ^= gf_mul(f, w[n][k]);
                for (int t = 0; t < bs; ++t)
                    x[m][t] ^= gf_mul(f, x[n][t]);
            }
        }

        auto rs = makeContext(ds, ps);
        ASSERT_EQ(reed_solomon_decode(rs.get(), block.pointers().data(), marks.data(), ds + ps, bs), 0);
        for (std::size_t m = 0; m < e; ++m)
            EXPECT_EQ(block.shards[lostData[m]], x[m]) << ds << "," << ps << " lost shard " << lostData[m];
    }
}

} // namespace
} // namespace corvane::stream
