// The word kernels with processor-specific variants: each `_avx2` variant
// against its `_portable` twin and a per-bit model, on lengths around the
// vector and word widths; and the switch that forces the portable ones.
#include <gtest/gtest.h>

#include <bit>
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/bitvec.hpp"
#include "boolmat/cpu.hpp"
#include "boolmat/kernels.hpp"
#include "failure.hpp"
#include "variants.hpp"

namespace {

using boolmat::Word;
namespace kernels = boolmat::kernels;

const std::size_t kLengths[] = {1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 63, 64, 65, 100, 129, 1000};

TEST(Cpu, ForcingPortableTurnsTheFastVariantsOff) {
    const bool available = boolmat::cpu::has_avx2() && boolmat::cpu::has_bit_instructions();
    EXPECT_EQ(boolmat::cpu::use_avx2(), available);
    {
        const PortableOnly forced;
        EXPECT_FALSE(boolmat::cpu::use_avx2());
    }
    EXPECT_EQ(boolmat::cpu::use_avx2(), available);
}

TEST(PopcountKernels, VariantsMatchPerWordCounts) {
    std::mt19937_64 g(5);
    for (const std::size_t n : kLengths) {
        std::vector<Word> a(n), b(n), x(n);
        for (std::size_t k = 0; k < n; ++k) a[k] = g() & g(), b[k] = g(), x[k] = g() | g();
        std::size_t ones = 0, differ = 0, only_a = 0, off = 0;
        for (std::size_t k = 0; k < n; ++k) {
            ones += std::popcount(a[k]);
            differ += std::popcount(a[k] ^ b[k]);
            only_a += std::popcount(a[k] & ~b[k]);
            off += std::popcount(x[k] ^ (a[k] | b[k]));
        }
        for_each_variant([&](bool portable) {
            EXPECT_EQ(kernels::popcount_words(a.data(), n), ones) << n << portable;
            EXPECT_EQ(kernels::xor_popcount(a.data(), b.data(), n), differ) << n << portable;
            EXPECT_EQ(kernels::andnot_popcount(a.data(), b.data(), n), only_a) << n << portable;
            EXPECT_EQ(kernels::or_xor_popcount(x.data(), a.data(), b.data(), n), off) << n << portable;
        });
    }
}

TEST(PackKernels, EveryNonZeroByteGivesOneBit) {
    std::mt19937_64 g(6);
    const std::uint8_t values[] = {0, 0, 0, 1, 1, 2, 128, 255};
    for (const std::size_t n : kLengths) {
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes) b = values[g() % 8];
        std::vector<Word> want(boolmat::words_for(n), 0);
        for (std::size_t k = 0; k < n; ++k)
            if (bytes[k] != 0) want[k / 64] |= Word{1} << (k % 64);
        for_each_variant([&](bool portable) {
            std::vector<Word> got(want.size(), ~Word{0});
            kernels::pack_nonzero_bytes(bytes.data(), n, got.data());
            EXPECT_EQ(got, want) << n << portable;
            const boolmat::BitVec v = boolmat::BitVec::from_bytes(bytes);
            EXPECT_EQ(v.len(), n);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), v.words().begin())) << n << portable;
        });
    }
    EXPECT_EQ(failure_of([] { boolmat::BitVec::from_bytes({}); }), "n égale à 0");
}

}  // namespace
