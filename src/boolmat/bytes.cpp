// Cells as bytes. Packing compares 16 (SSE2, every x86-64 processor) or 32
// (AVX2) bytes at a time with 1 (or with 0, inverted) and gathers the
// comparison's top bits;
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

// A byte-comparison rule: a cell is set when (byte == target) != invert.
struct Rule {
    std::uint8_t target;
    bool invert;
};
constexpr Rule kEqualsOne{1, false};
constexpr Rule kNonZero{0, true};

// The bits of `count` <= 64 bytes under the rule, byte k giving bit k.
Word pack_tail(const std::uint8_t* bytes, std::size_t count, Rule rule) {
    Word word = 0;
    for (std::size_t k = 0; k < count; ++k) word |= Word{(bytes[k] == rule.target) != rule.invert} << k;
    return word;
}

void unpack_tail(const Word* words, std::size_t from, std::size_t n, std::uint8_t* out) {
    for (std::size_t j = from; j < n; ++j) out[j] = static_cast<std::uint8_t>((words[j / 64] >> (j % 64)) & 1);
}

// Packs n bytes under the rule, 16 compared per step.
void pack_portable(const std::uint8_t* bytes, std::size_t n, Word* out, Rule rule) {
    const __m128i target = _mm_set1_epi8(static_cast<char>(rule.target));
    const Word flip = rule.invert ? ~Word{0} : 0;
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        Word word = 0;
        for (unsigned k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + w * kWordBits + 16 * k));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, target)));
            word |= Word{mask & 0xffffu} << (16 * k);
        }
        out[w] = word ^ flip;
    }
    if (n % kWordBits != 0) out[full] = pack_tail(bytes + full * kWordBits, n % kWordBits, rule);
}

// Packs n bytes under the rule, 32 compared per step.
BOOLMAT_TARGET_AVX2 void pack_avx2(const std::uint8_t* bytes, std::size_t n, Word* out, Rule rule) {
    const __m256i target = _mm256_set1_epi8(static_cast<char>(rule.target));
    const Word flip = rule.invert ? ~Word{0} : 0;
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(bytes + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), target)));
        const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), target)));
        out[w] = (Word{lo} | (Word{hi} << 32)) ^ flip;
    }
    if (n % kWordBits != 0) out[full] = pack_tail(bytes + full * kWordBits, n % kWordBits, rule);
}

}  // namespace

void pack_bytes_portable(const std::uint8_t* cells, std::size_t n, Word* out) {
    pack_portable(cells, n, out, kEqualsOne);
}

void pack_bytes_avx2(const std::uint8_t* cells, std::size_t n, Word* out) { pack_avx2(cells, n, out, kEqualsOne); }

void pack_nonzero_bytes_portable(const std::uint8_t* bytes, std::size_t n, Word* out) {
    pack_portable(bytes, n, out, kNonZero);
}

void pack_nonzero_bytes_avx2(const std::uint8_t* bytes, std::size_t n, Word* out) {
    pack_avx2(bytes, n, out, kNonZero);
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
