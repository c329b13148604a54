// Helpers shared by the kernels of every family: the function attributes of
// the AVX2 variants and of the loop bodies written once for both variants,
// and the walk over the set bits of a word range.
#pragma once

#include <bit>
#include <cstddef>

#include "boolmat/words.hpp"

// Function attribute of every `_avx2` function: the 256-bit integer
// instructions plus POPCNT, TZCNT (BMI1) and BLSR, which Isa::Avx2 requires.
#define BOOLMAT_TARGET_AVX2 __attribute__((target("avx2,popcnt,bmi,bmi2")))
// Function attribute of the helpers that hold a loop written once: inlined
// into each per-ISA wrapper, they are compiled for the wrapper's target.
#define BOOLMAT_INLINE inline __attribute__((always_inline))

namespace boolmat::detail {

// Calls f(j) for every set bit j of words[0 .. n), lowest first, where j
// counts from bit 0 of words[0]; zero words cost one test each.
template <class F>
BOOLMAT_INLINE void for_each_set_bit(const Word* words, std::size_t n, F&& f) {
    for (std::size_t k = 0; k < n; ++k)
        for (Word bits = words[k]; bits != 0; bits &= bits - 1)
            f(k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits)));
}

}  // namespace boolmat::detail
