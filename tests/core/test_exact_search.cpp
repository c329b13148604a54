// ExactSearch: the lowest optimal combination against a row-by-row search
// over all 2^r combinations and against the "zeta" solver, on factors with
// ties, repeated and empty columns, repeated rows and pattern sets that cross
// word boundaries; hints that must not change the answer; the node budget;
// the ranks above the table's; and the precondition failures. The weighted
// and masked solves against the same exhaustive search, weighted and
// counting observed rows only.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/table/boolls.hpp"
#include "failure.hpp"
#include "random_vectors.hpp"
#include "variants.hpp"
#include "weighted_reference.hpp"

namespace bmf {
namespace {

using boolmat::PreconditionError;
using boolmat::Word;

// Shadow model: the error of h row by row, and the first h of least error.
std::uint64_t ref_error(const std::vector<std::uint64_t>& rows, const BitVec& x, std::uint64_t h) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) error += ((rows[i] & h) != 0) != x.get(i);
    return error;
}

// Searches only the combinations of the columns in `live` (all others are
// empty and never in the lowest optimum), in increasing order.
Solution ref_solve(const std::vector<std::uint64_t>& rows, const BitVec& x, std::uint64_t live) {
    Solution best{0, ref_error(rows, x, 0)};
    for (std::uint64_t h = live; h != 0; h = (h - 1) & live) {
        const std::uint64_t e = ref_error(rows, x, h);
        if (e < best.error || (e == best.error && h < best.h)) best = {h, e};
    }
    return best;
}

std::uint64_t all_columns(unsigned r) {
    return r == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << r) - 1;
}

// Random row patterns over the columns of `live`, of a density drawn per
// factor; then some columns emptied or copied from another, some rows copied
// from another, so that ties, repeated columns and repeated rows abound.
std::vector<std::uint64_t> random_rows(std::mt19937_64& g, std::size_t m, std::uint64_t live) {
    std::vector<int> columns;
    for (int c = 0; c < 64; ++c)
        if ((live >> c) & 1) columns.push_back(c);
    const unsigned density = 1 + g() % 5;  // in eighths
    std::vector<std::uint64_t> rows(m, 0);
    for (auto& p : rows)
        for (const int c : columns)
            if (g() % 8 < density) p |= std::uint64_t{1} << c;
    const auto column = [&] { return columns[g() % columns.size()]; };
    for (unsigned k = g() % 3; k > 0; --k) {  // empty columns
        const std::uint64_t bit = std::uint64_t{1} << column();
        for (auto& p : rows) p &= ~bit;
    }
    for (unsigned k = g() % 3; k > 0; --k) {  // one column copied onto another
        const int from = column(), to = column();
        for (auto& p : rows) p = (p & ~(std::uint64_t{1} << to)) | (((p >> from) & 1) << to);
    }
    if (g() % 2 == 0)  // few distinct rows
        for (auto& p : rows) p = rows[g() % std::min<std::size_t>(m, 4)];
    return rows;
}

BitMatrix factor_of(const std::vector<std::uint64_t>& rows, unsigned r) {
    BitMatrix w = BitMatrix::zeros(rows.size(), r);
    for (std::size_t i = 0; i < rows.size(); ++i) w.set_row(i, std::span<const Word>(&rows[i], 1));
    return w;
}

// Vectors of random density, now and then all zero or all one.
BitVec some_x(std::mt19937_64& g, std::size_t m) {
    BitVec x = random_x(g, m);
    if (g() % 8 == 0)
        for (std::size_t i = 0; i < m; ++i) x.set(i, true);
    return x;
}

void expect_solution(const ExactResult& got, const Solution& want) {
    EXPECT_TRUE(got.finished);
    EXPECT_EQ(got.h, want.h);
    EXPECT_EQ(got.error, want.error);
}

TEST(ExactSearchSolve, LowestOptimumMatchesExhaustiveSearchInBothVariants) {
    for_each_variant([](bool portable) {
        SCOPED_TRACE(portable ? "portable" : "best");
        std::mt19937_64 g(17);
        ExactScratch scratch;  // reused across factors of every size
        for (int trial = 0; trial < 400; ++trial) {
            const unsigned r = 1 + g() % 11;
            const std::size_t m = 1 + g() % (trial % 4 == 0 ? 8 : 150);
            const auto rows = random_rows(g, m, all_columns(r));
            const ExactSearch search(rows, r, solver_of(portable));
            for (int v = 0; v < 4; ++v) {
                const BitVec x = some_x(g, m);
                SCOPED_TRACE(testing::Message() << "trial " << trial << " r " << r << " m " << m);
                expect_solution(search.solve(x.words(), scratch),
                                ref_solve(rows, x, all_columns(r)));
            }
        }
    });
}

TEST(ExactSearchSolve, PatternSetsAcrossWordBoundaries) {
    // 10 columns give up to 1023 distinct patterns: the search's sets then
    // span several words, and their prefixes end anywhere in a word.
    std::mt19937_64 g(5);
    ExactScratch scratch;
    for (const std::size_t distinct : {63, 64, 65, 127, 128, 129, 200}) {
        std::vector<std::uint64_t> patterns(1023);
        for (std::uint64_t p = 0; p < 1023; ++p) patterns[p] = p + 1;
        std::shuffle(patterns.begin(), patterns.end(), g);
        std::vector<std::uint64_t> rows;
        for (std::size_t k = 0; k < distinct; ++k)
            for (unsigned copies = 1 + g() % 3; copies > 0; --copies) rows.push_back(patterns[k]);
        const ExactSearch search(rows, 10);
        ASSERT_EQ(search.distinct_patterns(), distinct);
        for (int v = 0; v < 6; ++v) {
            const BitVec x = some_x(g, rows.size());
            expect_solution(search.solve(x.words(), scratch), ref_solve(rows, x, 1023));
        }
    }
}

TEST(ExactSearchSolve, MatchesZetaUpToRankTwenty) {
    std::mt19937_64 g(29);
    ExactScratch scratch;
    for (unsigned r = 12; r <= 20; ++r) {
        for (int trial = 0; trial < (r <= 16 ? 6 : 2); ++trial) {
            const std::size_t m = 64 + g() % 1500;
            const auto rows = random_rows(g, m, all_columns(r));
            const BoolLs table(factor_of(rows, r));
            const ExactSearch search(rows, r);
            for (int v = 0; v < 4; ++v) {
                const BitVec x = some_x(g, m);
                SCOPED_TRACE(testing::Message() << "r " << r << " m " << m);
                expect_solution(search.solve(x.words(), scratch),
                                table.solve_seeded(x, Method::Zeta, 0));
            }
        }
    }
}

TEST(ExactSearchSolve, PlantedCombinationsAreFoundAtEveryRank) {
    // x is exactly W∘h for a random h of a random factor: the error is 0 and
    // the answer the lowest h with the same product, which the exhaustive
    // search over the few live columns finds at every rank, bit 63 included.
    std::mt19937_64 g(41);
    ExactScratch scratch;
    for (const unsigned r : {21u, 26u, 27u, 40u, 63u, 64u}) {
        for (int trial = 0; trial < 6; ++trial) {
            std::uint64_t live = std::uint64_t{1} << (r - 1);
            while (std::popcount(live) < 12) live |= std::uint64_t{1} << (g() % r);
            const std::size_t m = 40 + g() % 300;
            const auto rows = random_rows(g, m, live);
            const ExactSearch search(rows, r);
            const std::uint64_t planted = g() & live;
            BitVec x = BitVec::zeros(m);
            for (std::size_t i = 0; i < m; ++i) x.set(i, (rows[i] & planted) != 0);
            const Solution want = ref_solve(rows, x, live);
            EXPECT_EQ(want.error, 0u);
            expect_solution(search.solve(x.words(), scratch), want);
            // And with noise, where the optimum is not planted any more.
            for (std::size_t i = 0; i < m; ++i)
                if (g() % 10 == 0) x.set(i, !x.get(i));
            expect_solution(search.solve(x.words(), scratch), ref_solve(rows, x, live));
        }
    }
}

TEST(ExactSearchSolve, EdgeFactors) {
    ExactScratch scratch;
    const auto solve = [&](const std::vector<std::uint64_t>& rows, unsigned r, const BitVec& x) {
        return ExactSearch(rows, r).solve(x.words(), scratch);
    };
    BitVec one = BitVec::zeros(1);
    EXPECT_EQ(solve({0b0110}, 4, one).h, 0u);
    one.set(0, true);
    EXPECT_EQ(solve({0b0110}, 4, one).h, 0b0010u);  // the lower of two equal columns
    // Only all-zero rows: nothing covers, every h errs on the ones of x.
    BitVec x = BitVec::zeros(130);
    for (std::size_t i = 0; i < 65; ++i) x.set(i, true);
    EXPECT_EQ(solve(std::vector<std::uint64_t>(130, 0), 5, x).error, 65u);
    // Many equal rows, as many ones as zeros below them: h = 0 ties with
    // the full column and wins; one more one tips it.
    const std::vector<std::uint64_t> equal(130, 0b101);
    EXPECT_EQ(solve(equal, 3, x).h, 0u);
    x.set(65, true);
    EXPECT_EQ(solve(equal, 3, x).h, 0b001u);
}

TEST(ExactSearchHint, NoHintChangesTheAnswer) {
    // Hints of every kind, an optimal but not lowest one included, each of
    // which starts the search from an incumbent that ties with the answer or
    // beats what the greedy finds.
    std::mt19937_64 g(53);
    ExactScratch scratch;
    int higher_optima = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const unsigned r = 2 + g() % 8;
        const std::size_t m = 1 + g() % 40;
        const auto rows = random_rows(g, m, all_columns(r));
        const ExactSearch search(rows, r);
        const BitVec x = some_x(g, m);
        const Solution want = ref_solve(rows, x, all_columns(r));
        std::vector<std::uint64_t> hints{want.h, g() & all_columns(r), all_columns(r)};
        for (std::uint64_t h = all_columns(r); h > want.h; --h)
            if (ref_error(rows, x, h) == want.error) {
                hints.push_back(h);  // the highest optimum
                ++higher_optima;
                break;
            }
        for (const std::uint64_t hint : hints) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << " hint " << hint);
            expect_solution(search.solve(x.words(), scratch, kUnlimitedNodes, hint), want);
        }
    }
    EXPECT_GT(higher_optima, 100);  // the tie cases did occur
}

TEST(ExactSearchBudget, StopsAtTheBudgetWithAnExactError) {
    std::mt19937_64 g(61);
    ExactScratch scratch;
    int cut = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const unsigned r = 8 + g() % 5;
        const std::size_t m = 100 + g() % 200;
        std::vector<std::uint64_t> rows(m);
        for (auto& p : rows) p = g() & all_columns(r);  // dense and random: hard to prune
        const ExactSearch search(rows, r);
        const BitVec x = some_x(g, m);
        const ExactResult full = search.solve(x.words(), scratch);
        expect_solution(full, ref_solve(rows, x, all_columns(r)));
        // The exact budget suffices; one node less does not.
        EXPECT_EQ(search.solve(x.words(), scratch, full.nodes), full);
        if (full.nodes < 2) continue;
        ++cut;
        for (const std::uint64_t budget : {std::uint64_t{0}, full.nodes / 2, full.nodes - 1}) {
            const ExactResult part = search.solve(x.words(), scratch, budget);
            EXPECT_FALSE(part.finished);
            EXPECT_EQ(part.nodes, budget);
            EXPECT_GE(part.error, full.error);
            EXPECT_EQ(part.error, ref_error(rows, x, part.h));
        }
    }
    EXPECT_GT(cut, 40);
}

// Runs the chooser over `vectors` as a half-step would and returns how many
// it searched, each within its budget.
int searched_by_chooser(const std::vector<std::uint64_t>& rows, unsigned r,
                        const std::vector<BitVec>& vectors) {
    const ExactSearch search(rows, r);
    ExactChooser chooser(search);
    ExactScratch scratch;
    int searched = 0;
    for (const BitVec& x : vectors) {
        const std::uint64_t budget = chooser.budget(x.count_ones());
        if (budget == 0) continue;
        ++searched;
        const ExactResult got = search.solve(x.words(), scratch, budget);
        EXPECT_LE(got.nodes, budget);
        chooser.record(got);
    }
    return searched;
}

TEST(ExactChooser, KeepsSearchingWhereItPaysAndHandsHardHalfStepsToTheTable) {
    std::mt19937_64 g(83);
    const unsigned r = 20;
    // Planted: 300 rows of 6 patterns, vectors W∘h with a little noise.
    std::vector<std::uint64_t> kinds(6), planted(300);
    for (auto& p : kinds) p = g() & all_columns(r);
    for (auto& p : planted) p = kinds[g() % kinds.size()];
    std::vector<BitVec> easy;
    for (int v = 0; v < 100; ++v) {
        const std::uint64_t h = g() & all_columns(r);
        BitVec x = BitVec::zeros(planted.size());
        for (std::size_t i = 0; i < planted.size(); ++i)
            x.set(i, ((planted[i] & h) != 0) != (g() % 50 == 0));
        easy.push_back(x);
    }
    EXPECT_EQ(searched_by_chooser(planted, r, easy), 100);
    // Random dense rows, as many patterns as rows: the searches run out of
    // budget, and after the first few only one vector in kRetryEvery is
    // searched again.
    std::vector<std::uint64_t> dense(2000);
    for (auto& p : dense) p = g() & all_columns(r);
    std::vector<BitVec> hard;
    for (int v = 0; v < 200; ++v) {
        BitVec x = BitVec::zeros(dense.size());
        for (std::size_t i = 0; i < dense.size(); ++i) x.set(i, g() % 2 == 0);
        hard.push_back(x);
    }
    EXPECT_LE(searched_by_chooser(dense, r, hard),
              4 + 200 / static_cast<int>(ExactChooser::kRetryEvery));
}

TEST(ExactChooser, AboveTheTableRanksEveryVectorIsSearchedWithinTheHighRankBudget) {
    const ExactSearch search(std::vector<std::uint64_t>{1, 2, std::uint64_t{1} << 40}, 41);
    ExactChooser chooser(search);
    for (int v = 0; v < 10; ++v, chooser.record(ExactResult{0, 1, false, kHighRankNodes}))
        EXPECT_EQ(chooser.budget(1), kHighRankNodes);
}

TEST(ExactSearchErrors, PreconditionsFailWithTheirKinds) {
    const std::vector<std::uint64_t> rows{1, 2, 3};
    const auto kind_of = [](auto&& f) {
        try {
            f();
        } catch (const PreconditionError& e) {
            return e.kind();
        }
        return boolmat::FailKind::Internal;
    };
    using boolmat::FailKind;
    EXPECT_EQ(kind_of([&] { ExactSearch(rows, 0); }), FailKind::Value);
    EXPECT_EQ(kind_of([&] { ExactSearch(rows, 65); }), FailKind::Value);
    EXPECT_EQ(failure_of([&] { ExactSearch(rows, 1); }),
              "la ligne 1 a le motif 2, qui depasse les 1 colonnes");
    EXPECT_EQ(kind_of([&] { ExactSearch(std::vector<std::uint64_t>{}, 3); }), FailKind::Shape);
    const ExactSearch search(rows, 2);
    ExactScratch scratch;
    const std::vector<Word> two(2, 0), one(1, 0);
    EXPECT_EQ(failure_of([&] { search.solve(two, scratch); }),
              "x a 2 mots, W en demande 1 pour 3 lignes");
    EXPECT_EQ(kind_of([&] { search.solve(one, scratch, kUnlimitedNodes, 4); }), FailKind::Value);
    EXPECT_EQ(search.solve(one, scratch).error, 0u);  // a valid call still passes
}

// A mask of m rows: all ones, all zeros, of a random density, or with the
// rows of one pattern all unobserved.
BitVec some_mask(std::mt19937_64& g, const std::vector<std::uint64_t>& rows) {
    const std::size_t m = rows.size();
    const unsigned kind = g() % 5, density = 1 + g() % 7;  // in eighths
    const std::uint64_t hidden = rows[g() % m];
    BitVec mask = BitVec::zeros(m);
    for (std::size_t i = 0; i < m; ++i)
        mask.set(i,
                 kind == 0 || (kind == 2 && rows[i] != hidden) || (kind > 2 && g() % 8 < density));
    return mask;
}

TEST(ExactSearchWeighted, LowestOptimumMatchesExhaustiveSearchWithCostsAndMasks) {
    const std::vector<Costs> costs = checked_costs();
    for_each_variant([&](bool portable) {
        SCOPED_TRACE(portable ? "portable" : "best");
        std::mt19937_64 g(101);
        ExactScratch scratch;
        for (int trial = 0; trial < 200; ++trial) {
            const unsigned r = 1 + g() % (trial % 5 == 0 ? 12 : 9);
            const std::size_t m = 1 + g() % (trial % 4 == 0 ? 8 : 70);
            const auto rows = random_rows(g, m, all_columns(r));
            const ExactSearch search(rows, r, solver_of(portable));
            for (int v = 0; v < 3; ++v) {
                const BitVec x = some_x(g, m), mask = some_mask(g, rows);
                for (const Costs& c : costs) {
                    const Weights w = c.weights(m);
                    SCOPED_TRACE(testing::Message()
                                 << "trial " << trial << " r " << r << " m " << m << " weights "
                                 << w.false_one << "," << w.false_zero);
                    expect_solution(search.solve(x.words(), w, scratch),
                                    ref_weighted_solve(rows, x.words(), {}, w, all_columns(r)));
                    expect_solution(
                        search.solve(x.words(), mask.words(), w, scratch),
                        ref_weighted_solve(rows, x.words(), mask.words(), w, all_columns(r)));
                }
            }
        }
    });
}

TEST(ExactSearchWeighted, UnitWeightsAndFullMasksGiveTheUnweightedSearch) {
    // The same problem laid out: the same answer after the same nodes, also
    // when a budget cuts the search short.
    std::mt19937_64 g(103);
    ExactScratch scratch;
    const std::vector<Costs> costs = checked_costs();
    for (int trial = 0; trial < 100; ++trial) {
        const unsigned r = 1 + g() % 14;
        const std::size_t m = 1 + g() % 300;
        const auto rows = random_rows(g, m, all_columns(r));
        const ExactSearch search(rows, r);
        const BitVec x = some_x(g, m);
        BitVec ones = BitVec::zeros(m);
        for (std::size_t i = 0; i < m; ++i) ones.set(i, true);
        for (const std::uint64_t budget : {kUnlimitedNodes, std::uint64_t{3}}) {
            const ExactResult plain = search.solve(x.words(), scratch, budget);
            EXPECT_EQ(search.solve(x.words(), Weights{1, 1}, scratch, budget), plain);
            EXPECT_EQ(search.solve(x.words(), ones.words(), Weights{1, 1}, scratch, budget), plain);
            const Weights w = costs[g() % costs.size()].weights(m);
            EXPECT_EQ(search.solve(x.words(), ones.words(), w, scratch, budget),
                      search.solve(x.words(), w, scratch, budget));
        }
    }
}

TEST(ExactSearchWeighted, MaskChecks) {
    const ExactSearch search(std::vector<std::uint64_t>{1, 2, 3}, 2);
    ExactScratch scratch;
    const std::vector<Word> two(2, 0), one(1, 0);
    EXPECT_EQ(failure_of([&] {
                  search.solve(one, two, Weights{1, 1}, scratch);
              }),
              "masque a 2 mots, W en demande 1 pour 3 lignes");
    EXPECT_EQ(failure_of([&] {
                  search.solve(two, one, Weights{1, 1}, scratch);
              }),
              "x a 2 mots, W en demande 1 pour 3 lignes");
}

}  // namespace
}  // namespace bmf
