// Subset sums, counting and the minimum of the "zeta" method. The transform
// is blocked: each 2^12-entry block (in L1) gets its low 12 bits in sweeps of
// 3 bits, then the higher bits take one sweep over the table per 3 bits, the
// last of which also combines with the solver's table and keeps the minimum.
#include "bmf_core/zeta.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>

#include "boolmat/cpu.hpp"

namespace bmf::zeta {

namespace {

constexpr unsigned kGroupBits = 3;  // the counting's lane supersets: bits 0-2
constexpr unsigned kSweepBits = 3;  // bits per sweep across vectors

// ---------------------------------------------------------------------------
// Portable

// Bits from .. to - 1 of the transform over n entries, one pass per bit.
template <class Count>
void plain_passes(Count* d, std::size_t n, unsigned from, unsigned to) {
    for (unsigned j = from; j < to; ++j) {
        const std::size_t half = std::size_t{1} << j;
        for (std::size_t base = 0; base < n; base += 2 * half) {
            Count* upper = d + base + half;
            const Count* lower = d + base;
            for (std::size_t t = 0; t < half; ++t) upper[t] = static_cast<Count>(upper[t] + lower[t]);
        }
    }
}

// Entries of a lane-superset group in a table of 2^bits entries: 8, or the
// whole table when it is smaller.
constexpr unsigned group_size(unsigned bits) { return bits < kGroupBits ? 1u << bits : 8u; }

template <class Count>
void add_at_lane_supersets(Count* s, unsigned size, std::uint64_t p, std::uint32_t count) {
    const std::uint64_t low = p & (size - 1);
    Count* group = s + (p - low);
    for (unsigned k = 0; k < size; ++k)
        if ((k & low) == low) group[k] = static_cast<Count>(group[k] + count);
}

// 2 s[t] - c[t] modulo 2^32, read as signed: exact whenever the true value
// fits, which the callers guarantee.
template <class Count>
std::int32_t value_at(const Count* s, const std::uint32_t* c, std::size_t t) {
    return static_cast<std::int32_t>(2 * std::uint32_t{s[t]} - c[t]);
}

template <class Count>
std::int32_t minimum_portable(const Count* s, const std::uint32_t* c, std::size_t n) {
    std::int32_t best = INT32_MAX;
    for (std::size_t t = 0; t < n; ++t) best = std::min(best, value_at(s, c, t));
    return best;
}

// ---------------------------------------------------------------------------
// AVX2: a vector holds 8 32-bit or 16 16-bit counters; the entry bits below
// lane_bits select the lane, the higher ones the vector.

template <class Count>
constexpr unsigned lane_bits = sizeof(Count) == 4 ? 3 : 4;
template <class Count>
constexpr std::size_t lanes = std::size_t{1} << lane_bits<Count>;

BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) __m256i load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void store(void* p, __m256i v) {
    _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

template <class Count>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) __m256i add(__m256i a, __m256i b) {
    if constexpr (sizeof(Count) == 2)
        return _mm256_add_epi16(a, b);
    else
        return _mm256_add_epi32(a, b);
}

// Bit B of the transform inside a vector: every entry with bit B set takes
// the entry 2^B before it, a shift by 2^B entries within blocks of 2^(B+1).
template <class Count, unsigned B>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) __m256i in_vector_step(__m256i v) {
    constexpr unsigned kBytes = sizeof(Count) << B;
    if constexpr (kBytes == 2)
        return add<Count>(v, _mm256_slli_epi32(v, 16));
    else if constexpr (kBytes == 4)
        return add<Count>(v, _mm256_slli_epi64(v, 32));
    else if constexpr (kBytes == 8)
        return add<Count>(v, _mm256_slli_si256(v, 8));
    else
        return add<Count>(v, _mm256_permute2x128_si256(v, v, 0x08));
}

// Bits From .. lane_bits - 1 inside a vector.
template <class Count, unsigned From>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) __m256i in_vector_steps(__m256i v) {
    if constexpr (From < lane_bits<Count>)
        return in_vector_steps<Count, From + 1>(in_vector_step<Count, From>(v));
    else
        return v;
}

// The K-bit transform across u[0 .. 2^K).
template <class Count, unsigned K>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void butterflies(__m256i* u) {
    for (unsigned j = 0; j < K; ++j)
        for (unsigned i = 0; i < (1u << K); ++i)
            if ((i >> j) & 1) u[i] = add<Count>(u[i], u[i ^ (1u << j)]);
}

// One sweep over n entries: each vector first gets its in-vector bits From
// and up, then the K bits whose vector stride is `stride` vectors.
template <class Count, unsigned K, unsigned From>
BOOLMAT_TARGET_AVX2 void sweep_avx2(Count* d, std::size_t n, std::size_t stride) {
    constexpr std::size_t kRadix = std::size_t{1} << K;
    const std::size_t step = stride * lanes<Count>;  // entries between the 2^K inputs
    for (std::size_t base = 0; base < n; base += step * kRadix) {
        for (std::size_t off = base; off < base + step; off += lanes<Count>) {
            Count* p = d + off;
            __m256i u[kRadix];
            for (std::size_t i = 0; i < kRadix; ++i)
                u[i] = in_vector_steps<Count, From>(load(p + i * step));
            butterflies<Count, K>(u);
            for (std::size_t i = 0; i < kRadix; ++i) store(p + i * step, u[i]);
        }
    }
}

// Bits from .. to - 1 (from >= lane_bits) over n entries, up to 3 per sweep.
template <class Count>
BOOLMAT_TARGET_AVX2 void vector_sweeps_avx2(Count* d, std::size_t n, unsigned from, unsigned to) {
    constexpr unsigned kNone = lane_bits<Count>;
    for (unsigned j = from; j < to; j += kSweepBits) {
        const std::size_t stride = std::size_t{1} << (j - lane_bits<Count>);
        switch (std::min(kSweepBits, to - j)) {
            case 1: sweep_avx2<Count, 1, kNone>(d, n, stride); break;
            case 2: sweep_avx2<Count, 2, kNone>(d, n, stride); break;
            default: sweep_avx2<Count, 3, kNone>(d, n, stride); break;
        }
    }
}

// The smallest 32-bit lane of v.
BOOLMAT_TARGET_AVX2 inline std::int32_t smallest_lane(__m256i v) {
    alignas(32) std::int32_t l[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), v);
    return *std::min_element(l, l + 8);
}

// The last sweep of the transform, K bits at vector stride `stride`, which
// also keeps the smallest 2 s - c of the results.
template <class Count, unsigned K>
BOOLMAT_TARGET_AVX2 std::int32_t last_sweep_avx2(Count* s, const std::uint32_t* c, std::size_t n,
                                                 std::size_t stride) {
    constexpr std::size_t kRadix = std::size_t{1} << K;
    const std::size_t step = stride * lanes<Count>;
    __m256i best = _mm256_set1_epi32(INT32_MAX);
    for (std::size_t base = 0; base < n; base += step * kRadix) {
        for (std::size_t off = base; off < base + step; off += lanes<Count>) {
            Count* p = s + off;
            __m256i u[kRadix];
            for (std::size_t i = 0; i < kRadix; ++i) u[i] = load(p + i * step);
            butterflies<Count, K>(u);
            for (std::size_t i = 0; i < kRadix; ++i) {
                store(p + i * step, u[i]);
                const std::uint32_t* q = c + off + i * step;
                if constexpr (sizeof(Count) == 2) {
                    const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(u[i]));
                    const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(u[i], 1));
                    best = _mm256_min_epi32(best, _mm256_sub_epi32(_mm256_add_epi32(lo, lo), load(q)));
                    best = _mm256_min_epi32(best, _mm256_sub_epi32(_mm256_add_epi32(hi, hi), load(q + 8)));
                } else {
                    best = _mm256_min_epi32(best, _mm256_sub_epi32(_mm256_add_epi32(u[i], u[i]), load(q)));
                }
            }
        }
    }
    return smallest_lane(best);
}

// Bit k set when 2 v[k] - q[k] equals wanted[k], for 8 32-bit lanes.
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) unsigned hits_of(__m256i v, const std::uint32_t* q,
                                                                         __m256i wanted) {
    const __m256i values = _mm256_sub_epi32(_mm256_add_epi32(v, v), load(q));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(values, wanted))));
}

// Lane k of row v is all ones when k contains v (k AND v = v): added to the
// group of 8 entries of a pattern with low bits v, it counts the pattern at
// its lane supersets.
template <class Count>
constexpr auto kSupersetMasks = [] {
    std::array<std::array<Count, 8>, 8> m{};
    for (unsigned v = 0; v < 8; ++v)
        for (unsigned k = 0; k < 8; ++k) m[v][k] = (k & v) == v ? static_cast<Count>(~Count{0}) : 0;
    return m;
}();

// Adds `count` at the lane supersets of p.
template <class Count>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void add_count_avx2(Count* s, std::uint64_t p,
                                                                            std::uint32_t count) {
    Count* group = s + (p - p % 8);
    const void* mask = kSupersetMasks<Count>[p % 8].data();
    if constexpr (sizeof(Count) == 2) {
        auto* g = reinterpret_cast<__m128i*>(group);
        const __m128i add = _mm_and_si128(_mm_set1_epi16(static_cast<short>(count)),
                                          _mm_loadu_si128(static_cast<const __m128i*>(mask)));
        _mm_storeu_si128(g, _mm_add_epi16(_mm_loadu_si128(g), add));
    } else {
        const __m256i add = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(count)), load(mask));
        store(group, _mm256_add_epi32(load(group), add));
    }
}

// Adds 1 at the lane supersets of p: subtracting the all-ones mask.
template <class Count>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void add_one_avx2(Count* s, std::uint64_t p) {
    Count* group = s + (p - p % 8);
    const void* mask = kSupersetMasks<Count>[p % 8].data();
    if constexpr (sizeof(Count) == 2) {
        auto* g = reinterpret_cast<__m128i*>(group);
        _mm_storeu_si128(g, _mm_sub_epi16(_mm_loadu_si128(g), _mm_loadu_si128(static_cast<const __m128i*>(mask))));
    } else {
        store(group, _mm256_sub_epi32(load(group), load(mask)));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Whole transform, 32-bit

void subset_sum_transform_portable(std::uint32_t* d, unsigned bits) {
    const std::size_t n = std::size_t{1} << bits;
    const unsigned low = std::min(bits, kL1BlockBits);
    for (std::size_t base = 0; base < n; base += std::size_t{1} << low)
        plain_passes(d + base, std::size_t{1} << low, 0, low);
    plain_passes(d, n, low, bits);
}

BOOLMAT_TARGET_AVX2 void subset_sum_transform_avx2(std::uint32_t* d, unsigned bits) {
    constexpr unsigned kLaneBits = lane_bits<std::uint32_t>;
    if (bits <= kLaneBits) {
        plain_passes(d, std::size_t{1} << bits, 0, bits);
        return;
    }
    const std::size_t n = std::size_t{1} << bits;
    const unsigned low = std::min(bits, kL1BlockBits);
    const unsigned first = std::min(kSweepBits, low - kLaneBits);
    for (std::size_t base = 0; base < n; base += std::size_t{1} << low) {
        std::uint32_t* block = d + base;
        const std::size_t size = std::size_t{1} << low;
        switch (first) {
            case 1: sweep_avx2<std::uint32_t, 1, 0>(block, size, 1); break;
            case 2: sweep_avx2<std::uint32_t, 2, 0>(block, size, 1); break;
            default: sweep_avx2<std::uint32_t, 3, 0>(block, size, 1); break;
        }
        vector_sweeps_avx2(block, size, kLaneBits + first, low);
    }
    vector_sweeps_avx2(d, n, low, bits);
}

void subset_sum_transform(std::uint32_t* d, unsigned bits) {
    if (boolmat::cpu::use_avx2())
        subset_sum_transform_avx2(d, bits);
    else
        subset_sum_transform_portable(d, bits);
}

// ---------------------------------------------------------------------------
// Counting

template <class Count>
void count_rows_portable(Count* s, unsigned bits, const Word* x, std::size_t words,
                         const std::uint64_t* row_patterns) {
    const unsigned size = group_size(bits);
    for (std::size_t k = 0; k < words; ++k) {
        for (Word b = x[k]; b != 0; b &= b - 1) {
            const std::size_t i = k * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(b));
            add_at_lane_supersets(s, size, row_patterns[i], 1);
        }
    }
}

template <class Count>
BOOLMAT_TARGET_AVX2 void count_rows_avx2(Count* s, unsigned bits, const Word* x, std::size_t words,
                                         const std::uint64_t* row_patterns) {
    if (bits < kGroupBits) return count_rows_portable(s, bits, x, words, row_patterns);
    for (std::size_t k = 0; k < words; ++k) {
        for (Word b = x[k]; b != 0; b &= b - 1) {
            const std::size_t i = k * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(b));
            add_one_avx2(s, row_patterns[i]);
        }
    }
}

template <class Count>
void count_rows(Count* s, unsigned bits, const Word* x, std::size_t words,
                const std::uint64_t* row_patterns) {
    if (boolmat::cpu::use_avx2())
        count_rows_avx2(s, bits, x, words, row_patterns);
    else
        count_rows_portable(s, bits, x, words, row_patterns);
}

template <class Count>
void count_values_portable(Count* s, unsigned bits, const std::uint32_t* values, std::size_t n) {
    const unsigned size = group_size(bits);
    for (std::size_t k = 0; k < n; ++k) add_at_lane_supersets(s, size, values[k], 1);
}

template <class Count>
BOOLMAT_TARGET_AVX2 void count_values_avx2(Count* s, unsigned bits, const std::uint32_t* values,
                                           std::size_t n) {
    if (bits < kGroupBits) return count_values_portable(s, bits, values, n);
    for (std::size_t k = 0; k < n; ++k) add_one_avx2(s, values[k]);
}

template <class Count>
void count_values(Count* s, unsigned bits, const std::uint32_t* values, std::size_t n) {
    if (boolmat::cpu::use_avx2())
        count_values_avx2(s, bits, values, n);
    else
        count_values_portable(s, bits, values, n);
}

// The group walk of both variants, written once; ADD(pattern, count) is
// called once per group, in order.
#define BMF_COUNT_GROUPS(ADD)                                                         \
    std::uint64_t before = 0; /* set bits before the previous group's end */        \
    std::uint64_t full = 0;   /* set bits in words 0 .. k - 1 */                    \
    std::size_t k = 0;                                                               \
    for (std::size_t g = 0; g < groups; ++g) {                                       \
        const std::size_t end = ends[g];                                             \
        for (; k < end / boolmat::kWordBits; ++k)                                    \
            full += static_cast<std::uint64_t>(std::popcount(x[k]));                 \
        const unsigned tail = end % boolmat::kWordBits;                              \
        const std::uint64_t upto =                                                   \
            tail == 0 ? full                                                         \
                      : full + static_cast<std::uint64_t>(                           \
                                   std::popcount(x[k] & ((Word{1} << tail) - 1)));   \
        ADD(patterns[g], static_cast<std::uint32_t>(upto - before));                 \
        before = upto;                                                               \
    }                                                                                \
    (void)words;                                                                     \
    return before

template <class Count>
std::uint64_t count_groups_portable(Count* s, unsigned bits, const Word* x, std::size_t words,
                                    const std::uint32_t* patterns, const std::size_t* ends,
                                    std::size_t groups) {
    const unsigned size = group_size(bits);
#define BMF_ADD_PORTABLE(p, count) add_at_lane_supersets(s, size, p, count)
    BMF_COUNT_GROUPS(BMF_ADD_PORTABLE);
#undef BMF_ADD_PORTABLE
}

template <class Count>
BOOLMAT_TARGET_AVX2 std::uint64_t count_groups_avx2(Count* s, unsigned bits, const Word* x,
                                                    std::size_t words,
                                                    const std::uint32_t* patterns,
                                                    const std::size_t* ends, std::size_t groups) {
    if (bits < kGroupBits) return count_groups_portable(s, bits, x, words, patterns, ends, groups);
#define BMF_ADD_AVX2(p, count) add_count_avx2(s, p, count)
    BMF_COUNT_GROUPS(BMF_ADD_AVX2);
#undef BMF_ADD_AVX2
}

#undef BMF_COUNT_GROUPS

template <class Count>
std::uint64_t count_groups(Count* s, unsigned bits, const Word* x, std::size_t words,
                           const std::uint32_t* patterns, const std::size_t* ends,
                           std::size_t groups) {
    return boolmat::cpu::use_avx2()
               ? count_groups_avx2(s, bits, x, words, patterns, ends, groups)
               : count_groups_portable(s, bits, x, words, patterns, ends, groups);
}

// ---------------------------------------------------------------------------
// Rest of the transform and the minimum

template <class Count>
void transform_low_portable(Count* s, unsigned bits) {
    plain_passes(s, std::size_t{1} << bits, kGroupBits, bits);
}

template <class Count>
BOOLMAT_TARGET_AVX2 void transform_low_avx2(Count* s, unsigned bits) {
    constexpr unsigned kLaneBits = lane_bits<Count>;
    if (bits < kLaneBits) return transform_low_portable(s, bits);
    const std::size_t n = std::size_t{1} << bits;
    if constexpr (kLaneBits > kGroupBits) {
        // 16-bit lanes: bit 3 inside each vector in the first sweep.
        const unsigned first = std::min(kSweepBits, bits - kLaneBits);
        switch (first) {
            case 0: sweep_avx2<Count, 0, kGroupBits>(s, n, 1); break;
            case 1: sweep_avx2<Count, 1, kGroupBits>(s, n, 1); break;
            case 2: sweep_avx2<Count, 2, kGroupBits>(s, n, 1); break;
            default: sweep_avx2<Count, 3, kGroupBits>(s, n, 1); break;
        }
        vector_sweeps_avx2(s, n, kLaneBits + first, bits);
    } else {
        vector_sweeps_avx2(s, n, kLaneBits, bits);
    }
}

template <class Count>
void transform_low(Count* s, unsigned bits) {
    if (boolmat::cpu::use_avx2())
        transform_low_avx2(s, bits);
    else
        transform_low_portable(s, bits);
}

template <class Count>
std::int32_t finish_and_find_minimum_portable(Count* s, const std::uint32_t* c, unsigned bits,
                                              unsigned low) {
    const std::size_t n = std::size_t{1} << bits;
    plain_passes(s, n, std::max(low, kGroupBits), bits);
    return minimum_portable(s, c, n);
}

template <class Count>
BOOLMAT_TARGET_AVX2 std::int32_t finish_and_find_minimum_avx2(Count* s, const std::uint32_t* c,
                                                              unsigned bits, unsigned low) {
    constexpr unsigned kLaneBits = lane_bits<Count>;
    // The in-vector bits must be done already, by transform_low.
    if (bits < kLaneBits || low < kLaneBits) return finish_and_find_minimum_portable(s, c, bits, low);
    const std::size_t n = std::size_t{1} << bits;
    if (low == bits) return last_sweep_avx2<Count, 0>(s, c, n, 1);
    // The last sweep takes the top (bits - low - 1) mod 3 + 1 bits.
    const unsigned last = (bits - low - 1) % kSweepBits + 1;
    const unsigned top = bits - last;
    vector_sweeps_avx2(s, n, low, top);
    const std::size_t stride = std::size_t{1} << (top - kLaneBits);
    switch (last) {
        case 1: return last_sweep_avx2<Count, 1>(s, c, n, stride);
        case 2: return last_sweep_avx2<Count, 2>(s, c, n, stride);
        default: return last_sweep_avx2<Count, 3>(s, c, n, stride);
    }
}

template <class Count>
std::int32_t finish_and_find_minimum(Count* s, const std::uint32_t* c, unsigned bits,
                                     unsigned low) {
    return boolmat::cpu::use_avx2() ? finish_and_find_minimum_avx2(s, c, bits, low)
                                    : finish_and_find_minimum_portable(s, c, bits, low);
}

template <class Count>
std::size_t last_index_of_portable(const Count* s, const std::uint32_t* c, std::size_t n,
                                   std::int32_t value) {
    std::size_t t = n - 1;
    while (value_at(s, c, t) != value) --t;
    return t;
}

template <class Count>
BOOLMAT_TARGET_AVX2 std::size_t last_index_of_avx2(const Count* s, const std::uint32_t* c,
                                                   std::size_t n, std::int32_t value) {
    constexpr std::size_t kLanes = lanes<Count>;
    if (n % kLanes != 0) return last_index_of_portable(s, c, n, value);
    const __m256i wanted = _mm256_set1_epi32(value);
    for (std::size_t t = n - kLanes;; t -= kLanes) {
        const __m256i u = load(s + t);
        unsigned hits;
        if constexpr (sizeof(Count) == 2) {
            hits = hits_of(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(u)), c + t, wanted) |
                   hits_of(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(u, 1)), c + t + 8, wanted) << 8;
        } else {
            hits = hits_of(u, c + t, wanted);
        }
        if (hits != 0) return t + static_cast<std::size_t>(std::bit_width(hits)) - 1;
    }
}

template <class Count>
std::size_t last_index_of(const Count* s, const std::uint32_t* c, std::size_t n,
                          std::int32_t value) {
    return boolmat::cpu::use_avx2() ? last_index_of_avx2(s, c, n, value)
                                    : last_index_of_portable(s, c, n, value);
}

// Both counter widths, each variant.
#define BMF_ZETA_FUNCTIONS(Count, suffix)                                                        \
    template void count_rows##suffix(Count*, unsigned, const Word*, std::size_t,                 \
                                     const std::uint64_t*);                                      \
    template void count_values##suffix(Count*, unsigned, const std::uint32_t*, std::size_t);     \
    template std::uint64_t count_groups##suffix(Count*, unsigned, const Word*, std::size_t,      \
                                                const std::uint32_t*, const std::size_t*,        \
                                                std::size_t);                                    \
    template void transform_low##suffix(Count*, unsigned);                                       \
    template std::int32_t finish_and_find_minimum##suffix(Count*, const std::uint32_t*,          \
                                                          unsigned, unsigned);                   \
    template std::size_t last_index_of##suffix(const Count*, const std::uint32_t*, std::size_t,  \
                                               std::int32_t);
#define BMF_ZETA_WIDTH(Count)              \
    BMF_ZETA_FUNCTIONS(Count, )            \
    BMF_ZETA_FUNCTIONS(Count, _portable)   \
    BMF_ZETA_FUNCTIONS(Count, _avx2)
BMF_ZETA_WIDTH(std::uint16_t)
BMF_ZETA_WIDTH(std::uint32_t)
#undef BMF_ZETA_WIDTH
#undef BMF_ZETA_FUNCTIONS

}  // namespace bmf::zeta
