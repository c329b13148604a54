// The population-count kernels in both variants against per-word counts, on
// lengths around the vector widths, and the switch that forces the portable
// variants.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/cpu.hpp"
#include "boolmat/kernels.hpp"
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

}  // namespace
