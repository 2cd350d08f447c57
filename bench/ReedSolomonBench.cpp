// Decode of one video block against ISA-L decoding the same block and loss pattern, in the same run.
//
// The ISA-L side is the strong way to decode with it: invert only the e x e matrix of the lost columns
// and the partner parity rows, make the e x ds decode matrix with ec_encode_data, expand it with
// ec_init_tables and run ec_encode_data over the block. Counters:
//   vs_isal       ISA-L's whole decode time / ours (above 1: we are faster)
//   vs_isal_data  ISA-L's data pass alone (ec_init_tables + ec_encode_data, decode matrix made
//                 beforehand) / our whole decode: the bar for the kernels themselves.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <isa-l/erasure_code.h>

#include "engine/reed_solomon/ReedSolomon.hpp"

namespace corvane::stream {
namespace {

constexpr int kShardBytes = 1408;
// The host protects video blocks with 20% parity, rounded up.
int parityFor(int ds)
{
    return (20 * ds + 99) / 100;
}

struct Fixture {
    int ds;
    int ps;
    int e;
    std::vector<std::vector<std::uint8_t>> shards;
    std::vector<std::uint8_t*> pointers;
    std::vector<std::uint8_t> marks;
    std::vector<std::uint8_t> parityMatrix;
    std::vector<int> lost;
    std::vector<int> partners;
    std::vector<int> present;
    reed_solomon* rs = nullptr;

    // ISA-L's working state, kept between calls as a real user would.
    std::vector<unsigned char> w;
    std::vector<unsigned char> wInverse;
    std::vector<unsigned char> decodeMatrix;
    std::vector<unsigned char> tables;
    std::vector<unsigned char*> isalIn;
    std::vector<unsigned char*> isalOut;
    std::vector<std::vector<unsigned char>> isalResult;
    std::vector<unsigned char> partnerRows;
    std::vector<unsigned char> right;
    std::vector<unsigned char*> partnerRowPointers;
    std::vector<unsigned char*> rightPointers;
    std::vector<unsigned char> inverseTables;

    Fixture(int dataShards, int lostShards)
        : ds(dataShards), ps(parityFor(dataShards)), e(lostShards)
    {
        std::mt19937 random(static_cast<unsigned>(ds * 1000 + e));
        shards.assign(static_cast<std::size_t>(ds + ps), std::vector<std::uint8_t>(kShardBytes));
        for (int j = 0; j < ds; ++j)
            for (auto& b : shards[j])
                b = static_cast<std::uint8_t>(random());
        parityMatrix.resize(static_cast<std::size_t>(ps * ds));
        for (int i = 0; i < ps; ++i)
            for (int j = 0; j < ds; ++j)
                parityMatrix[i * ds + j] = gf_inv(static_cast<unsigned char>((j + ps) ^ i));
        for (auto& s : shards)
            pointers.push_back(s.data());
        std::vector<unsigned char> encodeTables(static_cast<std::size_t>(32 * ds * ps));
        ec_init_tables(ds, ps, parityMatrix.data(), encodeTables.data());
        ec_encode_data(kShardBytes, ds, ps, encodeTables.data(), pointers.data(), pointers.data() + ds);

        // Lose e data shards: the costly case; lost parity costs nothing.
        std::vector<int> order(static_cast<std::size_t>(ds));
        for (int j = 0; j < ds; ++j)
            order[j] = j;
        std::shuffle(order.begin(), order.end(), random);
        marks.assign(static_cast<std::size_t>(ds + ps), 0);
        for (int m = 0; m < e; ++m)
            marks[order[m]] = 1;
        for (int j = 0; j < ds; ++j)
            (marks[j] ? lost : present).push_back(j);
        for (int i = 0; i < e; ++i)
            partners.push_back(i);

        rs = reed_solomon_new(ds, ps);
        w.resize(static_cast<std::size_t>(e * e));
        wInverse.resize(static_cast<std::size_t>(e * e));
        decodeMatrix.resize(static_cast<std::size_t>(e * ds));
        tables.resize(static_cast<std::size_t>(32 * e * ds));
        const int kept = ds - e;
        partnerRows.resize(static_cast<std::size_t>(e * kept + 1));
        right.resize(static_cast<std::size_t>(e * kept + 1));
        for (int m = 0; m < e; ++m) {
            partnerRowPointers.push_back(partnerRows.data() + m * kept);
            rightPointers.push_back(right.data() + m * kept);
        }
        inverseTables.resize(static_cast<std::size_t>(32 * e * e));
        for (int p : partners)
            isalIn.push_back(shards[ds + p].data());
        for (int c : present)
            isalIn.push_back(shards[c].data());
        isalResult.assign(static_cast<std::size_t>(e), std::vector<unsigned char>(kShardBytes));
        for (auto& r : isalResult)
            isalOut.push_back(r.data());

        // Both decoders must rebuild the block before their speed means anything.
        const auto original = shards;
        oursDecode();
        isalDecode();
        for (int m = 0; m < e; ++m) {
            if (shards[lost[m]] != original[lost[m]] || isalResult[m] != original[lost[m]]) {
                std::fprintf(stderr, "decoders disagree for ds %d, %d lost\n", ds, e);
                std::abort();
            }
        }
    }

    ~Fixture() { reed_solomon_release(rs); }

    void oursDecode()
    {
        if (reed_solomon_decode(rs, pointers.data(), marks.data(), ds + ps, kShardBytes) != 0)
            std::abort();
    }

    void isalDecodeMatrix()
    {
        for (int m = 0; m < e; ++m)
            for (int n = 0; n < e; ++n)
                w[m * e + n] = parityMatrix[partners[m] * ds + lost[n]];
        if (gf_invert_matrix(w.data(), wInverse.data(), e) != 0)
            std::abort();
        // Left part: W^-1. Right part: W^-1 times the partner rows at the present columns, made by
        // ec_encode_data itself with those rows as its shards.
        const int kept = ds - e;
        for (int m = 0; m < e; ++m)
            for (int c = 0; c < kept; ++c)
                partnerRows[m * kept + c] = parityMatrix[partners[m] * ds + present[c]];
        if (kept > 0) {
            ec_init_tables(e, e, wInverse.data(), inverseTables.data());
            ec_encode_data(kept, e, e, inverseTables.data(), partnerRowPointers.data(), rightPointers.data());
        }
        for (int m = 0; m < e; ++m) {
            std::copy_n(wInverse.data() + m * e, e, decodeMatrix.data() + m * ds);
            std::copy_n(right.data() + m * kept, kept, decodeMatrix.data() + m * ds + e);
        }
    }

    void isalDataPass()
    {
        ec_init_tables(ds, e, decodeMatrix.data(), tables.data());
        ec_encode_data(kShardBytes, ds, e, tables.data(), isalIn.data(), isalOut.data());
    }

    void isalDecode()
    {
        isalDecodeMatrix();
        isalDataPass();
    }
};

template <typename F>
double secondsPerCall(F&& call)
{
    using Clock = std::chrono::steady_clock;
    int calls = 1;
    for (;;) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            call();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > 0.01)
            return elapsed / calls;
        calls *= 2;
    }
}

template <oblas_isa isa>
void decode(benchmark::State& state)
{
    if (oblas_force_isa(isa) != 0) {
        state.SkipWithError("this CPU lacks the instruction set");
        return;
    }
    Fixture f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));

    // Interleaved rounds, best of each, so both sides see the same machine state.
    double ours = 1e9;
    double isal = 1e9;
    double isalData = 1e9;
    f.isalDecodeMatrix();
    for (int round = 0; round < 5; ++round) {
        ours = std::min(ours, secondsPerCall([&] { f.oursDecode(); }));
        isal = std::min(isal, secondsPerCall([&] { f.isalDecode(); }));
        isalData = std::min(isalData, secondsPerCall([&] { f.isalDataPass(); }));
    }

    for (auto _ : state) {
        f.oursDecode();
        benchmark::DoNotOptimize(f.shards[f.lost[0]].data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * f.ds * kShardBytes);
    state.counters["ps"] = f.ps;
    state.counters["vs_isal"] = isal / ours;
    state.counters["vs_isal_data"] = isalData / ours;
    state.counters["isal_GBps"] = f.ds * kShardBytes / isal / 1e9;
    oblas_force_isa(oblas_isa::automatic);
}

void lossCounts(benchmark::internal::Benchmark* b)
{
    for (int ds : {20, 100, 200}) {
        const int ps = parityFor(ds);
        std::vector<int> counts;
        for (int e : {1, 2, 4, 8, 16, 32})
            if (e < ps)
                counts.push_back(e);
        counts.push_back(ps);
        for (int e : counts)
            b->Args({ds, e});
    }
}

// automatic: the widest kernels this CPU runs; ssse3: what a machine without AVX2 gets.
BENCHMARK_TEMPLATE(decode, oblas_isa::automatic)->Apply(lossCounts)->ArgNames({"ds", "lost"})->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(decode, oblas_isa::ssse3)->Apply(lossCounts)->ArgNames({"ds", "lost"})->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace corvane::stream
