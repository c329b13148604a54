// Exact block refits: equal to a brute-force search over the block on tiny
// sizes, never worse than the combination they start from on wide ones,
// bits outside the block untouched, and the precondition failures; the
// masked refit against the same brute force over observed cells only; the
// weighted refits, masked or not, against a brute force of weighted errors.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "random_vectors.hpp"
#include "weighted_cells.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::Word;

std::uint64_t error_of_row(const WideLs& solver, const BitMatrix& vectors, const BitMatrix& combos,
                           std::size_t v) {
    const BitVec x = BitVec::from_words(vectors.row(v), vectors.cols());
    return solver.error_of({x.words(), x.len()}, combos.row(v));
}

// The brute-force refit: every row of `combos` with bits begin .. end - 1
// set to the lowest block combination of least error(trial, row), and the
// total of those least errors.
template <class RowError>
std::pair<BitMatrix, std::uint64_t> best_blocks(const BitMatrix& combos, std::size_t begin,
                                                std::size_t end, RowError error) {
    BitMatrix want = combos;
    std::uint64_t total = 0;
    for (std::size_t v = 0; v < combos.rows(); ++v) {
        std::uint64_t best = ~std::uint64_t{0};
        std::uint64_t best_g = 0;
        for (std::uint64_t blk = 0; blk < (std::uint64_t{1} << (end - begin)); ++blk) {
            BitMatrix trial = combos;
            for (std::size_t j = begin; j < end; ++j) trial.set(v, j, (blk >> (j - begin)) & 1);
            const std::uint64_t e = error(trial, v);
            if (e < best) best = e, best_g = blk;
        }
        for (std::size_t j = begin; j < end; ++j) want.set(v, j, (best_g >> (j - begin)) & 1);
        total += best;
    }
    return {want, total};
}

TEST(WideRefit, EqualsBruteForceOverTheBlock) {
    std::mt19937_64 g(20);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t m = 1 + g() % 12, k = 1 + g() % 8, n = 1 + g() % 6;
        const std::size_t begin = g() % k, end = begin + 1 + g() % (k - begin);
        const BitMatrix w = random_matrix(g, m, k, percent(40));
        const BitMatrix vectors = random_matrix(g, n, m, percent(static_cast<unsigned>(g() % 101)));
        BitMatrix combos = random_matrix(g, n, k, percent(50));
        const WideLs solver(w.view());

        const auto [want, want_total] =
            best_blocks(combos, begin, end, [&](const BitMatrix& trial, std::size_t v) {
                return error_of_row(solver, vectors, trial, v);
            });
        const std::uint64_t total =
            refit_block(solver, vectors.view(), begin, end, combos.view_mut());
        ASSERT_EQ(combos, want) << m << "x" << k << " block " << begin << ".." << end;
        ASSERT_EQ(total, want_total);
    }
}

TEST(WideRefit, EqualsTheZetaSolveWhenTheBlockIsEveryColumn) {
    // Nothing fixed: the refit is the exact solve, lowest optimum included,
    // also for tables split into several L1 sub-blocks.
    std::mt19937_64 g(13);
    for (const std::size_t k : {2, 3, 13, 20}) {
        const std::size_t m = 400, n = 6;
        const BitMatrix w = random_matrix(g, m, k, percent(8));
        BitMatrix vectors = BitMatrix::zeros(n, m);
        for (std::size_t v = 0; v < n; ++v) vectors.set_row(v, random_x(g, m).words());
        BitMatrix combos = random_matrix(g, n, k, percent(50));
        const std::uint64_t total =
            refit_block(WideLs(w.view()), vectors.view(), 0, k, combos.view_mut());
        const BoolLs exact(w);
        std::uint64_t sum = 0;
        for (std::size_t v = 0; v < n; ++v) {
            const Solution s =
                exact.solve_seeded(BitVec::from_words(vectors.row(v), m), Method::Zeta, 0);
            ASSERT_EQ(combos.row(v)[0], s.h) << k;
            sum += s.error;
        }
        EXPECT_EQ(total, sum);
    }
}

TEST(WideRefit, NeverRaisesAnErrorAndTouchesOnlyTheBlock) {
    std::mt19937_64 g(300);
    const std::size_t m = 150, k = 300, n = 40;
    const WideLs solver(random_matrix(g, m, k, percent(2)).view());
    const BitMatrix vectors = random_matrix(g, n, m, percent(15));
    BitMatrix combos = random_matrix(g, n, k, percent(1));
    // Blocks inside one word, across a word boundary and at the last column.
    const std::pair<std::size_t, std::size_t> blocks[] = {
        {0, 20}, {55, 75}, {120, 128}, {281, 300}, {55, 75}};
    for (const auto& [begin, end] : blocks) {
        const BitMatrix before = combos;
        const std::uint64_t total =
            refit_block(solver, vectors.view(), begin, end, combos.view_mut());
        std::uint64_t sum = 0;
        for (std::size_t v = 0; v < n; ++v) {
            const std::uint64_t e = error_of_row(solver, vectors, combos, v);
            ASSERT_LE(e, error_of_row(solver, vectors, before, v));
            sum += e;
            for (std::size_t j = 0; j < k; ++j) {
                if (j < begin || j >= end) {
                    ASSERT_EQ(combos.get(v, j), before.get(v, j));
                }
            }
        }
        EXPECT_EQ(total, sum);
    }
    // A second sweep over the same block finds the same optimum.
    const BitMatrix settled = combos;
    refit_block(solver, vectors.view(), 55, 75, combos.view_mut());
    EXPECT_EQ(combos, settled);
}

TEST(WideRefit, RejectsBadBlocksAndShapes) {
    const WideLs solver(BitMatrix::ones(3, 40).view());
    const BitMatrix vectors = BitMatrix::ones(2, 3);
    BitMatrix combos = BitMatrix::zeros(2, 40);
    EXPECT_EQ(failure_of([&] { refit_block(solver, vectors.view(), 10, 35, combos.view_mut()); }),
              "bloc de 25 colonnes : au plus 24");
    EXPECT_EQ(failure_of([&] { refit_block(solver, vectors.view(), 30, 41, combos.view_mut()); }),
              "bloc 30..41 hors des 40 colonnes");
    EXPECT_EQ(failure_of([&] { refit_block(solver, vectors.view(), 5, 5, combos.view_mut()); }),
              "bloc 5..5 hors des 40 colonnes");
    BitMatrix short_combos = BitMatrix::zeros(1, 40);
    EXPECT_NE(
        failure_of([&] { refit_block(solver, vectors.view(), 0, 4, short_combos.view_mut()); }),
        "<no failure>");
}

// Wrong observed cells of row v of `vectors` against W∘(row v of `combos`).
std::uint64_t masked_error_of_row(const BitMatrix& w, const BitMatrix& vectors,
                                  const BitMatrix& masks, const BitMatrix& combos, std::size_t v) {
    std::uint64_t e = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        bool predicted = false;
        for (std::size_t j = 0; j < w.cols(); ++j) predicted |= w.get(i, j) && combos.get(v, j);
        if (masks.get(v, i) && predicted != vectors.get(v, i)) ++e;
    }
    return e;
}

TEST(WideRefitMasked, EqualsBruteForceOverTheBlockOnObservedCells) {
    // Random masks of every density, all-zero masks and rows with no
    // observed cell among them; ties go to the lowest block combination.
    std::mt19937_64 g(22);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t m = 1 + g() % 12, k = 1 + g() % 8, n = 1 + g() % 6;
        const std::size_t begin = g() % k, end = begin + 1 + g() % (k - begin);
        const BitMatrix w = random_matrix(g, m, k, percent(40));
        const BitMatrix vectors = random_matrix(g, n, m, percent(static_cast<unsigned>(g() % 101)));
        BitMatrix masks = random_matrix(g, n, m, percent(static_cast<unsigned>(g() % 101)));
        if (n > 1) {
            for (std::size_t i = 0; i < m; ++i) masks.set(g() % n, i, false);
        }
        BitMatrix combos = random_matrix(g, n, k, percent(50));
        const WideLs solver(w.view());

        const auto [want, want_total] =
            best_blocks(combos, begin, end, [&](const BitMatrix& trial, std::size_t v) {
                return masked_error_of_row(w, vectors, masks, trial, v);
            });
        const std::uint64_t total =
            refit_block(solver, vectors.view(), masks.view(), begin, end, combos.view_mut());
        ASSERT_EQ(combos, want) << m << "x" << k << " block " << begin << ".." << end;
        ASSERT_EQ(total, want_total);
    }
}

TEST(WideRefitMasked, AllOnesMasksGiveTheUnmaskedRefitAndEmptyMasksZero) {
    // Wide and long cases: blocks across word boundaries, m not a multiple
    // of 64, tables split into several L1 sub-blocks.
    std::mt19937_64 g(26);
    const std::tuple<std::size_t, std::size_t, std::size_t, std::size_t> cases[] = {
        {150, 300, 55, 75}, {400, 20, 0, 20}, {64, 130, 120, 130}, {3, 9, 2, 7}};
    for (const auto& [m, k, begin, end] : cases) {
        const std::size_t n = 30;
        const WideLs solver(random_matrix(g, m, k, percent(m > 100 ? 3 : 30)).view());
        BitMatrix vectors = BitMatrix::zeros(n, m);
        for (std::size_t v = 0; v < n; ++v) vectors.set_row(v, random_x(g, m).words());
        const BitMatrix start = random_matrix(g, n, k, percent(5));

        BitMatrix plain = start, masked = start;
        const std::uint64_t plain_total =
            refit_block(solver, vectors.view(), begin, end, plain.view_mut());
        const std::uint64_t masked_total = refit_block(
            solver, vectors.view(), BitMatrix::ones(n, m).view(), begin, end, masked.view_mut());
        ASSERT_EQ(masked, plain) << m << "x" << k;
        ASSERT_EQ(masked_total, plain_total);

        // Nothing observed: error 0 and block combination 0 for every vector.
        BitMatrix blind = start;
        EXPECT_EQ(refit_block(solver, vectors.view(), BitMatrix::zeros(n, m).view(), begin, end,
                              blind.view_mut()),
                  0u);
        for (std::size_t v = 0; v < n; ++v) {
            for (std::size_t j = 0; j < k; ++j) {
                ASSERT_EQ(blind.get(v, j), j >= begin && j < end ? false : start.get(v, j));
            }
        }

        // The engine's sweep over every group agrees the same way.
        const SolverEngine engine(solver.rows());
        BitMatrix swept = start, swept_masked = start;
        const std::uint64_t swept_total = engine.refit_blocks(vectors.view(), 7, swept.view_mut());
        EXPECT_EQ(engine.refit_blocks(vectors.view(), BitMatrix::ones(n, m).view(), 7,
                                      swept_masked.view_mut()),
                  swept_total);
        EXPECT_EQ(swept_masked, swept);
    }
}

TEST(WideRefitMasked, RejectsMasksOfAnotherShape) {
    const WideLs solver(BitMatrix::ones(3, 40).view());
    const BitMatrix vectors = BitMatrix::ones(2, 3);
    BitMatrix combos = BitMatrix::zeros(2, 40);
    EXPECT_EQ(failure_of([&] {
                  refit_block(solver, vectors.view(), BitMatrix::ones(2, 4).view(), 0, 4,
                              combos.view_mut());
              }),
              "les masques ont 2x4 cellules, les vecteurs 2x3");
    EXPECT_EQ(failure_of([&] {
                  SolverEngine(BitMatrix::ones(3, 40))
                      .refit_blocks(vectors.view(), BitMatrix::ones(1, 3).view(), 4,
                                    combos.view_mut());
              }),
              "les masques ont 1x3 cellules, les vecteurs 2x3");
    EXPECT_EQ(failure_of([&] {
                  refit_block(solver, vectors.view(), vectors.view(), 30, 41, combos.view_mut());
              }),
              "bloc 30..41 hors des 40 colonnes");
}

TEST(WideRefitWeighted, EqualsBruteForceWithCostsAndMasks) {
    // Every kind of costs, masks of every kind; m up to 200 so that the
    // largest weights take the 64-bit table (false_one x m past 2^31).
    std::mt19937_64 g(24);
    const std::vector<Costs> costs = testing_weights::cost_sweep();
    for (int trial = 0; trial < 120; ++trial) {
        const std::size_t m = trial % 10 == 0 ? 128 + g() % 73 : 1 + g() % 14;
        const std::size_t k = 1 + g() % 8, n = 1 + g() % 6;
        const std::size_t begin = g() % k, end = begin + 1 + g() % (k - begin);
        const BitMatrix w = random_matrix(g, m, k, percent(10 + g() % 50));
        const BitMatrix vectors = random_matrix(g, n, m, percent(static_cast<unsigned>(g() % 101)));
        const BitMatrix masks = testing_weights::mask_of_kind(g, n, m, g() % 4);
        const BitMatrix start = random_matrix(g, n, k, percent(50));
        const WideLs solver(w.view());
        for (std::size_t c = 0; c < costs.size(); ++c) {
            SCOPED_TRACE(testing::Message()
                         << m << "x" << k << " block " << begin << ".." << end << " costs " << c);
            const Weights weights = costs[c].weights(m);
            for (const bool masked : {false, true}) {
                const auto [want, want_total] =
                    best_blocks(start, begin, end, [&](const BitMatrix& t, std::size_t v) {
                        return testing_weights::shadow_weighted(
                            w, vectors.row(v), masked ? masks.row(v) : std::span<const Word>{},
                            t.row(v), weights);
                    });
                BitMatrix combos = start;
                const std::uint64_t total =
                    masked ? refit_block(solver, vectors.view(), masks.view(), begin, end,
                                         combos.view_mut(), costs[c])
                           : refit_block(solver, vectors.view(), begin, end, combos.view_mut(),
                                         costs[c]);
                ASSERT_EQ(combos, want) << (masked ? "masked" : "plain");
                ASSERT_EQ(total, want_total);
            }
        }
    }
}

TEST(WideRefitWeighted, UnitCostsAreTheUnweightedRefitsAndNoWeightedErrorGrows) {
    std::mt19937_64 g(25);
    const std::size_t m = 150, k = 300, n = 30;
    const BitMatrix w = random_matrix(g, m, k, percent(2));
    const WideLs solver(w.view());
    const BitMatrix vectors = random_matrix(g, n, m, percent(15));
    const BitMatrix masks = testing_weights::mask_of_kind(g, n, m, 2);
    const BitMatrix start = random_matrix(g, n, k, percent(1));
    for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{55, 75}, {281, 300}}) {
        BitMatrix plain = start, unit = start, masked = start, masked_unit = start;
        EXPECT_EQ(refit_block(solver, vectors.view(), begin, end, unit.view_mut(), Costs{}),
                  refit_block(solver, vectors.view(), begin, end, plain.view_mut()));
        EXPECT_EQ(unit, plain);
        EXPECT_EQ(refit_block(solver, vectors.view(), masks.view(), begin, end,
                              masked_unit.view_mut(), Costs{}),
                  refit_block(solver, vectors.view(), masks.view(), begin, end, masked.view_mut()));
        EXPECT_EQ(masked_unit, masked);
        for (const Costs& costs : testing_weights::cost_sweep()) {
            const Weights weights = costs.weights(m);
            BitMatrix combos = start;
            const std::uint64_t total = refit_block(solver, vectors.view(), masks.view(), begin,
                                                    end, combos.view_mut(), costs);
            std::uint64_t sum = 0;
            for (std::size_t v = 0; v < n; ++v) {
                const std::uint64_t e = testing_weights::shadow_weighted(
                    w, vectors.row(v), masks.row(v), combos.row(v), weights);
                ASSERT_LE(e, testing_weights::shadow_weighted(w, vectors.row(v), masks.row(v),
                                                              start.row(v), weights));
                sum += e;
            }
            EXPECT_EQ(total, sum);
        }
    }
}

}  // namespace
}  // namespace bmf
