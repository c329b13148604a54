// The half-step and the stop rule: the alternating loop run by hand over
// blocks of rows, in foreign buffers, must give exactly what ao_bmf gives,
// for every method and every way of cutting the rows into blocks.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/alternating/stop_rule.hpp"
#include "bmf_core/table/boolls.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "padded.hpp"

namespace bmf {
namespace {

using boolmat::BitViewMut;
using boolmat::FailKind;
using boolmat::PreconditionError;

const Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

// A planted product with noise and repeated rows and columns, so that the
// classes of equal vectors and the grouped "zeta" layout both matter.
BitMatrix planted(std::mt19937_64& g, std::size_t m, std::size_t n, std::size_t r) {
    BitMatrix x = product(random_matrix(g, m, r, fifths(2)), random_matrix(g, r, n, fifths(2)));
    for (int k = 0; k < 40; ++k) x.set(g() % m, g() % n, g() % 2);
    for (std::size_t i = 3; i < m; i += 4) x.set_row(i, x.row(g() % i));
    BitMatrix xt = x.transpose();
    for (std::size_t j = 5; j < n; j += 5) xt.set_row(j, xt.row(g() % j));
    return xt.transpose();
}

// Cut points 0 = c0 < c1 < ... = rows: blocks of `size` rows, or, for size
// 0, random uneven blocks.
std::vector<std::size_t> cuts(std::mt19937_64& g, std::size_t rows, std::size_t size) {
    std::vector<std::size_t> at{0};
    while (at.back() < rows)
        at.push_back(std::min(rows, at.back() + (size != 0 ? size : 1 + g() % 90)));
    return at;
}

// One half-step block by block: each block of `vectors` is copied into its
// own padded buffer, solved into its own padded output, and copied back
// into `out`.
std::uint64_t half_step_in_blocks(const BoolLs& solver, const BitMatrix& vectors, Method method,
                                  const std::vector<std::size_t>& at, BitMatrix& out) {
    std::uint64_t total = 0;
    for (std::size_t b = 0; b + 1 < at.size(); ++b) {
        BitMatrix part = BitMatrix::zeros(at[b + 1] - at[b], vectors.cols());
        for (std::size_t i = at[b]; i < at[b + 1]; ++i) part.set_row(i - at[b], vectors.row(i));
        const Padded foreign(part, b % 3);
        Padded solved(BitMatrix::zeros(part.rows(), out.cols()), 1);
        const VectorBlock block(foreign.view());
        total += half_step(solver, block, method, 0, solved.view_mut());
        for (std::size_t i = 0; i < part.rows(); ++i) out.set_row(at[b] + i, solved.view().row(i));
    }
    return total;
}

// ao_bmf's loop as a caller would run it from the public pieces.
BmfResult ao_bmf_in_blocks(const BitMatrix& x, std::uint64_t r, Method method,
                           std::uint64_t max_iter, std::uint64_t seed,
                           const std::vector<std::size_t>& column_cuts,
                           const std::vector<std::size_t>& row_cuts) {
    const BitMatrix xt = x.transpose();
    BitMatrix w = initial_factor(xt, r, seed);
    BitMatrix ht = BitMatrix::zeros(x.cols(), r);
    BitMatrix best_w = w, best_h = BitMatrix::zeros(r, x.cols());
    StopRule stop(x.count_ones(), max_iter);
    for (;;) {
        half_step_in_blocks(BoolLs(w), xt, method, column_cuts, ht);
        BitMatrix h = ht.transpose();
        const std::uint64_t total = half_step_in_blocks(BoolLs(ht), x, method, row_cuts, w);
        switch (stop.record(total)) {
            case StopRule::Verdict::DiscardAndStop:
                return {best_w, best_h, stop.best_error(), stop.iterations()};
            case StopRule::Verdict::KeepAndStop: return {w, h, total, stop.iterations()};
            case StopRule::Verdict::Continue: best_w = w, best_h = h;
        }
    }
}

TEST(HalfStep, BlocksConcatenateToAoBmfForEveryMethodAndCut) {
    std::mt19937_64 g(61);
    for (int trial = 0; trial < 16; ++trial) {
        const Method method = kAllMethods[trial % 4];
        // m up to 260 with r <= 4 puts "zeta" on the grouped layout.
        const std::size_t m = 130 + g() % 131, n = 66 + g() % 80;
        const std::uint64_t r = method == Method::Naive ? 1 + g() % 5 : 1 + g() % 9;
        const BitMatrix x =
            trial % 2 ? planted(g, m, n, r) : random_matrix(g, m, n, fifths(1 + g() % 3));
        const std::uint64_t max_iter = trial % 5, seed = g();
        const BmfResult want = ao_bmf(x, r, method, max_iter, seed);
        for (const std::size_t size : {1, 63, 64, 65, 0, 0}) {
            SCOPED_TRACE(::testing::Message() << m << "x" << n << " r " << r << " method "
                                              << method.name() << " blocks of " << size);
            const BmfResult got =
                ao_bmf_in_blocks(x, r, method, max_iter, seed, cuts(g, n, size), cuts(g, m, size));
            EXPECT_EQ(got.w, want.w);
            EXPECT_EQ(got.h, want.h);
            EXPECT_EQ(got.error, want.error);
            EXPECT_EQ(got.iterations, want.iterations);
        }
    }
}

TEST(HalfStep, PreparedUnpreparedAndTransposedBlocksAgree) {
    // The same vectors solved as a prepared block, as a plain view, and as a
    // block that carries its transpose, which "zeta" uses for its layout.
    std::mt19937_64 g(62);
    for (const Method method : kAllMethods) {
        for (const std::uint64_t r : {2u, 6u}) {
            const BitMatrix x = planted(g, 300, 90, r);
            const BitMatrix xt = x.transpose();
            const BitMatrix w = random_matrix(g, 300, r, fifths(2));
            const BoolLs solver(w);
            BitMatrix a = BitMatrix::zeros(90, r), b = a, c = a;
            const std::uint64_t ta = half_step(solver, VectorBlock(xt), method, 4, a.view_mut());
            const std::uint64_t tb = half_step(solver, xt, method, 4, b.view_mut());
            const std::uint64_t tc = half_step(solver, VectorBlock(xt, x), method, 4, c.view_mut());
            EXPECT_EQ(a, b);
            EXPECT_EQ(a, c);
            EXPECT_EQ(ta, tb);
            EXPECT_EQ(ta, tc);
            // The total is the distance between the vectors and their fits,
            // and every row is what solving it alone gives.
            EXPECT_EQ(ta, xt.hamming(product(a, w.transpose())));
            for (std::size_t i = 0; i < xt.rows(); ++i)
                ASSERT_EQ(a.row(i)[0], solver.solve_seeded(xt.view().row_vec(i), method, 4).h) << i;
        }
    }
}

TEST(HalfStep, ThreadsSolvingBlocksAgainstOneSolverAgree) {
    // Four threads race to the solver's first "zeta" half-step, which
    // groups its rows by pattern once; each solves its own blocks with its
    // own scratch, and together they give the single-threaded result.
    std::mt19937_64 g(63);
    const BitMatrix x = planted(g, 400, 300, 3);
    const BitMatrix w = random_matrix(g, 400, 3, fifths(2));
    const BitMatrix xt = x.transpose();
    for (const Method method : kAllMethods) {
        BitMatrix want = BitMatrix::zeros(300, 3);
        const std::uint64_t total = half_step(BoolLs(w), xt, method, 5, want.view_mut());
        const BoolLs shared(w);
        BitMatrix got = BitMatrix::zeros(300, 3);
        std::vector<std::uint64_t> totals(4);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (std::size_t b = t; b < 10; b += 4) {
                    const VectorBlock block(xt.view().rows(30 * b, 30 * b + 30));
                    totals[t] += half_step(shared, block, method, 5,
                                           got.view_mut().rows(30 * b, 30 * b + 30));
                }
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(got, want) << method.name();
        EXPECT_EQ(totals[0] + totals[1] + totals[2] + totals[3], total) << method.name();
    }
}

TEST(HalfStep, ShapeChecksComeFirstAndAreShapeFailures) {
    const BoolLs solver(BitMatrix::ones(70, 3));
    const BitMatrix vectors = BitMatrix::zeros(5, 70);
    BitMatrix out = BitMatrix::zeros(5, 3), short_out = BitMatrix::zeros(4, 3);
    BitMatrix narrow = BitMatrix::zeros(5, 2);
    const BitMatrix wrong = BitMatrix::zeros(5, 69);
    const auto kind_of = [](auto&& f) {
        try {
            f();
        } catch (const PreconditionError& e) {
            return e.kind();
        }
        return FailKind::Internal;
    };
    EXPECT_EQ(failure_of([&] { half_step(solver, wrong, Method::Zeta, 0, out.view_mut()); }),
              "assertion `left == right` failed: les vecteurs ont 69 bits, W a 70 lignes\n"
              "  left: 69\n right: 70");
    EXPECT_EQ(
        failure_of([&] { half_step(solver, vectors, Method::Zeta, 0, short_out.view_mut()); }),
        "la sortie est 4x3, il faut 5x3");
    EXPECT_EQ(failure_of([&] { half_step(solver, vectors, Method::Zeta, 0, narrow.view_mut()); }),
              "la sortie est 5x2, il faut 5x3");
    EXPECT_EQ(kind_of([&] { half_step(solver, vectors, Method::Zeta, 0, narrow.view_mut()); }),
              FailKind::Shape);
    EXPECT_EQ(failure_of([&] { VectorBlock(vectors, vectors); }),
              "la transposée a 5x70 cellules, le bloc 5x70");
    EXPECT_EQ(kind_of([&] { VectorBlock(vectors, vectors); }), FailKind::Shape);
    // Nothing was written by the failed calls.
    EXPECT_EQ(out, BitMatrix::zeros(5, 3));
}

TEST(StopRule, StopsAtTheFirstNonImprovementOrAtTheLimit) {
    StopRule rule(10, 3);
    EXPECT_EQ(rule.record(8), StopRule::Verdict::Continue);
    EXPECT_EQ(rule.record(7), StopRule::Verdict::Continue);
    EXPECT_EQ(rule.record(6), StopRule::Verdict::KeepAndStop);
    EXPECT_EQ(rule.best_error(), 6u);
    EXPECT_EQ(rule.iterations(), 3u);

    StopRule equal(10, 50);
    EXPECT_EQ(equal.record(4), StopRule::Verdict::Continue);
    EXPECT_EQ(equal.record(4), StopRule::Verdict::DiscardAndStop);
    EXPECT_EQ(equal.best_error(), 4u);
    EXPECT_EQ(equal.iterations(), 2u);

    for (const std::uint64_t limit : {0u, 1u}) {
        StopRule once(10, limit);
        EXPECT_EQ(once.record(9), StopRule::Verdict::KeepAndStop) << limit;
        StopRule worse(10, limit);
        EXPECT_EQ(worse.record(11), StopRule::Verdict::DiscardAndStop) << limit;
        EXPECT_EQ(worse.best_error(), 10u);
    }
    EXPECT_EQ(iteration_limit(0), 1u);
    EXPECT_EQ(iteration_limit(7), 7u);
}

}  // namespace
}  // namespace bmf
