// The "zeta" family: the kernels of the subset-sum method, each with a
// portable and an AVX2 variant in one table. Table arithmetic is modulo the
// counter width, so both variants give the same bits and partial sums may
// wrap; the callers only read values that fit. Raw pointers, nothing checked.
//
// A per-vector count table s of 2^bits counters, zeroed by the caller, goes
// through three steps. Counting adds each pattern p not at s[p] alone but at
// every entry of p's aligned group of 8 whose low 3 bits contain p's ("lane
// supersets"): that is the transform over bits 0-2 done for free, and one
// vector add in AVX2. transform_low then does the bits up to 11 of each
// 2^12-entry sub-block while it is in L1, and finish_and_find_minimum the
// rest, combined with the solver's table; last_index_of finds where the
// minimum is. The counters are 16-bit when every count fits (fewer than 2^16
// set rows), which halves the work of the transform, and 32-bit otherwise.
//
// A weighted solve reads alpha s[t] - beta c[t] instead of 2 s[t] - c[t]
// (alpha = 2, beta = 1 is the unweighted combination): the weighted twins
// of the last two steps compute it in 32-bit lanes when every value fits a
// signed 32-bit number, and in 64-bit lanes otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace bmf::detail {

using boolmat::Word;

// Bits of the sub-blocks whose low transform runs while they sit in L1.
inline constexpr unsigned kL1BlockBits = 12;

// The weights of the combination alpha s[t] - beta c[t], each below 2^32.
struct ZetaCombine {
    std::uint64_t alpha = 2;
    std::uint64_t beta = 1;
};

// The smallest value of a table and the largest entry reaching it.
template <class Value>
struct ZetaMinimum {
    Value value;
    std::size_t index;
    bool operator==(const ZetaMinimum&) const = default;
};

// The kernels on count tables of counters of type Count (std::uint16_t or
// std::uint32_t).
template <class Count>
struct ZetaWidthKernels {
    // Adds 1 at the lane supersets of row_patterns[i] (each below 2^bits)
    // for every set bit i of x[0 .. words). O(ones(x)) scattered adds.
    void (*count_rows)(Count* s, unsigned bits, const Word* x, std::size_t words,
                       const std::uint64_t* row_patterns);
    // Adds 1 at the lane supersets of values[k] (each below 2^bits), k < n.
    void (*count_values)(Count* s, unsigned bits, const std::uint32_t* values, std::size_t n);
    // For each group g < groups, adds the number of set bits of x at bit
    // positions ends[g - 1] .. ends[g] - 1 (from 0 for g = 0) at the lane
    // supersets of patterns[g]; ends[groups - 1] <= 64 x words. Returns the
    // number of set bits before ends[groups - 1]. O(words + groups).
    std::uint64_t (*count_groups)(Count* s, unsigned bits, const Word* x, std::size_t words,
                                  const std::uint32_t* patterns, const std::size_t* ends,
                                  std::size_t groups);
    // For s filled by the counting kernels (bits 0-2 of the transform done),
    // applies bits 3 .. bits - 1 of the subset-sum transform to s (2^bits
    // entries, bits <= kL1BlockBits, so all in L1). O(bits x 2^bits).
    void (*transform_low)(Count* s, unsigned bits);
    // For s (2^bits entries) whose sub-blocks of 2^low entries have had
    // transform_low (low = bits when there is one sub-block): applies bits
    // low .. bits - 1 and returns the smallest v[t] = 2 s[t] - c[t] of the
    // result, read as a signed 32-bit number; the last sweep of the
    // transform computes v too. O((bits - low + 1) x 2^bits).
    std::int32_t (*finish_and_find_minimum)(Count* s, const std::uint32_t* c, unsigned bits,
                                            unsigned low);
    // The largest t < n with 2 s[t] - c[t], read as a signed 32-bit number,
    // equal to `value`, which must occur. Scans down from the top.
    std::size_t (*last_index_of)(const Count* s, const std::uint32_t* c, std::size_t n,
                                 std::int32_t value);

    // finish_and_find_minimum with v[t] = k.alpha s[t] - k.beta c[t],
    // computed modulo 2^32 and read as a signed 32-bit number (exact when
    // every v[t] of the finished table fits), which also locates the
    // minimum: returns it with the largest t reaching it. The last sweep
    // notes the groups of entries that reach the running minimum of their
    // lanes and only those are searched, so the cost does not depend on
    // where the minimum lies (a full scan from the top when too many groups
    // tie). O((bits - low + 1) x 2^bits).
    ZetaMinimum<std::int32_t> (*finish_and_locate_weighted_minimum)(Count* s,
                                                                    const std::uint32_t* c,
                                                                    unsigned bits, unsigned low,
                                                                    ZetaCombine k);
    // The largest t < n whose weighted v[t] (32-bit, as above) equals
    // `value`, which must occur. Scans down from the top.
    std::size_t (*last_weighted_index_of)(const Count* s, const std::uint32_t* c, std::size_t n,
                                          ZetaCombine k, std::int32_t value);
    // The same two in 64-bit lanes: v[t] modulo 2^64 read as signed, exact
    // for every table (s and c below 2^32, alpha and beta below 2^32).
    ZetaMinimum<std::int64_t> (*finish_and_locate_weighted_minimum_64)(Count* s,
                                                                       const std::uint32_t* c,
                                                                       unsigned bits, unsigned low,
                                                                       ZetaCombine k);
    std::size_t (*last_weighted_index_of_64)(const Count* s, const std::uint32_t* c, std::size_t n,
                                             ZetaCombine k, std::int64_t value);
};

struct ZetaKernels {
    // Subset sums in place over 2^bits 32-bit entries: d[t] becomes the sum
    // of the old d[p] over all p contained in t (p AND t = p). Blocks of 2^12
    // entries get their low 12 bits while they sit in L1. O(bits x 2^bits).
    void (*subset_sum_transform)(std::uint32_t* d, unsigned bits);
    ZetaWidthKernels<std::uint16_t> narrow;
    ZetaWidthKernels<std::uint32_t> wide;

    // The kernels on counters of type Count.
    template <class Count>
    const ZetaWidthKernels<Count>& width() const {
        if constexpr (sizeof(Count) == 2)
            return narrow;
        else
            return wide;
    }
};

// The table of `isa`.
const ZetaKernels& zeta_kernels(boolmat::Isa isa);

}  // namespace bmf::detail
