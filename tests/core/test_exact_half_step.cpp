// Half-steps by the exact search: every strategy of a "zeta" half-step gives
// the table's combinations and total, and the table-free half-step reports
// the classes whose search ran out with exact errors, at ranks above the
// table's.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "failure.hpp"
#include "matrices.hpp"
#include "padded.hpp"

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

}  // namespace
}  // namespace bmf
