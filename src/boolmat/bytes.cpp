// Cells as bytes. Packing compares 16 (SSE2, every x86-64 processor) or 32
// (AVX2) bytes at a time with 1 and gathers the comparison's top bits;
// unpacking broadcasts a group of bits over the lanes and tests one bit per
// lane. Both make one pass over the bytes and are bound by memory bandwidth.
#include "bytes.hpp"

#include <bit>
#include <cstring>

#include <immintrin.h>

#include "cpu.hpp"

namespace boolmat {

static_assert(std::endian::native == std::endian::little, "cells are gathered into little-endian words");

namespace {

// Bits of the bytes equal to 1 among `count` <= 64 bytes, byte k giving bit k.
Word pack_tail(const std::uint8_t* cells, std::size_t count) {
    Word word = 0;
    for (std::size_t k = 0; k < count; ++k) word |= Word{cells[k] == 1} << k;
    return word;
}

Word pack_nonzero_tail(const std::uint8_t* bytes, std::size_t count) {
    Word word = 0;
    for (std::size_t k = 0; k < count; ++k) word |= Word{bytes[k] != 0} << k;
    return word;
}

void unpack_tail(const Word* words, std::size_t from, std::size_t n, std::uint8_t* out) {
    for (std::size_t j = from; j < n; ++j) out[j] = static_cast<std::uint8_t>((words[j / 64] >> (j % 64)) & 1);
}

}  // namespace

void pack_bytes_portable(const std::uint8_t* cells, std::size_t n, Word* out) {
    const __m128i one = _mm_set1_epi8(1);
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        Word word = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + w * kWordBits + 16 * k));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, one)));
            word |= Word{mask & 0xffffu} << (16 * k);
        }
        out[w] = word;
    }
    if (n % kWordBits != 0) out[full] = pack_tail(cells + full * kWordBits, n % kWordBits);
}

BOOLMAT_TARGET_AVX2 void pack_bytes_avx2(const std::uint8_t* cells, std::size_t n, Word* out) {
    const __m256i one = _mm256_set1_epi8(1);
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(cells + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), one)));
        const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), one)));
        out[w] = Word{lo} | (Word{hi} << 32);
    }
    if (n % kWordBits != 0) out[full] = pack_tail(cells + full * kWordBits, n % kWordBits);
}

// The same with the comparison against 0 inverted: the bytes that are not 0.
void pack_nonzero_bytes_portable(const std::uint8_t* bytes, std::size_t n, Word* out) {
    const __m128i zero = _mm_setzero_si128();
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        Word word = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + w * kWordBits + 16 * k));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
            word |= Word{~mask & 0xffffu} << (16 * k);
        }
        out[w] = word;
    }
    if (n % kWordBits != 0) out[full] = pack_nonzero_tail(bytes + full * kWordBits, n % kWordBits);
}

BOOLMAT_TARGET_AVX2 void pack_nonzero_bytes_avx2(const std::uint8_t* bytes, std::size_t n, Word* out) {
    const __m256i zero = _mm256_setzero_si256();
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(bytes + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), zero)));
        const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), zero)));
        out[w] = ~(Word{lo} | (Word{hi} << 32));
    }
    if (n % kWordBits != 0) out[full] = pack_nonzero_tail(bytes + full * kWordBits, n % kWordBits);
}

void unpack_bytes_portable(const Word* words, std::size_t n, std::uint8_t* out) {
    // 16 cells per step: each byte of bits broadcast over 8 lanes.
    const __m128i bit = _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
    const __m128i one = _mm_set1_epi8(1);
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        __m128i v = _mm_cvtsi32_si128(static_cast<int>((words[j / 64] >> (j % 64)) & 0xffffu));
        v = _mm_unpacklo_epi8(v, v);
        v = _mm_unpacklo_epi16(v, v);
        v = _mm_unpacklo_epi32(v, v);
        v = _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(v, bit), bit), one);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), v);
    }
    unpack_tail(words, j, n, out);
}

BOOLMAT_TARGET_AVX2 void unpack_bytes_avx2(const Word* words, std::size_t n, std::uint8_t* out) {
    // 32 cells per step: byte k of the 32 bits spread over lanes 8k..8k+7.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i one = _mm256_set1_epi8(1);
    std::size_t j = 0;
    for (; j + 32 <= n; j += 32) {
        const auto bits = static_cast<std::uint32_t>(words[j / 64] >> (j % 64));
        __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
        v = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, bit), bit), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), v);
    }
    unpack_tail(words, j, n, out);
}

void pack_bytes(const std::uint8_t* cells, std::size_t n, Word* out) {
    cpu::use_avx2() ? pack_bytes_avx2(cells, n, out) : pack_bytes_portable(cells, n, out);
}

void pack_nonzero_bytes(const std::uint8_t* bytes, std::size_t n, Word* out) {
    cpu::use_avx2() ? pack_nonzero_bytes_avx2(bytes, n, out) : pack_nonzero_bytes_portable(bytes, n, out);
}

void unpack_bytes(const Word* words, std::size_t n, std::uint8_t* out) {
    cpu::use_avx2() ? unpack_bytes_avx2(words, n, out) : unpack_bytes_portable(words, n, out);
}

}  // namespace boolmat
