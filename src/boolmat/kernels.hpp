// Word-range kernels: the unchecked loops behind every BitVec and BitMatrix
// operation. They take raw pointers and counts, assume valid ranges (dst may
// be src itself but must not partly overlap it) and check nothing; the public
// operations check shapes and indices first. Each is a single pass, O(n) words, written so
// the compiler can vectorise it; variants for particular instruction sets
// belong here and nowhere else.
#pragma once

#include <cstddef>

#include "words.hpp"

namespace boolmat::kernels {

// dst[k] |= src[k] for k < n.
void or_words(Word* dst, const Word* src, std::size_t n);
// dst[k] &= src[k] for k < n.
void and_words(Word* dst, const Word* src, std::size_t n);
// dst[k] ^= src[k] for k < n.
void xor_words(Word* dst, const Word* src, std::size_t n);
// dst[k] &= ~src[k] for k < n.
void andnot_words(Word* dst, const Word* src, std::size_t n);
// dst[k] = ~src[k] for k < n.
void not_words(Word* dst, const Word* src, std::size_t n);
// Sets every bit of dst[0 .. n).
void fill_ones(Word* dst, std::size_t n);
// ANDs the last word of each of `rows` rows of `stride` words with `mask`.
void mask_row_ends(Word* words, std::size_t rows, std::size_t stride, Word mask);

// Number of set bits in p[0 .. n).
std::size_t popcount_words(const Word* p, std::size_t n);
// Number of set bits in a[k] ^ b[k] over k < n (the Hamming distance).
std::size_t xor_popcount(const Word* a, const Word* b, std::size_t n);
// Number of set bits in a[k] & ~b[k] over k < n.
std::size_t andnot_popcount(const Word* a, const Word* b, std::size_t n);

// ORs into out_row (b_stride words) row j of b, for every set bit j of
// a_row[0 .. a_words), lowest first; zero words of a_row are skipped.
// O(ones(a_row) x b_stride) word ORs plus one test per word of a_row.
void or_selected_rows(Word* out_row, const Word* a_row, std::size_t a_words,
                      const Word* b, std::size_t b_stride);

}  // namespace boolmat::kernels
