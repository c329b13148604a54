// SolverEngine: routing by method and rank gives the answers of the solvers
// called directly and, at small ranks, of a brute force over every
// combination; above rank 26 "exact" is the budgeted search with its
// greedy-ls fallback; masked blocks go to the masked solves; block refits
// never raise a row's error; rank_limit answers at the limits, and the
// engine fails where it refuses; masked heuristics at every rank and block
// refits with costs report the weighted recount of what they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "random_vectors.hpp"
#include "weighted_cells.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::Word;

MethodChoice choice_of(std::string_view name) { return *MethodChoice::parse(name); }

const char* const kChoices[] = {"naive", "zeta", "greedy", "greedy-ls", "exact"};

// rows x cols, each row drawn by random_x (densities 0 to 1).
BitMatrix random_rows(std::mt19937_64& g, std::size_t rows, std::size_t cols) {
    BitMatrix x = BitMatrix::zeros(rows, cols);
    for (std::size_t i = 0; i < rows; ++i) x.set_row(i, random_x(g, cols).words());
    return x;
}

// Copies every third row onto a later one, so that the blocks have classes.
void repeat_rows(std::mt19937_64& g, BitMatrix& x) {
    for (std::size_t i = 3; i < x.rows(); i += 3) x.set_row(i, x.row(g() % i));
}

// The exact error of combination h (words of the factor's width) against
// x, by building W∘h cell by cell.
std::uint64_t shadow_error(const BitMatrix& w, std::span<const Word> x, std::span<const Word> h) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        bool predicted = false;
        for (std::size_t j = 0; j < w.cols() && !predicted; ++j)
            predicted = w.get(i, j) && ((h[j / 64] >> (j % 64)) & 1);
        const bool bit = (x[i / 64] >> (i % 64)) & 1;
        error += predicted != bit;
    }
    return error;
}

// The lowest combination of least error, trying all 2^r.
Solution brute_force(const BitMatrix& w, std::span<const Word> x) {
    Solution best{0, w.rows() + 1};
    for (Word h = 0; h < (Word{1} << w.cols()); ++h) {
        const std::uint64_t e = shadow_error(w, x, {&h, 1});
        if (e < best.error) best = {h, e};
    }
    return best;
}

TEST(EngineRouting, SmallRanksMatchTheSolversAndTheBruteForce) {
    std::mt19937_64 g(7);
    for (int trial = 0; trial < 10; ++trial) {
        const std::size_t r = 1 + trial % 8, m = 1 + g() % 150, n = 1 + g() % 40;
        const BitMatrix w = random_matrix(g, m, r, eighths(1 + g() % 6));
        BitMatrix vectors = random_rows(g, n, m);
        repeat_rows(g, vectors);
        const SolverEngine engine(w);
        const BoolLs table(w);
        const std::uint64_t seed = g();
        for (const char* name : kChoices) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << " r " << r << " " << name);
            const MethodChoice choice = choice_of(name);
            BitMatrix out = BitMatrix::zeros(n, r);
            const StepResult got =
                engine.half_step(VectorBlock(vectors), choice, seed, out.view_mut());
            EXPECT_EQ(got.fallbacks, 0u);
            std::uint64_t total = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const Solution direct =
                    table.solve_seeded(vectors.view().row_vec(i), choice.table_method(), seed);
                ASSERT_EQ(out.row(i)[0], direct.h) << "row " << i;
                EXPECT_EQ(shadow_error(w, vectors.row(i), out.row(i)), direct.error);
                if (choice.exact || choice.method == Method::Naive ||
                    choice.method == Method::Zeta) {
                    EXPECT_EQ(direct, brute_force(w, vectors.row(i)));
                }
                total += direct.error;
            }
            EXPECT_EQ(got.error, total);
        }
    }
}

TEST(EngineRouting, HeuristicsRunWithoutATableAtAnyRank) {
    // Beyond rank 64 a combination is several words; WideLs solves every
    // row and the error is that of the combinations written.
    std::mt19937_64 g(11);
    for (const std::size_t r : {27, 64, 65, 130}) {
        const std::size_t m = 90, n = 25;
        const BitMatrix w = random_matrix(g, m, r, eighths(1));
        BitMatrix vectors = random_rows(g, n, m);
        repeat_rows(g, vectors);
        const SolverEngine engine(w);
        const WideLs wide(w);
        for (const char* name : {"greedy", "greedy-ls"}) {
            SCOPED_TRACE(testing::Message() << "r " << r << " " << name);
            BitMatrix out = BitMatrix::zeros(n, r);
            const StepResult got =
                engine.half_step(VectorBlock(vectors), choice_of(name), 5, out.view_mut());
            std::uint64_t total = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const WideSolution direct =
                    wide.solve(vectors.view().row_vec(i), choice_of(name).method, 5);
                ASSERT_TRUE(std::ranges::equal(out.row(i), direct.h)) << "row " << i;
                EXPECT_EQ(shadow_error(w, vectors.row(i), out.row(i)), direct.error);
                total += direct.error;
            }
            EXPECT_EQ(got, (StepResult{total, 0}));
        }
    }
}

TEST(EngineRouting, ExactAboveTheTableIsTheBudgetedSearchWithItsFallback) {
    // Planted vectors let the search finish; random ones against sparse
    // random factors leave it out of budget on some classes, where greedy-ls
    // wins some, loses or ties the others (the generators are chosen so
    // that each happens, a tie between different combinations included). Every row ends up with the
    // better of the search's best and greedy-ls's, the search's on ties, never worse than
    // greedy-ls; the fallbacks count rows, and the second half of each block repeats the first.
    struct Case {
        std::uint64_t generator;
        std::size_t m, r, n;
        unsigned w_eighths, x_eighths;  // x_eighths 0: planted vectors
    };
    const Case cases[] = {{23, 260, 40, 12, 1, 0},
                          {23, 260, 61, 12, 1, 0},
                          {4, 200, 50, 16, 2, 3},
                          {6, 200, 50, 16, 2, 3},
                          {1, 200, 64, 12, 1, 2}};
    std::uint64_t fell_back = 0, replaced = 0, kept = 0, tied_apart = 0;
    for (const Case& k : cases) {
        std::mt19937_64 g(k.generator);
        const BitMatrix w = random_matrix(g, k.m, k.r, eighths(k.w_eighths));
        const BitMatrix half = k.x_eighths
                                   ? random_matrix(g, k.n, k.m, eighths(k.x_eighths))
                                   : product(random_matrix(g, k.n, k.r, eighths(1)), w.transpose());
        BitMatrix vectors = BitMatrix::zeros(2 * k.n, k.m);
        for (std::size_t i = 0; i < 2 * k.n; ++i) vectors.set_row(i, half.row(i % k.n));
        const SolverEngine engine(w);
        const std::uint64_t seed = 5;
        const VectorBlock block(vectors);
        BitMatrix out = BitMatrix::zeros(2 * k.n, k.r);
        const StepResult got = engine.half_step(block, choice_of("exact"), seed, out.view_mut());

        std::vector<std::uint64_t> patterns(k.m);
        for (std::size_t i = 0; i < k.m; ++i) patterns[i] = w.row(i)[0];
        const ExactSearch search(patterns, static_cast<unsigned>(k.r));
        BitMatrix searched = BitMatrix::zeros(2 * k.n, k.r);
        const SearchStep step =
            search_half_step(search, block, kHighRankNodes, searched.view_mut());
        std::vector<bool> unfinished(2 * k.n, false);
        for (const std::size_t c : step.unfinished)
            for (std::size_t i = 0; i < 2 * k.n; ++i)
                unfinished[i] = unfinished[i] || block.classes().class_of[i] == c;
        const auto rows_unfinished =
            static_cast<std::uint64_t>(std::ranges::count(unfinished, true));
        EXPECT_EQ(got.fallbacks, rows_unfinished) << "rank " << k.r;
        if (k.x_eighths == 0) {
            EXPECT_EQ(got.fallbacks, 0u) << "planted vectors are searched to the end";
        }

        const WideLs wide(w);
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < 2 * k.n; ++i) {
            SCOPED_TRACE(testing::Message() << "rank " << k.r << " row " << i);
            const std::uint64_t error = shadow_error(w, vectors.row(i), out.row(i));
            const WideSolution greedy_ls =
                wide.solve(vectors.view().row_vec(i), Method::GreedyLs, seed);
            EXPECT_LE(error, greedy_ls.error);
            const std::uint64_t search_error = shadow_error(w, vectors.row(i), searched.row(i));
            if (unfinished[i] && greedy_ls.error < search_error) {
                EXPECT_EQ(out.row(i)[0], greedy_ls.h[0]);
                replaced += i < k.n;
            } else {
                EXPECT_EQ(out.row(i)[0], searched.row(i)[0]);
                kept += unfinished[i] && i < k.n;
                tied_apart += unfinished[i] && greedy_ls.error == search_error &&
                              greedy_ls.h[0] != searched.row(i)[0];
            }
            fell_back += unfinished[i];
            total += error;
        }
        EXPECT_EQ(got.error, total);
    }
    // The fallback was exercised both ways, and on a tie between different
    // combinations.
    EXPECT_GT(fell_back, 0u);
    EXPECT_GT(replaced, 0u);
    EXPECT_GT(kept, 0u);
    EXPECT_GT(tied_apart, 0u);
}

TEST(EngineRouting, MaskedBlocksGoToTheMaskedSolves) {
    std::mt19937_64 g(31);
    for (int trial = 0; trial < 6; ++trial) {
        const std::size_t r = 1 + g() % 9, m = 1 + g() % 120, n = 1 + g() % 30;
        const BitMatrix w = random_matrix(g, m, r, eighths(1 + g() % 6));
        BitMatrix vectors = random_rows(g, n, m);
        repeat_rows(g, vectors);
        const BitMatrix masks = random_matrix(g, n, m, eighths(6));
        BitMatrix all_ones = BitMatrix::zeros(n, m);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < m; ++j) all_ones.set(i, j, true);
        const SolverEngine engine(w);
        const BoolLs table(w);
        for (const char* name : kChoices) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << " " << name);
            const MethodChoice choice = choice_of(name);
            BitMatrix out = BitMatrix::zeros(n, r), direct = BitMatrix::zeros(n, r);
            const StepResult got =
                engine.half_step(MaskedVectorBlock(vectors, masks), choice, 9, out.view_mut());
            const std::uint64_t want =
                half_step(table, vectors, masks, choice.table_method(), 9, direct.view_mut());
            EXPECT_EQ(got, (StepResult{want, 0}));
            EXPECT_EQ(out, direct);
            // Every cell observed: the unmasked route's answers.
            BitMatrix observed = BitMatrix::zeros(n, r), plain = BitMatrix::zeros(n, r);
            const StepResult by_mask = engine.half_step(MaskedVectorBlock(vectors, all_ones),
                                                        choice, 9, observed.view_mut());
            const StepResult unmasked =
                engine.half_step(VectorBlock(vectors), choice, 9, plain.view_mut());
            EXPECT_EQ(by_mask, unmasked);
            EXPECT_EQ(observed, plain);
        }
    }
}

TEST(EngineRefit, NoRowsErrorGrowsAndTheTotalIsTheirSum) {
    std::mt19937_64 g(43);
    for (const std::size_t r : {3, 30, 70}) {
        for (const std::size_t width : {1, 5, 11}) {
            SCOPED_TRACE(testing::Message() << "r " << r << " width " << width);
            const std::size_t m = 120, n = 30;
            const BitMatrix w = random_matrix(g, m, r, eighths(1));
            BitMatrix vectors = random_rows(g, n, m);
            repeat_rows(g, vectors);
            const SolverEngine engine(w);
            // Start from random combinations and from greedy's.
            BitMatrix out = random_matrix(g, n, r, eighths(2));
            if (width == 5)
                engine.half_step(VectorBlock(vectors), choice_of("greedy"), 0, out.view_mut());
            std::vector<std::uint64_t> before(n);
            for (std::size_t i = 0; i < n; ++i)
                before[i] = shadow_error(w, vectors.row(i), out.row(i));
            const std::uint64_t total = engine.refit_blocks(vectors, width, out.view_mut());
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t after = shadow_error(w, vectors.row(i), out.row(i));
                EXPECT_LE(after, before[i]) << "row " << i;
                sum += after;
            }
            EXPECT_EQ(total, sum);
        }
    }
}

TEST(EngineRefit, ABlockAsWideAsTheRankIsTheExactOptimum) {
    std::mt19937_64 g(47);
    const BitMatrix w = random_matrix(g, 100, 7, eighths(2));
    const BitMatrix vectors = random_rows(g, 20, 100);
    const SolverEngine engine(w);
    BitMatrix out = random_matrix(g, 20, 7, eighths(4));
    engine.refit_blocks(vectors, 7, out.view_mut());
    for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(out.row(i)[0], brute_force(w, vectors.row(i)).h);
}

TEST(EngineMasked, HeuristicsAboveRank26ReportTheRecountOfTheirCombinations) {
    std::mt19937_64 g(59);
    const Costs costs[] = {Costs{}, *Costs::of(1, 4), *Costs::of(3, 2), Costs::from_below(),
                           *Costs::of(kMaxCost, 1)};
    for (const std::size_t r : {27, 65, 300}) {
        const std::size_t m = 50, n = 12;
        const BitMatrix w = random_matrix(g, m, r, eighths(1));
        BitMatrix vectors = random_rows(g, n, m);
        repeat_rows(g, vectors);
        const BitMatrix masks = testing_weights::mask_of_kind(g, n, m, 2);
        const MaskedVectorBlock block(vectors, masks);
        const SolverEngine engine(w);
        const WideLs wide(w.view());
        for (const char* name : {"greedy", "greedy-ls"}) {
            const MethodChoice choice = choice_of(name);
            for (const Costs& c : costs) {
                SCOPED_TRACE(testing::Message() << "r " << r << " " << name << " costs "
                                                << c.false_one() << "/" << c.false_zero());
                const Weights weights = c.weights(m);
                BitMatrix out = BitMatrix::zeros(n, r);
                const StepResult got = engine.half_step(block, choice, 3, out.view_mut(), c);
                std::uint64_t recount = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    const VecView x{vectors.row(i), m}, mask{masks.row(i), m};
                    const WideSolution alone = wide.solve(x, mask, choice.method, 3, weights);
                    ASSERT_EQ(std::vector<Word>(out.row(i).begin(), out.row(i).end()), alone.h);
                    recount += testing_weights::shadow_weighted(w, vectors.row(i), masks.row(i),
                                                                out.row(i), weights);
                }
                EXPECT_EQ(got, (StepResult{recount, 0}));
            }
            // Every cell observed: the unmasked route, bit for bit.
            BitMatrix full = BitMatrix::zeros(n, r), plain = BitMatrix::zeros(n, r);
            EXPECT_EQ(engine.half_step(MaskedVectorBlock(vectors, BitMatrix::ones(n, m)), choice, 3,
                                       full.view_mut()),
                      engine.half_step(VectorBlock(vectors), choice, 3, plain.view_mut()));
            EXPECT_EQ(full, plain);
        }
    }
}

TEST(EngineRefit, WithCostsNoRowsWeightedErrorGrowsMaskedOrNot) {
    std::mt19937_64 g(61);
    for (const std::size_t r : {5, 30, 70}) {
        const std::size_t m = 100, n = 20;
        const BitMatrix w = random_matrix(g, m, r, eighths(1));
        const BitMatrix vectors = random_rows(g, n, m);
        const BitMatrix masks = testing_weights::mask_of_kind(g, n, m, 2);
        const SolverEngine engine(w);
        const BitMatrix start = random_matrix(g, n, r, eighths(2));
        for (const Costs& costs : testing_weights::cost_sweep()) {
            const Weights weights = costs.weights(m);
            for (const bool masked : {false, true}) {
                SCOPED_TRACE(testing::Message() << "r " << r << (masked ? " masked" : ""));
                const std::span<const Word> none;
                BitMatrix out = start;
                const std::uint64_t total =
                    masked ? engine.refit_blocks(vectors, masks, 6, out.view_mut(), costs)
                           : engine.refit_blocks(vectors, 6, out.view_mut(), costs);
                std::uint64_t sum = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    const auto mask = masked ? masks.row(i) : none;
                    const std::uint64_t after = testing_weights::shadow_weighted(
                        w, vectors.row(i), mask, out.row(i), weights);
                    EXPECT_LE(after, testing_weights::shadow_weighted(w, vectors.row(i), mask,
                                                                      start.row(i), weights));
                    sum += after;
                }
                EXPECT_EQ(total, sum);
            }
        }
    }
}

TEST(RankLimit, AnswersAtTheLimits) {
    const std::string table_limit = "needs a table of 2^r counters and works up to rank 26";
    for (const char* name : {"naive", "zeta"}) {
        EXPECT_FALSE(rank_limit(choice_of(name), 26));
        const auto limit = rank_limit(choice_of(name), 27);
        ASSERT_TRUE(limit);
        EXPECT_EQ(limit->reason, "method '" + std::string(name) + "' " + table_limit);
        EXPECT_EQ(limit->alternatives, "greedy, greedy-ls or exact");
        EXPECT_EQ(rank_limit(choice_of(name), 65)->alternatives, "greedy or greedy-ls");
    }
    EXPECT_FALSE(rank_limit(choice_of("exact"), 64));
    const auto exact = rank_limit(choice_of("exact"), 65);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->reason, "method 'exact' works up to rank 64 (a combination of one word)");
    EXPECT_EQ(exact->alternatives, "greedy or greedy-ls");
    for (const char* name : {"greedy", "greedy-ls"}) {
        EXPECT_FALSE(rank_limit(choice_of(name), 1000000));
        EXPECT_FALSE(rank_limit(choice_of(name), 26, true));
    }
    // A mask changes no route.
    for (const char* name : kChoices)
        for (const std::uint64_t r : {26, 27, 64, 65, 1024}) {
            const auto masked = rank_limit(choice_of(name), r, true);
            const auto plain = rank_limit(choice_of(name), r);
            ASSERT_EQ(masked.has_value(), plain.has_value()) << name << " " << r;
            if (masked) {
                EXPECT_EQ(masked->reason, plain->reason);
            }
        }
}

TEST(RankLimit, TheEngineFailsWhereItRefuses) {
    std::mt19937_64 g(53);
    for (const std::size_t r : {27, 65}) {
        const BitMatrix w = random_matrix(g, 40, r, eighths(2));
        const BitMatrix vectors = random_rows(g, 6, 40);
        const SolverEngine engine(w);
        BitMatrix out = BitMatrix::zeros(6, r);
        for (const char* name : kChoices) {
            const bool refused = rank_limit(choice_of(name), r).has_value();
            const std::string failure = failure_of([&] {
                engine.half_step(VectorBlock(vectors), choice_of(name), 0, out.view_mut());
            });
            EXPECT_EQ(failure != "<no failure>", refused)
                << name << " at rank " << r << ": " << failure;
        }
        // Masked blocks have the same routes.
        const BitMatrix masks = random_matrix(g, 6, 40, eighths(6));
        for (const char* name : kChoices) {
            const bool refused = rank_limit(choice_of(name), r, true).has_value();
            const std::string failure = failure_of([&] {
                engine.half_step(MaskedVectorBlock(vectors, masks), choice_of(name), 0,
                                 out.view_mut());
            });
            EXPECT_EQ(failure != "<no failure>", refused)
                << name << " masked at rank " << r << ": " << failure;
        }
    }
    const BitMatrix w = random_matrix(g, 40, 5, eighths(2));
    const BitMatrix vectors = random_rows(g, 6, 40);
    BitMatrix out = BitMatrix::zeros(6, 5);
    EXPECT_EQ(failure_of([&] { SolverEngine(w).refit_blocks(vectors, 0, out.view_mut()); }),
              "bloc 0..0 hors des 5 colonnes");
    BitMatrix narrow = BitMatrix::zeros(6, 4);
    EXPECT_EQ(failure_of([&] {
                  SolverEngine(w).half_step(VectorBlock(vectors), choice_of("zeta"), 0,
                                            narrow.view_mut());
              }),
              "la sortie est 6x4, il faut 6x5");
}

TEST(MethodChoice, ExactBesideTheFourNames) {
    for (const char* spelled : {"exact", " EXACT\t", "Exact\xE3\x80\x80"}) {
        const auto parsed = MethodChoice::parse(spelled);
        ASSERT_TRUE(parsed) << spelled;
        EXPECT_TRUE(parsed->exact);
        EXPECT_EQ(parsed->name(), "exact");
        EXPECT_EQ(parsed->table_method(), Method::Zeta);
    }
    for (const char* other : {"exactly", "ex act", "", "exact-ls", "zeta exact"})
        EXPECT_FALSE(MethodChoice::parse(other)) << other;
    for (const std::string_view name : kMethodNames) {
        const auto parsed = MethodChoice::parse(name);
        ASSERT_TRUE(parsed);
        EXPECT_FALSE(parsed->exact);
        EXPECT_EQ(parsed->name(), name);
    }
    EXPECT_EQ(joined_choice_names(), "naive, zeta, greedy, greedy-ls, exact");
}

TEST(EngineThreads, ConcurrentFirstCallsBuildOneSolverAndAgree) {
    std::mt19937_64 g(59);
    const BitMatrix w = random_matrix(g, 300, 20, eighths(2));
    const BitMatrix vectors = random_rows(g, 40, 300);
    const SolverEngine engine(w);
    const VectorBlock block(vectors);
    std::vector<BitMatrix> outs(4, BitMatrix::zeros(40, 20));
    std::vector<StepResult> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            results[t] =
                engine.half_step(block, choice_of(t % 2 ? "exact" : "zeta"), 0, outs[t].view_mut());
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t t = 1; t < 4; ++t) {
        EXPECT_EQ(results[t], results[0]);
        EXPECT_EQ(outs[t], outs[0]);
    }
}

}  // namespace
}  // namespace bmf
