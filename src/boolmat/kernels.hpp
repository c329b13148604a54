// Word-range kernels: the unchecked loops behind every BitVec and BitMatrix
// operation. They take raw pointers and counts, assume valid ranges (dst may
// be src itself but must not partly overlap it) and check nothing; the public
// operations check shapes and indices first. Each is a single pass, O(n) words, written so
// the compiler can vectorise it; the population counts also have a variant
// for processors with POPCNT, picked by their dispatching plain name.
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

// Population counts, each with a `_portable` variant and an `_avx2` variant
// that uses the POPCNT instruction; the plain name dispatches.
// Number of set bits in p[0 .. n).
std::size_t popcount_words(const Word* p, std::size_t n);
std::size_t popcount_words_portable(const Word* p, std::size_t n);
std::size_t popcount_words_avx2(const Word* p, std::size_t n);
// Number of set bits in a[k] ^ b[k] over k < n (the Hamming distance).
std::size_t xor_popcount(const Word* a, const Word* b, std::size_t n);
std::size_t xor_popcount_portable(const Word* a, const Word* b, std::size_t n);
std::size_t xor_popcount_avx2(const Word* a, const Word* b, std::size_t n);
// Number of set bits in a[k] & ~b[k] over k < n.
std::size_t andnot_popcount(const Word* a, const Word* b, std::size_t n);
std::size_t andnot_popcount_portable(const Word* a, const Word* b, std::size_t n);
std::size_t andnot_popcount_avx2(const Word* a, const Word* b, std::size_t n);
// Number of set bits in x[k] ^ (a[k] | b[k]) over k < n: the distance from x
// to the OR of a and b, without building that OR.
std::size_t or_xor_popcount(const Word* x, const Word* a, const Word* b, std::size_t n);
std::size_t or_xor_popcount_portable(const Word* x, const Word* a, const Word* b, std::size_t n);
std::size_t or_xor_popcount_avx2(const Word* x, const Word* a, const Word* b, std::size_t n);

}  // namespace boolmat::kernels
