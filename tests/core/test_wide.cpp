// WideLs: bit-for-bit the BoolLs heuristics up to rank 26, exact error
// counts against a per-cell shadow up to rank 1024, the batch entry, and the
// precondition failures; the weighted and masked solves against a shadow of
// the weighted greedy rule and search, today's answers for unit weights and
// full masks, and the masked BoolLs solves up to rank 26.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bmf_core/lcg.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/wide/wide.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "random_vectors.hpp"
#include "weighted_cells.hpp"

namespace bmf {
namespace {

using boolmat::Word;

// A factor of a density drawn first from 5 % to 44 %.
BitMatrix random_factor(std::mt19937_64& g, std::size_t m, std::size_t k) {
    const Odds odds = percent(5 + g() % 40);
    return random_matrix(g, m, k, odds);
}

VecView view(const BitVec& x) { return {x.words(), x.len()}; }

// Shadow model: the error of combination h, cell by cell.
std::uint64_t ref_error(const BitMatrix& w, const BitVec& x, const std::vector<Word>& h) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        bool covered = false;
        for (std::size_t j = 0; j < w.cols(); ++j)
            covered |= w.get(i, j) && ((h[j / 64] >> (j % 64)) & 1);
        error += covered != x.get(i);
    }
    return error;
}

TEST(WideLs, EqualsBoolLsHeuristicsUpToRank26) {
    std::mt19937_64 g(26);
    for (const std::size_t m : {1, 63, 64, 65, 200})
        for (const std::size_t k : {1, 2, 3, 5, 9, 17, 26}) {
            if (k == 26 && m != 65) continue;  // one 2^26 table is enough
            const BitMatrix w = random_factor(g, m, k);
            const BoolLs narrow(w);
            const WideLs wide(w.view());
            for (int trial = 0; trial < 6; ++trial) {
                const BitVec x = random_x(g, m);
                for (const Method method : {Method::Greedy, Method::GreedyLs}) {
                    const std::uint64_t seed = g() % 4;
                    const Solution want = narrow.solve_seeded(x, method, seed);
                    const WideSolution got = wide.solve(view(x), method, seed);
                    ASSERT_EQ(got.h, std::vector<Word>{want.h})
                        << m << "x" << k << " " << method.name();
                    ASSERT_EQ(got.error, want.error);
                }
            }
        }
}

TEST(WideLs, ErrorsAreExactUpToRank1024) {
    std::mt19937_64 g(1024);
    for (const std::size_t k : {27, 64, 65, 130, 1024}) {
        const std::size_t m = 1 + g() % 90;
        const BitMatrix w = random_factor(g, m, k);
        const WideLs wide(w.view());
        for (int trial = 0; trial < 4; ++trial) {
            const BitVec x = random_x(g, m);
            const WideSolution greedy = wide.solve(view(x), Method::Greedy, 0);
            const WideSolution searched = wide.solve(view(x), Method::GreedyLs, g());
            for (const WideSolution* s : {&greedy, &searched}) {
                ASSERT_EQ(s->h.size(), boolmat::words_for(k));
                ASSERT_EQ(s->h.back() & ~boolmat::row_mask(k), 0u);  // no column beyond k
                ASSERT_EQ(s->error, ref_error(w, x, s->h)) << k;
                ASSERT_EQ(wide.error_of(view(x), s->h), s->error);
            }
            EXPECT_LE(searched.error, greedy.error);
            // Greedy stops only where no single added column strictly helps.
            for (std::size_t j = 0; j < k; ++j) {
                std::vector<Word> h = greedy.h;
                h[j / 64] |= Word{1} << (j % 64);
                ASSERT_GE(wide.error_of(view(x), h), greedy.error);
            }
        }
    }
}

TEST(WideLs, LocalSearchImprovesAWeakStartAtHighRank) {
    // Columns 0..199 are singletons of rows 0..199; x is rows 0..99. From the
    // empty combination the search must find improvements by flipping pairs.
    const std::size_t m = 200, k = 300;
    BitMatrix w = BitMatrix::zeros(m, k);
    for (std::size_t i = 0; i < m; ++i) w.set(i, i, true);
    BitVec x = BitVec::zeros(m);
    for (std::size_t i = 0; i < 100; ++i) x.set(i, true);
    const WideLs wide(w.view());
    std::uint64_t state = 5;
    const WideSolution start{std::vector<Word>(wide.words(), 0), 100};
    const WideSolution s = wide.local_search(view(x), start, 20, 4, state);
    EXPECT_LT(s.error, 100u);
    EXPECT_EQ(s.error, ref_error(w, x, s.h));
    EXPECT_NE(state, 5u);
}

TEST(WideLs, HalfStepSolvesEveryRowAsAlone) {
    std::mt19937_64 g(7);
    for (const std::size_t k : {5, 70}) {
        const std::size_t m = 80;
        const WideLs wide(random_factor(g, m, k).view());
        // Ten vectors, rows 5..9 repeating rows 0..4.
        BitMatrix vectors = BitMatrix::zeros(10, m);
        for (std::size_t v = 0; v < 5; ++v) {
            const BitVec x = random_x(g, m);
            vectors.set_row(v, x.words());
            vectors.set_row(v + 5, x.words());
        }
        // A gap word after every output row.
        const std::size_t stride = boolmat::words_for(k) + 1;
        std::vector<Word> out(10 * stride, ~Word{0});
        for (const Method method : {Method::Greedy, Method::GreedyLs}) {
            const std::uint64_t total = wide_half_step(wide, vectors.view(), method, 3,
                                                       BitViewMut(out.data(), 10, k, stride));
            std::uint64_t sum = 0;
            for (std::size_t v = 0; v < 10; ++v) {
                const BitVec x = BitVec::from_words(vectors.row(v), m);
                const WideSolution alone = wide.solve(view(x), method, 3);
                const std::vector<Word> got(out.begin() + v * stride,
                                            out.begin() + v * stride + stride - 1);
                ASSERT_EQ(got, alone.h);
                ASSERT_EQ(out[v * stride + stride - 1], ~Word{0});
                sum += alone.error;
            }
            EXPECT_EQ(total, sum);
        }
    }
}

TEST(WideLs, RejectsTableMethodsAndMismatchedShapes) {
    const BitMatrix w = BitMatrix::ones(4, 30);
    const WideLs wide(w.view());
    const BitVec x = BitVec::zeros(4);
    EXPECT_EQ(failure_of([&] { wide.solve(view(x), Method::Zeta, 0); }),
              "methode zeta : un solveur large ne fait que greedy et greedy-ls");
    EXPECT_NE(failure_of([&] { wide.solve(view(BitVec::zeros(5)), Method::Greedy, 0); }),
              "<no failure>");
    std::uint64_t state = 0;
    EXPECT_EQ(failure_of([&] {
                  wide.local_search(view(x), {{0}, 0}, 1, 31, state);
              }),
              "k vaut 31 mais W n'a que 30 colonnes");
    BitMatrix out = BitMatrix::zeros(2, 29);
    EXPECT_NE(failure_of([&] {
                  wide_half_step(wide, BitMatrix::zeros(2, 4).view(), Method::Greedy, 0,
                                 out.view_mut());
              }),
              "<no failure>");
}

using testing_weights::cost_sweep;
using testing_weights::mask_of_kind;
using testing_weights::shadow_weighted;

void set_bit(std::vector<Word>& h, std::size_t j) { h[j / 64] ^= Word{1} << (j % 64); }

// The weighted rules run on shadow errors: greedy adds the column of least
// error while one is strictly below the current, the lowest on ties; the
// search draws as BoolLs does and recurses on strict improvements.
struct ShadowSolver {
    const BitMatrix& w;
    std::span<const Word> x, mask;
    Weights weights;

    std::uint64_t error(const std::vector<Word>& h) const {
        return shadow_weighted(w, x, mask, h, weights);
    }
    WideSolution greedy() const {
        WideSolution s{std::vector<Word>(boolmat::words_for(w.cols()), 0), 0};
        s.error = error(s.h);
        for (;;) {
            std::size_t chosen = w.cols();
            std::uint64_t best = s.error;
            for (std::size_t j = 0; j < w.cols(); ++j) {
                if (testing_weights::bit(s.h, j)) continue;
                std::vector<Word> h = s.h;
                set_bit(h, j);
                if (const std::uint64_t e = error(h); e < best) best = e, chosen = j;
            }
            if (chosen == w.cols()) return s;
            set_bit(s.h, chosen);
            s.error = best;
        }
    }
    WideSolution search(WideSolution best, std::uint64_t depth, std::uint64_t width,
                        std::uint64_t& state) const {
        if (depth == 0 || width < 2) return best;
        for (std::uint64_t pass = 0; pass < depth; ++pass)
            for (std::uint64_t u = 2; u <= width; ++u) {
                std::vector<Word> candidate = best.h, drawn(candidate.size(), 0);
                for (std::uint64_t held = 0; held < u;) {
                    const std::size_t j = lcg_draw(state) % w.cols();
                    if (!testing_weights::bit(drawn, j)) set_bit(drawn, j), ++held;
                }
                for (std::size_t q = 0; q < drawn.size(); ++q) candidate[q] ^= drawn[q];
                const std::uint64_t e = error(candidate);
                if (e < best.error) best = search({candidate, e}, depth - 1, width, state);
            }
        return best;
    }
};

TEST(WideLsWeighted, GreedyAndTheSearchFollowTheWeightedRulesOfAShadow) {
    std::mt19937_64 g(2424);
    const std::vector<Costs> costs = cost_sweep();
    for (const std::size_t k : {3, 9, 27, 65, 70}) {
        const std::size_t m = 1 + g() % 100;
        const BitMatrix w = random_factor(g, m, k);
        const WideLs wide(w.view());
        for (unsigned kind = 0; kind < 4; ++kind) {
            const BitMatrix masks = mask_of_kind(g, costs.size(), m, kind);
            for (std::size_t c = 0; c < costs.size(); ++c) {
                SCOPED_TRACE(testing::Message()
                             << "k " << k << " m " << m << " mask kind " << kind << " costs " << c);
                const Weights weights = costs[c].weights(m);
                const BitVec x = random_x(g, m);
                const VecView mask{masks.row(c), m};
                const ShadowSolver shadow{w, x.words(), masks.row(c), weights};
                const WideSolution greedy = shadow.greedy();
                ASSERT_EQ(wide.solve(view(x), mask, Method::Greedy, 7, weights), greedy);
                const std::uint64_t seed = g() % 8;
                std::uint64_t state = seed;
                const WideSolution searched =
                    shadow.search(greedy, k, local_search_width(k), state);
                ASSERT_EQ(wide.solve(view(x), mask, Method::GreedyLs, seed, weights), searched);
                // Every cell observed, through either door.
                const ShadowSolver full{w, x.words(), {}, weights};
                const WideSolution plain = full.greedy();
                ASSERT_EQ(wide.solve(view(x), Method::Greedy, 0, weights), plain);
                state = seed;
                ASSERT_EQ(wide.solve(view(x), Method::GreedyLs, seed, weights),
                          full.search(plain, k, local_search_width(k), state));
                // The errors of arbitrary combinations.
                const BitMatrix h = random_matrix(g, 1, k, percent(20));
                const std::vector<Word> hv(h.row(0).begin(), h.row(0).end());
                ASSERT_EQ(wide.error_of(view(x), mask, hv, weights), shadow.error(hv));
                ASSERT_EQ(wide.error_of(view(x), hv, weights), full.error(hv));
            }
        }
    }
}

TEST(WideLsWeighted, LongVectorsCountAlikeWithEveryKernel) {
    // Long enough for the four-word steps and for their byte counters to
    // be widened more than once; the portable kernels give the same answers.
    std::mt19937_64 g(8100);
    const std::size_t m = 8100 + g() % 64, k = 40;
    const BitMatrix w = random_matrix(g, m, k, percent(3));
    const WideLs wide(w.view());
    const WideLs portable(w.view(), bmf::kernels_for(boolmat::Isa::Portable));
    const BitMatrix masks = mask_of_kind(g, 3, m, 2);
    for (std::size_t v = 0; v < 3; ++v) {
        const BitVec x = random_x(g, m);
        const VecView mask{masks.row(v), m};
        for (const Costs& costs : {*Costs::of(1, 4), *Costs::of(3, 2), Costs::from_below()}) {
            const Weights weights = costs.weights(m);
            for (const Method method : {Method::Greedy, Method::GreedyLs}) {
                const WideSolution got = wide.solve(view(x), mask, method, 1, weights);
                ASSERT_EQ(got, portable.solve(view(x), mask, method, 1, weights));
                ASSERT_EQ(got.error, shadow_weighted(w, x.words(), masks.row(v), got.h, weights));
                const WideSolution plain = wide.solve(view(x), method, 1, weights);
                ASSERT_EQ(plain, portable.solve(view(x), method, 1, weights));
                ASSERT_EQ(plain.error, shadow_weighted(w, x.words(), {}, plain.h, weights));
            }
        }
    }
}

TEST(WideLsWeighted, UnitWeightsAndFullMasksGiveTodaysAnswers) {
    std::mt19937_64 g(11);
    for (const std::size_t k : {5, 40, 64, 130}) {
        const std::size_t m = 1 + g() % 150;
        const BitMatrix w = random_factor(g, m, k);
        const WideLs wide(w.view());
        const BitVec ones = BitVec::from_words(BitMatrix::ones(1, m).row(0), m);
        for (int trial = 0; trial < 6; ++trial) {
            const BitVec x = random_x(g, m);
            const std::uint64_t seed = g() % 4;
            for (const Method method : {Method::Greedy, Method::GreedyLs}) {
                const WideSolution today = wide.solve(view(x), method, seed);
                ASSERT_EQ(wide.solve(view(x), method, seed, Weights{}), today);
                ASSERT_EQ(wide.solve(view(x), view(ones), method, seed, Weights{}), today);
                ASSERT_EQ(wide.error_of(view(x), view(ones), today.h, Weights{}), today.error);
                // Any weights: a full mask is no mask.
                const Weights heavy{3, 2};
                ASSERT_EQ(wide.solve(view(x), view(ones), method, seed, heavy),
                          wide.solve(view(x), method, seed, heavy));
            }
        }
    }
}

TEST(WideLsWeighted, MaskedUnitSolvesAreTheMaskedBoolLsSolvesUpToRank26) {
    std::mt19937_64 g(26);
    for (const std::size_t k : {1, 2, 7, 17, 26}) {
        const std::size_t m = k == 26 ? 70 : 1 + g() % 130;
        const BitMatrix w = random_factor(g, m, k);
        const BoolLs narrow(w);
        const WideLs wide(w.view());
        for (unsigned kind = 0; kind < 6; ++kind) {
            const BitMatrix masks = mask_of_kind(g, 4, m, kind % 4);
            for (std::size_t v = 0; v < 4; ++v) {
                // x keeps its bits outside the mask: they must not count.
                const BitVec x = random_x(g, m);
                const VecView mask{masks.row(v), m};
                for (const Method method : {Method::Greedy, Method::GreedyLs}) {
                    const std::uint64_t seed = g() % 4;
                    const Solution want = solve_masked(narrow, view(x), mask, method, seed);
                    const WideSolution got = wide.solve(view(x), mask, method, seed, Weights{});
                    ASSERT_EQ(got.h, std::vector<Word>{want.h}) << k << " " << method.name();
                    ASSERT_EQ(got.error, want.error);
                }
            }
        }
    }
}

TEST(WideLsWeighted, HalfStepsSolveEachClassOnceAndSumTheWeightedErrors) {
    std::mt19937_64 g(12);
    for (const std::size_t k : {6, 26, 70}) {
        const std::size_t m = 90, n = 16;
        const BitMatrix w = random_factor(g, m, k);
        const WideLs wide(w.view());
        BitMatrix vectors = BitMatrix::zeros(n, m);
        // The second half repeats the first, three of those rows under the
        // same masks too.
        for (std::size_t v = 0; v < n / 2; ++v) {
            const BitVec x = random_x(g, m);
            vectors.set_row(v, x.words());
            vectors.set_row(v + n / 2, x.words());
        }
        BitMatrix masks = mask_of_kind(g, n, m, 2);
        for (std::size_t v = n - 3; v < n; ++v) masks.set_row(v, masks.row(v - n / 2));
        const MaskedVectorBlock masked(vectors.view(), masks.view());
        for (const Costs& costs : cost_sweep()) {
            const Weights weights = costs.weights(m);
            for (const Method method : {Method::Greedy, Method::GreedyLs}) {
                BitMatrix out = BitMatrix::ones(n, k), out_masked = BitMatrix::ones(n, k);
                const std::uint64_t total = wide_half_step(wide, VectorBlock(vectors.view()),
                                                           method, 5, out.view_mut(), costs);
                const std::uint64_t total_masked =
                    wide_half_step(wide, masked, method, 5, out_masked.view_mut(), costs);
                std::uint64_t sum = 0, sum_masked = 0;
                for (std::size_t v = 0; v < n; ++v) {
                    const VecView x{vectors.row(v), m}, mask{masks.row(v), m};
                    const WideSolution alone = wide.solve(x, method, 5, weights);
                    const WideSolution alone_masked = wide.solve(x, mask, method, 5, weights);
                    ASSERT_EQ(std::vector<Word>(out.row(v).begin(), out.row(v).end()), alone.h);
                    ASSERT_EQ(std::vector<Word>(out_masked.row(v).begin(), out_masked.row(v).end()),
                              alone_masked.h);
                    sum += alone.error;
                    sum_masked += alone_masked.error;
                }
                EXPECT_EQ(total, sum);
                EXPECT_EQ(total_masked, sum_masked);
                if (costs.unit() && k <= 26) {
                    // The masked BoolLs half-step's answers.
                    BitMatrix narrow_out = BitMatrix::zeros(n, k);
                    EXPECT_EQ(half_step(BoolLs(w), masked, method, 5, narrow_out.view_mut()),
                              total_masked);
                    EXPECT_EQ(narrow_out, out_masked);
                }
            }
        }
    }
}

TEST(WideLsWeighted, RejectsMasksOfAnotherLengthAndTableMethods) {
    const WideLs wide(BitMatrix::ones(4, 30).view());
    const BitVec x = BitVec::zeros(4), five = BitVec::zeros(5);
    const std::vector<Word> h(1, 0);
    EXPECT_EQ(failure_of([&] { wide.solve(view(x), view(five), Method::Greedy, 0, Weights{}); }),
              "masque a 5 bits, x a 4 bits");
    EXPECT_EQ(failure_of([&] {
                  wide.error_of(view(x), view(five), h, Weights{2, 1});
              }),
              "masque a 5 bits, x a 4 bits");
    EXPECT_EQ(failure_of([&] {
                  wide.solve(view(x), Method::Naive, 0, Weights{2, 1});
              }),
              "methode naive : un solveur large ne fait que greedy et greedy-ls");
    EXPECT_EQ(failure_of([&] {
                  wide.solve(view(x), view(x), Method::Zeta, 0, Weights{2, 1});
              }),
              "methode zeta : un solveur large ne fait que greedy et greedy-ls");
    EXPECT_EQ(failure_of([&] {
                  wide.error_of(view(five), h, Weights{2, 1});
              }),
              "assertion `left == right` failed: x a 5 bits, W a 4 lignes\n  left: 5\n right: 4");
    const BitMatrix vectors = BitMatrix::zeros(2, 4);
    BitMatrix out = BitMatrix::zeros(2, 29);
    EXPECT_EQ(failure_of([&] {
                  wide_half_step(wide, MaskedVectorBlock(vectors.view(), vectors.view()),
                                 Method::Greedy, 0, out.view_mut(), Costs{});
              }),
              "la sortie est 2x29, il faut 2x30");
    BitMatrix right = BitMatrix::zeros(2, 30);
    EXPECT_EQ(failure_of([&] {
                  wide_half_step(wide, MaskedVectorBlock(vectors.view(), vectors.view()),
                                 Method::Zeta, 0, right.view_mut(), *Costs::of(1, 3));
              }),
              "methode zeta : un solveur large ne fait que greedy et greedy-ls");
}

}  // namespace
}  // namespace bmf
