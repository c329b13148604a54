// WideLs: bit-for-bit the BoolLs heuristics up to rank 26, exact error
// counts against a per-cell shadow up to rank 1024, the batch entry, and the
// precondition failures.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bmf_core/table/boolls.hpp"
#include "bmf_core/wide/wide.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "random_vectors.hpp"

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

}  // namespace
}  // namespace bmf
