// Packing cell bytes into words and back, through both kernel variants,
// against a per-cell reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "boolmat/bitvec.hpp"
#include "boolmat/bytes.hpp"
#include "boolmat/detail/bytes.hpp"
#include "failure.hpp"
#include "variants.hpp"

using boolmat::Word;

namespace {

const std::size_t kWidths[] = {1,  7,  8,  15,  16,  17,  31,  32,  33,
                               63, 64, 65, 100, 127, 128, 129, 200, 1000};

}  // namespace

TEST(Bytes, PackSetsExactlyTheBytesEqualToOne) {
    std::mt19937_64 rng(7);
    for_each_variant([&](bool portable) {
        for (std::size_t n : kWidths) {
            // Bytes 0, 1 and other values: only 1 counts as a set cell.
            std::vector<std::uint8_t> cells(n);
            for (auto& c : cells)
                c = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 256 : rng() % 2);
            std::vector<Word> out(boolmat::words_for(n) + 1, ~Word{0});
            bits_of(portable).bytes->pack_bytes(cells.data(), n, out.data());
            for (std::size_t j = 0; j < boolmat::words_for(n) * 64; ++j) {
                const bool bit = (out[j / 64] >> (j % 64)) & 1;
                ASSERT_EQ(bit, j < n && cells[j] == 1)
                    << "n=" << n << " j=" << j << " portable=" << portable;
            }
            EXPECT_EQ(out.back(), ~Word{0}) << "wrote past the row, n=" << n;
        }
    });
}

TEST(Bytes, PackNonZeroSetsEveryByteThatIsNotZero) {
    std::mt19937_64 rng(10);
    const std::uint8_t values[] = {0, 0, 0, 1, 1, 2, 128, 255};
    for_each_variant([&](bool portable) {
        for (std::size_t n : kWidths) {
            std::vector<std::uint8_t> bytes(n);
            for (auto& b : bytes) b = values[rng() % 8];
            std::vector<Word> out(boolmat::words_for(n) + 1, ~Word{0});
            bits_of(portable).bytes->pack_nonzero_bytes(bytes.data(), n, out.data());
            for (std::size_t j = 0; j < boolmat::words_for(n) * 64; ++j) {
                const bool bit = (out[j / 64] >> (j % 64)) & 1;
                ASSERT_EQ(bit, j < n && bytes[j] != 0)
                    << "n=" << n << " j=" << j << " portable=" << portable;
            }
            EXPECT_EQ(out.back(), ~Word{0}) << "wrote past the row, n=" << n;
            const boolmat::BitVec v = boolmat::BitVec::from_bytes(bytes);
            ASSERT_EQ(v.len(), n);
            EXPECT_TRUE(std::equal(v.words().begin(), v.words().end(), out.begin())) << n;
        }
    });
    EXPECT_EQ(failure_of([] { boolmat::BitVec::from_bytes({}); }), "n égale à 0");
}

TEST(Bytes, UnpackWritesEveryCellAndNothingMore) {
    std::mt19937_64 rng(8);
    for_each_variant([&](bool portable) {
        for (std::size_t n : kWidths) {
            std::vector<Word> words(boolmat::words_for(n));
            for (auto& w : words) w = rng();
            std::vector<std::uint8_t> out(n + 8, 0xAB);
            bits_of(portable).bytes->unpack_bytes(words.data(), n, out.data());
            for (std::size_t j = 0; j < n; ++j)
                ASSERT_EQ(out[j], (words[j / 64] >> (j % 64)) & 1)
                    << "n=" << n << " j=" << j << " portable=" << portable;
            for (std::size_t j = n; j < n + 8; ++j)
                ASSERT_EQ(out[j], 0xAB) << "wrote past the row, n=" << n;
        }
    });
}

TEST(Bytes, VariantsAgree) {
    if (!boolmat::cpu::supports(boolmat::Isa::Avx2)) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937_64 rng(9);
    std::vector<std::uint8_t> cells(4099);
    for (auto& c : cells) c = static_cast<std::uint8_t>(rng() % 3);
    std::vector<Word> a(boolmat::words_for(cells.size())), b(a.size());
    const boolmat::detail::ByteKernels& portable =
        boolmat::detail::byte_kernels(boolmat::Isa::Portable);
    const boolmat::detail::ByteKernels& avx2 = boolmat::detail::byte_kernels(boolmat::Isa::Avx2);
    portable.pack_bytes(cells.data(), cells.size(), a.data());
    avx2.pack_bytes(cells.data(), cells.size(), b.data());
    EXPECT_EQ(a, b);
    std::vector<std::uint8_t> x(cells.size()), y(cells.size());
    portable.unpack_bytes(a.data(), x.size(), x.data());
    avx2.unpack_bytes(a.data(), y.size(), y.data());
    EXPECT_EQ(x, y);
}
