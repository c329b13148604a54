// The byte-packing family: rows of one-byte cells (NumPy's bool layout)
// packed into words and back, 16 (SSE2) or 32 (AVX2) bytes per step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace boolmat::detail {

struct ByteKernels {
    // Packs n cell bytes: bit j set exactly when byte j equals 1.
    void (*pack_bytes)(const std::uint8_t* cells, std::size_t n, Word* out);
    // Packs n bytes: bit j set exactly when byte j is not 0.
    void (*pack_nonzero_bytes)(const std::uint8_t* bytes, std::size_t n, Word* out);
    // Writes the first n bits of `words` as n bytes 0/1.
    void (*unpack_bytes)(const Word* words, std::size_t n, std::uint8_t* out);
};

// The table of `isa`.
const ByteKernels& byte_kernels(Isa isa);

}  // namespace boolmat::detail
