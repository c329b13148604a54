// BitMatrix storage: layout and spare-bit invariant across word boundaries,
// size limits, cell and row access with their failures, counts and equality.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"
#include "matrices.hpp"

using boolmat::BitMatrix;
using boolmat::Word;

namespace {

TEST(BitMatrixStorage, ZerosAndOnesAcrossWordBoundaries) {
    for (std::size_t c : {1, 63, 64, 65, 127, 128, 129, 200}) {
        for (std::size_t r : {1, 20, 21, 64, 65}) {
            const BitMatrix z = BitMatrix::zeros(r, c), o = BitMatrix::ones(r, c);
            for (const BitMatrix* m : {&z, &o}) {
                EXPECT_EQ(m->stride(), (c + 63) / 64);
                EXPECT_EQ(m->words().size(), r * m->stride());
                EXPECT_TRUE(spare_bits_clear(*m)) << r << "x" << c;
            }
            EXPECT_EQ(z.count_ones(), 0u);
            EXPECT_EQ(o.count_ones(), r * c);
            EXPECT_EQ(o.row_count_ones(r - 1), c);
        }
    }
    EXPECT_EQ(BitMatrix::ones(3, 64).words()[2], ~Word{0});
    const BitMatrix b = BitMatrix::ones(2, 65);
    EXPECT_EQ(b.words()[1], 1u);
    EXPECT_EQ(b.words()[3], 1u);
    EXPECT_EQ(BitMatrix::ones(1, 1).words()[0], 1u);
}

TEST(BitMatrixStorage, DimensionAndCapacityFailures) {
    for (auto make : {&BitMatrix::zeros, &BitMatrix::ones}) {
        EXPECT_EQ(failure_of([&] { make(0, 5); }), "rows égale à 0");
        EXPECT_EQ(failure_of([&] { make(5, 0); }), "cols égale à 0");
        EXPECT_EQ(failure_of([&] { make(0, 0); }), "cols égale à 0");
        EXPECT_EQ(failure_of([&] { make(std::size_t{1} << 60, 64); }), "capacity overflow");
        EXPECT_EQ(failure_of([&] { make(std::numeric_limits<std::size_t>::max(), 65); }),
                  "capacity overflow");
    }
    using boolmat::checked_word_count;
    constexpr std::size_t kMax = boolmat::kMaxWords;
    EXPECT_EQ(failure_of([] { checked_word_count(std::size_t{1} << 40, std::size_t{1} << 30); }),
              "capacity overflow");
    // 2^32 x 2^32 wraps to 0 in 64 bits.
    EXPECT_EQ(failure_of([] { checked_word_count(std::size_t{1} << 32, std::size_t{1} << 32); }),
              "capacity overflow");
    EXPECT_EQ(checked_word_count(kMax / 3, 3), kMax);
    EXPECT_EQ(failure_of([] { checked_word_count(kMax / 3 + 1, 3); }), "capacity overflow");
}

TEST(BitMatrixAccess, RandomCellsMatchModelAndLayout) {
    std::mt19937_64 rng(21);
    for (std::size_t c : {1, 63, 64, 65, 129, 200}) {
        for (std::size_t r : {1, 21, 65}) {
            BitMatrix m = BitMatrix::zeros(r, c);
            std::vector<std::vector<bool>> model(r, std::vector<bool>(c));
            for (std::size_t n = 0; n < 3 * r * c; ++n) {
                const std::size_t i = rng() % r, j = rng() % c;
                const bool v = rng() % 3 != 0;
                m.set(i, j, v);
                model[i][j] = v;
            }
            std::size_t total = 0;
            for (std::size_t i = 0; i < r; ++i) {
                std::size_t in_row = 0;
                for (std::size_t j = 0; j < c; ++j) {
                    ASSERT_EQ(m.get(i, j), model[i][j]);
                    ASSERT_EQ((m.words()[i * m.stride() + j / 64] >> (j % 64)) & 1,
                              Word{model[i][j]});
                    in_row += model[i][j];
                }
                EXPECT_EQ(m.row_count_ones(i), in_row);
                total += in_row;
            }
            EXPECT_EQ(m.count_ones(), total);
        }
    }
}

TEST(BitMatrixAccess, IndexFailuresCheckRowFirstAndChangeNothing) {
    BitMatrix m = BitMatrix::ones(4, 70);
    const BitMatrix before = m;
    EXPECT_EQ(failure_of([&] { m.get(4, 80); }), "index 4 hors limites (rows = 4)");
    EXPECT_EQ(failure_of([&] { m.get(3, 70); }), "index 70 hors limites (cols = 70)");
    EXPECT_EQ(failure_of([&] { m.set(4, 80, false); }), "index 4 hors limites (rows = 4)");
    EXPECT_EQ(failure_of([&] { m.set(0, 127, true); }), "index 127 hors limites (cols = 70)");
    EXPECT_EQ(failure_of([&] { m.row(4); }), "index 4 hors limites (rows = 4)");
    EXPECT_EQ(failure_of([&] { m.row_count_ones(9); }), "index 9 hors limites (rows = 4)");
    EXPECT_TRUE(m == before);
}

TEST(BitMatrixAccess, SetRow) {
    BitMatrix m = BitMatrix::zeros(2, 70);
    const std::vector<Word> full = {~Word{0}, ~Word{0}};
    m.set_row(1, full);
    EXPECT_EQ(m.row(1)[0], ~Word{0});
    EXPECT_EQ(m.row(1)[1], 63u);
    EXPECT_EQ(m.count_ones(), 70u);

    const BitMatrix before = m;
    EXPECT_EQ(failure_of([&] { m.set_row(2, full); }), "ligne 2 hors limites (rows = 2)");
    EXPECT_EQ(failure_of([&] { m.set_row(0, std::vector<Word>{1}); }),
              "assertion `left == right` failed: 1 mots pour un stride de 2\n  left: 1\n right: 2");
    EXPECT_EQ(failure_of([&] { m.set_row(5, std::vector<Word>{1}); }),
              "ligne 5 hors limites (rows = 2)");
    m.set_row(1, m.row(1));  // a row copied onto itself
    EXPECT_TRUE(m == before);
}

TEST(BitMatrixValue, CopyEqualityAndRawWrites) {
    BitMatrix a = BitMatrix::zeros(3, 100);
    BitMatrix b = a;
    b.set(2, 99, true);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a.get(2, 99));
    b.set(2, 99, false);
    EXPECT_TRUE(a == b);
    // Same (zero) words, different shapes.
    EXPECT_FALSE(BitMatrix::zeros(1, 128) == BitMatrix::zeros(2, 64));
    EXPECT_FALSE(BitMatrix::zeros(2, 64) == BitMatrix::zeros(2, 63));

    BitMatrix raw = BitMatrix::zeros(3, 65);
    for (Word& w : raw.words_mut()) w = ~Word{0};
    raw.clear_spare_bits();
    EXPECT_TRUE(raw == BitMatrix::ones(3, 65));
}

}  // namespace
