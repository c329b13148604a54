// The population-count kernels in both variants against per-word counts, on
// lengths around the vector widths (the OR of rows for 0 to 6 rows), and the
// choice of each variant's tables.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/bitvec.hpp"
#include "boolmat/cpu.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "failure.hpp"
#include "variants.hpp"

namespace {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::Word;

const std::size_t kLengths[] = {1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 63, 64, 65, 100, 129, 1000};

TEST(Cpu, SelectingPortableTurnsTheFastVariantsOff) {
    using boolmat::Isa;
    const bool available = boolmat::cpu::has_avx2() && boolmat::cpu::has_bit_instructions();
    // A build with QUORBMF_PORTABLE_KERNELS runs the portable tables by default.
    const bool fast_default = available && !boolmat::portable_kernels_forced();
    EXPECT_EQ(boolmat::default_kernels().isa == Isa::Avx2, fast_default);
    EXPECT_EQ(bmf::default_kernels().bits, &boolmat::default_kernels());
    const boolmat::Kernels& portable = boolmat::kernels_for(Isa::Portable);
    EXPECT_EQ(portable.isa, Isa::Portable);
    EXPECT_EQ(portable.popcount, &boolmat::detail::popcount_kernels(Isa::Portable));
    EXPECT_EQ(bmf::kernels_for(Isa::Portable).bits, &portable);
    if (available) {
        EXPECT_NE(boolmat::kernels_for(Isa::Avx2).popcount, portable.popcount);
    } else {
        EXPECT_EQ(failure_of([] { boolmat::kernels_for(Isa::Avx2); }),
                  "ce processeur ne peut pas exécuter les noyaux AVX2");
    }
    // The default stays what it was.
    EXPECT_EQ(boolmat::default_kernels().isa == Isa::Avx2, fast_default);
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
            const boolmat::detail::PopcountKernels& k = *bits_of(portable).popcount;
            EXPECT_EQ(k.popcount(a.data(), n), ones) << n << portable;
            EXPECT_EQ(k.xor_popcount(a.data(), b.data(), n), differ) << n << portable;
            EXPECT_EQ(k.andnot_popcount(a.data(), b.data(), n), only_a) << n << portable;
            EXPECT_EQ(k.or_xor_popcount(x.data(), a.data(), b.data(), n), off) << n << portable;
        });
        // The counts of the value types go through the default tables.
        const std::size_t bits = n * boolmat::kWordBits;
        const BitVec va = BitVec::from_words(a, bits), vb = BitVec::from_words(b, bits);
        EXPECT_EQ(va.count_ones(), ones) << n;
        EXPECT_EQ(va.hamming(vb), differ) << n;
        BitMatrix ma = BitMatrix::zeros(1, bits), mb = BitMatrix::zeros(1, bits);
        ma.set_row(0, a);
        mb.set_row(0, b);
        EXPECT_EQ(ma.count_ones(), ones) << n;
        EXPECT_EQ(ma.hamming(mb), differ) << n;
        EXPECT_EQ(ma.count_andnot(mb), only_a) << n;
        EXPECT_EQ(
            boolmat::default_kernels().popcount->or_xor_popcount(x.data(), a.data(), b.data(), n),
            off)
            << n;
    }
}

TEST(PopcountKernels, OrOfRowsMatchesPerWordCounts) {
    std::mt19937_64 g(9);
    for (const std::size_t n : kLengths) {
        // Sparse rows, so that the OR of a few stays far from all ones.
        std::vector<std::vector<Word>> rows(6, std::vector<Word>(n));
        std::vector<Word> x(n);
        for (auto& row : rows)
            for (Word& w : row) w = g() & g() & g();
        for (Word& w : x) w = g() & g();
        for (std::size_t count = 0; count <= rows.size(); ++count) {
            std::vector<const Word*> chosen;
            for (std::size_t j = 0; j < count; ++j) chosen.push_back(rows[j].data());
            std::size_t off = 0;
            for (std::size_t k = 0; k < n; ++k) {
                Word w = 0;
                for (std::size_t j = 0; j < count; ++j) w |= rows[j][k];
                off += std::popcount(x[k] ^ w);
            }
            for_each_variant([&](bool portable) {
                const boolmat::detail::PopcountKernels& k = *bits_of(portable).popcount;
                EXPECT_EQ(k.or_rows_xor_popcount(x.data(), chosen.data(), count, n), off)
                    << n << " " << count << " " << portable;
            });
        }
    }
}

}  // namespace
