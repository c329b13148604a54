// The transposition family: a packed matrix into the packed words of its
// transpose, by 64 x 64 blocks exchanged in vector lanes.
#pragma once

#include <cstddef>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace boolmat::detail {

// A transposition job: A has a_rows rows of a_cols cells, a_stride words
// apart; T has a_cols rows of t_stride = words_for(a_rows) words and every
// one of its words is written. With `stream`, T starts on a 64-byte
// boundary, t_stride is a multiple of 8 and T is written around the caches.
struct TransposeOperands {
    const Word* a;
    std::size_t a_rows;
    std::size_t a_cols;
    std::size_t a_stride;
    Word* t;
    std::size_t t_stride;
    bool stream;
};

struct TransposeKernels {
    // Writes T = A^T: O(blocks) exchanges of 6 x 32 word updates each.
    void (*transpose)(const TransposeOperands& o);
};

// The table of `isa`.
const TransposeKernels& transpose_kernels(Isa isa);

}  // namespace boolmat::detail
