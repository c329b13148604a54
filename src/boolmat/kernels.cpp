#include "kernels.hpp"

#include <bit>
#include <cstring>

#include "cpu.hpp"

namespace boolmat::kernels {

void or_words(Word* dst, const Word* src, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] |= src[k];
}

void and_words(Word* dst, const Word* src, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] &= src[k];
}

void xor_words(Word* dst, const Word* src, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] ^= src[k];
}

void andnot_words(Word* dst, const Word* src, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] &= ~src[k];
}

void not_words(Word* dst, const Word* src, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = ~src[k];
}

void fill_ones(Word* dst, std::size_t n) {
    if (n != 0) std::memset(dst, 0xFF, n * sizeof(Word));
}

void mask_row_ends(Word* words, std::size_t rows, std::size_t stride, Word mask) {
    Word* last = words + (stride - 1);
    for (std::size_t i = 0; i < rows; ++i) last[i * stride] &= mask;
}

// The popcount family: one loop shape, expanded twice, with the word
// expression as a macro argument so that the AVX2 copy gets the POPCNT
// instruction and the portable copy the generic bit count.
#define BOOLMAT_POPCOUNT_LOOP(EXPR)                                         \
    std::size_t total = 0;                                                  \
    for (std::size_t k = 0; k < n; ++k)                                     \
        total += static_cast<std::size_t>(std::popcount(Word{EXPR}));       \
    return total

std::size_t popcount_words_portable(const Word* p, std::size_t n) { BOOLMAT_POPCOUNT_LOOP(p[k]); }
std::size_t xor_popcount_portable(const Word* a, const Word* b, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(a[k] ^ b[k]);
}
std::size_t andnot_popcount_portable(const Word* a, const Word* b, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(a[k] & ~b[k]);
}
std::size_t or_xor_popcount_portable(const Word* x, const Word* a, const Word* b, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(x[k] ^ (a[k] | b[k]));
}

BOOLMAT_TARGET_AVX2 std::size_t popcount_words_avx2(const Word* p, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(p[k]);
}
BOOLMAT_TARGET_AVX2 std::size_t xor_popcount_avx2(const Word* a, const Word* b, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(a[k] ^ b[k]);
}
BOOLMAT_TARGET_AVX2 std::size_t andnot_popcount_avx2(const Word* a, const Word* b, std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(a[k] & ~b[k]);
}
BOOLMAT_TARGET_AVX2 std::size_t or_xor_popcount_avx2(const Word* x, const Word* a, const Word* b,
                                                     std::size_t n) {
    BOOLMAT_POPCOUNT_LOOP(x[k] ^ (a[k] | b[k]));
}

#undef BOOLMAT_POPCOUNT_LOOP

std::size_t popcount_words(const Word* p, std::size_t n) {
    return cpu::use_avx2() ? popcount_words_avx2(p, n) : popcount_words_portable(p, n);
}

std::size_t xor_popcount(const Word* a, const Word* b, std::size_t n) {
    return cpu::use_avx2() ? xor_popcount_avx2(a, b, n) : xor_popcount_portable(a, b, n);
}

std::size_t andnot_popcount(const Word* a, const Word* b, std::size_t n) {
    return cpu::use_avx2() ? andnot_popcount_avx2(a, b, n) : andnot_popcount_portable(a, b, n);
}

std::size_t or_xor_popcount(const Word* x, const Word* a, const Word* b, std::size_t n) {
    return cpu::use_avx2() ? or_xor_popcount_avx2(x, a, b, n) : or_xor_popcount_portable(x, a, b, n);
}

}  // namespace boolmat::kernels
