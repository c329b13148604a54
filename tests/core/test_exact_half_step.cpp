// Half-steps by the exact search: every strategy of a "zeta" half-step gives
// the table's combinations and total, and the table-free half-step reports
// the classes whose search ran out with exact errors, at ranks above the
// table's, with costs and under masks too.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "bmf_core/masked/masked.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "padded.hpp"
#include "weighted_reference.hpp"

namespace bmf {
namespace {

using boolmat::Word;

// The rows of a view as an owning matrix.
BitMatrix copied(boolmat::BitView v) {
    BitMatrix m = BitMatrix::zeros(v.rows(), v.cols());
    for (std::size_t i = 0; i < v.rows(); ++i) m.set_row(i, v.row(i));
    return m;
}

const ExactStrategy kStrategies[] = {ExactStrategy::Table, ExactStrategy::Search,
                                     ExactStrategy::Auto};

// W∘H with a little noise and some repeated rows.
BitMatrix planted(std::mt19937_64& g, std::size_t m, std::size_t n, std::size_t r) {
    BitMatrix x = product(random_matrix(g, m, r, eighths(2)), random_matrix(g, r, n, eighths(2)));
    for (std::size_t k = 0; k < m * n / 50; ++k) x.set(g() % m, g() % n, g() % 2);
    for (std::size_t i = 3; i < m; i += 7) x.set_row(i, x.row(g() % i));
    return x;
}

TEST(ExactStrategy, EveryStrategyGivesTheTablesHalfStep) {
    // Random dense factors at ranks 14 to 18 leave Auto's searches out of
    // budget, so its table takes over there; planted ones it searches.
    std::mt19937_64 g(91);
    for (int trial = 0; trial < 12; ++trial) {
        const std::size_t r = trial < 4 ? 1 + g() % 10 : 14 + g() % 5;
        const std::size_t m = 200 + g() % 600, n = 40 + g() % 60;
        const BitMatrix w = trial % 2 ? random_matrix(g, m, r, eighths(4)) : planted(g, m, r, 4);
        const BitMatrix vectors =
            trial % 3 ? planted(g, n, m, 5) : random_matrix(g, n, m, eighths(1 + g() % 6));
        const BoolLs solver(w);
        const Padded foreign(vectors, 1 + trial % 2);
        BitMatrix want = BitMatrix::zeros(n, r);
        const std::uint64_t total =
            half_step(solver, foreign.view(), Method::Zeta, 0, want.view_mut());
        for (const ExactStrategy strategy : kStrategies) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << " r " << r << " strategy "
                                            << static_cast<int>(strategy));
            Padded out(BitMatrix::zeros(n, r), 1);
            EXPECT_EQ(half_step(solver, foreign.view(), Method::Zeta, 0, out.view_mut(), strategy),
                      total);
            EXPECT_EQ(copied(out.view()), want);
        }
    }
}

std::vector<std::uint64_t> patterns_of(const BitMatrix& w) {
    std::vector<std::uint64_t> p(w.rows());
    for (std::size_t i = 0; i < w.rows(); ++i) p[i] = w.row(i)[0];
    return p;
}

TEST(SearchHalfStep, BeyondTheTableRanksAndWithinABudget) {
    std::mt19937_64 g(93);
    for (const std::size_t r : {16u, 27u, 45u, 64u}) {
        const std::size_t m = 300, n = 150;
        // Vectors that W∘H reproduces exactly: every optimum has error 0.
        const BitMatrix w = random_matrix(g, m, r, eighths(1));
        const BitMatrix exact = product(random_matrix(g, n, r, eighths(1)), w.transpose());
        const ExactSearch search(patterns_of(w), static_cast<unsigned>(r));
        const VectorBlock block(exact);
        Padded out(BitMatrix::zeros(n, r), 2);
        const SearchStep full = search_half_step(search, block, kUnlimitedNodes, out.view_mut());
        EXPECT_EQ(full.total, 0u) << r;
        EXPECT_TRUE(full.unfinished.empty()) << r;
        EXPECT_EQ(product(copied(out.view()), w.transpose()), exact) << r;
        if (r <= kMaxRank) {
            BitMatrix want = BitMatrix::zeros(n, r);
            half_step(BoolLs(w), block, Method::Zeta, 0, want.view_mut());
            EXPECT_EQ(copied(out.view()), want);
        }
        // Noisy vectors with one node each: the run-out classes are listed,
        // and the total is the exact error of what was written.
        const BitMatrix noisy = random_matrix(g, n, m, eighths(4));
        const VectorBlock hard(noisy);
        const SearchStep cut = search_half_step(search, hard, 1, out.view_mut());
        EXPECT_FALSE(cut.unfinished.empty()) << r;
        EXPECT_EQ(cut.total, noisy.hamming(product(copied(out.view()), w.transpose()))) << r;
        // A search visits its nodes in a fixed order, so more nodes never
        // end on a worse combination.
        const SearchStep more =
            search_half_step(search, hard, r <= 16 ? kUnlimitedNodes : 3000, out.view_mut());
        if (r <= 16) {
            EXPECT_TRUE(more.unfinished.empty());
        }
        EXPECT_LE(more.total, cut.total) << r;
        EXPECT_EQ(more.total, noisy.hamming(product(copied(out.view()), w.transpose()))) << r;
    }
}

TEST(SearchHalfStep, ShapeChecks) {
    const ExactSearch search(patterns_of(BitMatrix::ones(70, 3)), 3);
    BitMatrix out = BitMatrix::zeros(5, 3), narrow = BitMatrix::zeros(5, 2);
    EXPECT_EQ(failure_of([&] {
                  search_half_step(search, VectorBlock(BitMatrix::zeros(5, 69)), 1, out.view_mut());
              }),
              "assertion `left == right` failed: les vecteurs ont 69 bits, W a 70 lignes\n"
              "  left: 69\n right: 70");
    EXPECT_EQ(failure_of([&] {
                  search_half_step(search, VectorBlock(BitMatrix::zeros(5, 70)), 1,
                                   narrow.view_mut());
              }),
              "la sortie est 5x2, il faut 5x3");
}

// A factor of rank r whose rows use only `live` columns, the highest among
// them, with a few distinct rows.
BitMatrix live_factor(std::mt19937_64& g, std::size_t m, std::size_t r, std::uint64_t live) {
    std::vector<std::uint64_t> kinds(3 + g() % 20);
    for (auto& p : kinds) p = g() & g() & live;
    BitMatrix w = BitMatrix::zeros(m, r);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t p = kinds[g() % kinds.size()];
        w.set_row(i, std::span<const Word>(&p, 1));
    }
    return w;
}

// Masks with whole rows unobserved, whole rows observed, and the rest random.
BitMatrix some_masks(std::mt19937_64& g, std::size_t n, std::size_t m) {
    BitMatrix masks = random_matrix(g, n, m, eighths(1 + g() % 7));
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 5 == 1) masks.set_row(i, BitMatrix::zeros(1, m).row(0));
        if (i % 5 == 2) masks.set_row(i, BitMatrix::ones(1, m).row(0));
    }
    return masks;
}

TEST(SearchHalfStep, WeightedAndMaskedGiveTheLowestOptimumOfEveryRow) {
    std::mt19937_64 g(97);
    for (const std::size_t r : {5u, 12u, 27u, 40u, 64u}) {
        std::uint64_t live = std::uint64_t{1} << (r - 1);
        while (std::popcount(live) < std::min<int>(10, static_cast<int>(r)))
            live |= std::uint64_t{1} << (g() % r);
        const std::size_t m = 30 + g() % 40, n = 25;
        const BitMatrix w = live_factor(g, m, r, live);
        BitMatrix vectors = planted(g, n, m, 3);
        for (std::size_t i = 4; i < n; i += 6) vectors.set_row(i, vectors.row(i - 4));
        const BitMatrix masks = some_masks(g, n, m);
        const auto rows = patterns_of(w);
        const ExactSearch search(rows, static_cast<unsigned>(r));
        const VectorBlock block(vectors);
        const MaskedVectorBlock masked(vectors, masks);
        for (const Costs& costs : checked_costs()) {
            const Weights weights = costs.weights(m);
            SCOPED_TRACE(testing::Message() << "r " << r << " weights " << weights.false_one << ","
                                            << weights.false_zero);
            for (const bool use_mask : {false, true}) {
                Padded out(BitMatrix::zeros(n, r), 1);
                const SearchStep step =
                    use_mask
                        ? search_half_step(search, masked, kUnlimitedNodes, out.view_mut(), costs)
                        : search_half_step(search, block, kUnlimitedNodes, out.view_mut(), costs);
                EXPECT_TRUE(step.unfinished.empty());
                std::uint64_t total = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    const auto seen = use_mask ? masks.row(i) : std::span<const Word>{};
                    const Solution want =
                        ref_weighted_solve(rows, vectors.row(i), seen, weights, live);
                    EXPECT_EQ(out.view().row(i)[0], want.h)
                        << "row " << i << " masked " << use_mask;
                    total += want.error;
                }
                EXPECT_EQ(step.total, total) << "masked " << use_mask;
            }
        }
    }
}

TEST(SearchHalfStep, UnitCostsAndFullMasksGiveTheUnweightedHalfStep) {
    std::mt19937_64 g(99);
    for (const std::size_t r : {10u, 20u, 30u}) {
        const std::size_t m = 200, n = 60;
        const BitMatrix w = random_matrix(g, m, r, eighths(1));
        const BitMatrix vectors = planted(g, n, m, 4);
        const ExactSearch search(patterns_of(w), static_cast<unsigned>(r));
        const VectorBlock block(vectors);
        // A budget small enough that some searches run out at rank 30.
        const std::uint64_t budget = r <= 20 ? kUnlimitedNodes : 200;
        BitMatrix plain = BitMatrix::zeros(n, r), weighted = plain, masked = plain;
        const SearchStep want = search_half_step(search, block, budget, plain.view_mut());
        const SearchStep unit = search_half_step(search, block, budget, weighted.view_mut(), {});
        const SearchStep full =
            search_half_step(search, MaskedVectorBlock(vectors, BitMatrix::ones(n, m)), budget,
                             masked.view_mut(), {});
        EXPECT_EQ(unit.total, want.total);
        EXPECT_EQ(unit.unfinished, want.unfinished);
        EXPECT_EQ(weighted, plain);
        EXPECT_EQ(full.total, want.total);
        EXPECT_EQ(masked, plain);
        // Classes are numbered differently in a masked block: compare counts.
        EXPECT_EQ(full.unfinished.size(), want.unfinished.size());
        // The masked unit search is the masked "zeta" half-step.
        if (r <= kMaxRank) {
            const BitMatrix masks = some_masks(g, n, m);
            const MaskedVectorBlock holes(vectors, masks);
            BitMatrix table = BitMatrix::zeros(n, r);
            const std::uint64_t total =
                half_step(BoolLs(w), holes, Method::Zeta, 0, table.view_mut());
            const SearchStep searched =
                search_half_step(search, holes, kUnlimitedNodes, masked.view_mut(), {});
            EXPECT_EQ(searched.total, total);
            EXPECT_EQ(masked, table);
        }
    }
}

TEST(SearchHalfStep, RunOutClassesKeepAnExactWeightedTotal) {
    std::mt19937_64 g(95);
    const std::size_t r = 40, m = 300, n = 40;
    const BitMatrix w = random_matrix(g, m, r, eighths(3));
    const BitMatrix vectors = random_matrix(g, n, m, eighths(4));
    const BitMatrix masks = some_masks(g, n, m);
    const auto rows = patterns_of(w);
    const ExactSearch search(rows, static_cast<unsigned>(r));
    const MaskedVectorBlock masked(vectors, masks);
    for (const Costs& costs : checked_costs()) {
        const Weights weights = costs.weights(m);
        SCOPED_TRACE(testing::Message()
                     << "weights " << weights.false_one << "," << weights.false_zero);
        for (const bool use_mask : {false, true}) {
            BitMatrix out = BitMatrix::zeros(n, r);
            const SearchStep step =
                use_mask ? search_half_step(search, masked, 5, out.view_mut(), costs)
                         : search_half_step(search, VectorBlock(vectors), 5, out.view_mut(), costs);
            std::uint64_t total = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const auto seen = use_mask ? masks.row(i) : std::span<const Word>{};
                total += ref_weighted_error(rows, vectors.row(i), seen, weights, out.row(i)[0]);
            }
            EXPECT_EQ(step.total, total) << "masked " << use_mask;
            // Unless h = 0 is optimal (false zeros free), some searches run out.
            if (weights.false_zero != 0) {
                EXPECT_FALSE(step.unfinished.empty()) << "masked " << use_mask;
            }
        }
    }
}

TEST(SearchHalfStep, MaskedShapeChecks) {
    const ExactSearch search(patterns_of(BitMatrix::ones(70, 3)), 3);
    BitMatrix out = BitMatrix::zeros(5, 3), narrow = BitMatrix::zeros(5, 2);
    const BitMatrix short_rows = BitMatrix::zeros(5, 69);
    EXPECT_EQ(failure_of([&] {
                  search_half_step(search, MaskedVectorBlock(short_rows, short_rows), 1,
                                   out.view_mut(), {});
              }),
              "assertion `left == right` failed: les vecteurs ont 69 bits, W a 70 lignes\n"
              "  left: 69\n right: 70");
    const BitMatrix rows = BitMatrix::zeros(5, 70);
    EXPECT_EQ(failure_of([&] {
                  search_half_step(search, MaskedVectorBlock(rows, rows), 1, narrow.view_mut(), {});
              }),
              "la sortie est 5x2, il faut 5x3");
}

TEST(SearchHalfStep, TheEngineSolvesMaskedExactAboveTheTableRanks) {
    // "exact" on masked blocks at rank 27 and beyond runs the masked search:
    // with few live columns every class finishes and no fallback is needed.
    std::mt19937_64 g(89);
    for (const std::size_t r : {27u, 45u}) {
        std::uint64_t live = std::uint64_t{1} << (r - 1);
        while (std::popcount(live) < 9) live |= std::uint64_t{1} << (g() % r);
        const std::size_t m = 50, n = 12;
        const BitMatrix w = live_factor(g, m, r, live);
        const BitMatrix vectors = planted(g, n, m, 3);
        const BitMatrix masks = some_masks(g, n, m);
        const SolverEngine engine(w);
        const std::vector<Costs> costs = checked_costs();
        for (const std::size_t k : {0, 4, 7}) {
            BitMatrix out = BitMatrix::zeros(n, r);
            const StepResult got =
                engine.half_step(MaskedVectorBlock(vectors, masks), *MethodChoice::parse("exact"),
                                 0, out.view_mut(), costs[k]);
            EXPECT_EQ(got.fallbacks, 0u);
            std::uint64_t total = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const Solution want = ref_weighted_solve(patterns_of(w), vectors.row(i),
                                                         masks.row(i), costs[k].weights(m), live);
                EXPECT_EQ(out.row(i)[0], want.h);
                total += want.error;
            }
            EXPECT_EQ(got.error, total) << r;
        }
    }
}

}  // namespace
}  // namespace bmf
