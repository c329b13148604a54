// GreConD against a per-cell shadow of the same greedy concept cover, and
// the properties of a cover from below: no zero covered, every factor a
// concept, an error curve that falls with every factor and ends at 0 on a
// union of rectangles.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "bmf_core/covers/grecond.hpp"
#include "failure.hpp"
#include "matrices.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;

// Shadow model: the same cover, one cell at a time. Returns the factors as
// (extent, intent) pairs.
std::vector<std::pair<std::vector<bool>, std::vector<bool>>> ref_grecond(const Cells& x,
                                                                         std::size_t k) {
    const std::size_t m = x.size(), n = x[0].size();
    Cells u = x;
    std::vector<std::pair<std::vector<bool>, std::vector<bool>>> factors;
    const auto close = [&](std::vector<bool> intent, std::size_t j) {
        intent[j] = true;
        std::vector<bool> extent(m);
        for (std::size_t i = 0; i < m; ++i) {
            extent[i] = true;
            for (std::size_t c = 0; c < n; ++c) extent[i] = extent[i] && (!intent[c] || x[i][c]);
        }
        bool any = false;
        for (std::size_t i = 0; i < m; ++i) any = any || extent[i];
        for (std::size_t c = 0; c < n && any; ++c) {
            bool all = true;
            for (std::size_t i = 0; i < m; ++i) all = all && (!extent[i] || x[i][c]);
            intent[c] = all;
        }
        std::size_t value = 0;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t c = 0; c < n; ++c) value += any && extent[i] && intent[c] && u[i][c];
        return std::make_tuple(value, extent, intent);
    };
    for (std::size_t l = 0; l < k; ++l) {
        std::vector<bool> intent(n), extent(m, true);
        std::size_t value = 0;
        for (bool grown = true; grown;) {
            grown = false;
            auto best = std::make_tuple(value, extent, intent);
            for (std::size_t j = 0; j < n; ++j) {
                if (intent[j]) continue;
                auto t = close(intent, j);
                if (std::get<0>(t) > std::get<0>(best)) best = t, grown = true;
            }
            std::tie(value, extent, intent) = best;
        }
        if (value == 0) break;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t c = 0; c < n; ++c) u[i][c] = u[i][c] && !(extent[i] && intent[c]);
        factors.emplace_back(extent, intent);
    }
    return factors;
}

TEST(GreConD, MatchesTheShadowCoverAcrossWordBoundaries) {
    std::mt19937_64 g(14);
    for (const std::size_t m : {1, 7, 64, 65, 130})
        for (const std::size_t n : {1, 5, 63, 64, 66})
            for (const unsigned pct : {0u, 20u, 60u, 100u}) {
                const BitMatrix x = random_matrix(g, m, n, percent(pct));
                const std::size_t k = 1 + g() % 8;
                const CoverResult r = grecond(x, k);
                const auto want = ref_grecond(cells_of(x), k);
                ASSERT_EQ(r.factors(), want.size()) << m << "x" << n << " " << pct << "%";
                for (std::size_t l = 0; l < k; ++l) {
                    for (std::size_t i = 0; i < m; ++i)
                        ASSERT_EQ(r.w.get(i, l), l < want.size() && want[l].first[i]);
                    for (std::size_t c = 0; c < n; ++c)
                        ASSERT_EQ(r.h.get(l, c), l < want.size() && want[l].second[c]);
                }
            }
}

// Repeated columns give candidates of equal extents, in runs and apart:
// closures skipped for a repeat must not change a factor.
TEST(GreConD, MatchesTheShadowCoverOnFewDistinctColumns) {
    std::mt19937_64 g(22);
    for (const std::size_t m : {1, 2, 3, 65})
        for (const std::size_t n : {5, 70, 130})
            for (const std::size_t kinds : {1, 2, 4}) {
                const BitMatrix patterns = random_matrix(g, kinds, m, percent(60));
                BitMatrix x = BitMatrix::zeros(m, n);
                for (std::size_t j = 0, p = 0; j < n; ++j) {
                    if (g() % 3 == 0) p = g() % kinds;  // runs of one pattern
                    for (std::size_t i = 0; i < m; ++i) x.set(i, j, patterns.get(p, i));
                }
                const std::size_t k = 1 + g() % 5;
                const CoverResult r = grecond(x, k);
                const auto want = ref_grecond(cells_of(x), k);
                ASSERT_EQ(r.factors(), want.size()) << m << "x" << n << " " << kinds;
                for (std::size_t l = 0; l < want.size(); ++l) {
                    for (std::size_t i = 0; i < m; ++i) ASSERT_EQ(r.w.get(i, l), want[l].first[i]);
                    for (std::size_t c = 0; c < n; ++c) ASSERT_EQ(r.h.get(l, c), want[l].second[c]);
                }
            }
}

TEST(GreConD, CoversFromBelowWithAFallingErrorCurve) {
    std::mt19937_64 g(3);
    for (int trial = 0; trial < 20; ++trial) {
        const BitMatrix x =
            random_matrix(g, 50 + g() % 150, 10 + g() % 120, percent(10 + g() % 60));
        const CoverResult r = grecond(x, 12);
        EXPECT_EQ(boolmat::product(r.w, r.h).count_andnot(x), 0u);  // no zero is covered
        std::uint64_t before = x.count_ones();
        for (std::size_t l = 0; l < r.factors(); ++l) {
            EXPECT_LT(r.errors[l], before);
            before = r.errors[l];
            // With only the first l + 1 factors the error is errors[l].
            BitMatrix w = r.w, h = r.h;
            for (std::size_t f = l + 1; f < 12; ++f) {
                for (std::size_t i = 0; i < w.rows(); ++i) w.set(i, f, false);
            }
            EXPECT_EQ(boolmat::product(w, h).hamming(x), r.errors[l]);
        }
        EXPECT_EQ(r.error, before);
        EXPECT_EQ(boolmat::product(r.w, r.h).hamming(x), r.error);
    }
}

TEST(GreConD, UnionOfRectanglesIsCoveredExactly) {
    std::mt19937_64 g(8);
    for (int trial = 0; trial < 10; ++trial) {
        const std::size_t m = 100 + g() % 100, n = 70 + g() % 70, rects = 2 + g() % 4;
        BitMatrix x = BitMatrix::zeros(m, n);
        for (std::size_t r = 0; r < rects; ++r) {
            std::vector<std::size_t> rows, cols;
            for (std::size_t i = 0; i < m; ++i)
                if (g() % 4 == 0) rows.push_back(i);
            for (std::size_t j = 0; j < n; ++j)
                if (g() % 5 == 0) cols.push_back(j);
            for (const std::size_t i : rows)
                for (const std::size_t j : cols) x.set(i, j, true);
        }
        const CoverResult r = grecond(x, 64);
        ASSERT_EQ(r.error, 0u);
        EXPECT_EQ(boolmat::product(r.w, r.h), x);
    }
    // Rectangles on disjoint rows and columns: one factor each, the largest first.
    BitMatrix x = BitMatrix::zeros(90, 140);
    const std::size_t r0[] = {0, 10, 40, 90}, c0[] = {0, 70, 100, 140};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t i = r0[r]; i < r0[r + 1]; ++i)
            for (std::size_t j = c0[r]; j < c0[r + 1]; ++j) x.set(i, j, true);
    const CoverResult r = grecond(x, 5);
    ASSERT_EQ(r.factors(), 3u);
    EXPECT_EQ(r.errors, (std::vector<std::uint64_t>{1600, 700, 0}));
    EXPECT_TRUE(r.w.get(40, 0) && r.h.get(0, 100) && !r.h.get(0, 99));
}

TEST(GreConD, ReadsRowsThroughAPaddedView) {
    std::mt19937_64 g(4);
    const BitMatrix x = random_matrix(g, 70, 50, percent(40));
    std::vector<boolmat::Word> words(2 * 70, ~boolmat::Word{0});
    for (std::size_t i = 0; i < 70; ++i) words[2 * i] = x.row(i)[0];
    const CoverResult padded = grecond(boolmat::BitView(words.data(), 70, 50, 2), 6);
    const CoverResult owned = grecond(x, 6);
    EXPECT_EQ(padded.w, owned.w);
    EXPECT_EQ(padded.h, owned.h);
}

TEST(GreConD, StopsEarlyOnAZeroMatrixAndRejectsNoFactor) {
    const CoverResult r = grecond(BitMatrix::zeros(5, 70), 3);
    EXPECT_EQ(r.factors(), 0u);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.w, BitMatrix::zeros(5, 3));
    EXPECT_EQ(failure_of([] { grecond(BitMatrix::ones(2, 2), 0); }), "k doit valoir au moins 1");
}

}  // namespace
}  // namespace bmf
