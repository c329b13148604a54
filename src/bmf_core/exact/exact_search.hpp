// ExactSearch: exact Boolean least squares without a table of 2^r entries.
// The factor's rows are grouped once by distinct pattern; a vector x then
// only counts, per pattern p, its ones and zeros among p's rows, and
// error(h) = sum over p of (p AND h != 0 ? zeros_p : ones_p). A depth-first
// branch and bound decides the columns from the highest down, leaving a
// column out before putting it in, so that it meets the combinations in
// increasing order and returns the lowest optimal h, as "zeta" does, for any
// rank up to 64. A node budget bounds the work at high ranks.
//
// Weights and masks change only the counts: with a false one costing a, a
// false zero b and only the observed rows counted, error(h) = sum over p of
// (p AND h != 0 ? a * zeros_p : b * ones_p), so covering p gains
// b * ones_p - a * zeros_p, and the same search runs on those gains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/kernels.hpp"
#include "boolmat/words.hpp"

namespace bmf {

namespace detail::exact {
struct Problem;
}

// A node budget that never runs out.
inline constexpr std::uint64_t kUnlimitedNodes = std::numeric_limits<std::uint64_t>::max();
// Largest rank of the search: a combination is one word.
inline constexpr unsigned kMaxSearchRank = 64;
// Node budget per vector suggested above rank 26, where there is no table to
// fall back on: some milliseconds of search at a few hundred patterns.
inline constexpr std::uint64_t kHighRankNodes = std::uint64_t{1} << 18;

// What a search returns.
struct ExactResult {
    std::uint64_t h = 0;      // the lowest optimal h when finished, else the best h met
    std::uint64_t error = 0;  // popcount(x XOR W∘h), or its weighted or masked
                              // count, exact in both cases
    bool finished = true;     // false when the node budget ran out before the proof
    std::uint64_t nodes = 0;  // search-tree nodes visited
    bool operator==(const ExactResult&) const = default;
};

// Working memory of searches, reused from one solve to the next; one per
// thread.
class ExactScratch {
public:
    ExactScratch() = default;

private:
    friend class ExactSearch;
    std::vector<std::uint32_t> ones_;   // ones of x per pattern, plus the all-zero pattern
    std::vector<std::uint32_t> zeros_;  // observed zeros of x per pattern, when masked
    std::vector<std::int64_t> gain_;    // ones - zeros per pattern
    std::vector<boolmat::Word> sets_;   // the vector's pattern sets, planes and search levels
};

class ExactSearch {
public:
    // Prepares the search on the factor of rank r (1..64) whose row i has
    // pattern row_patterns[i] (bit j = W[i][j]); fails on a rank out of
    // range, a pattern with bits at or above r, no rows, or 2^32 rows or more.
    // Every solve runs `kernels`.
    ExactSearch(std::span<const std::uint64_t> row_patterns, unsigned r,
                const Kernels& kernels = default_kernels());

    // Returns the lowest h minimising |x - W∘h| with its error, for x given as
    // the words_for(m) words of its m bits (spare bits 0); the search starts
    // from the better of a greedy selection and `hint` (any combination below
    // 2^r, for instance the previous solution), and after `node_budget`
    // nodes stops with finished false and the best h met so far.
    ExactResult solve(std::span<const boolmat::Word> x, ExactScratch& scratch,
                      std::uint64_t node_budget = kUnlimitedNodes, std::uint64_t hint = 0) const;
    // The same minimising weights.false_one * (false ones) +
    // weights.false_zero * (false zeros), which `error` then holds; weights
    // {1, 1} give the function above. Costs::weights(m) below 2^31 rows
    // keeps every sum of gains under 2^62, within the search's int64.
    ExactResult solve(std::span<const boolmat::Word> x, const Weights& weights,
                      ExactScratch& scratch, std::uint64_t node_budget = kUnlimitedNodes,
                      std::uint64_t hint = 0) const;
    // The same counting only the rows set in `mask` (words_for(m) words,
    // spare bits 0); x's unobserved bits are ignored. An all-ones mask gives
    // the function above; an all-zero one (0, 0).
    ExactResult solve(std::span<const boolmat::Word> x, std::span<const boolmat::Word> mask,
                      const Weights& weights, ExactScratch& scratch,
                      std::uint64_t node_budget = kUnlimitedNodes, std::uint64_t hint = 0) const;

    // Estimated time of one search node on this factor, in nanoseconds.
    double node_cost() const;
    // Estimated time of the per-vector work that precedes the search, in
    // nanoseconds, for a vector with `ones` set bits.
    double setup_cost(std::uint64_t ones) const;
    // Estimated time of one "zeta" table solve at this factor's rank for a
    // vector with `ones` set bits, in nanoseconds; infinite above rank 26.
    double table_cost(std::uint64_t ones) const;
    // Returns the node budget worth the estimated time of one table solve
    // for a vector with `ones` set bits (0 when the setup alone costs more).
    std::uint64_t table_budget(std::uint64_t ones) const;

    std::uint64_t m() const { return m_; }
    unsigned r() const { return r_; }
    const Kernels& kernels() const { return *kernels_; }
    // Distinct patterns other than the all-zero one.
    std::size_t distinct_patterns() const { return patterns_.size(); }

private:
    // Counts x per pattern and lays out its problem in the scratch.
    detail::exact::Problem prepare(std::span<const boolmat::Word> x, ExactScratch& scratch) const;
    // The same with the weighted gains, counting the rows of `mask` only
    // when it is not null.
    detail::exact::Problem prepare(std::span<const boolmat::Word> x, const boolmat::Word* mask,
                                   const Weights& weights, ExactScratch& scratch) const;
    // Lays out the problem of the gains in the scratch, whose h = 0 errs by
    // `base`.
    detail::exact::Problem lay_out(ExactScratch& scratch, std::int64_t base) const;
    // Runs the greedy, the hint and the branch and bound on a laid-out problem.
    ExactResult run(const detail::exact::Problem& p, ExactScratch& scratch,
                    std::uint64_t node_budget, std::uint64_t hint) const;
    // The exact error of h from the gains prepared for x.
    std::int64_t prepared_error(const ExactScratch& scratch, std::int64_t ones_x,
                                std::uint64_t h) const;
    void check_vector(std::span<const boolmat::Word> x, const char* name = "x") const;
    void check_combination(std::uint64_t h) const;

    std::uint64_t m_ = 0;
    unsigned r_ = 0;
    std::size_t words_ = 0;                      // words of one set of patterns
    std::vector<std::uint32_t> pattern_of_row_;  // index into patterns_, or the zero slot
    std::vector<std::uint64_t> patterns_;        // sorted by lowest column, then by value
    std::vector<std::uint32_t> counts_;          // rows per pattern
    std::vector<std::uint32_t> ends_;            // ends_[c]: patterns whose lowest column <= c
    std::vector<boolmat::Word> cover_;           // row c: the patterns that contain column c
    std::uint64_t allowed_ = 0;                  // columns an answer may use
    const Kernels* kernels_;
};

// Chooses, vector after vector of one half-step, between the search and the
// table by their estimated costs: the search runs within the budget of one
// table solve while its recent cost (a search that ran out counts with the
// table solve that follows it) stays below the table's; otherwise the table
// solves outright, and one vector in kRetryEvery is searched again to notice
// when the vectors get easier. Above rank 26 every vector is searched within
// kHighRankNodes.
class ExactChooser {
public:
    static constexpr std::uint64_t kRetryEvery = 32;

    explicit ExactChooser(const ExactSearch& search) : search_(&search) {}
    // Returns the node budget for the next vector, which has `ones` set bits,
    // or 0 when the table should solve it without a search.
    std::uint64_t budget(std::uint64_t ones);
    // Records the result of the search that ran with the last budget.
    void record(const ExactResult& result);

private:
    const ExactSearch* search_;
    double ratio_ = 0;           // moving average of search cost / table cost
    std::uint64_t skipped_ = 0;  // vectors left to the table since the last search
    std::uint64_t ones_ = 0;     // set bits of the last vector searched
};

}  // namespace bmf
