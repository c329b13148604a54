// The population-count family: one pass over word ranges, one hardware
// population count per word; the AVX2 variant is compiled with POPCNT.
#pragma once

#include <cstddef>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace boolmat::detail {

struct PopcountKernels {
    // Number of set bits in p[0 .. n).
    std::size_t (*popcount)(const Word* p, std::size_t n);
    // Number of set bits in a[k] ^ b[k] over k < n.
    std::size_t (*xor_popcount)(const Word* a, const Word* b, std::size_t n);
    // Number of set bits in a[k] & ~b[k] over k < n.
    std::size_t (*andnot_popcount)(const Word* a, const Word* b, std::size_t n);
    // Number of set bits in x[k] ^ (a[k] | b[k]) over k < n.
    std::size_t (*or_xor_popcount)(const Word* x, const Word* a, const Word* b, std::size_t n);
    // Number of set bits in x[k] ^ (rows[0][k] | ... | rows[count - 1][k])
    // over k < n, the OR never stored: one pass, count + 1 loads per word.
    std::size_t (*or_rows_xor_popcount)(const Word* x, const Word* const* rows, std::size_t count,
                                        std::size_t n);
};

// The table of `isa`.
const PopcountKernels& popcount_kernels(Isa isa);
// The table of default_kernels(), for the operations given no table (the
// counts of BitVec and BitMatrix).
const PopcountKernels& default_counts();

}  // namespace boolmat::detail
