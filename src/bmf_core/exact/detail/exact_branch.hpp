// Kernels of the exact search, each with a `_portable` and an `_avx2`
// variant (the latter for the POPCNT instruction), gathered in one table per
// instruction set that bmf::Kernels carries to the search. They read one
// vector's problem laid out as pattern sets, take raw pointers and check
// nothing.
//
// A pattern's gain is ones - zeros of x among its rows, or b * ones -
// a * zeros when a false one costs a and a false zero b, counting observed
// rows only under a mask: covering it lowers the error by its gain. The
// positive and the negative patterns are two bit sets over the factor's
// patterns (sorted by lowest column), and |gain| is bit-sliced: plane b
// holds bit b of every |gain|, so the gain of any set is a few population
// counts per word.
#pragma once

#include "boolmat/cpu.hpp"

#include <cstddef>
#include <cstdint>

#include "boolmat/words.hpp"

namespace bmf::detail::exact {

using boolmat::Word;

// Columns a combination can have.
inline constexpr unsigned kMaxColumns = 64;

// One vector's problem.
struct Problem {
    unsigned r;
    std::size_t words;          // words of one pattern set
    const Word* cover;          // r rows of `words`: row c holds the patterns containing c
    const std::uint32_t* ends;  // ends[c]: patterns whose lowest column is at most c
    std::uint64_t allowed;      // columns that an answer may use
    const Word* pos;            // patterns of positive gain
    const Word* neg;            // patterns of negative gain
    const Word* planes;         // word k of plane b at planes[k * bits + b]
    unsigned bits;              // planes: the bit length of the largest |gain|
    std::int64_t base;          // the error of h = 0: ones(x), or b times the observed ones
};

// A combination and its error, ordered by error, then by h.
struct Incumbent {
    std::uint64_t h;
    std::int64_t error;
};

// Words of the per-level sets that branch_and_bound needs for `p`.
std::size_t level_words(const Problem& p);

// Adds, while one strictly lowers the error, the allowed column that lowers
// it most (the lowest on ties), and returns the combination and its error.
// `work` holds 2 * p.words words. O(r^2 * words * bits) word operations.
Incumbent greedy_portable(const Problem& p, Word* work);
Incumbent greedy_avx2(const Problem& p, Word* work);

// How a branch and bound ended.
struct Outcome {
    std::uint64_t nodes;  // nodes visited
    bool finished;        // false when the budget ran out with nodes left to visit
};

// Depth-first branch and bound from `best`, which it improves to the least
// (error, h) pair, the lowest optimal combination; `levels` holds
// level_words(p) words. Visits at most `budget` nodes; when it stops early,
// best is the best pair met. O(nodes * words * bits) word operations.
Outcome branch_and_bound_portable(const Problem& p, Incumbent& best, Word* levels,
                                  std::uint64_t budget);
Outcome branch_and_bound_avx2(const Problem& p, Incumbent& best, Word* levels,
                              std::uint64_t budget);

// The entry points of one variant: greedy and branch_and_bound as above.
struct ExactKernels {
    Incumbent (*greedy)(const Problem& p, Word* work);
    Outcome (*branch_and_bound)(const Problem& p, Incumbent& best, Word* levels,
                                std::uint64_t budget);
};

// The table of `isa`.
const ExactKernels& exact_kernels(boolmat::Isa isa);

}  // namespace bmf::detail::exact
