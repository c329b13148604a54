// The "zeta" solve. The solver keeps the subset sums ζC of its row-pattern
// counts; a vector x adds the subset sums ζS of the patterns of its set rows,
// and error(h) = m - ones(x) + 2 ζS[t] - ζC[t] with t the complement of h.
// ζS is built one block of 2^18 patterns at a time (at most 1 MiB, held in
// L2): each block gathers the set rows whose high pattern bits are contained
// in the block's, takes the low-bit transform and is scanned for its minimum
// against ζC at once, so a solve needs no table of 2^r entries of its own
// unless the set rows reach so many blocks that one table-sized block costs
// less. With fewer than 2^16 set rows the counters of ζS are 16-bit.
// Weighted, with a = false_one and b = false_zero, the error of h is
// a (m - ones(x)) + (a + b) ζS[t] - a ζC[t]: the same tables, another
// combination in the final scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/table/solution.hpp"
#include "boolmat/memory.hpp"
#include "boolmat/words.hpp"

namespace bmf {

struct Kernels;

namespace detail {

// What a solve reads from the solver, and the kernels it runs.
struct ZetaInput {
    std::span<const std::uint64_t> row_patterns;   // m entries below 2^r
    std::span<const std::uint32_t> subset_counts;  // ζC, 2^r entries
    std::uint64_t m;
    unsigned r;
    const Kernels* kernels;
};

// The rows of a factor ordered by pattern: order[k] is the k-th row in
// increasing pattern order (ties by row), and group g holds the rows
// order[ends[g - 1] .. ends[g]) of the distinct pattern patterns[g].
struct PatternGroups {
    std::vector<std::size_t> order;
    std::vector<std::uint32_t> patterns;
    std::vector<std::size_t> ends;

    static PatternGroups of(std::span<const std::uint64_t> row_patterns);
};

// Working memory of "zeta" solves, reused from one solve to the next by one
// thread.
struct ZetaScratch {
    boolmat::Scratch block;              // ζS, one block at a time
    std::vector<std::uint32_t> starts;   // first entry of each sub-block's list
    std::vector<std::uint32_t> next;     // next free slot of each sub-block's list
    std::vector<std::uint32_t> offsets;  // the patterns' offsets, by sub-block
};

// Entries of a ζS block: 2^18, which stay in L2.
inline constexpr unsigned kZetaBlockBits = 18;

// The smallest h minimising |x - W∘h| and that error, for x given as the
// words of its m bits (spare bits 0). Blocks hold 2^max_block_bits entries
// (raised to 16 when smaller; smaller than the default only to exercise the
// blocking).
Solution zeta_solve(const ZetaInput& table, std::span<const boolmat::Word> x, ZetaScratch& scratch,
                    unsigned max_block_bits = kZetaBlockBits);

// The same for x given in the group order of `groups` (bit k of the words is
// row groups.order[k] of x), which turns the pattern counts of x's set rows
// into one population count per group. Needs r <= kZetaBlockBits.
Solution zeta_solve_grouped(const ZetaInput& table, const PatternGroups& groups,
                            std::span<const boolmat::Word> x_in_order, ZetaScratch& scratch);

// The smallest h minimising w.false_one |NOT x AND W∘h| + w.false_zero
// |x AND NOT W∘h| and that weighted error (at most max(w) m), the weights
// each at most 2^31 and their sum below 2^32. The scan runs in 32-bit lanes
// when max(w) m < 2^31, or when one kind of error outweighs all the errors
// of the other kind x can make and the equivalent small weights fit; in
// 64-bit lanes otherwise. Weights {1, 1} give the unweighted solve's answer.
Solution zeta_solve(const ZetaInput& table, std::span<const boolmat::Word> x, ZetaScratch& scratch,
                    const Weights& w, unsigned max_block_bits = kZetaBlockBits);
Solution zeta_solve_grouped(const ZetaInput& table, const PatternGroups& groups,
                            std::span<const boolmat::Word> x_in_order, ZetaScratch& scratch,
                            const Weights& w);

}  // namespace detail

}  // namespace bmf
