// BoolLs: the count table, the four solving methods against a per-cell
// shadow model, solve_all, and the precondition failures.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "bmf_core/lcg.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/precondition.hpp"
#include "random_vectors.hpp"

namespace bmf {
namespace {

using boolmat::PreconditionError;

const Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

// Row strings, column 0 first: {"10", "01"} has W[0][0] = W[1][1] = 1.
BitMatrix from_rows(const std::vector<std::string>& rows) {
    BitMatrix w = BitMatrix::zeros(rows.size(), rows[0].size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (std::size_t j = 0; j < rows[i].size(); ++j) w.set(i, j, rows[i][j] == '1');
    return w;
}

BitVec from_bits(const std::string& s) {
    BitVec v = BitVec::zeros(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) v.set(i, s[i] == '1');
    return v;
}

// Shadow model: the error of h, cell by cell.
std::uint64_t ref_error(const BitMatrix& w, const BitVec& x, std::uint64_t h) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        bool covered = false;
        for (std::size_t j = 0; j < w.cols(); ++j) covered |= w.get(i, j) && ((h >> j) & 1);
        error += covered != x.get(i);
    }
    return error;
}

Solution ref_exact(const BitMatrix& w, const BitVec& x) {
    Solution best{0, w.rows() + 1};
    for (std::uint64_t h = 0; h < (std::uint64_t{1} << w.cols()); ++h) {
        const std::uint64_t e = ref_error(w, x, h);
        if (e < best.error) best = {h, e};
    }
    return best;
}

Solution ref_greedy(const BitMatrix& w, const BitVec& x) {
    Solution cur{0, ref_error(w, x, 0)};
    for (;;) {
        Solution next = cur;
        for (std::size_t j = 0; j < w.cols(); ++j) {
            const std::uint64_t e = ref_error(w, x, cur.h | (std::uint64_t{1} << j));
            if (!((cur.h >> j) & 1) && e < next.error) next = {cur.h | (std::uint64_t{1} << j), e};
        }
        if (next == cur) return cur;
        cur = next;
    }
}

Solution ref_local_search(const BitMatrix& w, const BitVec& x, Solution best, std::uint64_t depth,
                          std::uint64_t k, std::uint64_t& state) {
    if (depth == 0 || k < 2) return best;
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= k; ++u) {
            std::set<std::uint64_t> drawn;
            while (drawn.size() < u) drawn.insert(lcg_draw(state) % w.cols());
            std::uint64_t h = best.h;
            for (const std::uint64_t j : drawn) h ^= std::uint64_t{1} << j;
            const std::uint64_t e = ref_error(w, x, h);
            if (e < best.error) best = ref_local_search(w, x, {h, e}, depth - 1, k, state);
        }
    }
    return best;
}

Solution ref_greedy_ls(const BitMatrix& w, const BitVec& x, std::uint64_t seed) {
    const std::size_t r = w.cols();
    const std::uint64_t k = r == 1 ? 1 : r <= 4 ? 2 : r <= 8 ? 3 : r <= 16 ? 4 : 5;
    return ref_local_search(w, x, ref_greedy(w, x), r, k, seed);
}

// Random W with some all-zero rows and, when `dup`, column 1 a copy of column 0.
BitMatrix random_w(std::mt19937_64& g, std::size_t m, std::size_t r, bool dup) {
    const unsigned density = 1 + g() % 3;  // in quarters
    BitMatrix w = BitMatrix::zeros(m, r);
    for (std::size_t i = 0; i < m; ++i) {
        if (g() % 5 == 0) continue;
        for (std::size_t j = 0; j < r; ++j) w.set(i, j, g() % 4 < density);
        if (dup && r > 1) w.set(i, 1, w.get(i, 0));
    }
    return w;
}

// W whose columns each cover some ones of x plus one shared set of x's zeros
// a little larger than that: single columns tend to hurt while unions of
// several help, so greedy stalls early and the local search has work to do.
BitMatrix greedy_trap(std::mt19937_64& g, const BitVec& x, std::size_t r) {
    BitMatrix w = BitMatrix::zeros(x.len(), r);
    std::vector<bool> shared(x.len());
    for (std::size_t i = 0; i < x.len(); ++i) shared[i] = !x.get(i) && g() % 3 == 0;
    for (std::size_t j = 0; j < r; ++j)
        for (std::size_t i = 0; i < x.len(); ++i)
            w.set(i, j, shared[i] || (x.get(i) && g() % 4 == 0));
    return w;
}

TEST(BoolLsTable, PatternsCountsAndColumnsOfThreeRowExample) {
    const BoolLs s(from_rows({"10", "01", "11"}));
    EXPECT_EQ(std::vector<std::uint64_t>(s.row_patterns().begin(), s.row_patterns().end()),
              (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_EQ(s.pattern_counts(), (std::vector<std::uint32_t>{0, 1, 1, 1}));
    // Rows contained in each pattern: none in 00, 10 in 10 and 01 in 01, all in 11.
    EXPECT_EQ(std::vector<std::uint32_t>(s.subset_counts().begin(), s.subset_counts().end()),
              (std::vector<std::uint32_t>{0, 1, 1, 3}));
    ASSERT_EQ(s.columns().size(), 2u);
    EXPECT_EQ(s.columns()[0].words()[0], 0b101u);
    EXPECT_EQ(s.columns()[1].words()[0], 0b110u);
    EXPECT_EQ(s.m(), 3u);
    EXPECT_EQ(s.r(), 2u);
}

TEST(BoolLsTable, IgnoresLaterChangesToW) {
    std::mt19937_64 g(11);
    BitMatrix w = random_w(g, 130, 4, true);
    const BoolLs s(w);
    const BitVec x = random_x(g, 130);
    const Solution before = s.solve_seeded(x, Method::Zeta, 0);
    for (std::size_t i = 0; i < w.rows(); ++i) w.set(i, 0, !w.get(i, 0));
    EXPECT_EQ(s.solve_seeded(x, Method::Zeta, 0), before);
}

TEST(BoolLsLimits, RankChecksInOrder) {
    const BoolLs big(BitMatrix::zeros(2, 26));
    EXPECT_EQ(big.subset_counts().size(), 67'108'864u);
    // Both rows have pattern 0, contained in every pattern.
    EXPECT_EQ(big.subset_counts()[0], 2u);
    EXPECT_EQ(big.subset_counts()[67'108'863], 2u);
    for (std::size_t r : {27, 64}) {
        try {
            BoolLs s(BitMatrix::zeros(1, r));
            ADD_FAILURE() << r;
        } catch (const PreconditionError& e) {
            EXPECT_STREQ(e.what(), "Sécurité pour ne pas surcharger la mémoire");
        }
    }
    for (std::size_t r : {65, 200}) {
        try {
            BoolLs s(BitMatrix::zeros(1, r));
            ADD_FAILURE() << r;
        } catch (const PreconditionError& e) {
            EXPECT_STREQ(e.what(), "Interdit d'avoir un rang supérieur à la taille d'un mot");
        }
    }
}

TEST(BoolLsLimits, LengthMismatchReports) {
    const BoolLs s(from_rows({"10", "01", "11"}));
    const char* report =
        "assertion `left == right` failed: x a 4 bits, W a 3 lignes\n  left: 4\n right: 3";
    for (const Method method : kAllMethods) {
        try {
            s.solve_seeded(from_bits("1111"), method, 0);
            ADD_FAILURE();
        } catch (const PreconditionError& e) {
            EXPECT_STREQ(e.what(), report);
        }
    }
    std::uint64_t state = 0;
    EXPECT_THROW(s.solve_greedy(from_bits("1111")), PreconditionError);
    EXPECT_THROW(s.local_search(from_bits("1111"), 0, 4, 2, 2, state), PreconditionError);
    EXPECT_THROW(s.solve_all(BitMatrix::zeros(4, 2), Method::Zeta, 0), PreconditionError);
}

struct Example {
    std::vector<std::string> w;
    std::string x;
    Solution exact, greedy, greedy_ls;
};

TEST(BoolLsSolve, WorkedExamplesEveryMethodSeveralSeeds) {
    const Example examples[] = {
        {{"10", "01", "11"}, "111", {3, 0}, {3, 0}, {3, 0}},
        {{"10", "01", "11"}, "000", {0, 0}, {0, 0}, {0, 0}},
        {{"11", "00", "11"}, "101", {1, 0}, {1, 0}, {1, 0}},  // duplicate columns
        // Each single column raises the error, the pair lowers it.
        {{"10", "10", "01", "01", "11", "11", "11"}, "1111000", {3, 3}, {0, 4}, {3, 3}},
    };
    for (const Example& ex : examples) {
        const BoolLs s(from_rows(ex.w));
        const BitVec x = from_bits(ex.x);
        for (std::uint64_t seed : {0ull, 1ull, 2ull, 7ull, 12345ull, ~0ull}) {
            EXPECT_EQ(s.solve_seeded(x, Method::Naive, seed), ex.exact) << ex.x;
            EXPECT_EQ(s.solve_seeded(x, Method::Zeta, seed), ex.exact) << ex.x;
            EXPECT_EQ(s.solve_seeded(x, Method::Greedy, seed), ex.greedy) << ex.x;
            EXPECT_EQ(s.solve_seeded(x, Method::GreedyLs, seed), ex.greedy_ls) << ex.x;
        }
    }
}

TEST(BoolLsSolve, LocalSearchDrawsShareOneState) {
    // Seed 0, r = 5 draws the indices 2 4 | 2 1 0 | 1 4 | 0 4 4 3: two passes of
    // a pair and a triple, each set started afresh, the repeated 4 using up a
    // draw. Nothing beats error 0, so exactly these 11 draws happen.
    const BoolLs s(BitMatrix::zeros(3, 5));
    const BitVec x = BitVec::zeros(3);
    std::uint64_t state = 0;
    EXPECT_EQ(s.local_search(x, 0, 0, 2, 3, state), (Solution{0, 0}));
    EXPECT_EQ(state, 11682375498643865569u);
    // Seven-row example from (0, 4), depth 2: the first pair improves to (3, 3)
    // and nests one pass at depth 1, then the outer second pass; the three
    // pairs take the draws 1 0 | 1 0 | 1 1 0 (indices mod 2).
    const BoolLs seven(from_rows({"10", "10", "01", "01", "11", "11", "11"}));
    state = 0;
    EXPECT_EQ(seven.local_search(from_bits("1111000"), 0, 4, 2, 2, state), (Solution{3, 3}));
    EXPECT_EQ(state, 1459328389850446429u);

    state = 99;
    EXPECT_EQ(s.local_search(x, 5, 0, 0, 3, state), (Solution{5, 0}));
    EXPECT_EQ(s.local_search(x, 5, 0, 3, 1, state), (Solution{5, 0}));
    EXPECT_EQ(state, 99u);
}

TEST(BoolLsSolve, RankOneGreedyLsIsGreedy) {
    std::mt19937_64 g(3);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t m = 1 + g() % 100;
        const BoolLs s(random_w(g, m, 1, false));
        const BitVec x = random_x(g, m);
        for (std::uint64_t seed = 0; seed < 10; ++seed)
            EXPECT_EQ(s.solve_seeded(x, Method::GreedyLs, seed), s.solve_greedy(x));
    }
}

TEST(BoolLsSolve, RandomAgainstShadowModel) {
    std::mt19937_64 g(2024);
    const std::size_t sizes[] = {1, 2, 63, 64, 65, 129};
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t m = sizes[trial % 6];
        const std::size_t r = 1 + g() % (trial < 280 ? 8 : 12);
        const BitVec x = random_x(g, m);
        const BitMatrix w = trial % 2 ? greedy_trap(g, x, r) : random_w(g, m, r, g() % 3 == 0);
        const BoolLs s(w);
        const std::uint64_t seed = g();

        const Solution exact = ref_exact(w, x);
        EXPECT_EQ(s.solve_seeded(x, Method::Naive, seed), exact);
        EXPECT_EQ(s.solve_seeded(x, Method::Zeta, seed), exact);
        const Solution greedy = s.solve_seeded(x, Method::Greedy, seed);
        EXPECT_EQ(greedy, ref_greedy(w, x));
        const Solution ls = s.solve_seeded(x, Method::GreedyLs, seed);
        EXPECT_EQ(ls, ref_greedy_ls(w, x, seed));
        EXPECT_LE(ls.error, greedy.error);
        EXPECT_GE(ls.error, exact.error);
        EXPECT_LT(ls.h, std::uint64_t{1} << r);
        EXPECT_EQ(ls.error, ref_error(w, x, ls.h));
        EXPECT_EQ(s.solve_seeded(x, Method::GreedyLs, seed), ls);
    }
}

TEST(BoolLsSolveAll, ColumnsMatchSingleSolvesAndTotalIsDistance) {
    // Columns 5 to 8 repeat earlier ones: each class is solved once and
    // counted once per column. With 600 rows and few patterns, "zeta" lays
    // the columns out in pattern order.
    std::mt19937_64 g(5);
    for (const Method method : kAllMethods) {
        for (const std::size_t m : {70, 600}) {
            const std::size_t n = 9, r = m == 70 ? 6 : 3;
            const BitMatrix w = random_w(g, m, r, false);
            BitMatrix x = BitMatrix::zeros(m, n);
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t j = 0; j < 5; ++j) x.set(i, j, g() % 3 == 0);
                for (std::size_t j = 5; j < n; ++j) x.set(i, j, x.get(i, (j * 7) % 5));
            }
            const BoolLs s(w);
            const auto [h, total] = s.solve_all(x, method, 42);
            ASSERT_EQ(h.rows(), r);
            ASSERT_EQ(h.cols(), n);
            std::uint64_t sum = 0;
            for (std::size_t c = 0; c < n; ++c) {
                BitVec column = BitVec::zeros(m);
                for (std::size_t i = 0; i < m; ++i) column.set(i, x.get(i, c));
                const Solution one = s.solve_seeded(column, method, 42);
                std::uint64_t hc = 0;
                for (std::size_t j = 0; j < r; ++j) hc |= std::uint64_t{h.get(j, c)} << j;
                EXPECT_EQ(hc, one.h);
                sum += one.error;
            }
            EXPECT_EQ(total, sum);
            EXPECT_EQ(total, x.hamming(product(w, h)));
        }
    }
}

}  // namespace
}  // namespace bmf
