// Masked Boolean least squares: the four methods against a per-cell shadow
// model restricted to observed rows, all-ones masks against BoolLs, the
// documented edge cases and failures, and masked half-steps against
// one-by-one solves.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "bmf_core/lcg.hpp"
#include "bmf_core/masked/detail/masked_kernels.hpp"
#include "bmf_core/masked/masked.hpp"
#include "boolmat/cpu.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"
#include "padded.hpp"
#include "random_vectors.hpp"

namespace bmf {
namespace {

using boolmat::BitViewMut;
using boolmat::PreconditionError;
using boolmat::Word;

const Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

// Shadow model: the observed error of h, cell by cell.
std::uint64_t ref_error(const BitMatrix& w, const BitVec& x, const BitVec& mask, std::uint64_t h) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        bool covered = false;
        for (std::size_t j = 0; j < w.cols(); ++j) covered |= w.get(i, j) && ((h >> j) & 1);
        error += mask.get(i) && covered != x.get(i);
    }
    return error;
}

struct Shadow {
    const BitMatrix& w;
    const BitVec& x;
    const BitVec& mask;

    std::uint64_t error(std::uint64_t h) const { return ref_error(w, x, mask, h); }

    Solution exact() const {
        Solution best{0, error(0)};
        for (std::uint64_t h = 1; h < (std::uint64_t{1} << w.cols()); ++h)
            if (error(h) < best.error) best = {h, error(h)};
        return best;
    }

    Solution greedy() const {
        Solution cur{0, error(0)};
        for (;;) {
            Solution next = cur;
            for (std::size_t j = 0; j < w.cols(); ++j) {
                const std::uint64_t h = cur.h | (std::uint64_t{1} << j);
                if (h != cur.h && error(h) < next.error) next = {h, error(h)};
            }
            if (next == cur) return cur;
            cur = next;
        }
    }

    Solution search(Solution best, std::uint64_t depth, std::uint64_t k,
                    std::uint64_t& state) const {
        if (depth == 0 || k < 2) return best;
        for (std::uint64_t pass = 0; pass < depth; ++pass) {
            for (std::uint64_t u = 2; u <= k; ++u) {
                std::set<std::uint64_t> drawn;
                while (drawn.size() < u) drawn.insert(lcg_draw(state) % w.cols());
                std::uint64_t h = best.h;
                for (const std::uint64_t j : drawn) h ^= std::uint64_t{1} << j;
                if (error(h) < best.error) best = search({h, error(h)}, depth - 1, k, state);
            }
        }
        return best;
    }

    Solution greedy_ls(std::uint64_t seed) const {
        const std::size_t r = w.cols();
        const std::uint64_t k = r == 1 ? 1 : r <= 4 ? 2 : r <= 8 ? 3 : r <= 16 ? 4 : 5;
        return search(greedy(), r, k, seed);
    }
};

// W with some zero rows, and sometimes a zero column and a duplicated one,
// so that ties between combinations are common.
BitMatrix random_w(std::mt19937_64& g, std::size_t m, std::size_t r) {
    const unsigned density = 1 + g() % 3;
    const std::size_t zero_col = g() % (2 * r), dup_col = g() % (2 * r);
    BitMatrix w = BitMatrix::zeros(m, r);
    for (std::size_t i = 0; i < m; ++i) {
        if (g() % 5 == 0) continue;
        for (std::size_t j = 0; j < r; ++j) w.set(i, j, g() % 4 < density && j != zero_col);
        if (dup_col + 1 < r) w.set(i, dup_col + 1, w.get(i, dup_col));
    }
    return w;
}

// m bits, each set with probability quarters / 4.
BitVec bits(std::mt19937_64& g, std::size_t m, unsigned quarters) {
    BitVec v = BitVec::zeros(m);
    for (std::size_t i = 0; i < m; ++i) v.set(i, g() % 4 < quarters);
    return v;
}

BitMatrix rows_of(const std::vector<BitVec>& vectors) {
    BitMatrix m = BitMatrix::zeros(vectors.size(), vectors[0].len());
    for (std::size_t i = 0; i < vectors.size(); ++i) m.set_row(i, vectors[i].words());
    return m;
}

TEST(MaskedSolve, RandomAgainstShadowModelAndAllOnesAgainstBoolLs) {
    std::mt19937_64 g(77);
    const std::size_t sizes[] = {1, 2, 63, 64, 65, 129, 200};
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t m = sizes[trial % 7];
        const std::size_t r = 1 + g() % (trial < 360 ? 7 : 11);
        const BitMatrix w = random_w(g, m, r);
        // Every other trial runs the solver's portable kernels.
        const BoolLs s(w, bmf::kernels_for(trial % 2 == 1 ? boolmat::Isa::Portable
                                                          : boolmat::cpu::best_isa()));
        const BitVec x = random_x(g, m);
        const BitVec mask = random_x(g, m);  // all-masked and all-observed included
        const std::uint64_t seed = g();
        const Shadow ref{w, x, mask};

        const Solution exact = ref.exact();
        EXPECT_EQ(solve_masked(s, x, mask, Method::Naive, seed), exact) << trial;
        EXPECT_EQ(solve_masked(s, x, mask, Method::Zeta, seed), exact) << trial;
        EXPECT_EQ(solve_masked(s, x, mask, Method::Greedy, seed), ref.greedy()) << trial;
        EXPECT_EQ(solve_masked(s, x, mask, Method::GreedyLs, seed), ref.greedy_ls(seed)) << trial;
        for (const Method method : kAllMethods)
            EXPECT_EQ(solve_masked(s, x, bits(g, m, 4), method, seed),
                      s.solve_seeded(x, method, seed))
                << trial;
    }
}

TEST(MaskedSolve, BothZetaRoutesMatchNaive) {
    // Whichever a solve picks: the mask's own table (counted from the fewer
    // of the observed and unobserved rows) and W stacked twice, the second
    // copy starting at bit m (m mod 64 is 0, at most 32, above 32); at r = 19
    // zeta_solve works in blocks.
    std::mt19937_64 g(8);
    for (const std::size_t r : {5, 19}) {
        for (const std::size_t m : {128, 90, 100}) {
            const BoolLs s(random_w(g, m, r));
            detail::masked::StackedTable stacked(s);
            detail::masked::MaskTable table;
            detail::ZetaScratch scratch;
            for (const unsigned quarters : {1u, 3u}) {
                const BitVec x = bits(g, m, 2), mask = bits(g, m, quarters);
                std::vector<Word> observed_part(x.words().begin(), x.words().end());
                for (std::size_t k = 0; k < observed_part.size(); ++k)
                    observed_part[k] &= mask.words()[k];
                const Solution naive = solve_masked(s, x, mask, Method::Naive, 0);
                table.build(s, mask.words(), mask.count_ones());
                EXPECT_EQ(zeta_solve(table.table(), observed_part, scratch), naive)
                    << r << " " << m;
                EXPECT_EQ(stacked.solve(observed_part.data(), mask.words().data(),
                                        mask.count_ones(), scratch),
                          naive)
                    << r << " " << m;
            }
        }
    }
}

TEST(MaskedSolve, DocumentedEdgeCases) {
    std::mt19937_64 g(4);
    const BitMatrix w = random_w(g, 130, 5);
    const BoolLs s(w);
    const BitVec x = random_x(g, 130);
    // Only rows where W is all zero are observed: W∘h is 0 there for every h.
    BitVec zero_rows = BitVec::zeros(130);
    std::uint64_t ones_there = 0;
    for (std::size_t i = 0; i < 130; ++i) {
        bool any = false;
        for (std::size_t j = 0; j < 5; ++j) any |= w.get(i, j);
        zero_rows.set(i, !any);
        ones_there += !any && x.get(i);
    }
    ASSERT_GT(ones_there, 0u);
    for (const Method method : kAllMethods) {
        EXPECT_EQ(solve_masked(s, x, BitVec::zeros(130), method, 3), (Solution{0, 0}));
        EXPECT_EQ(solve_masked(s, x, zero_rows, method, 3), (Solution{0, ones_there}));
    }
}

TEST(MaskedSolve, LengthFailuresInOrder) {
    const BoolLs s(BitMatrix::zeros(3, 2));
    try {
        solve_masked(s, BitVec::zeros(3), BitVec::zeros(5), Method::Zeta, 0);
        ADD_FAILURE();
    } catch (const PreconditionError& e) {
        EXPECT_STREQ(e.what(), "masque a 5 bits, x a 3 bits");
        EXPECT_EQ(e.kind(), boolmat::FailKind::Shape);
    }
    // x against W is reported first, in BoolLs's words.
    EXPECT_EQ(
        failure_of([&] { solve_masked(s, BitVec::zeros(4), BitVec::zeros(5), Method::Naive, 0); }),
        "assertion `left == right` failed: x a 4 bits, W a 3 lignes\n  left: 4\n right: 3");
}

TEST(MaskedHalfStep, ClassesByPairMatchOneByOne) {
    // With 600 rows and 3 columns W has few patterns among many rows, and
    // "zeta" lays the vectors and masks out in pattern order.
    std::mt19937_64 g(31);
    for (const auto& [m, r] : {std::pair<std::size_t, std::size_t>{100, 6}, {600, 3}}) {
        const std::size_t n = 14;
        const BoolLs s(random_w(g, m, r));
        std::vector<BitVec> xs, masks;
        for (int k = 0; k < 3; ++k) xs.push_back(bits(g, m, 2)), masks.push_back(bits(g, m, 2));
        masks[2] = masks[0];
        masks.push_back(bits(g, m, 4));
        // x0 with its unobserved rows flipped: under mask 0 the same problem.
        BitVec x0_flipped = xs[0];
        for (std::size_t i = 0; i < m; ++i)
            if (!masks[0].get(i)) x0_flipped.set(i, !x0_flipped.get(i));
        xs.push_back(x0_flipped);
        // (x, mask): rows 0, 1, 3 and 5 are (x0, M0) four ways.
        const int plan[n][2] = {{0, 0}, {0, 0}, {1, 0}, {3, 0}, {0, 1}, {0, 2}, {1, 1},
                                {2, 2}, {2, 0}, {1, 1}, {2, 1}, {1, 2}, {1, 3}, {2, 3}};
        std::vector<BitVec> x_rows, mask_list;
        for (const auto& p : plan) x_rows.push_back(xs[p[0]]), mask_list.push_back(masks[p[1]]);
        const Padded vectors(rows_of(x_rows), 1);
        Padded mask_rows(rows_of(mask_list), 0);
        // Junk beyond the last column of a mask must not be read as rows.
        for (std::size_t i = 0; i < n; ++i)
            mask_rows.words[i * mask_rows.stride + m / 64] |= ~Word{0} << (m % 64);

        const MaskedVectorBlock block(vectors.view(), mask_rows.view());
        // (x0, M0) four times, (x1, M0), (x1, M1) and (x2, M0) twice each.
        EXPECT_EQ(block.class_count(), 8u);
        EXPECT_EQ(block.mask_count(), 3u);  // M2 equals M0
        for (const Method method : kAllMethods) {
            std::vector<Word> out(n, ~Word{0}), again(n, ~Word{0});
            const std::uint64_t total =
                half_step(s, block, method, 9, BitViewMut(out.data(), n, r, 1));
            EXPECT_EQ(half_step(s, vectors.view(), mask_rows.view(), method, 9,
                                BitViewMut(again.data(), n, r, 1)),
                      total);
            EXPECT_EQ(again, out);
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const Solution one = solve_masked(s, x_rows[i], mask_list[i], method, 9);
                EXPECT_EQ(out[i], one.h) << m << " " << i << " " << method.name();
                sum += one.error;
            }
            EXPECT_EQ(total, sum) << m << " " << method.name();
        }
    }
}

TEST(MaskedHalfStep, ShapeFailuresInOrder) {
    const BoolLs s(BitMatrix::zeros(70, 3));
    const BitMatrix v = BitMatrix::ones(4, 70);
    std::vector<Word> out(5);
    const auto step = [&](const BitMatrix& x, const BitMatrix& mask, std::size_t rows,
                          std::size_t cols) {
        return failure_of(
            [&] { half_step(s, x, mask, Method::Zeta, 0, BitViewMut(out.data(), rows, cols, 1)); });
    };
    EXPECT_EQ(step(v, BitMatrix::ones(3, 70), 4, 3),
              "les masques ont 3x70 cellules, les vecteurs 4x70");
    EXPECT_EQ(step(v, BitMatrix::ones(4, 69), 4, 3),
              "les masques ont 4x69 cellules, les vecteurs 4x70");
    EXPECT_EQ(step(BitMatrix::ones(4, 71), v, 5, 3),
              "assertion `left == right` failed: les vecteurs ont 71 bits, W a 70 lignes\n  left: "
              "71\n right: 70");
    EXPECT_EQ(step(v, BitMatrix::ones(3, 70), 4, 2), "la sortie est 4x2, il faut 4x3");
    EXPECT_EQ(step(v, v, 4, 3), "<no failure>");
}

}  // namespace
}  // namespace bmf
