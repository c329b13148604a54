// Cells as bytes: packing rows of one-byte cells (NumPy's bool layout) into
// words and back. Unchecked kernels over raw ranges, through
// default_kernels(); the converters check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boolmat/words.hpp"

namespace boolmat {

// Packs n adjacent cell bytes into ceil(n/64) words: bit j is set exactly
// when byte j equals 1; the bits beyond n in the last word are 0.
void pack_bytes(const std::uint8_t* cells, std::size_t n, Word* out);

// Packs n adjacent bytes into ceil(n/64) words: bit j is set exactly when
// byte j is not 0 (NumPy's truth of a bool byte); the bits beyond n are 0.
void pack_nonzero_bytes(const std::uint8_t* bytes, std::size_t n, Word* out);

// Writes the first n bits of `words` as n bytes 0/1.
void unpack_bytes(const Word* words, std::size_t n, std::uint8_t* out);

}  // namespace boolmat
