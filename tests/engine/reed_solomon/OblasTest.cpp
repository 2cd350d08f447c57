#include "engine/reed_solomon/Oblas.hpp"
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>
#include "platform/core/Bytes.hpp"

namespace corvane::stream {
namespace {

Bytes randomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

// Each kernel set against products from ISA-L's field arithmetic, at every length up to a few vector steps
// and at unaligned offsets, so the wide steps, the masked or byte-wise tails and the bytes around are covered.
class KernelSet : public testing::TestWithParam<oblas_isa> {};

TEST_P(KernelSet, EveryKernelMatchesFieldProducts) {
    oblas_impl impl{};
    if (oblas_get_impl_for(&impl, GetParam()) != 0) GTEST_SKIP() << "this CPU lacks the instruction set";
    std::mt19937 random(29);
    for (std::uint32_t k = 0; k <= 200; ++k) {
        const std::size_t offset = k % 5;
        for (int u : {0, 1, 2, 0x8E, static_cast<int>(random() % 256)}) {
            const auto value = static_cast<std::uint8_t>(u);
            const Bytes a = randomBytes(k + offset + 1, random);
            const Bytes b = randomBytes(k + offset + 1, random);
            std::vector<std::uint32_t> mask((k + 31) / 32 + 1);
            for (auto& word : mask) word = static_cast<std::uint32_t>(random());
            Bytes axpy = a, scal = a, axiy = a, bits = a;
            impl.axpy(axpy.data() + offset, b.data() + offset, value, k);
            impl.scal(scal.data() + offset, value, k);
            impl.axiy(axiy.data() + offset, b.data() + offset, value, k);
            impl.axpyb32(bits.data() + offset, mask.data(), value, k);
            for (std::size_t i = 0; i < a.size(); ++i) {
                const bool inside = i >= offset && i < k + offset;
                const std::size_t t = i - offset;
                ASSERT_EQ(axpy[i], inside ? a[i] ^ gf_mul(value, b[i]) : a[i]) << "axpy k " << k << " u " << u;
                ASSERT_EQ(scal[i], inside ? gf_mul(value, a[i]) : a[i]) << "scal k " << k << " u " << u;
                ASSERT_EQ(axiy[i], inside ? gf_mul(value, b[i]) : a[i]) << "axiy k " << k << " u " << u;
                const bool set = inside && ((mask[t / 32] >> (t % 32)) & 1);
                ASSERT_EQ(bits[i], set ? a[i] ^ value : a[i]) << "axpyb32 k " << k << " byte " << i;
            }
        }
    }
    for (auto [rows, count] : {std::pair{1u, 1u}, {2u, 3u}, {4u, 7u}, {5u, 20u}, {9u, 2u}, {13u, 5u}, {3u, 0u}}) {
        for (std::uint32_t k : {1u, 15u, 16u, 17u, 63u, 64u, 65u, 100u, 130u, 1408u}) {
            std::vector<Bytes> inputs(count);
            std::vector<const std::uint8_t*> in;
            for (auto& input : inputs) in.push_back((input = randomBytes(k, random)).data());
            const Bytes coef = randomBytes(static_cast<std::size_t>(rows) * count, random);
            std::vector<Bytes> outputs(rows, Bytes(k + 1, 0xEE));
            std::vector<std::uint8_t*> out;
            for (auto& o : outputs) out.push_back(o.data());
            impl.dotp(out.data(), rows, in.data(), count, coef.data(), k);
            for (std::uint32_t r = 0; r < rows; ++r) {
                for (std::uint32_t i = 0; i < k; ++i) {
                    std::uint8_t sum = 0;
                    for (std::uint32_t s = 0; s < count; ++s) sum ^= gf_mul(coef[r * count + s], inputs[s][i]);
                    ASSERT_EQ(outputs[r][i], sum) << "rows " << rows << " count " << count << " k " << k;
                }
                ASSERT_EQ(outputs[r][k], 0xEE) << "rows " << rows << " count " << count << " k " << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Oblas, KernelSet,
    testing::Values(oblas_isa::portable, oblas_isa::ssse3, oblas_isa::avx2, oblas_isa::avx512),
    [](const auto& info) { return std::string(std::array{"automatic", "portable", "ssse3", "avx2", "avx512"}[int(info.param)]); });

} // namespace
} // namespace corvane::stream
