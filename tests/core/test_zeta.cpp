// The "zeta" solve: its kernels in both variants against plain loops, and the
// blocked solve against the method written out plainly (negated counts, +2
// per set row, one pass per bit, scan by increasing h), on random factors,
// with blocks small enough that every rank runs the blocking, the spreading
// of rows over blocks and the table-sized fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <vector>

#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "random_vectors.hpp"
#include "variants.hpp"

namespace bmf {
namespace {

using boolmat::Word;
using detail::kZetaBlockBits;
using detail::PatternGroups;
using detail::zeta_input;
using detail::zeta_solve;
using detail::zeta_solve_grouped;
using detail::ZetaScratch;

// The "zeta" kernels of a variant.
const detail::ZetaKernels& zeta_of(bool portable) { return *solver_of(portable).zeta; }

// The method as written: D = -counts, +2 at the pattern of every set row,
// subset sums one bit at a time, then the smallest error by increasing h.
Solution plain_zeta(const BitMatrix& w, const BitVec& x) {
    const std::size_t r = w.cols(), size = std::size_t{1} << r;
    std::vector<std::int32_t> d(size, 0);
    std::uint64_t ones = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        const std::size_t p = w.row(i)[0];
        d[p] += x.get(i) ? 1 : -1;
        ones += x.get(i);
    }
    for (std::size_t j = 0; j < r; ++j)
        for (std::size_t t = 0; t < size; ++t)
            if ((t >> j) & 1) d[t] += d[t ^ (std::size_t{1} << j)];
    Solution best{0, w.rows() + 1};
    for (std::uint64_t h = 0; h < size; ++h) {
        const auto error = static_cast<std::uint64_t>(static_cast<std::int64_t>(w.rows() - ones) +
                                                      d[(size - 1) ^ h]);
        if (error < best.error) best = {h, error};
    }
    return best;
}

// Rows of density 1/4 to 3/4, some all zero; with `live` < r the columns
// from `live` up are zero, so every pattern has the same high bits.
BitMatrix random_w(std::mt19937_64& g, std::size_t m, std::size_t r, std::size_t live) {
    const unsigned density = 1 + g() % 3;
    BitMatrix w = BitMatrix::zeros(m, r);
    for (std::size_t i = 0; i < m; ++i) {
        if (g() % 6 == 0) continue;
        for (std::size_t j = 0; j < live; ++j) w.set(i, j, g() % 4 < density);
    }
    return w;
}

TEST(ZetaKernels, TransformMatchesTheSubsetSumsInBothVariants) {
    std::mt19937_64 g(8);
    for (unsigned r = 0; r <= 16; ++r) {
        const std::size_t size = std::size_t{1} << r;
        std::vector<std::uint32_t> d(size);
        for (auto& v : d) v = static_cast<std::uint32_t>(g() % 21) - 10;
        std::vector<std::uint32_t> sums(size, 0);
        if (r <= 9) {
            for (std::size_t t = 0; t < size; ++t)
                for (std::size_t p = t;; p = (p - 1) & t) {
                    sums[t] += d[p];
                    if (p == 0) break;
                }
        } else {
            sums = d;
            for (std::size_t j = 0; j < r; ++j)
                for (std::size_t t = 0; t < size; ++t)
                    if ((t >> j) & 1) sums[t] += sums[t ^ (std::size_t{1} << j)];
        }
        for_each_variant([&](bool portable) {
            std::vector<std::uint32_t> got = d;
            zeta_of(portable).subset_sum_transform(got.data(), r);
            EXPECT_EQ(got, sums) << r << " portable " << portable;
        });
    }
}

// Runs f(Count{}) for both counter widths.
template <class F>
void for_each_width(F&& f) {
    f(std::uint16_t{});
    f(std::uint32_t{});
}

TEST(ZetaKernels, CountingAddsAtTheLaneSupersets) {
    std::mt19937_64 g(9);
    for (unsigned bits : {0u, 1u, 2u, 3u, 5u, 9u}) {
        const std::size_t size = std::size_t{1} << bits, lanes = std::min<std::size_t>(size, 8);
        const std::size_t m = 150;
        std::vector<std::uint64_t> patterns(m);
        for (auto& p : patterns) p = g() % size;
        std::vector<Word> x(3);
        for (auto& w : x) w = g() & g();
        x[2] &= (Word{1} << (m - 128)) - 1;
        // Row i at every entry sharing its group of `lanes` and containing
        // its low bits.
        const auto supersets = [&](std::vector<std::uint32_t>& s, std::uint64_t p,
                                   std::uint32_t n) {
            for (std::size_t u = 0; u < size; ++u)
                if (u / lanes == p / lanes && (u & p % lanes) == p % lanes) s[u] += n;
        };
        std::vector<std::uint32_t> by_rows(size, 0), by_groups(size, 0);
        std::vector<std::uint32_t> values;
        for (std::size_t i = 0; i < m; ++i) {
            if ((x[i / 64] >> (i % 64)) & 1) {
                supersets(by_rows, patterns[i], 1);
                values.push_back(static_cast<std::uint32_t>(patterns[i]));
            }
        }
        // Groups: consecutive runs of rows; a group's count is its set bits.
        std::vector<std::uint32_t> group_patterns;
        std::vector<std::size_t> ends;
        std::uint64_t ones = 0;
        for (std::size_t begin = 0; begin < m;) {
            const std::size_t end = std::min(m, begin + 1 + g() % 70);
            std::uint32_t n = 0;
            for (std::size_t i = begin; i < end; ++i) n += (x[i / 64] >> (i % 64)) & 1;
            group_patterns.push_back(static_cast<std::uint32_t>(g() % size));
            ends.push_back(end);
            supersets(by_groups, group_patterns.back(), n);
            ones += n;
            begin = end;
        }
        for_each_width([&](auto zero) {
            using Count = decltype(zero);
            const std::vector<Count> want_rows(by_rows.begin(), by_rows.end());
            const std::vector<Count> want_groups(by_groups.begin(), by_groups.end());
            for_each_variant([&](bool portable) {
                const auto& k = zeta_of(portable).width<Count>();
                std::vector<Count> s(size, 0);
                k.count_rows(s.data(), bits, x.data(), x.size(), patterns.data());
                EXPECT_EQ(s, want_rows) << bits << " portable " << portable;
                std::fill(s.begin(), s.end(), 0);
                k.count_values(s.data(), bits, values.data(), values.size());
                EXPECT_EQ(s, want_rows) << bits << " portable " << portable;
                std::fill(s.begin(), s.end(), 0);
                EXPECT_EQ(k.count_groups(s.data(), bits, x.data(), x.size(), group_patterns.data(),
                                         ends.data(), ends.size()),
                          ones);
                EXPECT_EQ(s, want_groups) << bits << " portable " << portable;
            });
        });
    }
}

TEST(ZetaKernels, FinishAndLastIndexInBothVariants) {
    std::mt19937_64 g(10);
    for (unsigned bits : {0u, 2u, 3u, 4u, 6u, 12u, 13u, 15u}) {
        const std::size_t size = std::size_t{1} << bits;
        for (unsigned low : {0u, 3u, 4u, 6u, 12u}) {
            if (low > bits) continue;
            std::vector<std::uint32_t> s(size), c(size);
            // Few distinct values, so the minimum occurs several times.
            for (std::size_t t = 0; t < size; ++t) s[t] = g() % 2, c[t] = g() % 9;
            // The sub-blocks of 2^low entries come with bits up to low - 1
            // done; the rest follows: bits low.. (at least 3) of the sums.
            std::vector<std::uint32_t> after = s;
            for (std::size_t base = 0; base < size; base += std::size_t{1} << low)
                for (std::size_t j = 3; j < low; ++j)
                    for (std::size_t t = base; t < base + (std::size_t{1} << low); ++t)
                        if ((t >> j) & 1) after[t] += after[t ^ (std::size_t{1} << j)];
            std::vector<std::uint32_t> ready = after;
            for (std::size_t j = std::max(low, 3u); j < bits; ++j)
                for (std::size_t t = 0; t < size; ++t)
                    if ((t >> j) & 1) after[t] += after[t ^ (std::size_t{1} << j)];
            std::int32_t least = INT32_MAX;
            std::size_t last = 0;
            for (std::size_t t = 0; t < size; ++t) {
                const auto v = static_cast<std::int32_t>(2 * after[t] - c[t]);
                if (v <= least) least = v, last = t;
            }
            for_each_width([&](auto zero) {
                using Count = decltype(zero);
                for_each_variant([&](bool portable) {
                    const auto& k = zeta_of(portable).width<Count>();
                    std::vector<Count> got(ready.begin(), ready.end());
                    // transform_low on each sub-block instead of the
                    // precomputed `ready`, when the sub-blocks are whole.
                    if (low >= 3) {
                        got.assign(s.begin(), s.end());
                        for (std::size_t base = 0; base < size; base += std::size_t{1} << low)
                            k.transform_low(got.data() + base, low);
                        EXPECT_EQ(got, std::vector<Count>(ready.begin(), ready.end()));
                    }
                    EXPECT_EQ(k.finish_and_find_minimum(got.data(), c.data(), bits, low), least)
                        << bits << "/" << low << " portable " << portable;
                    EXPECT_EQ(got, std::vector<Count>(after.begin(), after.end()));
                    EXPECT_EQ(k.last_index_of(got.data(), c.data(), size, least), last);
                });
            });
        }
    }
}

TEST(ZetaSolve, MatchesThePlainMethodWithEveryBlocking) {
    std::mt19937_64 g(11);
    const std::size_t sizes[] = {1, 2, 63, 64, 65, 300, 2000};
    for (int trial = 0; trial < 160; ++trial) {
        const std::size_t m = sizes[g() % 7];
        const unsigned r = 1 + g() % 13;
        // Every third factor keeps its high columns empty: all rows then
        // reach every block, and with enough rows the solve falls back to a
        // single table-sized block.
        const std::size_t live = trial % 3 == 0 ? 1 + g() % r : r;
        const BitMatrix w = random_w(g, m, r, live);
        std::vector<BitVec> xs;
        for (int k = 0; k < 3; ++k) xs.push_back(random_x(g, m));
        for_each_variant([&](bool portable) {
            const BoolLs solver(w, solver_of(portable));
            // One scratch for all the solves of a solver, as ao_bmf uses it.
            ZetaScratch scratch;
            for (const BitVec& x : xs) {
                const Solution want = plain_zeta(w, x);
                for (unsigned block_bits : {kZetaBlockBits, 3u, 4u, 7u, r > 1 ? r - 1 : 3u}) {
                    EXPECT_EQ(zeta_solve(zeta_input(solver), x.words(), scratch, block_bits), want)
                        << "m " << m << " r " << r << " blocks " << block_bits << " portable "
                        << portable;
                }
                EXPECT_EQ(solver.solve_seeded(x, Method::Zeta, 0), want);
            }
        });
    }
}

TEST(ZetaSolve, RanksAboveOneBlockWithTheDefaultBlocks) {
    std::mt19937_64 g(14);
    for (unsigned r : {19u, 20u}) {
        const BitMatrix w = random_w(g, 3000, r, r);
        const BitVec x = random_x(g, 3000);
        const Solution want = plain_zeta(w, x);
        for_each_variant([&](bool portable) {
            const BoolLs solver(w, solver_of(portable));
            EXPECT_EQ(solver.solve_seeded(x, Method::Zeta, 0), want)
                << r << " portable " << portable;
        });
    }
}

TEST(ZetaSolve, WideCountersPast65535SetRows) {
    // 16-bit counters hold up to 65535 set rows; here x has more.
    std::mt19937_64 g(15);
    for (unsigned r : {2u, 5u, 10u, 13u}) {
        const std::size_t m = 90000;
        const BitMatrix w = random_w(g, m, r, r % 2 ? r : r / 2);
        const BoolLs solver(w);
        BitVec x = BitVec::zeros(m);
        for (std::size_t i = 0; i < m; ++i) x.set(i, g() % 8 != 0);
        ASSERT_GE(x.count_ones(), 65536u);
        const Solution want = plain_zeta(w, x);
        const PatternGroups groups = PatternGroups::of(solver.row_patterns());
        BitVec ordered = BitVec::zeros(m);
        for (std::size_t k = 0; k < m; ++k) ordered.set(k, x.get(groups.order[k]));
        for_each_variant([&](bool portable) {
            const BoolLs variant(w, solver_of(portable));
            ZetaScratch scratch;
            for (unsigned block_bits : {kZetaBlockBits, 4u, 7u})
                EXPECT_EQ(zeta_solve(zeta_input(variant), x.words(), scratch, block_bits), want)
                    << r << " blocks " << block_bits << " portable " << portable;
            EXPECT_EQ(zeta_solve_grouped(zeta_input(variant), groups, ordered.words(), scratch),
                      want);
        });
    }
}

TEST(ZetaSolve, EqualErrorsGoToTheLowestCombination) {
    // Two empty columns out of r: flipping them never changes the error, so
    // the answer must leave both out, whichever block holds the minimum.
    std::mt19937_64 g(12);
    for (unsigned r : {3u, 6u, 10u}) {
        BitMatrix w = random_w(g, 500, r, r);
        for (std::size_t i = 0; i < w.rows(); ++i) w.set(i, 0, false), w.set(i, r - 1, false);
        for (int k = 0; k < 5; ++k) {
            const BitVec x = random_x(g, 500);
            const Solution want = plain_zeta(w, x);
            EXPECT_EQ(want.h & 1, 0u);
            EXPECT_EQ(want.h >> (r - 1), 0u);
            for_each_variant([&](bool portable) {
                const BoolLs solver(w, solver_of(portable));
                ZetaScratch scratch;
                for (unsigned block_bits : {3u, 5u, kZetaBlockBits})
                    EXPECT_EQ(zeta_solve(zeta_input(solver), x.words(), scratch, block_bits), want);
            });
        }
    }
    // An all-zero factor: every h has the error ones(x), h = 0 wins.
    const BoolLs zero(BitMatrix::zeros(70, 9));
    const BitVec x = random_x(g, 70);
    ZetaScratch scratch;
    EXPECT_EQ(zeta_solve(zeta_input(zero), x.words(), scratch, 3), (Solution{0, x.count_ones()}));
}

TEST(ZetaSolve, GroupedLayoutGivesTheSameSolutions) {
    std::mt19937_64 g(13);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t m = 1 + g() % 700;
        const unsigned r = 1 + g() % 10;
        const BitMatrix w = random_w(g, m, r, r);
        const BoolLs solver(w);
        const PatternGroups groups = PatternGroups::of(solver.row_patterns());
        // Groups list the rows by increasing pattern, each pattern once.
        ASSERT_EQ(groups.order.size(), m);
        ASSERT_EQ(groups.ends.back(), m);
        for (std::size_t k = 1; k < m; ++k) {
            const auto before = solver.row_patterns()[groups.order[k - 1]],
                       at = solver.row_patterns()[groups.order[k]];
            ASSERT_TRUE(before < at || (before == at && groups.order[k - 1] < groups.order[k]));
        }
        for (std::size_t gi = 0; gi < groups.patterns.size(); ++gi) {
            const std::size_t begin = gi == 0 ? 0 : groups.ends[gi - 1];
            ASSERT_LT(begin, groups.ends[gi]);
            for (std::size_t k = begin; k < groups.ends[gi]; ++k)
                ASSERT_EQ(solver.row_patterns()[groups.order[k]], groups.patterns[gi]);
        }
        const BitVec x = random_x(g, m);
        BitVec ordered = BitVec::zeros(m);
        for (std::size_t k = 0; k < m; ++k) ordered.set(k, x.get(groups.order[k]));
        for_each_variant([&](bool portable) {
            const BoolLs variant(w, solver_of(portable));
            ZetaScratch scratch;
            EXPECT_EQ(zeta_solve_grouped(zeta_input(variant), groups, ordered.words(), scratch),
                      plain_zeta(w, x))
                << m << " " << r << " portable " << portable;
        });
    }
}

}  // namespace
}  // namespace bmf
