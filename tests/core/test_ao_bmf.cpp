// ao_bmf: the generator, the initial column choice, the stop rules and the
// consistency of every result with the product of its factors.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/lcg.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/precondition.hpp"
#include "matrices.hpp"
#include "variants.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::PreconditionError;
using boolmat::Word;

const Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

std::vector<bool> column(const BitMatrix& a, std::size_t j) {
    std::vector<bool> out;
    for (std::size_t i = 0; i < a.rows(); ++i) out.push_back(a.get(i, j));
    return out;
}

// 3 x 5 with column j holding the bits of j + 1 (all distinct, non-empty),
// except the columns listed in `empty`.
BitMatrix five_columns(std::vector<std::size_t> empty = {}) {
    BitMatrix x = BitMatrix::zeros(3, 5);
    for (std::size_t j = 0; j < 5; ++j) {
        if (std::find(empty.begin(), empty.end(), j) != empty.end()) continue;
        for (std::size_t i = 0; i < 3; ++i) x.set(i, j, ((j + 1) >> i) & 1);
    }
    return x;
}

// Column j of W must be column want[j] of X, and the rest zero.
void expect_columns(const BitMatrix& x, std::uint64_t r, std::uint64_t seed,
                    const std::vector<std::size_t>& want) {
    const BitMatrix w = initial_factor(x.transpose(), r, seed);
    ASSERT_EQ(w.rows(), x.rows());
    ASSERT_EQ(w.cols(), r);
    for (std::size_t j = 0; j < r; ++j) {
        const std::vector<bool> expected =
            j < want.size() ? column(x, want[j]) : std::vector<bool>(x.rows(), false);
        EXPECT_EQ(column(w, j), expected) << "column " << j;
    }
}

// X of a density drawn first from 1/5, 2/5 and 3/5.
BitMatrix random_data(std::mt19937_64& g, std::size_t m, std::size_t n) {
    const Odds odds = fifths(1 + g() % 3);
    return random_matrix(g, m, n, odds);
}

void expect_same(const BmfResult& a, const BmfResult& b) {
    EXPECT_EQ(a.w, b.w);
    EXPECT_EQ(a.h, b.h);
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.iterations, b.iterations);
}

TEST(Generator, FirstOutputsOfSeedsZeroAndOne) {
    std::uint64_t s = 0;
    EXPECT_EQ(lcg_draw(s), 167951807u);
    EXPECT_EQ(s, 1442695040888963407u);
    EXPECT_EQ(lcg_draw(s), 218396424u);
    EXPECT_EQ(lcg_draw(s), 1299921937u);
    s = 1;
    EXPECT_EQ(lcg_draw(s), 908834774u);
    EXPECT_EQ(lcg_draw(s), 1093944153u);
    EXPECT_EQ(lcg_draw(s), 1392341196u);
}

TEST(InitialFactor, PartialShuffleOverNonEmptyColumns) {
    expect_columns(five_columns(), 2, 0, {2, 1});
    expect_columns(five_columns(), 5, 0, {2, 1, 3, 0, 4});
    // Candidates 0, 2, 4: positions index that list, not the column numbers.
    expect_columns(five_columns({1, 3}), 3, 0, {4, 2, 0});
    expect_columns(five_columns({1, 3}), 5, 0, {4, 2, 0});
    expect_columns(BitMatrix::zeros(3, 5), 4, 9, {});
}

TEST(AoBmf, AllZeroMatrixStopsAfterOneIteration) {
    for (const Method method : kAllMethods) {
        const BmfResult res = ao_bmf(BitMatrix::zeros(4, 70), 3, method, 50, 7);
        EXPECT_EQ(res.w, BitMatrix::zeros(4, 3));
        EXPECT_EQ(res.h, BitMatrix::zeros(3, 70));
        EXPECT_EQ(res.error, 0u);
        EXPECT_EQ(res.iterations, 1u);
    }
}

TEST(AoBmf, ExactFitStopsOneIterationLater) {
    // Two distinct non-empty columns and r = 2: iteration 1 reaches error 0,
    // iteration 2 cannot improve on it.
    BitMatrix x = BitMatrix::zeros(4, 3);
    x.set(0, 0, true), x.set(1, 0, true), x.set(1, 2, true), x.set(2, 2, true);
    for (const Method method : kAllMethods) {
        const BmfResult two = ao_bmf(x, 2, method, 50, 3);
        EXPECT_EQ(two.error, 0u);
        EXPECT_EQ(two.iterations, 2u);
        EXPECT_EQ(product(two.w, two.h), x);
        const BmfResult one = ao_bmf(x, 2, method, 1, 3);
        EXPECT_EQ(one.iterations, 1u);
        expect_same(one, {two.w, two.h, 0, 1});
        // The surplus column of W starts, and here stays, zero.
        const BmfResult wide = ao_bmf(x, 3, method, 1, 3);
        EXPECT_EQ(wide.error, 0u);
    }
}

TEST(AoBmf, IterationLimitZeroActsAsOneAndLimitsCutTheRun) {
    std::mt19937_64 g(99);
    for (const Method method : kAllMethods) {
        const BitMatrix x = random_data(g, 40, 30);
        const BmfResult zero = ao_bmf(x, 4, method, 0, 5);
        EXPECT_EQ(zero.iterations, 1u);
        expect_same(zero, ao_bmf(x, 4, method, 1, 5));

        // A run stopped by a non-improving iteration t returns the factors of
        // iteration t - 1, which is what a limit of t - 1 returns.
        const BmfResult full = ao_bmf(x, 4, method, 50, 5);
        ASSERT_GE(full.iterations, 2u);
        const BmfResult cut = ao_bmf(x, 4, method, full.iterations - 1, 5);
        expect_same(cut, {full.w, full.h, full.error, full.iterations - 1});
    }
}

TEST(AoBmf, OneIterationIsTwoSolveAllStepsWithSeedZero) {
    // Only the initial columns see the caller's seed; both refits run every
    // solve from seed 0, which matters for "greedy-ls".
    std::mt19937_64 g(17);
    for (const Method method : kAllMethods) {
        const BitMatrix x = random_data(g, 66, 20);
        const std::uint64_t seed = 77;
        const BitMatrix w0 = initial_factor(x.transpose(), 5, seed);
        const BitMatrix h = BoolLs(w0).solve_all(x, method, 0).first;
        const auto [wt, total] = BoolLs(h.transpose()).solve_all(x.transpose(), method, 0);
        ASSERT_LT(total, x.count_ones());
        expect_same(ao_bmf(x, 5, method, 1, seed), {wt.transpose(), h, total, 1});
    }
}

TEST(AoBmf, RandomResultsAreConsistentAndDeterministic) {
    std::mt19937_64 g(31);
    const std::size_t sizes[] = {1, 5, 63, 64, 65};
    for (int trial = 0; trial < 60; ++trial) {
        const Method method = kAllMethods[trial % 4];
        const BitMatrix x = random_data(g, sizes[g() % 5], sizes[g() % 5]);
        const std::uint64_t r = 1 + g() % 6, max_iter = 1 + g() % 8, seed = g();
        const BmfResult res = ao_bmf(x, r, method, max_iter, seed);
        ASSERT_EQ(res.w.rows(), x.rows());
        ASSERT_EQ(res.w.cols(), r);
        ASSERT_EQ(res.h.cols(), x.cols());
        EXPECT_EQ(res.error, x.hamming(product(res.w, res.h)));
        EXPECT_LE(res.error, x.count_ones());
        EXPECT_GE(res.iterations, 1u);
        EXPECT_LE(res.iterations, max_iter);
        expect_same(res, ao_bmf(x, r, method, max_iter, seed));
    }
}

// ao_bmf as written: every column, then every row, solved on its own with
// seed 0, one solver per half-step.
BmfResult plain_ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                       std::uint64_t seed) {
    const BitMatrix xt = x.transpose();
    BitMatrix w = initial_factor(xt, r, seed);
    BitMatrix best_w = w, best_h = BitMatrix::zeros(r, x.cols());
    std::uint64_t best_error = x.count_ones(), completed = 0;
    const std::uint64_t limit = std::max<std::uint64_t>(max_iter, 1);
    for (;;) {
        BitMatrix ht = BitMatrix::zeros(x.cols(), r);
        const BoolLs by_w(w);
        for (std::size_t j = 0; j < x.cols(); ++j) {
            const Word h = by_w.solve_seeded(BitVec::from_words(xt.row(j), x.rows()), method, 0).h;
            ht.set_row(j, std::span<const Word>(&h, 1));
        }
        const BoolLs by_h(ht);
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < x.rows(); ++i) {
            const Solution s = by_h.solve_seeded(BitVec::from_words(x.row(i), x.cols()), method, 0);
            const Word row = s.h;
            w.set_row(i, std::span<const Word>(&row, 1));
            total += s.error;
        }
        if (total >= best_error) return {best_w, best_h, best_error, completed + 1};
        best_w = w, best_h = ht.transpose(), best_error = total;
        if (++completed == limit) return {best_w, best_h, best_error, completed};
    }
}

TEST(AoBmf, SameResultsAsSolvingEveryVectorOnItsOwn) {
    // Repeated rows and columns are solved once per class; low ranks with
    // many rows take the grouped layout. Neither may change a bit.
    std::mt19937_64 g(37);
    for (int trial = 0; trial < 48; ++trial) {
        const Method method = kAllMethods[trial % 4];
        const std::size_t m = 1 + g() % 300, n = 1 + g() % 150;
        const std::uint64_t r = 1 + g() % (method == Method::Zeta ? 12 : 6);
        BitMatrix x = random_data(g, m, n);
        if (trial % 3 == 0) {
            // A planted product, so the factors can fit.
            x = product(random_data(g, m, r), random_data(g, r, n));
        }
        if (trial % 2 == 0) {
            for (std::size_t i = 1; i < m; i += 2) x.set_row(i, x.row(g() % i));
            BitMatrix xt = x.transpose();
            for (std::size_t j = 2; j < n; j += 3) xt.set_row(j, xt.row(g() % j));
            x = xt.transpose();
        }
        const std::uint64_t max_iter = 1 + g() % 5, seed = g();
        const BmfResult want = plain_ao_bmf(x, r, method, max_iter, seed);
        for_each_variant([&](bool portable) {
            SCOPED_TRACE(::testing::Message()
                         << m << "x" << n << " r " << r << " portable " << portable);
            expect_same(ao_bmf(x, r, method, max_iter, seed, solver_of(portable)), want);
        });
    }
}

TEST(AoBmf, RankPreconditions) {
    const BitMatrix x = five_columns();
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "r doit valoir au moins 1"},
        {27, "Sécurité pour ne pas surcharger la mémoire"},
        {65, "Interdit d'avoir un rang supérieur à la taille d'un mot"},
        {std::uint64_t{1} << 40, "Interdit d'avoir un rang supérieur à la taille d'un mot"},
    };
    for (const auto& [r, message] : cases) {
        try {
            ao_bmf(x, r, Method::Zeta, 5, 0);
            ADD_FAILURE() << r;
        } catch (const PreconditionError& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

}  // namespace
}  // namespace bmf
