// Every solver family run with the processor's best kernels and again with
// portable tables whose entries count their calls: the same answers bit for
// bit, and calls through every table the family needs, which shows that a
// solver runs the tables it is given and not a choice of its own (masked
// solves, wide solves and refits, the exact search, GreConD, Asso and the
// alternating loop).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "bmf_core/alternating/ao_bmf.hpp"
#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/covers/asso.hpp"
#include "bmf_core/covers/grecond.hpp"
#include "bmf_core/exact/detail/exact_branch.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "bmf_core/wide/wide.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/detail/transpose.hpp"
#include "matrices.hpp"
#include "variants.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::Isa;
using boolmat::Word;

// Calls made through the counting tables since the last reset, by family.
struct Calls {
    std::size_t counts = 0;      // population counts
    std::size_t transposes = 0;  // transpositions
    std::size_t zeta = 0;        // subset-sum transforms and table minima
    std::size_t exact = 0;       // greedy selections and branch and bounds
};
Calls g_calls;

const boolmat::Kernels& portable_bits() { return boolmat::kernels_for(Isa::Portable); }
const Kernels& portable() { return bmf::kernels_for(Isa::Portable); }

std::size_t popcount(const Word* p, std::size_t n) {
    ++g_calls.counts;
    return portable_bits().popcount->popcount(p, n);
}
std::size_t xor_popcount(const Word* a, const Word* b, std::size_t n) {
    ++g_calls.counts;
    return portable_bits().popcount->xor_popcount(a, b, n);
}
std::size_t andnot_popcount(const Word* a, const Word* b, std::size_t n) {
    ++g_calls.counts;
    return portable_bits().popcount->andnot_popcount(a, b, n);
}
std::size_t or_xor_popcount(const Word* x, const Word* a, const Word* b, std::size_t n) {
    ++g_calls.counts;
    return portable_bits().popcount->or_xor_popcount(x, a, b, n);
}
std::size_t or_rows_xor_popcount(const Word* x, const Word* const* rows, std::size_t count,
                                 std::size_t n) {
    ++g_calls.counts;
    return portable_bits().popcount->or_rows_xor_popcount(x, rows, count, n);
}
void transpose(const boolmat::detail::TransposeOperands& o) {
    ++g_calls.transposes;
    portable_bits().transpose->transpose(o);
}
void subset_sums(std::uint32_t* d, unsigned bits) {
    ++g_calls.zeta;
    portable().zeta->subset_sum_transform(d, bits);
}
template <class Count>
std::int32_t finish(Count* s, const std::uint32_t* c, unsigned bits, unsigned low) {
    ++g_calls.zeta;
    return portable().zeta->width<Count>().finish_and_find_minimum(s, c, bits, low);
}
detail::exact::Incumbent greedy(const detail::exact::Problem& p, Word* work) {
    ++g_calls.exact;
    return portable().exact->greedy(p, work);
}
detail::exact::Outcome branch_and_bound(const detail::exact::Problem& p,
                                        detail::exact::Incumbent& best, Word* levels,
                                        std::uint64_t budget) {
    ++g_calls.exact;
    return portable().exact->branch_and_bound(p, best, levels, budget);
}

// The portable tables, the entries above counting their calls.
const Kernels& counting() {
    static const boolmat::detail::PopcountKernels counts{popcount, xor_popcount, andnot_popcount,
                                                         or_xor_popcount, or_rows_xor_popcount};
    static const boolmat::detail::TransposeKernels transposes{transpose};
    static const boolmat::Kernels bits{Isa::Portable, &counts, portable_bits().bytes,
                                       portable_bits().product, &transposes};
    static const detail::ZetaKernels zeta = [] {
        detail::ZetaKernels z = *portable().zeta;
        z.subset_sum_transform = subset_sums;
        z.narrow.finish_and_find_minimum = finish<std::uint16_t>;
        z.wide.finish_and_find_minimum = finish<std::uint32_t>;
        return z;
    }();
    static const detail::exact::ExactKernels exact{greedy, branch_and_bound};
    static const Kernels k{&bits, &zeta, &exact};
    return k;
}

// Runs run(kernels) with the processor's best tables, then with the counting
// ones, expects the same result and returns the calls of the second run.
template <class Run>
Calls calls_of_portable_run(Run&& run) {
    const auto best = run(solver_of(false));
    g_calls = {};
    const auto counted = run(counting());
    const Calls calls = g_calls;
    EXPECT_TRUE(counted == best);
    return calls;
}

// W∘H for random sparse factors, with a little noise.
BitMatrix planted(std::mt19937_64& g, std::size_t m, std::size_t n, std::size_t r) {
    BitMatrix x = product(random_matrix(g, m, r, percent(25)), random_matrix(g, r, n, percent(25)));
    for (std::size_t k = 0; k < m * n / 40; ++k) x.set(g() % m, g() % n, g() % 2);
    return x;
}

std::vector<std::uint64_t> patterns_of(const BitMatrix& w) {
    std::vector<std::uint64_t> p(w.rows());
    for (std::size_t i = 0; i < w.rows(); ++i) p[i] = w.row(i)[0];
    return p;
}

const Method kAllMethods[] = {Method::Naive, Method::Zeta, Method::Greedy, Method::GreedyLs};

TEST(KernelRoutes, MaskedHalfStepsRunTheGivenTables) {
    // 600 rows of 3 columns have few patterns among many rows: "zeta" then
    // lays the vectors and masks out in pattern order, a transposition.
    std::mt19937_64 g(41);
    for (const auto& shape : {std::pair<std::size_t, std::size_t>{130, 7}, {600, 3}}) {
        const std::size_t m = shape.first, r = shape.second;
        const BitMatrix w = random_matrix(g, m, r, percent(30));
        const BitMatrix vectors = random_matrix(g, 20, m, percent(40));
        BitMatrix masks = random_matrix(g, 20, m, percent(85));
        masks.set_row(3, masks.row(0));
        for (const Method method : kAllMethods) {
            SCOPED_TRACE(testing::Message() << m << "x" << r << " " << method.name());
            const Calls calls = calls_of_portable_run([&](const Kernels& k) {
                const BoolLs solver(w, k);
                BitMatrix out = BitMatrix::zeros(vectors.rows(), r);
                const std::uint64_t total =
                    half_step(solver, vectors, masks, method, 5, out.view_mut());
                return std::tuple(out, total);
            });
            EXPECT_GT(calls.transposes, 0u);
            if (method == Method::Zeta) {
                EXPECT_GT(calls.zeta, 0u);
            }
            if (method != Method::Naive) {
                EXPECT_GT(calls.counts, 0u);
            }
        }
    }
    // A prepared block transposes its pairs with the tables it is given.
    g_calls = {};
    const MaskedVectorBlock block(random_matrix(g, 9, 70, percent(50)),
                                  random_matrix(g, 9, 70, percent(50)), counting());
    EXPECT_EQ(g_calls.transposes, 1u);
}

TEST(KernelRoutes, WideSolvesAndRefitsRunTheGivenTables) {
    std::mt19937_64 g(43);
    for (const std::size_t k : {5, 40, 130}) {
        const std::size_t m = 150;
        const BitMatrix w = random_matrix(g, m, k, percent(10));
        const BitMatrix vectors = planted(g, 25, m, 6);
        for (const Method method : {Method::Greedy, Method::GreedyLs}) {
            SCOPED_TRACE(testing::Message() << "k " << k << " " << method.name());
            const Calls calls = calls_of_portable_run([&](const Kernels& kernels) {
                const WideLs solver(w, kernels);
                BitMatrix out = BitMatrix::zeros(vectors.rows(), k);
                const std::uint64_t total =
                    wide_half_step(solver, vectors, method, 3, out.view_mut());
                const std::uint64_t refitted =
                    refit_block(solver, vectors, 0, std::min<std::size_t>(k, 8), out.view_mut());
                return std::tuple(out, total, refitted);
            });
            EXPECT_GT(calls.transposes, 0u);
            EXPECT_GT(calls.counts, 0u);
        }
    }
}

TEST(KernelRoutes, ExactSearchRunsTheGivenTables) {
    std::mt19937_64 g(47);
    // The search alone, at ranks on both sides of the table's limit.
    for (const unsigned r : {9u, 40u}) {
        const BitMatrix w = random_matrix(g, 300, r, percent(15));
        const BitMatrix vectors = planted(g, 12, 300, 5);
        const Calls calls = calls_of_portable_run([&](const Kernels& k) {
            const ExactSearch search(patterns_of(w), r, k);
            ExactScratch scratch;
            std::vector<ExactResult> solved;
            for (std::size_t i = 0; i < vectors.rows(); ++i)
                solved.push_back(search.solve(vectors.row(i), scratch, 2000));
            BitMatrix out = BitMatrix::zeros(vectors.rows(), r);
            const SearchStep step =
                search_half_step(search, VectorBlock(vectors), 2000, out.view_mut());
            return std::tuple(solved, out, step.total, step.unfinished);
        });
        EXPECT_GT(calls.exact, 0u) << r;
        EXPECT_GT(calls.counts, 0u) << r;
    }
    // The search strategies of a "zeta" half-step, which fall back on the
    // table when the search does not pay.
    const BitMatrix w = planted(g, 400, 14, 4);
    const BitMatrix vectors = planted(g, 30, 400, 5);
    for (const ExactStrategy strategy : {ExactStrategy::Search, ExactStrategy::Auto}) {
        const Calls calls = calls_of_portable_run([&](const Kernels& k) {
            const BoolLs solver(w, k);
            BitMatrix out = BitMatrix::zeros(vectors.rows(), w.cols());
            const std::uint64_t total =
                half_step(solver, vectors, Method::Zeta, 0, out.view_mut(), strategy);
            return std::tuple(out, total);
        });
        EXPECT_GT(calls.exact, 0u) << static_cast<int>(strategy);
    }
}

TEST(KernelRoutes, CoversRunTheGivenTables) {
    std::mt19937_64 g(53);
    for (const auto& shape : {std::pair<std::size_t, std::size_t>{70, 65}, {200, 130}}) {
        const std::size_t m = shape.first, n = shape.second;
        const BitMatrix x = planted(g, m, n, 5);
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        const Calls by_grecond = calls_of_portable_run([&](const Kernels& k) {
            const CoverResult got = grecond(x, 6, k);
            return std::tuple(got.w, got.h, got.errors, got.error);
        });
        EXPECT_GT(by_grecond.transposes, 0u);
        EXPECT_GT(by_grecond.counts, 0u);
        const Calls by_asso = calls_of_portable_run([&](const Kernels& k) {
            const CoverResult got = asso(x, 6, {0.6, 1.0, 1.0}, k);
            return std::tuple(got.w, got.h, got.errors, got.error, association_matrix(x, 0.6, k));
        });
        EXPECT_GT(by_asso.transposes, 0u);
        EXPECT_GT(by_asso.counts, 0u);
    }
}

TEST(KernelRoutes, TheAlternatingLoopRunsTheGivenTables) {
    std::mt19937_64 g(59);
    const BitMatrix x = planted(g, 90, 70, 4);
    for (const Method method : kAllMethods) {
        const Calls calls = calls_of_portable_run([&](const Kernels& k) {
            const BmfResult got = ao_bmf(x, 4, method, 10, 2, k);
            return std::tuple(got.w, got.h, got.error, got.iterations);
        });
        EXPECT_GT(calls.transposes, 0u) << method.name();
        EXPECT_GT(calls.zeta, 0u) << method.name();  // every solver sums its table
        if (method == Method::Greedy || method == Method::GreedyLs) {
            EXPECT_GT(calls.counts, 0u) << method.name();
        }
    }
    g_calls = {};
    const BitMatrix start = initial_factor(x, 3, 1, counting());
    EXPECT_EQ(g_calls.transposes, 1u);
    EXPECT_EQ(start, initial_factor(x, 3, 1));
}

TEST(KernelRoutes, TheEngineRunsTheGivenTablesOnEveryRoute) {
    // Rank 5 takes the table ("exact" by Auto), rank 40 the search with its
    // greedy-ls fallback under a budget, and the heuristics the wide solver.
    std::mt19937_64 g(61);
    for (const std::size_t r : {5, 40}) {
        const std::size_t m = 120;
        const BitMatrix w = random_matrix(g, m, r, percent(12));
        const BitMatrix vectors = planted(g, 30, m, 5);
        const VectorBlock block(vectors.view());
        for (const char* name : {"exact", "greedy-ls", "zeta"}) {
            const auto choice = MethodChoice::parse(name);
            ASSERT_TRUE(choice.has_value());
            if (r > kMaxTableRank && !choice->exact && choice->method == Method::Zeta) continue;
            SCOPED_TRACE(testing::Message() << "r " << r << " " << name);
            const Calls calls = calls_of_portable_run([&](const Kernels& k) {
                const SolverEngine engine(w, k);
                BitMatrix out = BitMatrix::zeros(vectors.rows(), r);
                const StepResult step = engine.half_step(block, *choice, 7, out.view_mut());
                const std::uint64_t refitted =
                    engine.refit_blocks(vectors.view(), 4, out.view_mut());
                return std::tuple(out, step.error, step.fallbacks, refitted);
            });
            EXPECT_GT(calls.counts + calls.zeta + calls.exact, 0u);
            if (r > kMaxTableRank && choice->exact) {
                EXPECT_GT(calls.exact, 0u);
            }
        }
    }
}

}  // namespace
}  // namespace bmf
