#include "kernels.hpp"

#include <immintrin.h>

#include <algorithm>
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

namespace {

// Bits of 8 adjacent bytes that are not 0, byte i giving bit i.
inline Word pack8_nonzero(const std::uint8_t* bytes) {
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::uint64_t x;
    std::memcpy(&x, bytes, 8);
    // Bit 8i set when byte i is not 0, then bit 8i moved to bit 56 + i (no
    // two partial products of the multiplication meet).
    const std::uint64_t nonzero = ((((x & kLow7) + kLow7) | x) & kHigh) >> 7;
    return (nonzero * 0x0102040810204080ull) >> 56;
}

// Word w of the packed form of src[0 .. n), 8 bytes per step.
inline Word pack_word_portable(const std::uint8_t* src, std::size_t n, std::size_t w) {
    const std::size_t begin = w * kWordBits;
    const std::size_t width = std::min(kWordBits, n - begin);
    Word word = 0;
    std::size_t j = 0;
    for (; j + 8 <= width; j += 8) word |= pack8_nonzero(src + begin + j) << j;
    for (; j < width; ++j) word |= Word{src[begin + j] != 0} << j;
    return word;
}

}  // namespace

void pack_nonzero_bytes_portable(const std::uint8_t* src, std::size_t n, Word* dst) {
    for (std::size_t w = 0; w < words_for(n); ++w) dst[w] = pack_word_portable(src, n, w);
}

BOOLMAT_TARGET_AVX2 void pack_nonzero_bytes_avx2(const std::uint8_t* src, std::size_t n, Word* dst) {
    const __m256i zero = _mm256_setzero_si256();
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(src + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), zero)));
        const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), zero)));
        dst[w] = ~(Word{lo} | Word{hi} << 32);
    }
    if (full != words_for(n)) dst[full] = pack_word_portable(src, n, full);
}

void pack_nonzero_bytes(const std::uint8_t* src, std::size_t n, Word* dst) {
    if (cpu::use_avx2())
        pack_nonzero_bytes_avx2(src, n, dst);
    else
        pack_nonzero_bytes_portable(src, n, dst);
}

}  // namespace boolmat::kernels
