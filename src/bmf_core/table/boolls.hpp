// BoolLs: the Boolean least-squares solver bound to one factor W (m x r).
// For a vector x of m bits it finds the combination h of W's columns that
// minimises |x - W∘h|. Immutable after construction: any number of threads
// may solve against one solver, each solve owning its scratch memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/detail/once_cell.hpp"
#include "bmf_core/kernels.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/count_table.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "bmf_core/table/solution.hpp"
#include "bmf_core/vector_block.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/bitvec.hpp"
#include "boolmat/view.hpp"

namespace bmf {

class BoolLs;

namespace detail {
// What a "zeta" solve reads from `solver`.
ZetaInput zeta_input(const BoolLs& solver);
// The rows of `solver` grouped by pattern when there are so few patterns
// that a vector laid out in group order is counted faster; null otherwise.
// Computed on first use.
const PatternGroups* zeta_groups(const BoolLs& solver);
}  // namespace detail

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::BitView;
using boolmat::VecView;

// Largest rank the count table allows (2^26 counters, 256 MiB).
inline constexpr std::uint64_t kMaxRank = 26;
// Largest row count of W: the "zeta" errors are signed 32-bit.
inline constexpr std::uint64_t kMaxSolverRows = (std::uint64_t{1} << 31) - 1;

// Stops with the solver's messages when r exceeds 64, then when it exceeds
// kMaxRank; lets callers reject a rank before allocating anything for it.
void check_rank(std::uint64_t r);

class BoolLs {
public:
    // Builds the solver on W (read only, not retained). Fails with
    // "Interdit d'avoir un rang supérieur à la taille d'un mot" beyond 64
    // columns, then "Sécurité pour ne pas surcharger la mémoire" beyond 26,
    // then when W has more than kMaxSolverRows rows; allocates nothing first.
    // Every solve runs `kernels`.
    explicit BoolLs(BitView w, const Kernels& kernels = default_kernels());

    // Solves x (exactly m bits, "x a {} bits, W a {} lignes") with `method`;
    // `seed` drives "greedy-ls" only.
    Solution solve_seeded(VecView x, Method method, std::uint64_t seed) const;
    // The lowest optimal combination, by trying every one ("naive").
    Solution solve_naive(VecView x) const;
    // The lowest optimal combination, through the count table ("zeta").
    Solution solve_zeta(VecView x) const;
    // The lowest combination of least weighted error w.false_one |NOT x AND
    // W∘h| + w.false_zero |x AND NOT W∘h| (w each at most 2^31, their sum
    // below 2^32), and that error: by trying every one, or through the count
    // table. Weights {1, 1} give the two solves above.
    Solution solve_naive(VecView x, const Weights& w) const;
    Solution solve_zeta(VecView x, const Weights& w) const;
    // Forward greedy selection of columns ("greedy").
    Solution solve_greedy(VecView x) const;
    // Greedy followed by the local search from state `seed` ("greedy-ls").
    Solution solve_greedy_ls(VecView x, std::uint64_t seed) const;
    // Randomised local search from (h, error), flipping 2..k drawn columns,
    // `depth` passes, recursing on strict improvements; advances `state`.
    Solution local_search(VecView x, std::uint64_t h, std::uint64_t error, std::uint64_t depth,
                          std::uint64_t k, std::uint64_t& state) const;
    // Solves every column of X (m rows) with the same method and seed;
    // returns H (r x n, column c = solution of column c) and the total error.
    // Fails with "X a {} lignes, W a {} lignes" unless X has m rows. Runs
    // table_half_step over the columns of X.
    std::pair<BitMatrix, std::uint64_t> solve_all(BitView x, Method method,
                                                  std::uint64_t seed) const;

    std::span<const std::uint64_t> row_patterns() const { return row_patterns_; }
    // Entry t: the number of rows whose pattern is contained in t (the
    // subset sums of the pattern counts, which is what "zeta" reads).
    std::span<const std::uint32_t> subset_counts() const { return subset_counts_.span(); }
    // Entry p: the number of rows whose pattern is p, recovered from the
    // subset sums (a fresh count table).
    std::vector<std::uint32_t> pattern_counts() const;
    const std::vector<BitVec>& columns() const { return columns_; }
    std::uint64_t m() const { return m_; }
    std::uint64_t r() const { return r_; }
    const Kernels& kernels() const { return *kernels_; }

private:
    friend detail::ZetaInput detail::zeta_input(const BoolLs& solver);
    friend const detail::PatternGroups* detail::zeta_groups(const BoolLs& solver);

    // The methods below assume x has m bits.
    void check_len(VecView x) const;
    Solution solve_seeded_unchecked(VecView x, Method method, std::uint64_t seed) const;
    Solution solve_naive_unchecked(VecView x) const;
    Solution solve_naive_unchecked(VecView x, const Weights& w) const;
    // Word k of W∘h (rows 64k .. 64k + 63), its spare bits 0.
    boolmat::Word predicted_word(std::size_t k, std::uint64_t h) const;
    Solution solve_zeta_unchecked(VecView x) const;
    Solution solve_greedy_unchecked(VecView x) const;
    Solution solve_greedy_ls_unchecked(VecView x, std::uint64_t seed) const;
    Solution local_search_unchecked(VecView x, Solution best, std::uint64_t depth, std::uint64_t k,
                                    std::uint64_t& state) const;
    // The number of cells where W∘h differs from x.
    std::uint64_t error_of(VecView x, std::uint64_t h) const;

    std::vector<std::uint64_t> row_patterns_;
    CountTable subset_counts_;
    std::vector<BitVec> columns_;
    std::uint64_t m_ = 0;
    std::uint64_t r_ = 0;
    const Kernels* kernels_;
    detail::OnceCell<std::vector<detail::PatternGroups>> groups_;  // one entry when worth it
};

// Solves every row of `block` (each of solver.m() bits) against `solver`
// with `method` and `seed`, writes row i's combination as the one word of
// row i of `out` (block rows x solver.r()) and returns the total error.
// Equal rows are solved once; "zeta" shares one scratch memory and, when the
// solver has few distinct row patterns among many rows, reads the vectors
// laid out in pattern order (one population count per pattern instead of
// one scattered add per set row). Fails first with "les vecteurs ont {} bits,
// W a {} lignes" or "la sortie est {}x{}, il faut {}x{}". Costs one solve by
// `method` per class, plus a transposition of the block when it is laid out
// in pattern order.
std::uint64_t table_half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                              std::uint64_t seed, boolmat::BitViewMut out);

// The same minimising the weighted error, each row with
// costs.weights(solver.m()), and returning its total: "naive" and "zeta"
// give the lowest combination of least weighted error, "zeta" with the same
// layouts and scratch as above and the weighted scan of the table. Unit costs
// give the function above. The heuristics have no weighted table solve
// (weighted "greedy" and "greedy-ls" run on WideLs): with other costs they
// fail with "la methode {} n'a pas de solveur pondere sur la table" after
// the shape checks.
std::uint64_t table_half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                              std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs);

}  // namespace bmf
