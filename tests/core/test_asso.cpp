// Asso against a per-cell shadow of the same rounds (association matrix,
// per-row usage, weighted cover, lowest candidate on ties), the error
// curve, planted patterns and the parameter checks; an infinite w_minus
// (from below) against the same shadow, with W∘H never above X.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <set>
#include <vector>

#include "bmf_core/covers/asso.hpp"
#include "failure.hpp"
#include "matrices.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;

BitMatrix ref_association(const BitMatrix& x, double tau) {
    const std::size_t n = x.cols();
    BitMatrix a = BitMatrix::zeros(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t ones = 0, both = 0;
            for (std::size_t r = 0; r < x.rows(); ++r)
                ones += x.get(r, i), both += x.get(r, i) && x.get(r, j);
            a.set(i, j, ones > 0 && static_cast<double>(both) / static_cast<double>(ones) >= tau);
        }
    return a;
}

// Shadow model of the rounds; returns W, H and the error curve.
CoverResult ref_asso(const BitMatrix& x, std::size_t k, const AssoParams& p) {
    const std::size_t m = x.rows(), n = x.cols();
    const BitMatrix a = ref_association(x, p.tau);
    BitMatrix cov = BitMatrix::zeros(m, n), w = BitMatrix::zeros(m, k), h = BitMatrix::zeros(k, n);
    const auto row_gain = [&](std::size_t i, std::size_t r) {
        double v = 0;
        for (std::size_t c = 0; c < n; ++c)
            if (a.get(i, c) && !cov.get(r, c)) v += x.get(r, c) ? p.w_plus : -p.w_minus;
        return v;
    };
    CoverResult out{w, h, {}, x.count_ones()};
    for (std::size_t l = 0; l < k; ++l) {
        double best_value = 0;
        std::size_t best = n;
        for (std::size_t i = 0; i < n; ++i) {
            double value = 0;
            for (std::size_t r = 0; r < m; ++r) value += std::max(0.0, row_gain(i, r));
            if (value > best_value) best_value = value, best = i;
        }
        if (best == n) break;
        for (std::size_t r = 0; r < m; ++r) {
            if (row_gain(best, r) <= 0) continue;
            out.w.set(r, l, true);
            for (std::size_t c = 0; c < n; ++c) cov.set(r, c, cov.get(r, c) || a.get(best, c));
        }
        for (std::size_t c = 0; c < n; ++c) out.h.set(l, c, a.get(best, c));
        out.errors.push_back(cov.hamming(x));
    }
    out.error = cov.hamming(x);
    return out;
}

TEST(Asso, AssociationMatrixIsTheThresholdedConfidence) {
    std::mt19937_64 g(5);
    for (const std::size_t n : {1, 3, 64, 65, 130}) {
        BitMatrix x = random_matrix(g, 40, n, percent(30));
        for (std::size_t r = 0; r < 40; ++r) x.set(r, 0, false);  // an empty column
        for (const double tau : {0.0, 0.25, 0.5, 1.0}) {
            EXPECT_EQ(association_matrix(x, tau), ref_association(x, tau)) << n << " " << tau;
        }
    }
}

TEST(Asso, MatchesTheShadowRoundsForEveryWeighting) {
    std::mt19937_64 g(9);
    const AssoParams settings[] = {{0.5, 1, 1}, {0.8, 1, 1}, {0.3, 2, 1}, {0.6, 1, 3}, {0.4, 1, 0}};
    for (const std::size_t m : {1, 30, 64, 65})
        for (const std::size_t n : {2, 17, 64, 70})
            for (const AssoParams& p : settings) {
                const BitMatrix x = random_matrix(g, m, n, percent(10 + g() % 50));
                const std::size_t k = 1 + g() % 6;
                const CoverResult got = asso(x, k, p);
                const CoverResult want = ref_asso(x, k, p);
                ASSERT_EQ(got.w, want.w) << m << "x" << n << " tau " << p.tau;
                ASSERT_EQ(got.h, want.h);
                ASSERT_EQ(got.errors, want.errors);
                ASSERT_EQ(got.error, boolmat::product(got.w, got.h).hamming(x));
            }
}

TEST(Asso, AnInfiniteWMinusCoversNoZero) {
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 g(31);
    const AssoParams settings[] = {
        {0.5, 1, inf}, {0.3, 2, inf}, {0.8, 1, inf}, {0.0, 1, inf}, {0.5, 0, inf}};
    for (const std::size_t m : {1, 30, 65})
        for (const std::size_t n : {2, 17, 64, 70})
            for (const AssoParams& p : settings) {
                const BitMatrix x = random_matrix(g, m, n, percent(55));
                const std::size_t k = 1 + g() % 5;
                const CoverResult got = asso(x, k, p);
                const CoverResult want = ref_asso(x, k, p);
                ASSERT_EQ(got.w, want.w) << m << "x" << n << " tau " << p.tau;
                ASSERT_EQ(got.h, want.h);
                ASSERT_EQ(got.errors, want.errors);
                // From below: W∘H has no one where X has a zero.
                const BitMatrix wh = boolmat::product(got.w, got.h);
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t j = 0; j < n; ++j)
                        ASSERT_TRUE(!wh.get(i, j) || x.get(i, j)) << i << "," << j;
                ASSERT_EQ(got.error, x.count_ones() - wh.count_ones());
            }
    // A pattern whose rows all hold a zero of it is never used; one that
    // fits a row inside its ones is.
    BitMatrix x = BitMatrix::zeros(2, 3);
    x.set(0, 0, true);
    x.set(0, 1, true);
    x.set(1, 0, true);
    x.set(1, 1, true);
    x.set(1, 2, true);
    const CoverResult r = asso(x, 1, {0.0, 1, inf});  // every candidate holds all columns
    EXPECT_TRUE(r.w.get(1, 0));
    EXPECT_FALSE(r.w.get(0, 0));
    EXPECT_EQ(r.error, 2U);
}

TEST(Asso, RecoversPlantedPatternsUnderNoise) {
    // Three patterns on disjoint columns, each row using one or two of them,
    // then about 1 % of the cells flipped.
    std::mt19937_64 g(21);
    const std::size_t m = 300, n = 100;
    BitMatrix w0 = BitMatrix::zeros(m, 3), h0 = BitMatrix::zeros(3, n);
    for (std::size_t l = 0; l < 3; ++l)
        for (std::size_t j = 30 * l; j < 30 * l + 30; ++j) h0.set(l, j, true);
    for (std::size_t i = 0; i < m; ++i) {
        w0.set(i, g() % 3, true);
        if (g() % 4 == 0) w0.set(i, g() % 3, true);
    }
    const BitMatrix clean = boolmat::product(w0, h0);
    EXPECT_EQ(asso(clean, 3, {0.9, 1, 1}).error, 0u);
    BitMatrix x = clean;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (g() % 100 == 0) x.set(i, j, !x.get(i, j));
    const CoverResult r = asso(x, 3, {0.9, 1, 1});
    EXPECT_LE(r.error, x.hamming(clean));
    // The patterns come back, in the order of their cover.
    std::set<std::vector<boolmat::Word>> got, want;
    for (std::size_t l = 0; l < 3; ++l) {
        got.emplace(r.h.row(l).begin(), r.h.row(l).end());
        want.emplace(h0.row(l).begin(), h0.row(l).end());
    }
    EXPECT_EQ(got, want);
}

TEST(Asso, ReadsRowsThroughAPaddedView) {
    // Rows two words apart with a junk word between them, as in a foreign buffer.
    std::mt19937_64 g(2);
    const BitMatrix x = random_matrix(g, 50, 40, percent(30));
    std::vector<boolmat::Word> words(2 * 50, ~boolmat::Word{0});
    for (std::size_t i = 0; i < 50; ++i) words[2 * i] = x.row(i)[0];
    const CoverResult padded = asso(boolmat::BitView(words.data(), 50, 40, 2), 4, {0.4, 1, 1});
    const CoverResult owned = asso(x, 4, {0.4, 1, 1});
    EXPECT_EQ(padded.w, owned.w);
    EXPECT_EQ(padded.h, owned.h);
    EXPECT_EQ(padded.errors, owned.errors);
}

TEST(Asso, RejectsOutOfRangeParameters) {
    const BitMatrix x = BitMatrix::ones(3, 3);
    EXPECT_EQ(failure_of([&] { asso(x, 0); }), "k doit valoir au moins 1");
    EXPECT_NE(failure_of([&] { asso(x, 1, {1.5, 1, 1}); }), "<no failure>");
    EXPECT_NE(failure_of([&] { asso(x, 1, {0.5, -1, 1}); }), "<no failure>");
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(failure_of([&] {
                  asso(x, 1, {0.5, inf, 1});
              }),
              "poids inf et 1 : il faut deux reels finis positifs");
    EXPECT_NE(failure_of([&] { asso(x, 1, {0.5, 1, nan}); }), "<no failure>");
    EXPECT_NE(failure_of([&] { asso(x, 1, {0.5, 1, -inf}); }), "<no failure>");
    EXPECT_NE(failure_of([&] { association_matrix(x, -0.1); }), "<no failure>");
}

}  // namespace
}  // namespace bmf
