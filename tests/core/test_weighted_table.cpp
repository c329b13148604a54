// Weighted "naive" and "zeta" on the table, unmasked and masked: the
// weighted kernels of both variants against plain loops in 32- and 64-bit
// lanes, and the solves and half-steps against a brute-force shadow model
// over every cost kind, every blocking of ζS, the grouped layout and the
// 64-bit scan; unit weights against the unweighted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <utility>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "failure.hpp"
#include "random_vectors.hpp"
#include "variants.hpp"
#include "weighted_cells.hpp"

namespace bmf {
namespace {

using detail::zeta_input;
using detail::ZetaCombine;
using detail::ZetaScratch;

// The costs every weighted solve is checked with: all but the unit ones.
std::vector<Costs> all_costs() {
    std::vector<Costs> out = testing_weights::cost_sweep();
    std::erase_if(out, [](const Costs& c) { return c.unit(); });
    return out;
}

// Shadow model: the weighted observed error of h, cell by cell, and the
// lowest h of least error by trying every one.
struct Shadow {
    const BitMatrix& w;
    const BitVec& x;
    const BitVec& mask;
    Weights weights;

    std::uint64_t error(std::uint64_t h) const {
        const boolmat::Word word = h;
        return testing_weights::shadow_weighted(w, x.words(), mask.words(), {&word, 1}, weights);
    }
    Solution best() const {
        Solution b{0, error(0)};
        for (std::uint64_t h = 1; h < (std::uint64_t{1} << w.cols()); ++h)
            if (const std::uint64_t e = error(h); e < b.error) b = {h, e};
        return b;
    }
};

// Rows of density 1/4 to 3/4, some all zero; only `patterns` distinct rows
// when it is nonzero (the grouped layout's case).
BitMatrix random_w(std::mt19937_64& g, std::size_t m, std::size_t r, std::size_t patterns = 0) {
    const unsigned density = 1 + g() % 3;
    std::vector<std::uint64_t> pool(patterns);
    for (auto& p : pool) p = g() & ((std::uint64_t{1} << r) - 1);
    BitMatrix w = BitMatrix::zeros(m, r);
    for (std::size_t i = 0; i < m; ++i) {
        if (patterns != 0) {
            const std::uint64_t p = pool[g() % patterns];
            for (std::size_t j = 0; j < r; ++j) w.set(i, j, (p >> j) & 1);
        } else if (g() % 6 != 0) {
            for (std::size_t j = 0; j < r; ++j) w.set(i, j, g() % 4 < density);
        }
    }
    return w;
}

// A mask: all ones, all zeros, or random of density 1/4 .. 3/4.
BitVec random_mask(std::mt19937_64& g, std::size_t m) {
    switch (g() % 5) {
        case 0: return BitVec::zeros(m);
        case 1: {
            BitVec all = BitVec::zeros(m);
            for (std::size_t i = 0; i < m; ++i) all.set(i, true);
            return all;
        }
        default: {
            BitVec mask = BitVec::zeros(m);
            const unsigned density = 1 + g() % 3;
            for (std::size_t i = 0; i < m; ++i) mask.set(i, g() % 4 < density);
            return mask;
        }
    }
}

BitVec all_ones(std::size_t m) {
    BitVec v = BitVec::zeros(m);
    for (std::size_t i = 0; i < m; ++i) v.set(i, true);
    return v;
}

TEST(WeightedZetaKernels, FinishAndLastIndexMatchPlainLoopsInBothLaneWidths) {
    std::mt19937_64 g(40);
    // alpha = 2, beta = 1 is the unweighted combination; the large pairs
    // wrap modulo 2^32 in the 32-bit lanes and must not in the 64-bit ones.
    const ZetaCombine combines[] = {{2, 1}, {5, 1}, {1, 0},
                                    {1, 1}, {7, 3}, {(1u << 31) + 1, 1u << 31}};
    for (unsigned bits : {0u, 2u, 3u, 4u, 6u, 12u, 13u, 15u}) {
        const std::size_t size = std::size_t{1} << bits;
        for (unsigned low : {0u, 3u, 4u, 12u}) {
            if (low > bits) continue;
            // Few distinct values, spread ones (the located minimum comes from
            // the groups the last sweep notes), or s = 0 and c in {0, 5}
            // (half the entries tie at the minimum: too many groups to note,
            // the minimum is found by a scan).
            for (const int kind : {0, 1, 2}) {
                std::vector<std::uint32_t> s(size), c(size);
                for (std::size_t t = 0; t < size; ++t) {
                    s[t] = kind == 0 ? g() % 2 : kind == 1 ? g() % 1000 : 0;
                    c[t] = kind == 0 ? g() % 9 : kind == 1 ? g() % 100000 : 5 * (g() % 2);
                }
                std::vector<std::uint32_t> ready = s;
                for (std::size_t base = 0; base < size; base += std::size_t{1} << low)
                    for (std::size_t j = 3; j < low; ++j)
                        for (std::size_t t = base; t < base + (std::size_t{1} << low); ++t)
                            if ((t >> j) & 1) ready[t] += ready[t ^ (std::size_t{1} << j)];
                std::vector<std::uint32_t> after = ready;
                for (std::size_t j = std::max(low, 3u); j < bits; ++j)
                    for (std::size_t t = 0; t < size; ++t)
                        if ((t >> j) & 1) after[t] += after[t ^ (std::size_t{1} << j)];
                for (const ZetaCombine k : combines) {
                    std::int64_t least64 = INT64_MAX;
                    std::int32_t least32 = INT32_MAX;
                    std::size_t last64 = 0, last32 = 0;
                    for (std::size_t t = 0; t < size; ++t) {
                        const auto v =
                            static_cast<std::int64_t>(k.alpha * after[t] - k.beta * c[t]);
                        const auto v32 = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
                        if (v <= least64) least64 = v, last64 = t;
                        if (v32 <= least32) least32 = v32, last32 = t;
                    }
                    for_each_variant([&](bool portable) {
                        const auto run = [&](auto zero) {
                            using Count = decltype(zero);
                            const auto& kern = solver_of(portable).zeta->template width<Count>();
                            std::vector<Count> got(ready.begin(), ready.end());
                            EXPECT_EQ(kern.finish_and_locate_weighted_minimum(got.data(), c.data(),
                                                                              bits, low, k),
                                      (detail::ZetaMinimum<std::int32_t>{least32, last32}))
                                << bits << "/" << low << " alpha " << k.alpha << " portable "
                                << portable;
                            EXPECT_EQ(got, std::vector<Count>(after.begin(), after.end()));
                            EXPECT_EQ(
                                kern.last_weighted_index_of(got.data(), c.data(), size, k, least32),
                                last32);
                            got.assign(ready.begin(), ready.end());
                            EXPECT_EQ(kern.finish_and_locate_weighted_minimum_64(
                                          got.data(), c.data(), bits, low, k),
                                      (detail::ZetaMinimum<std::int64_t>{least64, last64}))
                                << bits << "/" << low << " alpha " << k.alpha << " portable "
                                << portable;
                            EXPECT_EQ(kern.last_weighted_index_of_64(got.data(), c.data(), size, k,
                                                                     least64),
                                      last64);
                            if (k.alpha == 2 && k.beta == 1) {
                                got.assign(ready.begin(), ready.end());
                                EXPECT_EQ(
                                    kern.finish_and_find_minimum(got.data(), c.data(), bits, low),
                                    least32);
                            }
                        };
                        if (kind != 1) run(std::uint16_t{});
                        run(std::uint32_t{});
                    });
                }
            }
        }
    }
}

TEST(WeightedTable, SolvesMatchTheShadowForEveryCostAndBlocking) {
    std::mt19937_64 g(41);
    const std::vector<Costs> costs = all_costs();
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t m = 1 + g() % 70;
        const unsigned r = 1 + g() % 10;
        const BitMatrix w = random_w(g, m, r);
        const BitVec x = random_x(g, m);
        const BitVec everything = all_ones(m);
        for (const Costs& cost : costs) {
            const Weights weights = cost.weights(m);
            const Solution want = Shadow{w, x, everything, weights}.best();
            for_each_variant([&](bool portable) {
                const BoolLs solver(w, solver_of(portable));
                EXPECT_EQ(solver.solve_naive(x, weights), want) << m << " " << r;
                ZetaScratch scratch;
                for (unsigned block_bits : {detail::kZetaBlockBits, 3u, 5u, r > 1 ? r - 1 : 3u})
                    EXPECT_EQ(detail::zeta_solve(zeta_input(solver), x.words(), scratch, weights,
                                                 block_bits),
                              want)
                        << "m " << m << " r " << r << " costs " << cost.false_one() << "/"
                        << cost.false_zero() << " blocks " << block_bits << " portable "
                        << portable;
            });
        }
        // Weights 1 and 1 give the unweighted answers.
        const BoolLs solver(w);
        EXPECT_EQ(solver.solve_zeta(x, Weights{}), solver.solve_zeta(x));
        EXPECT_EQ(solver.solve_naive(x, Weights{}), solver.solve_naive(x));
    }
}

TEST(WeightedTable, LargeWeightsAreExactInEveryScan) {
    // 2^24 x 200 rows and (m + 1) x m from 46341 rows pass 2^31: the 32-bit
    // lanes would wrap with these weights. Where one kind of error outweighs
    // the other the scan takes smaller weights of the same order (the first
    // two cases, in 32-bit lanes); the last two need the 64-bit lanes.
    std::mt19937_64 g(42);
    const struct {
        std::size_t m;
        unsigned r;
        Costs costs;
    } cases[] = {{200, 6, *Costs::of(kMaxCost, 1)},
                 {300, 8, *Costs::of(1, kMaxCost)},
                 {46400, 3, Costs::from_below()},
                 {46400, 3, *Costs::of(1, kInfiniteCost)},
                 {200, 6, *Costs::of(kMaxCost, kMaxCost - 1)},
                 {300, 8, *Costs::of(kMaxCost - 3, kMaxCost)}};
    for (const auto& one : cases) {
        const BitMatrix w = random_w(g, one.m, one.r);
        const BitVec everything = all_ones(one.m);
        const Weights weights = one.costs.weights(one.m);
        ASSERT_GE(std::max(weights.false_one, weights.false_zero) * one.m, std::uint64_t{1} << 31);
        for (int k = 0; k < 3; ++k) {
            const BitVec x = random_x(g, one.m);
            const Solution want = Shadow{w, x, everything, weights}.best();
            for_each_variant([&](bool portable) {
                const BoolLs solver(w, solver_of(portable));
                ZetaScratch scratch;
                for (unsigned block_bits : {detail::kZetaBlockBits, 4u})
                    EXPECT_EQ(detail::zeta_solve(zeta_input(solver), x.words(), scratch, weights,
                                                 block_bits),
                              want)
                        << one.m << " portable " << portable;
            });
        }
    }
}

// The half-step of `costs` over random rows, with and without the
// transpose given, against the shadow row by row, and its total.
void check_half_step(std::mt19937_64& g, const BitMatrix& w, const Costs& costs, Method method,
                     bool portable) {
    const std::size_t m = w.rows(), rows = 1 + g() % 12;
    BitMatrix xs = BitMatrix::zeros(rows, m);
    for (std::size_t i = 0; i < rows; ++i) {
        // Some rows repeat an earlier one: classes of equal rows.
        const BitVec x =
            i > 0 && g() % 3 == 0 ? BitVec::from_words(xs.row(i - 1), m) : random_x(g, m);
        xs.set_row(i, x.words());
    }
    const BitMatrix t = boolmat::transpose(xs, bits_of(portable));
    const BitVec everything = all_ones(m);
    const BoolLs solver(w, solver_of(portable));
    for (const bool with_transpose : {false, true}) {
        const VectorBlock block = with_transpose ? VectorBlock(xs, t) : VectorBlock(xs);
        BitMatrix out = BitMatrix::zeros(rows, w.cols());
        const std::uint64_t total =
            table_half_step(solver, block, method, 0, out.view_mut(), costs);
        std::uint64_t want_total = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const BitVec x = BitVec::from_words(xs.row(i), m);
            const Solution want = Shadow{w, x, everything, costs.weights(m)}.best();
            EXPECT_EQ(out.row(i)[0], want.h) << "row " << i << " m " << m;
            want_total += want.error;
        }
        EXPECT_EQ(total, want_total) << method.name() << " portable " << portable;
    }
}

TEST(WeightedTable, HalfStepsMatchTheShadowAlsoInPatternOrder) {
    std::mt19937_64 g(43);
    const std::vector<Costs> costs = all_costs();
    for (int trial = 0; trial < 24; ++trial) {
        const unsigned r = 1 + g() % 8;
        // Every other factor has few patterns among many rows: "zeta" then
        // reads the vectors in pattern order.
        const bool grouped = trial % 2 == 0;
        const std::size_t m = grouped ? 80 + g() % 120 : 1 + g() % 70;
        const BitMatrix w = random_w(g, m, r, grouped ? 1 + g() % 6 : 0);
        if (grouped) {
            ASSERT_NE(detail::zeta_groups(BoolLs(w)), nullptr);
        }
        for (const Costs& cost : costs)
            for_each_variant([&](bool portable) {
                check_half_step(g, w, cost, Method::Zeta, portable);
                if (trial % 4 < 2) check_half_step(g, w, cost, Method::Naive, portable);
            });
    }
}

TEST(WeightedTable, HeuristicsAreRefusedAndUnitCostsTakeTheUnweightedPath) {
    std::mt19937_64 g(44);
    const BitMatrix w = random_w(g, 40, 5);
    const BoolLs solver(w);
    BitMatrix xs = BitMatrix::zeros(3, 40);
    for (std::size_t i = 0; i < 3; ++i) xs.set_row(i, random_x(g, 40).words());
    const VectorBlock block(xs);
    BitMatrix out = BitMatrix::zeros(3, 5);
    const Costs costs = *Costs::of(1, 4);
    EXPECT_EQ(failure_of([&] {
                  table_half_step(solver, block, Method::Greedy, 0, out.view_mut(), costs);
              }),
              "la methode greedy n'a pas de solveur pondere sur la table");
    const MaskedVectorBlock masked(xs, xs);
    EXPECT_EQ(
        failure_of([&] { half_step(solver, masked, Method::GreedyLs, 0, out.view_mut(), costs); }),
        "la methode greedy-ls n'a pas de solveur pondere sur la table");
    // The shapes are checked first.
    BitMatrix small = BitMatrix::zeros(2, 5);
    EXPECT_NE(failure_of([&] {
                  table_half_step(solver, block, Method::Greedy, 0, small.view_mut(), costs);
              }).find("la sortie est"),
              std::string::npos);
    BitMatrix unit_out = BitMatrix::zeros(3, 5);
    for (const Method method : {Method::Greedy, Method::GreedyLs, Method::Zeta}) {
        const std::uint64_t want = table_half_step(solver, block, method, 7, out.view_mut());
        EXPECT_EQ(table_half_step(solver, block, method, 7, unit_out.view_mut(), *Costs::of(3, 3)),
                  want);
        EXPECT_EQ(unit_out, out);
    }
}

// The masked half-step of `costs` against the shadow row by row.
void check_masked(std::mt19937_64& g, const BitMatrix& w, const Costs& costs, Method method,
                  bool portable) {
    const std::size_t m = w.rows(), rows = 1 + g() % 10;
    BitMatrix xs = BitMatrix::zeros(rows, m), masks = BitMatrix::zeros(rows, m);
    for (std::size_t i = 0; i < rows; ++i) {
        xs.set_row(i, random_x(g, m).words());
        // Some rows share the mask of the row before: runs of equal masks.
        if (i > 0 && g() % 2 == 0)
            masks.set_row(i, masks.row(i - 1));
        else
            masks.set_row(i, random_mask(g, m).words());
    }
    const BoolLs solver(w, solver_of(portable));
    const MaskedVectorBlock block(xs, masks, solver_of(portable));
    BitMatrix out = BitMatrix::zeros(rows, w.cols());
    const std::uint64_t total = half_step(solver, block, method, 0, out.view_mut(), costs);
    std::uint64_t want_total = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const BitVec x = BitVec::from_words(xs.row(i), m);
        const BitVec mask = BitVec::from_words(masks.row(i), m);
        const Solution want = Shadow{w, x, mask, costs.weights(m)}.best();
        EXPECT_EQ(out.row(i)[0], want.h)
            << "row " << i << " m " << m << " " << method.name() << " portable " << portable;
        want_total += want.error;
    }
    EXPECT_EQ(total, want_total) << method.name() << " portable " << portable;
}

TEST(WeightedMasked, HalfStepsMatchTheShadowForEveryCostAndMask) {
    std::mt19937_64 g(45);
    const std::vector<Costs> costs = all_costs();
    for (int trial = 0; trial < 24; ++trial) {
        const unsigned r = 1 + g() % 9;
        const bool grouped = trial % 2 == 0;
        const std::size_t m = grouped ? 80 + g() % 120 : 1 + g() % 70;
        const BitMatrix w = random_w(g, m, r, grouped ? 1 + g() % 6 : 0);
        for (const Costs& cost : costs)
            for_each_variant([&](bool portable) {
                check_masked(g, w, cost, Method::Zeta, portable);
                if (trial % 4 < 2) check_masked(g, w, cost, Method::Naive, portable);
            });
    }
    // Large weights under a mask: 2^24 x the observed rows passes 2^31
    // (smaller weights of the same order for the first two, the 64-bit scan
    // for the others).
    const BitMatrix w = random_w(g, 400, 5);
    for_each_variant([&](bool portable) {
        for (const auto& [a, b] : {std::pair{kMaxCost, std::uint64_t{1}},
                                   {1, kMaxCost},
                                   {kMaxCost, kMaxCost - 1},
                                   {kMaxCost - 5, kMaxCost}})
            check_masked(g, w, *Costs::of(a, b), Method::Zeta, portable);
    });
}

TEST(WeightedMasked, AllOnesMasksGiveTheUnmaskedWeightedAnswers) {
    std::mt19937_64 g(46);
    for (int trial = 0; trial < 10; ++trial) {
        const std::size_t m = 1 + g() % 150;
        const unsigned r = 1 + g() % 9;
        const BitMatrix w = random_w(g, m, r, trial % 2 == 0 ? 3 : 0);
        const BoolLs solver(w);
        BitMatrix xs = BitMatrix::zeros(6, m), masks = BitMatrix::zeros(6, m);
        for (std::size_t i = 0; i < 6; ++i) {
            xs.set_row(i, random_x(g, m).words());
            masks.set_row(i, all_ones(m).words());
        }
        for (const Costs& cost : all_costs())
            for (const Method method : {Method::Naive, Method::Zeta}) {
                BitMatrix plain = BitMatrix::zeros(6, r), masked = BitMatrix::zeros(6, r);
                const std::uint64_t want =
                    table_half_step(solver, VectorBlock(xs), method, 0, plain.view_mut(), cost);
                EXPECT_EQ(half_step(solver, MaskedVectorBlock(xs, masks), method, 0,
                                    masked.view_mut(), cost),
                          want);
                EXPECT_EQ(masked, plain);
            }
    }
}

}  // namespace
}  // namespace bmf
