// BitMatrix algebra: word-wise operations, counts, product and transposition,
// cross-checked against a per-cell std::vector<bool> model on random matrices
// and through identities that hold for every shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "variants.hpp"

using boolmat::BitMatrix;
using boolmat::Word;
using Dims = std::tuple<std::size_t, std::size_t, std::size_t>;

namespace {

BitMatrix identity(std::size_t n) {
    BitMatrix m = BitMatrix::zeros(n, n);
    for (std::size_t k = 0; k < n; ++k) m.set(k, k, true);
    return m;
}

const std::pair<std::size_t, std::size_t> kShapes[] = {{1, 1},   {1, 200},  {20, 63}, {21, 64},
                                                       {64, 65}, {65, 127}, {2, 128}, {65, 129}};

TEST(WordWise, OperationsAndCountsMatchModel) {
    std::mt19937_64 rng(31);
    for (auto [r, c] : kShapes) {
        const BitMatrix a = random_matrix(rng, r, c), b = random_matrix(rng, r, c);
        const Cells ma = cells_of(a), mb = cells_of(b);
        BitMatrix o = a, n = a, x = a, d = a;
        o.or_assign(b), n.and_assign(b), x.xor_assign(b), d.andnot_assign(b);
        std::size_t differ = 0, only_a = 0;
        for (std::size_t i = 0; i < r; ++i) {
            for (std::size_t j = 0; j < c; ++j) {
                ASSERT_EQ(o.get(i, j), ma[i][j] || mb[i][j]);
                ASSERT_EQ(n.get(i, j), ma[i][j] && mb[i][j]);
                ASSERT_EQ(x.get(i, j), ma[i][j] != mb[i][j]);
                ASSERT_EQ(d.get(i, j), ma[i][j] && !mb[i][j]);
                differ += ma[i][j] != mb[i][j];
                only_a += ma[i][j] && !mb[i][j];
            }
        }
        EXPECT_EQ(a.hamming(b), differ);
        EXPECT_EQ(a.count_andnot(b), only_a);

        const BitMatrix ca = a.complement();
        EXPECT_TRUE(spare_bits_clear(ca));
        EXPECT_TRUE(ca.complement() == a);
        EXPECT_EQ(a.hamming(ca), r * c);
        EXPECT_EQ(a.count_andnot(BitMatrix::zeros(r, c)), a.count_ones());
        EXPECT_TRUE(BitMatrix::ones(r, c).complement() == BitMatrix::zeros(r, c));
        EXPECT_TRUE(BitMatrix::zeros(r, c).complement() == BitMatrix::ones(r, c));
    }
}

TEST(WordWise, ShapeMismatchFailsAndLeavesSelfUnchanged) {
    const std::string msg = "les deux matrices sont de dimensions différentes";
    std::mt19937_64 rng(33);
    // self rows, self cols, other rows, other cols; 2x64 vs 2x63 share a stride.
    const std::size_t shapes[][4] = {{2, 3, 3, 2}, {2, 64, 2, 63}, {2, 64, 3, 64}};
    for (const auto& s : shapes) {
        BitMatrix self = random_matrix(rng, s[0], s[1]);
        const BitMatrix other = BitMatrix::ones(s[2], s[3]), before = self;
        EXPECT_EQ(failure_of([&] { self.or_assign(other); }), msg);
        EXPECT_EQ(failure_of([&] { self.and_assign(other); }), msg);
        EXPECT_EQ(failure_of([&] { self.xor_assign(other); }), msg);
        EXPECT_EQ(failure_of([&] { self.andnot_assign(other); }), msg);
        EXPECT_EQ(failure_of([&] { self.hamming(other); }), msg);
        EXPECT_EQ(failure_of([&] { self.count_andnot(other); }), msg);
        EXPECT_TRUE(self == before);
    }
}

TEST(Product, MatchesModelAndIdentities) {
    std::mt19937_64 rng(41);
    for (auto [m, n, p] : {Dims{1, 1, 1}, Dims{3, 64, 65}, Dims{21, 65, 63}, Dims{65, 129, 128},
                           Dims{20, 200, 129}, Dims{2, 1, 200}}) {
        for (unsigned sparsity : {2u, 9u}) {
            const BitMatrix a = random_matrix(rng, m, n, one_in(sparsity)),
                            b = random_matrix(rng, n, p, one_in(sparsity));
            const Cells ma = cells_of(a), mb = cells_of(b), mc = cells_of(product(a, b));
            ASSERT_EQ(mc.size(), m);
            ASSERT_EQ(mc[0].size(), p);
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t l = 0; l < p; ++l) {
                    bool cell = false;
                    for (std::size_t j = 0; j < n; ++j) cell = cell || (ma[i][j] && mb[j][l]);
                    ASSERT_EQ(mc[i][l], cell)
                        << m << "x" << n << "x" << p << " at " << i << "," << l;
                }
            }
            EXPECT_TRUE(product(a, b).transpose() == product(b.transpose(), a.transpose()));
            EXPECT_TRUE(product(a, identity(n)) == a);
            EXPECT_TRUE(product(identity(m), a) == a);
        }
        EXPECT_TRUE(product(BitMatrix::zeros(m, n), BitMatrix::ones(n, p)) ==
                    BitMatrix::zeros(m, p));
    }
}

TEST(Product, SparseRowAndDimensionFailure) {
    std::mt19937_64 rng(42);
    BitMatrix a = BitMatrix::zeros(1, 130);
    const BitMatrix b = random_matrix(rng, 130, 5);
    Word expected = 0;
    for (std::size_t j : {0, 64, 129}) a.set(0, j, true), expected |= b.row(j)[0];
    EXPECT_EQ(product(a, b).words()[0], expected);

    EXPECT_EQ(failure_of([] { product(BitMatrix::zeros(2, 3), BitMatrix::zeros(2, 3)); }),
              "assertion `left == right` failed: dimensions incompatibles : A est 2x3, B est 2x3\n"
              "  left: 3\n right: 2");
}

TEST(Product, AccumulateIntoOrsAndChecksRanges) {
    std::mt19937_64 rng(43);
    const BitMatrix a = random_matrix(rng, 5, 70), b = random_matrix(rng, 70, 130);
    BitMatrix out = random_matrix(rng, 5, 130), expected = product(a, b);
    expected.or_assign(out);
    accumulate_into(a, b, out.words_mut());
    EXPECT_TRUE(out == expected);

    const BitMatrix tall = BitMatrix::ones(64, 100);  // stride 2
    BitMatrix wide = BitMatrix::zeros(5, 70);
    std::vector<Word> buf(9, 0);
    EXPECT_EQ(failure_of([&] { accumulate_into(wide, tall, buf); }),
              "tampon de 9 mots trop court (5 lignes de 2 mots)");
    // A may be wider than B is tall as long as the extra columns are 0.
    buf.assign(10, 0);
    wide.set(4, 63, true);
    accumulate_into(wide, tall, buf);
    EXPECT_EQ(buf[8], ~Word{0});
    buf.assign(10, 0);
    wide.set(3, 69, true), wide.set(2, 64, true);
    EXPECT_EQ(failure_of([&] { accumulate_into(wide, tall, buf); }),
              "ligne 64 de B hors limites (rows = 64)");
    EXPECT_EQ(buf, std::vector<Word>(10, 0));
}

// The product row by row from the set cells of A, one word of B at a time:
// the plain definition the fast paths must reproduce.
std::vector<Word> plain_product_into(const BitMatrix& a, const BitMatrix& b,
                                     std::vector<Word> out) {
    for (std::size_t i = 0; i < a.rows(); ++i)
        for (std::size_t j = 0; j < a.cols(); ++j)
            if (a.get(i, j))
                for (std::size_t k = 0; k < b.stride(); ++k) out[i * b.stride() + k] |= b.row(j)[k];
    return out;
}

// Rows of very different densities, so one product takes both the set-bit
// walk and the tables, and dense rows saturate.
BitMatrix mixed_rows(std::mt19937_64& rng, std::size_t r, std::size_t c) {
    const unsigned sparsities[] = {1000000, 100, 5, 2, 1};
    BitMatrix m = BitMatrix::zeros(r, c);
    for (std::size_t i = 0; i < r; ++i) {
        const unsigned sparsity = sparsities[rng() % 5];
        for (std::size_t j = 0; j < c; ++j) m.set(i, j, rng() % sparsity == 0);
    }
    return m;
}

TEST(Product, WalkAndTablesMatchThePlainProductInBothVariants) {
    std::mt19937_64 rng(44);
    // Shapes around the 8-row groups, the 512-column slices and the words.
    for (auto [m, n, p] : {Dims{300, 200, 130}, Dims{257, 521, 1000}, Dims{70, 1030, 67},
                           Dims{520, 64, 513}, Dims{200, 8, 64}, Dims{130, 127, 5}}) {
        for (unsigned b_sparsity : {40u, 3u, 1u}) {
            const BitMatrix a = mixed_rows(rng, m, n),
                            b = random_matrix(rng, n, p, one_in(b_sparsity));
            BitMatrix before = random_matrix(rng, m, p, one_in(7));
            const std::vector<Word> start(before.words().begin(), before.words().end());
            const std::vector<Word> want = plain_product_into(a, b, start);
            for_each_variant([&](bool portable) {
                const BitMatrix c = product(a, b, bits_of(portable));
                EXPECT_TRUE(spare_bits_clear(c));
                EXPECT_EQ(std::vector<Word>(c.words().begin(), c.words().end()),
                          plain_product_into(a, b, std::vector<Word>(want.size(), 0)))
                    << m << "x" << n << "x" << p << " portable " << portable;
                BitMatrix out = before;
                accumulate_into(a, b, out.words_mut(), bits_of(portable));
                EXPECT_EQ(std::vector<Word>(out.words().begin(), out.words().end()), want)
                    << m << "x" << n << "x" << p << " portable " << portable;
            });
        }
    }
}

TEST(Product, TablesWithAWiderOrNarrowerThanB) {
    // accumulate_into accepts any A whose set cells have rows of B: A's
    // extra columns are 0, or A stops before B's last rows.
    std::mt19937_64 rng(45);
    const BitMatrix b = random_matrix(rng, 300, 150, one_in(3));
    for (std::size_t a_cols : {200, 300, 420}) {
        BitMatrix a = random_matrix(rng, 400, a_cols, one_in(2));
        for (std::size_t i = 0; i < a.rows(); ++i)
            for (std::size_t j = b.rows(); j < a_cols; ++j) a.set(i, j, false);
        const std::vector<Word> want =
            plain_product_into(a, b, std::vector<Word>(a.rows() * b.stride(), 0));
        for_each_variant([&](bool portable) {
            std::vector<Word> out(a.rows() * b.stride(), 0);
            accumulate_into(a, b, out, bits_of(portable));
            EXPECT_EQ(out, want) << a_cols << " portable " << portable;
        });
    }
}

TEST(Product, SaturationStopsOnlyAtCellsThatAreAllOne) {
    // B all ones on 70 columns: dense rows fill every cell while the spare
    // bits stay 0; B with one empty column: those rows never fill up.
    std::mt19937_64 rng(46);
    const BitMatrix a = random_matrix(rng, 600, 300, one_in(2));
    BitMatrix holed = BitMatrix::ones(300, 600);
    for (std::size_t j = 0; j < 300; ++j) holed.set(j, 577, false);
    for (const BitMatrix& b : {BitMatrix::ones(300, 70), holed}) {
        const std::vector<Word> want =
            plain_product_into(a, b, std::vector<Word>(a.rows() * b.stride(), 0));
        for_each_variant([&](bool portable) {
            const BitMatrix c = product(a, b, bits_of(portable));
            EXPECT_TRUE(spare_bits_clear(c));
            EXPECT_EQ(std::vector<Word>(c.words().begin(), c.words().end()), want) << portable;
        });
    }
}

TEST(Product, DenseAWithVerySparseBGoesByColumnsInBothVariants) {
    // Dense rows of A against a B with a few set cells: too few for the
    // tables to pay, so the product is done on the transposes. Some rows of
    // A are nearly empty, A may be wider (extra columns 0) or narrower than
    // B has rows, and the output starts non-zero.
    std::mt19937_64 rng(47);
    for (auto [m, n, b_rows, p] :
         {std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>{1500, 1000, 1000, 1000},
          {1300, 1100, 1030, 1090},
          {1601, 900, 1000, 700}}) {
        BitMatrix a = random_matrix(rng, m, n, one_in(2));
        for (std::size_t i = 0; i < m; i += 9)
            for (std::size_t j = 0; j < n; ++j) a.set(i, j, j == i % n);
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = b_rows; j < n; ++j) a.set(i, j, false);
        BitMatrix b = random_matrix(rng, b_rows, p, one_in(3000));
        b.set(b_rows - 1, p - 1, true), b.set(0, 0, true);
        const BitMatrix before = random_matrix(rng, m, p, one_in(50));
        const std::vector<Word> start(before.words().begin(), before.words().end());
        const std::vector<Word> want = plain_product_into(a, b, start);
        for_each_variant([&](bool portable) {
            BitMatrix out = before;
            accumulate_into(a, b, out.words_mut(), bits_of(portable));
            EXPECT_TRUE(spare_bits_clear(out));
            EXPECT_EQ(std::vector<Word>(out.words().begin(), out.words().end()), want)
                << m << "x" << n << " by " << b_rows << "x" << p << " portable " << portable;
        });
    }
}

TEST(Transpose, MatchesModelAndInvolution) {
    std::mt19937_64 rng(52);
    for (std::size_t r : {1, 20, 21, 64, 65, 130}) {
        for (std::size_t c : {1, 63, 64, 65, 127, 128, 129, 200}) {
            const BitMatrix a = random_matrix(rng, r, c);
            const BitMatrix t = a.transpose();
            ASSERT_EQ(t.rows(), c);
            ASSERT_EQ(t.cols(), r);
            EXPECT_TRUE(spare_bits_clear(t)) << r << "x" << c;
            const Cells ma = cells_of(a), mt = cells_of(t);
            for (std::size_t i = 0; i < r; ++i)
                for (std::size_t j = 0; j < c; ++j) ASSERT_EQ(mt[j][i], ma[i][j]) << r << "x" << c;
            EXPECT_TRUE(t.transpose() == a);
        }
    }
    EXPECT_EQ(BitMatrix::ones(1, 200).transpose().stride(), 1u);
    EXPECT_TRUE(BitMatrix::ones(65, 130).transpose() == BitMatrix::ones(130, 65));
}

TEST(Transpose, TilesAndVariantsAgreeWithTheModel) {
    // Shapes cutting the 512 x 512 tiles and the 4-block vector groups.
    std::mt19937_64 rng(53);
    for (auto [r, c] : {std::pair<std::size_t, std::size_t>{513, 1100},
                        {1030, 70},
                        {64, 4097},
                        {600, 257},
                        {1, 1500},
                        {1500, 1}}) {
        const BitMatrix a = random_matrix(rng, r, c, one_in(3));
        for_each_variant([&](bool portable) {
            const BitMatrix t = boolmat::transpose(a, bits_of(portable));
            ASSERT_EQ(t.rows(), c);
            ASSERT_EQ(t.cols(), r);
            EXPECT_TRUE(spare_bits_clear(t));
            for (std::size_t i = 0; i < r; ++i)
                for (std::size_t j = 0; j < c; ++j)
                    ASSERT_EQ(t.get(j, i), a.get(i, j))
                        << r << "x" << c << " portable " << portable;
        });
    }
}

TEST(Transpose, LargeMatricesWrittenAroundTheCaches) {
    // 4 MiB and more of T: whole lines are streamed to memory.
    std::mt19937_64 rng(54);
    BitMatrix a = BitMatrix::zeros(8192, 4160);
    for (Word& w : a.words_mut()) w = rng();
    a.clear_spare_bits();
    for_each_variant([&](bool portable) {
        const BitMatrix t = boolmat::transpose(a, bits_of(portable));
        EXPECT_TRUE(spare_bits_clear(t));
        for (int k = 0; k < 20000; ++k) {
            const std::size_t i = rng() % a.rows(), j = rng() % a.cols();
            ASSERT_EQ(t.get(j, i), a.get(i, j)) << i << "," << j << " portable " << portable;
        }
        EXPECT_TRUE(boolmat::transpose(t, bits_of(portable)) == a) << portable;
    });
}

}  // namespace
