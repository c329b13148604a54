// Cells as bytes. Packing compares a vector of bytes with 1 (or with 0,
// inverted) and gathers the comparison's top bits; unpacking broadcasts a
// group of bits over the byte lanes and tests one bit per lane. The loops
// are written once over a vector of 16 (SSE2, every x86-64 processor) or
// 32 (AVX2) bytes; one pass over the bytes, bound by memory bandwidth.
#include "boolmat/bytes.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>

#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/bytes.hpp"
#include "boolmat/kernels.hpp"

// As in boolmat/detail/lanes.hpp: the 256-bit calls of the generic compile
// of the templates below are all inlined into `_avx2` wrappers.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace boolmat {

static_assert(std::endian::native == std::endian::little,
              "cells are gathered into little-endian words");

namespace {

// A byte-comparison rule: a cell is set when (byte == target) != invert.
struct Rule {
    std::uint8_t target;
    bool invert;
};
constexpr Rule kEqualsOne{1, false};
constexpr Rule kNonZero{0, true};

// 16 byte lanes, SSE2.
struct Sse2Bytes {
    static constexpr std::size_t kLanes = 16;
    using Vec = __m128i;

    static BOOLMAT_INLINE Vec splat(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
    // Bit k set when byte k of p equals the target's.
    static BOOLMAT_INLINE Word equal_bits(const std::uint8_t* p, Vec target) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, target))) & 0xffffu;
    }
    // Byte k of the result is bit k of `bits`, as 0 or 1.
    static BOOLMAT_INLINE void spread(Word bits, std::uint8_t* out) {
        const __m128i bit =
            _mm_set_epi8(-128, 64, 32, 16, 8, 4, 2, 1, -128, 64, 32, 16, 8, 4, 2, 1);
        __m128i v = _mm_cvtsi32_si128(static_cast<int>(bits & 0xffffu));
        v = _mm_unpacklo_epi8(v, v);
        v = _mm_unpacklo_epi16(v, v);
        v = _mm_unpacklo_epi32(v, v);
        v = _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(v, bit), bit), _mm_set1_epi8(1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    }
};

// 32 byte lanes, AVX2.
struct Avx2Bytes {
    static constexpr std::size_t kLanes = 32;
    using Vec = __m256i;

    static BOOLMAT_TARGET_AVX2 Vec splat(std::uint8_t b) {
        return _mm256_set1_epi8(static_cast<char>(b));
    }
    static BOOLMAT_TARGET_AVX2 Word equal_bits(const std::uint8_t* p, Vec target) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, target)));
    }
    static BOOLMAT_TARGET_AVX2 void spread(Word bits, std::uint8_t* out) {
        // Byte k of the 32 bits goes to lanes 8k .. 8k + 7.
        const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                                2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
        v = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, bit), bit), _mm256_set1_epi8(1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    }
};

// Packs n bytes under the rule, V::kLanes compared per step.
template <class V>
BOOLMAT_INLINE void pack_with(const std::uint8_t* bytes, std::size_t n, Word* out, Rule rule) {
    const typename V::Vec target = V::splat(rule.target);
    const Word flip = rule.invert ? ~Word{0} : 0;
    const std::size_t full = n / kWordBits;
    for (std::size_t w = 0; w < full; ++w) {
        Word word = 0;
        for (std::size_t q = 0; q < kWordBits; q += V::kLanes)
            word |= V::equal_bits(bytes + w * kWordBits + q, target) << q;
        out[w] = word ^ flip;
    }
    if (n % kWordBits == 0) return;
    const std::uint8_t* tail = bytes + full * kWordBits;
    Word word = 0;
    for (std::size_t k = 0; k < n % kWordBits; ++k)
        word |= Word{(tail[k] == rule.target) != rule.invert} << k;
    out[full] = word;
}

// Unpacks n bits, V::kLanes per step.
template <class V>
BOOLMAT_INLINE void unpack_with(const Word* words, std::size_t n, std::uint8_t* out) {
    std::size_t j = 0;
    for (; j + V::kLanes <= n; j += V::kLanes) V::spread(words[j / 64] >> (j % 64), out + j);
    for (; j < n; ++j) out[j] = static_cast<std::uint8_t>((words[j / 64] >> (j % 64)) & 1);
}

void pack_bytes_portable(const std::uint8_t* cells, std::size_t n, Word* out) {
    pack_with<Sse2Bytes>(cells, n, out, kEqualsOne);
}
BOOLMAT_TARGET_AVX2 void pack_bytes_avx2(const std::uint8_t* cells, std::size_t n, Word* out) {
    pack_with<Avx2Bytes>(cells, n, out, kEqualsOne);
}

void pack_nonzero_bytes_portable(const std::uint8_t* bytes, std::size_t n, Word* out) {
    pack_with<Sse2Bytes>(bytes, n, out, kNonZero);
}
BOOLMAT_TARGET_AVX2 void pack_nonzero_bytes_avx2(const std::uint8_t* bytes, std::size_t n,
                                                 Word* out) {
    pack_with<Avx2Bytes>(bytes, n, out, kNonZero);
}

void unpack_bytes_portable(const Word* words, std::size_t n, std::uint8_t* out) {
    unpack_with<Sse2Bytes>(words, n, out);
}
BOOLMAT_TARGET_AVX2 void unpack_bytes_avx2(const Word* words, std::size_t n, std::uint8_t* out) {
    unpack_with<Avx2Bytes>(words, n, out);
}

constexpr detail::ByteKernels kPortable{pack_bytes_portable, pack_nonzero_bytes_portable,
                                        unpack_bytes_portable};
constexpr detail::ByteKernels kAvx2{pack_bytes_avx2, pack_nonzero_bytes_avx2, unpack_bytes_avx2};

}  // namespace

const detail::ByteKernels& detail::byte_kernels(Isa isa) {
    return isa == Isa::Avx2 ? kAvx2 : kPortable;
}

void pack_bytes(const std::uint8_t* cells, std::size_t n, Word* out) {
    default_kernels().bytes->pack_bytes(cells, n, out);
}

void pack_nonzero_bytes(const std::uint8_t* bytes, std::size_t n, Word* out) {
    default_kernels().bytes->pack_nonzero_bytes(bytes, n, out);
}

void unpack_bytes(const Word* words, std::size_t n, std::uint8_t* out) {
    default_kernels().bytes->unpack_bytes(words, n, out);
}

}  // namespace boolmat
