#include "engine/video/FEC.hpp"
#include <bit>
#include <random>
#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>
#include "engine/reed_solomon/Oblas.hpp"

namespace corvane::stream {
namespace {

// A block of random data shards and their parity from ISA-L, all as slots.
FEC::Shards makeBlock(int data, int parity, std::size_t length) {
    std::mt19937 random(static_cast<unsigned>(data * 1000 + parity));
    std::vector<Bytes> shards(static_cast<std::size_t>(data + parity), Bytes(length));
    std::vector<unsigned char> matrix;
    for (int i = 0; i < parity; ++i)
        for (int j = 0; j < data; ++j) matrix.push_back(gf_inv(static_cast<unsigned char>((j + parity) ^ i)));
    std::vector<unsigned char*> pointers;
    for (auto& shard : shards) {
        for (auto& byte : shard) byte = static_cast<std::uint8_t>(random());
        pointers.push_back(shard.data());
    }
    std::vector<unsigned char> tables(static_cast<std::size_t>(32 * data * parity));
    ec_init_tables(data, parity, matrix.data(), tables.data());
    ec_encode_data(static_cast<int>(length), data, parity, tables.data(), pointers.data(), pointers.data() + data);
    return {shards.begin(), shards.end()};
}

FEC::Shards without(FEC::Shards shards, std::initializer_list<int> lost) {
    for (int i : lost) shards[static_cast<std::size_t>(i)].reset();
    return shards;
}

TEST(FECTest, RebuildsLostDataOnlyAndRefusalsLeaveTheShardsUnchanged) {
    // As many shards lost as there is parity, over data and parity; lost parity stays absent.
    for (auto [data, parity] : {std::pair{4, 2}, {200, 55}, {128, 127}}) {
        const auto full = makeBlock(data, parity, 64);
        FEC::Shards shards = full, expected = full;
        for (int i = 0; i < parity; ++i) {
            const auto lost = static_cast<std::size_t>(i * (data + parity) / parity);
            shards[lost].reset();
            if (lost >= static_cast<std::size_t>(data)) expected[lost].reset();
        }
        ASSERT_TRUE(FEC::recover(shards, data, parity)) << data << "+" << parity;
        EXPECT_EQ(shards, expected) << data << "+" << parity;
    }
    const auto small = makeBlock(4, 1, 40);
    auto uneven = without(small, {0});
    uneven[1]->push_back(0);
    FEC::Shards empty(5, Bytes{});
    empty[0].reset();
    const auto big = makeBlock(200, 60, 8);
    struct Case {
        FEC::Shards shards;
        int data, parity;
        bool result;
    };
    for (auto [shards, data, parity, result] : {Case{without(small, {0, 2}), 4, 1, false}, // too few
             Case{without(small, {0}), 4, 2, false}, Case{without(small, {0}), 0, 5, false},
             Case{without(small, {0}), 5, -1, false}, Case{uneven, 4, 1, false}, Case{empty, 4, 1, false},
             Case{{Bytes{1}, Bytes{2, 3}}, 2, 0, true},          // complete data needs no parity
             Case{without(big, {210, 259}), 200, 60, true},     // nor a codec that takes 260 shards
             Case{without(big, {3}), 200, 60, false}}) {
        const auto before = shards;
        EXPECT_EQ(FEC::recover(shards, data, parity), result) << data << "+" << parity;
        EXPECT_EQ(shards, before);
    }
    EXPECT_FALSE(FEC::codecAccepts(200, 60));
    EXPECT_TRUE(FEC::codecAccepts(200, 55));
}

// Every loss pattern of every small block shape, on every kernel set.
TEST(FECTest, RebuildsEveryLossPatternOfSmallBlocksOnEveryKernelSet) {
    for (auto isa : {oblas_isa::portable, oblas_isa::ssse3, oblas_isa::avx2, oblas_isa::avx512}) {
        if (oblas_force_isa(isa) != 0) continue;
        for (int total = 2; total <= 8; ++total)
            for (int data = 1; data < total; ++data) {
                const auto full = makeBlock(data, total - data, static_cast<std::size_t>(1 + (data * 37 + total * 11) % 150));
                for (unsigned pattern = 0; pattern < (1u << total); ++pattern) {
                    FEC::Shards shards = full;
                    for (int i = 0; i < total; ++i)
                        if (pattern & (1u << i)) shards[static_cast<std::size_t>(i)].reset();
                    const bool enough = std::popcount(pattern) <= total - data;
                    ASSERT_EQ(FEC::recover(shards, data, total - data), enough) << data << "+" << total - data << " " << pattern;
                    for (int j = 0; enough && j < data; ++j) ASSERT_EQ(shards[static_cast<std::size_t>(j)], full[static_cast<std::size_t>(j)]);
                }
            }
    }
    oblas_force_isa(oblas_isa::automatic);
}

} // namespace
} // namespace corvane::stream
