// Vectors of 64-bit words for the kernels written once for both variants:
// Sse2Words (2 words, every x86-64 processor) and Avx2Words (4 words). Both
// offer the same operations, so a kernel template inlined into a `_portable`
// or an `_avx2` wrapper gets one or the other. The AVX2 operations cannot be
// forced inline into a template compiled for every processor; they are
// inlined once the template sits inside its `_avx2` wrapper, and
// scripts/no_avx2.sh checks that no AVX2 code lives outside such a function.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "boolmat/detail/bits.hpp"
#include "boolmat/words.hpp"

// GCC notes that a call passing a 256-bit vector from code compiled for
// every processor would use another ABI; such calls only occur in the
// templates' generic compile and are inlined into `_avx2` wrappers, so no
// code ever makes one.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace boolmat::detail {

struct Sse2Words {
    static constexpr std::size_t kWords = 2;
    using Vec = __m128i;

    static BOOLMAT_INLINE Vec zero() { return _mm_setzero_si128(); }
    static BOOLMAT_INLINE Vec splat(Word w) { return _mm_set1_epi64x(static_cast<long long>(w)); }
    static BOOLMAT_INLINE Vec load(const Word* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static BOOLMAT_INLINE void store(Word* p, Vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    // Stores around the caches; p is aligned to the vector's size.
    static BOOLMAT_INLINE void stream(Word* p, Vec v) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
    }
    // Position of the lowest set bit of w, any value below 64 when w is 0;
    // branch-free (the top bit ORed in leaves BSF no zero case).
    static BOOLMAT_INLINE std::size_t lowest_bit(Word w) {
        return static_cast<std::size_t>(__builtin_ctzll(w | (Word{1} << 63)));
    }
    static BOOLMAT_INLINE Vec bit_or(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static BOOLMAT_INLINE Vec bit_and(Vec a, Vec b) { return _mm_and_si128(a, b); }
    static BOOLMAT_INLINE Vec bit_xor(Vec a, Vec b) { return _mm_xor_si128(a, b); }
    template <int J>
    static BOOLMAT_INLINE Vec shift_left(Vec v) {
        return _mm_slli_epi64(v, J);
    }
    template <int J>
    static BOOLMAT_INLINE Vec shift_right(Vec v) {
        return _mm_srli_epi64(v, J);
    }
    // True when every bit of v is set.
    static BOOLMAT_INLINE bool all_ones(Vec v) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(-1))) == 0xffff;
    }
    // Whether exchange_halves does the exchange of J-bit halves.
    template <int J>
    static constexpr bool kBlends = false;
    template <int J>
    static void exchange_halves(Vec&, Vec&) {}
    // Transposes the 2 x 2 words of v[0], v[1] (word l of v[k] becomes word
    // k of v[l]).
    static BOOLMAT_INLINE void transpose_words(Vec* v) {
        const __m128i lo = _mm_unpacklo_epi64(v[0], v[1]);
        v[1] = _mm_unpackhi_epi64(v[0], v[1]);
        v[0] = lo;
    }
};

struct Avx2Words {
    static constexpr std::size_t kWords = 4;
    using Vec = __m256i;

    static BOOLMAT_TARGET_AVX2 Vec zero() { return _mm256_setzero_si256(); }
    static BOOLMAT_TARGET_AVX2 Vec splat(Word w) {
        return _mm256_set1_epi64x(static_cast<long long>(w));
    }
    static BOOLMAT_TARGET_AVX2 Vec load(const Word* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static BOOLMAT_TARGET_AVX2 void store(Word* p, Vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    static BOOLMAT_TARGET_AVX2 void stream(Word* p, Vec v) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    }
    // Position of the lowest set bit of w, 64 when w is 0 (TZCNT, which the
    // compiler cannot see through, so it adds no zero case of its own).
    static BOOLMAT_TARGET_AVX2 std::size_t lowest_bit(Word w) { return _tzcnt_u64(w); }
    static BOOLMAT_TARGET_AVX2 Vec bit_or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static BOOLMAT_TARGET_AVX2 Vec bit_and(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    static BOOLMAT_TARGET_AVX2 Vec bit_xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
    template <int J>
    static BOOLMAT_TARGET_AVX2 Vec shift_left(Vec v) {
        return _mm256_slli_epi64(v, J);
    }
    template <int J>
    static BOOLMAT_TARGET_AVX2 Vec shift_right(Vec v) {
        return _mm256_srli_epi64(v, J);
    }
    static BOOLMAT_TARGET_AVX2 bool all_ones(Vec v) {
        return _mm256_testc_si256(v, _mm256_set1_epi64x(-1)) != 0;
    }
    // Whether exchange_halves does the exchange of J-bit halves.
    template <int J>
    static constexpr bool kBlends = J == 32 || J == 16;
    // Swaps the upper J-bit half of every 2J-bit group of a with the lower
    // half of the same group of b, J = 32 or 16, by blending shifted words.
    template <int J>
    static BOOLMAT_TARGET_AVX2 void exchange_halves(Vec& a, Vec& b) {
        if constexpr (J == 32) {
            const __m256i na = _mm256_blend_epi32(a, _mm256_slli_epi64(b, 32), 0xAA);
            b = _mm256_blend_epi32(_mm256_srli_epi64(a, 32), b, 0xAA);
            a = na;
        } else {
            const __m256i na = _mm256_blend_epi16(a, _mm256_slli_epi32(b, 16), 0xAA);
            b = _mm256_blend_epi16(_mm256_srli_epi32(a, 16), b, 0xAA);
            a = na;
        }
    }
    // Transposes the 4 x 4 words of v[0 .. 3].
    static BOOLMAT_TARGET_AVX2 void transpose_words(Vec* v) {
        const __m256i a = _mm256_unpacklo_epi64(v[0], v[1]);  // 00 10 02 12
        const __m256i b = _mm256_unpackhi_epi64(v[0], v[1]);  // 01 11 03 13
        const __m256i c = _mm256_unpacklo_epi64(v[2], v[3]);  // 20 30 22 32
        const __m256i d = _mm256_unpackhi_epi64(v[2], v[3]);  // 21 31 23 33
        v[0] = _mm256_permute2x128_si256(a, c, 0x20);         // 00 10 20 30
        v[1] = _mm256_permute2x128_si256(b, d, 0x20);         // 01 11 21 31
        v[2] = _mm256_permute2x128_si256(a, c, 0x31);         // 02 12 22 32
        v[3] = _mm256_permute2x128_si256(b, d, 0x31);         // 03 13 23 33
    }
};

}  // namespace boolmat::detail
