// The word-range kernels. The logical ones are single loops the compiler
// vectorises for every x86-64 processor; the population counts are summed
// by loops written once, whose AVX2 wrappers get the POPCNT instruction
// and whose portable wrappers get the generic bit count: O(n) words each,
// O(count x n) loads for the OR of `count` rows.
#include "boolmat/kernels.hpp"

#include <bit>
#include <cstring>

#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/lanes.hpp"
#include "boolmat/detail/popcount.hpp"

namespace boolmat {

namespace kernels {

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

}  // namespace kernels

namespace detail {

namespace {

// The sum of popcount(word(k)) over k < n.
template <class WordAt>
BOOLMAT_INLINE std::size_t count_set_bits(std::size_t n, WordAt word) {
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k) total += static_cast<std::size_t>(std::popcount(word(k)));
    return total;
}

// The four counts over the words their arguments give, written once.
BOOLMAT_INLINE std::size_t plain_count(const Word* p, std::size_t n) {
    return count_set_bits(n, [p](std::size_t k) { return p[k]; });
}
BOOLMAT_INLINE std::size_t xor_count(const Word* a, const Word* b, std::size_t n) {
    return count_set_bits(n, [a, b](std::size_t k) { return a[k] ^ b[k]; });
}
BOOLMAT_INLINE std::size_t andnot_count(const Word* a, const Word* b, std::size_t n) {
    return count_set_bits(n, [a, b](std::size_t k) { return a[k] & ~b[k]; });
}
BOOLMAT_INLINE std::size_t or_xor_count(const Word* x, const Word* a, const Word* b,
                                        std::size_t n) {
    return count_set_bits(n, [x, a, b](std::size_t k) { return x[k] ^ (a[k] | b[k]); });
}

// x ^ OR of the rows, a block of two vectors at a time: the block's ORs stay
// in registers and only the finished block goes through memory, to be
// counted word by word; the last words of a range take the scalar loop.
template <class V>
BOOLMAT_INLINE std::size_t or_rows_xor_count(const Word* x, const Word* const* rows,
                                             std::size_t count, std::size_t n) {
    constexpr std::size_t kBlock = 2 * V::kWords;
    alignas(32) Word block[kBlock];
    std::size_t total = 0;
    std::size_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        typename V::Vec lo = V::zero();
        typename V::Vec hi = V::zero();
        for (std::size_t j = 0; j < count; ++j) {
            lo = V::bit_or(lo, V::load(rows[j] + k));
            hi = V::bit_or(hi, V::load(rows[j] + k + V::kWords));
        }
        V::store(block, V::bit_xor(lo, V::load(x + k)));
        V::store(block + V::kWords, V::bit_xor(hi, V::load(x + k + V::kWords)));
        for (std::size_t w = 0; w < kBlock; ++w)
            total += static_cast<std::size_t>(std::popcount(block[w]));
    }
    for (; k < n; ++k) {
        Word w = 0;
        for (std::size_t j = 0; j < count; ++j) w |= rows[j][k];
        total += static_cast<std::size_t>(std::popcount(x[k] ^ w));
    }
    return total;
}

std::size_t popcount_portable(const Word* p, std::size_t n) { return plain_count(p, n); }
BOOLMAT_TARGET_AVX2 std::size_t popcount_avx2(const Word* p, std::size_t n) {
    return plain_count(p, n);
}

std::size_t xor_popcount_portable(const Word* a, const Word* b, std::size_t n) {
    return xor_count(a, b, n);
}
BOOLMAT_TARGET_AVX2 std::size_t xor_popcount_avx2(const Word* a, const Word* b, std::size_t n) {
    return xor_count(a, b, n);
}

std::size_t andnot_popcount_portable(const Word* a, const Word* b, std::size_t n) {
    return andnot_count(a, b, n);
}
BOOLMAT_TARGET_AVX2 std::size_t andnot_popcount_avx2(const Word* a, const Word* b, std::size_t n) {
    return andnot_count(a, b, n);
}

std::size_t or_xor_popcount_portable(const Word* x, const Word* a, const Word* b, std::size_t n) {
    return or_xor_count(x, a, b, n);
}
BOOLMAT_TARGET_AVX2 std::size_t or_xor_popcount_avx2(const Word* x, const Word* a, const Word* b,
                                                     std::size_t n) {
    return or_xor_count(x, a, b, n);
}

std::size_t or_rows_xor_popcount_portable(const Word* x, const Word* const* rows, std::size_t count,
                                          std::size_t n) {
    return or_rows_xor_count<Sse2Words>(x, rows, count, n);
}
BOOLMAT_TARGET_AVX2 std::size_t or_rows_xor_popcount_avx2(const Word* x, const Word* const* rows,
                                                          std::size_t count, std::size_t n) {
    return or_rows_xor_count<Avx2Words>(x, rows, count, n);
}

constexpr PopcountKernels kPortable{popcount_portable, xor_popcount_portable,
                                    andnot_popcount_portable, or_xor_popcount_portable,
                                    or_rows_xor_popcount_portable};
constexpr PopcountKernels kAvx2{popcount_avx2, xor_popcount_avx2, andnot_popcount_avx2,
                                or_xor_popcount_avx2, or_rows_xor_popcount_avx2};

}  // namespace

const PopcountKernels& popcount_kernels(Isa isa) { return isa == Isa::Avx2 ? kAvx2 : kPortable; }

const PopcountKernels& default_counts() { return *default_kernels().popcount; }

}  // namespace detail

}  // namespace boolmat
