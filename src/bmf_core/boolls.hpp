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

#include "../boolmat/bitmatrix.hpp"
#include "../boolmat/bitvec.hpp"
#include "count_table.hpp"
#include "method.hpp"
#include "zeta_solve.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitVec;

// Largest rank the pattern table allows (2^26 counters, 256 MiB).
inline constexpr std::uint64_t kMaxRank = 26;
// Largest row count of W: the "zeta" errors are signed 32-bit.
inline constexpr std::uint64_t kMaxSolverRows = (std::uint64_t{1} << 31) - 1;

// A combination and its exact error popcount(x XOR W∘h).
struct Solution {
    std::uint64_t h = 0;
    std::uint64_t error = 0;
    bool operator==(const Solution&) const = default;
};

// Stops with the solver's messages when r exceeds 64, then when it exceeds
// kMaxRank; lets callers reject a rank before allocating anything for it.
void check_rank(std::uint64_t r);

class BoolLs {
public:
    // Builds the solver on W (read only, not retained). Fails with
    // "Interdit d'avoir un rang supérieur à la taille d'un mot" beyond 64
    // columns, then "Sécurité pour ne pas surcharger la mémoire" beyond 26,
    // then when W has more than kMaxSolverRows rows; allocates nothing first.
    explicit BoolLs(const BitMatrix& w);

    // Solves x (exactly m bits, "x a {} bits, W a {} lignes") with `method`;
    // `seed` drives "greedy-ls" only.
    Solution solve_seeded(const BitVec& x, Method method, std::uint64_t seed) const;
    // Forward greedy selection of columns.
    Solution solve_greedy(const BitVec& x) const;
    // Randomised local search from (h, error), flipping 2..k drawn columns,
    // `depth` passes, recursing on strict improvements; advances `state`.
    Solution local_search(const BitVec& x, std::uint64_t h, std::uint64_t error,
                          std::uint64_t depth, std::uint64_t k, std::uint64_t& state) const;
    // Solves every column of X (m rows) with the same method and seed;
    // returns H (r x n, column c = solution of column c) and the total error.
    std::pair<BitMatrix, std::uint64_t> solve_all(const BitMatrix& x, Method method,
                                                  std::uint64_t seed) const;

    std::span<const std::uint64_t> row_patterns() const { return row_patterns_; }
    // Entry t: the number of rows whose pattern is contained in t (the
    // subset sums of the pattern counts, which is what "zeta" reads).
    std::span<const std::uint32_t> subset_counts() const { return subset_counts_.span(); }
    // Entry p: the number of rows whose pattern is p, recovered from the
    // subset sums (a fresh table of 2^r counters).
    std::vector<std::uint32_t> pattern_counts() const;
    // The view of the solver a "zeta" solve reads.
    ZetaTable zeta_table() const { return {row_patterns_, subset_counts_.span(), m_, static_cast<unsigned>(r_)}; }
    const std::vector<BitVec>& columns() const { return columns_; }
    std::uint64_t m() const { return m_; }
    std::uint64_t r() const { return r_; }

private:
    // The solving methods below assume x has m bits.
    void check_len(const BitVec& x) const;
    Solution solve_unchecked(const BitVec& x, Method method, std::uint64_t seed) const;
    Solution solve_naive(const BitVec& x) const;
    Solution solve_zeta(const BitVec& x) const;
    Solution greedy_unchecked(const BitVec& x) const;
    Solution search_from(const BitVec& x, Solution best, std::uint64_t depth, std::uint64_t k,
                         std::uint64_t& state, BitVec& scratch) const;
    std::uint64_t error_of(const BitVec& x, std::uint64_t h, BitVec& scratch) const;

    std::vector<std::uint64_t> row_patterns_;
    CountTable subset_counts_;
    std::vector<BitVec> columns_;
    std::uint64_t m_ = 0;
    std::uint64_t r_ = 0;
};

}  // namespace bmf
