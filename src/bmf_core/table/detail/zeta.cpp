// Subset sums, counting and the minimum of the "zeta" method: O(bits x
// 2^bits) additions per count table, O(ones(x)) scattered adds to count.
// The transform is blocked: each 2^12-entry block (in L1) gets its low 12
// bits first, then the higher bits follow over the whole count table. The
// portable variant does one pass per bit; the AVX2 variant does 3 bits per
// sweep across vectors (the bits inside a vector by shifts), and its last
// sweep also combines with the solver's count table and keeps the minimum.
// The counting walks are written once, with the portable or the AVX2 add.
// The weighted twins of the last steps run the same sweeps with another
// value policy (alpha s - beta c in 32- or 64-bit lanes), and locate the
// minimum from the groups their last sweep notes instead of a scan.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <type_traits>

#include "bmf_core/table/detail/zeta.hpp"
#include "boolmat/detail/bits.hpp"

namespace bmf::detail {

using boolmat::detail::for_each_set_bit;

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
            for (std::size_t t = 0; t < half; ++t)
                upper[t] = static_cast<Count>(upper[t] + lower[t]);
        }
    }
}

// Entries of a lane-superset group in a count table of 2^bits entries: 8, or the
// whole table when it is smaller.
constexpr unsigned group_size(unsigned bits) { return bits < kGroupBits ? 1u << bits : 8u; }

template <class Count>
void add_at_lane_supersets(Count* s, unsigned size, std::uint64_t p, std::uint32_t count) {
    const std::uint64_t low = p & (size - 1);
    Count* group = s + (p - low);
    for (unsigned k = 0; k < size; ++k)
        if ((k & low) == low) group[k] = static_cast<Count>(group[k] + count);
}

// The values a solve minimises, v = combine(s, c), one policy per kind. Each
// computes modulo its lane width and reads the result as signed: exact
// whenever the true value fits, which the callers guarantee. Their AVX2
// sides (UnitAvx2, Weighted32Avx2, Weighted64Avx2) follow the AVX2 helpers.

// 2 s - c, the unweighted solve, in 32-bit lanes.
struct UnitValues {
    using Value = std::int32_t;
    static constexpr Value kMax = INT32_MAX;
    Value at(std::uint32_t s, std::uint32_t c) const { return static_cast<Value>(2 * s - c); }
};

// alpha s - beta c in 32-bit lanes.
struct Weighted32Values {
    using Value = std::int32_t;
    static constexpr Value kMax = INT32_MAX;
    std::uint32_t alpha;
    std::uint32_t beta;
    explicit Weighted32Values(ZetaCombine k)
        : alpha(static_cast<std::uint32_t>(k.alpha)), beta(static_cast<std::uint32_t>(k.beta)) {}
    Value at(std::uint32_t s, std::uint32_t c) const {
        return static_cast<Value>(alpha * s - beta * c);
    }
};

// alpha s - beta c in 64-bit lanes.
struct Weighted64Values {
    using Value = std::int64_t;
    static constexpr Value kMax = INT64_MAX;
    std::uint64_t alpha;
    std::uint64_t beta;
    explicit Weighted64Values(ZetaCombine k) : alpha(k.alpha), beta(k.beta) {}
    Value at(std::uint32_t s, std::uint32_t c) const {
        return static_cast<Value>(alpha * s - beta * std::uint64_t{c});
    }
};

template <class Count, class Values>
typename Values::Value minimum_portable(const Count* s, const std::uint32_t* c, std::size_t n,
                                        Values values) {
    typename Values::Value best = Values::kMax;
    for (std::size_t t = 0; t < n; ++t) best = std::min(best, values.at(s[t], c[t]));
    return best;
}

// ---------------------------------------------------------------------------
// AVX2: a vector holds 8 32-bit or 16 16-bit counters; the entry bits below
// lane_bits select the lane, the higher ones the vector.

template <class Count>
constexpr unsigned lane_bits = sizeof(Count) == 4 ? 3 : 4;
template <class Count>
constexpr std::size_t lanes = std::size_t{1} << lane_bits<Count>;

BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i load_avx2(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void store_avx2(void* p, __m256i v) {
    _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

template <class Count>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i add_avx2(__m256i a, __m256i b) {
    if constexpr (sizeof(Count) == 2)
        return _mm256_add_epi16(a, b);
    else
        return _mm256_add_epi32(a, b);
}

// Bit B of the transform inside a vector: every entry with bit B set takes
// the entry 2^B before it, a shift by 2^B entries within blocks of 2^(B+1).
template <class Count, unsigned B>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i in_vector_step_avx2(__m256i v) {
    constexpr unsigned kBytes = sizeof(Count) << B;
    if constexpr (kBytes == 2)
        return add_avx2<Count>(v, _mm256_slli_epi32(v, 16));
    else if constexpr (kBytes == 4)
        return add_avx2<Count>(v, _mm256_slli_epi64(v, 32));
    else if constexpr (kBytes == 8)
        return add_avx2<Count>(v, _mm256_slli_si256(v, 8));
    else
        return add_avx2<Count>(v, _mm256_permute2x128_si256(v, v, 0x08));
}

// Bits From .. lane_bits - 1 inside a vector.
template <class Count, unsigned From>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i in_vector_steps_avx2(__m256i v) {
    if constexpr (From < lane_bits<Count>)
        return in_vector_steps_avx2<Count, From + 1>(in_vector_step_avx2<Count, From>(v));
    else
        return v;
}

// The K-bit transform across u[0 .. 2^K).
template <class Count, unsigned K>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void butterflies_avx2(__m256i* u) {
    for (unsigned j = 0; j < K; ++j)
        for (unsigned i = 0; i < (1u << K); ++i)
            if ((i >> j) & 1) u[i] = add_avx2<Count>(u[i], u[i ^ (1u << j)]);
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
                u[i] = in_vector_steps_avx2<Count, From>(load_avx2(p + i * step));
            butterflies_avx2<Count, K>(u);
            for (std::size_t i = 0; i < kRadix; ++i) store_avx2(p + i * step, u[i]);
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

// The AVX2 side of the value policies: start() makes the running minimum,
// take() folds in the values of 8 sums (32-bit lanes) against c[0 .. 8),
// smallest() reduces the running minimum, hits() sets bit k when lane k's
// value equals `value`.
// The running minimum of 32-bit values and the lanes equal to a value,
// shared by the 32-bit sides, each giving values_of().
template <class Side>
struct Min32Avx2 {
    __m256i best;

    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE Min32Avx2() : best(_mm256_set1_epi32(INT32_MAX)) {}
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void take(__m256i v, const std::uint32_t* q) {
        best = _mm256_min_epi32(best, side().values_of(v, q));
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE std::int32_t smallest() const {
        alignas(32) std::int32_t l[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(l), best);
        return *std::min_element(l, l + 8);
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE unsigned hits(__m256i v, const std::uint32_t* q,
                                                     std::int32_t value) const {
        const __m256i eq = _mm256_cmpeq_epi32(side().values_of(v, q), _mm256_set1_epi32(value));
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(eq)));
    }
    const Side& side() const { return static_cast<const Side&>(*this); }
};

struct UnitAvx2 : Min32Avx2<UnitAvx2> {
    using Values = UnitValues;
    using Value = Values::Value;

    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE explicit UnitAvx2(Values) {}
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i values_of(__m256i v, const std::uint32_t* q) const {
        return _mm256_sub_epi32(_mm256_add_epi32(v, v), load_avx2(q));
    }
};

struct Weighted32Avx2 : Min32Avx2<Weighted32Avx2> {
    using Values = Weighted32Values;
    using Value = Values::Value;
    __m256i alpha;
    __m256i beta;

    // Whether some lane of `group` reaches this running minimum's (<=), and
    // the merge of the two.
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE bool reached_by(const Weighted32Avx2& group) const {
        return _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(group.best, best))) !=
               0xFF;
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void merge(const Weighted32Avx2& group) {
        best = _mm256_min_epi32(best, group.best);
    }

    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE explicit Weighted32Avx2(Values k)
        : alpha(_mm256_set1_epi32(static_cast<int>(k.alpha))),
          beta(_mm256_set1_epi32(static_cast<int>(k.beta))) {}
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i values_of(__m256i v, const std::uint32_t* q) const {
        return _mm256_sub_epi32(_mm256_mullo_epi32(v, alpha),
                                _mm256_mullo_epi32(load_avx2(q), beta));
    }
};

// 64-bit lanes: the 8 sums in two halves of 4, each widened, multiplied by
// the 32-bit weights (_mm256_mul_epu32) and compared as signed 64-bit.
struct Weighted64Avx2 {
    using Values = Weighted64Values;
    using Value = Values::Value;
    __m256i best;
    __m256i alpha;
    __m256i beta;

    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE bool reached_by(const Weighted64Avx2& group) const {
        return _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(group.best, best))) != 0xF;
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void merge(const Weighted64Avx2& group) { fold(group.best); }

    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE explicit Weighted64Avx2(Values k)
        : best(_mm256_set1_epi64x(INT64_MAX)),
          alpha(_mm256_set1_epi64x(static_cast<long long>(k.alpha))),
          beta(_mm256_set1_epi64x(static_cast<long long>(k.beta))) {}
    // The values of lanes 0-3 (half 0) or 4-7 (half 1).
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i half_values(__m128i v,
                                                           const std::uint32_t* q) const {
        const __m256i c =
            _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
        return _mm256_sub_epi64(_mm256_mul_epu32(_mm256_cvtepu32_epi64(v), alpha),
                                _mm256_mul_epu32(c, beta));
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void fold(__m256i values) {
        best = _mm256_blendv_epi8(best, values, _mm256_cmpgt_epi64(best, values));
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void take(__m256i v, const std::uint32_t* q) {
        fold(half_values(_mm256_castsi256_si128(v), q));
        fold(half_values(_mm256_extracti128_si256(v, 1), q + 4));
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE Value smallest() const {
        alignas(32) std::int64_t l[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(l), best);
        return *std::min_element(l, l + 4);
    }
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE unsigned hits(__m256i v, const std::uint32_t* q,
                                                     Value value) const {
        const __m256i wanted = _mm256_set1_epi64x(value);
        const auto half = [&](__m256i values) BOOLMAT_TARGET_AVX2 {
            return static_cast<unsigned>(
                _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(values, wanted))));
        };
        return half(half_values(_mm256_castsi256_si128(v), q)) |
               half(half_values(_mm256_extracti128_si256(v, 1), q + 4)) << 4;
    }
};

// Calls f(v, q) on the sums of u (lanes of Count) as 32-bit lanes, 8 at a
// time, with q the matching entries of c.
template <class Count, class F>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void each_eight_avx2(__m256i u, const std::uint32_t* q, F&& f) {
    if constexpr (sizeof(Count) == 2) {
        f(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(u)), q);
        f(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(u, 1)), q + 8);
    } else {
        f(u, q);
    }
}

// The last sweep of the transform, K bits at vector stride `stride`, which
// also keeps the smallest value of the results.
template <class Count, unsigned K, class Avx2>
BOOLMAT_TARGET_AVX2 typename Avx2::Value last_sweep_avx2(Count* s, const std::uint32_t* c,
                                                         std::size_t n, std::size_t stride,
                                                         typename Avx2::Values values) {
    constexpr std::size_t kRadix = std::size_t{1} << K;
    const std::size_t step = stride * lanes<Count>;
    Avx2 acc(values);
    for (std::size_t base = 0; base < n; base += step * kRadix) {
        for (std::size_t off = base; off < base + step; off += lanes<Count>) {
            Count* p = s + off;
            __m256i u[kRadix];
            for (std::size_t i = 0; i < kRadix; ++i) u[i] = load_avx2(p + i * step);
            butterflies_avx2<Count, K>(u);
            for (std::size_t i = 0; i < kRadix; ++i) {
                store_avx2(p + i * step, u[i]);
                each_eight_avx2<Count>(u[i], c + off + i * step,
                                       [&](__m256i v, const std::uint32_t* q)
                                           BOOLMAT_TARGET_AVX2 { acc.take(v, q); });
            }
        }
    }
    return acc.smallest();
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
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void add_count_avx2(Count* s, std::uint64_t p,
                                                       std::uint32_t count) {
    Count* group = s + (p - p % 8);
    const void* mask = kSupersetMasks<Count>[p % 8].data();
    if constexpr (sizeof(Count) == 2) {
        auto* g = reinterpret_cast<__m128i*>(group);
        const __m128i add = _mm_and_si128(_mm_set1_epi16(static_cast<short>(count)),
                                          _mm_loadu_si128(static_cast<const __m128i*>(mask)));
        _mm_storeu_si128(g, _mm_add_epi16(_mm_loadu_si128(g), add));
    } else {
        const __m256i add =
            _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(count)), load_avx2(mask));
        store_avx2(group, _mm256_add_epi32(load_avx2(group), add));
    }
}

// Adds 1 at the lane supersets of p: subtracting the all-ones mask.
template <class Count>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE void add_one_avx2(Count* s, std::uint64_t p) {
    Count* group = s + (p - p % 8);
    const void* mask = kSupersetMasks<Count>[p % 8].data();
    if constexpr (sizeof(Count) == 2) {
        auto* g = reinterpret_cast<__m128i*>(group);
        _mm_storeu_si128(g, _mm_sub_epi16(_mm_loadu_si128(g),
                                          _mm_loadu_si128(static_cast<const __m128i*>(mask))));
    } else {
        store_avx2(group, _mm256_sub_epi32(load_avx2(group), load_avx2(mask)));
    }
}

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

// ---------------------------------------------------------------------------
// Counting: one walk per kernel, whose add is the portable or the AVX2 one.

// Calls add(patterns[g], count of group g) for each group, in order, and
// returns the set bits before the last group's end.
template <class Add>
BOOLMAT_INLINE std::uint64_t walk_groups(const Word* x, const std::uint32_t* patterns,
                                         const std::size_t* ends, std::size_t groups, Add&& add) {
    std::uint64_t before = 0;  // set bits before the previous group's end
    std::uint64_t full = 0;    // set bits in words 0 .. k - 1
    std::size_t k = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t end = ends[g];
        for (; k < end / boolmat::kWordBits; ++k)
            full += static_cast<std::uint64_t>(std::popcount(x[k]));
        const unsigned tail = end % boolmat::kWordBits;
        const std::uint64_t upto =
            tail == 0
                ? full
                : full + static_cast<std::uint64_t>(std::popcount(x[k] & ((Word{1} << tail) - 1)));
        add(patterns[g], static_cast<std::uint32_t>(upto - before));
        before = upto;
    }
    return before;
}

template <class Count>
void count_rows_portable(Count* s, unsigned bits, const Word* x, std::size_t words,
                         const std::uint64_t* row_patterns) {
    const unsigned size = group_size(bits);
    for_each_set_bit(x, words,
                     [&](std::size_t i) { add_at_lane_supersets(s, size, row_patterns[i], 1); });
}

template <class Count>
BOOLMAT_TARGET_AVX2 void count_rows_avx2(Count* s, unsigned bits, const Word* x, std::size_t words,
                                         const std::uint64_t* row_patterns) {
    if (bits < kGroupBits) return count_rows_portable(s, bits, x, words, row_patterns);
    for_each_set_bit(x, words,
                     [&](std::size_t i) BOOLMAT_TARGET_AVX2 { add_one_avx2(s, row_patterns[i]); });
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
std::uint64_t count_groups_portable(Count* s, unsigned bits, const Word* x, std::size_t,
                                    const std::uint32_t* patterns, const std::size_t* ends,
                                    std::size_t groups) {
    const unsigned size = group_size(bits);
    return walk_groups(x, patterns, ends, groups, [&](std::uint64_t p, std::uint32_t count) {
        add_at_lane_supersets(s, size, p, count);
    });
}

template <class Count>
BOOLMAT_TARGET_AVX2 std::uint64_t count_groups_avx2(Count* s, unsigned bits, const Word* x,
                                                    std::size_t words,
                                                    const std::uint32_t* patterns,
                                                    const std::size_t* ends, std::size_t groups) {
    if (bits < kGroupBits) return count_groups_portable(s, bits, x, words, patterns, ends, groups);
    return walk_groups(x, patterns, ends, groups,
                       [&](std::uint64_t p, std::uint32_t count)
                           BOOLMAT_TARGET_AVX2 { add_count_avx2(s, p, count); });
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

template <class Count, class Values>
typename Values::Value finish_and_find_minimum_portable(Count* s, const std::uint32_t* c,
                                                        unsigned bits, unsigned low,
                                                        Values values) {
    const std::size_t n = std::size_t{1} << bits;
    plain_passes(s, n, std::max(low, kGroupBits), bits);
    return minimum_portable(s, c, n, values);
}

// The bits from `low` (at least the lane bits) to `bits` of an AVX2 table:
// vector sweeps, then the last sweep over the top (bits - low - 1) mod 3 + 1
// bits (none when low == bits), run as
// last_sweep(std::integral_constant<unsigned, k>{}, n, stride) for k those
// bits, so that the sweep's width is a template argument. Returns what it
// returns.
template <class Count, class LastSweep>
BOOLMAT_TARGET_AVX2 auto sweeps_then_last_avx2(Count* s, unsigned bits, unsigned low,
                                               LastSweep&& last_sweep) {
    const std::size_t n = std::size_t{1} << bits;
    if (low == bits) return last_sweep(std::integral_constant<unsigned, 0>{}, n, std::size_t{1});
    const unsigned last = (bits - low - 1) % kSweepBits + 1;
    const unsigned top = bits - last;
    vector_sweeps_avx2(s, n, low, top);
    const std::size_t stride = std::size_t{1} << (top - lane_bits<Count>);
    switch (last) {
        case 1: return last_sweep(std::integral_constant<unsigned, 1>{}, n, stride);
        case 2: return last_sweep(std::integral_constant<unsigned, 2>{}, n, stride);
        default: return last_sweep(std::integral_constant<unsigned, 3>{}, n, stride);
    }
}

template <class Count, class Avx2>
BOOLMAT_TARGET_AVX2 typename Avx2::Value finish_and_find_minimum_avx2(
    Count* s, const std::uint32_t* c, unsigned bits, unsigned low, typename Avx2::Values values) {
    // The in-vector bits must be done already, by transform_low.
    if (bits < lane_bits<Count> || low < lane_bits<Count>)
        return finish_and_find_minimum_portable(s, c, bits, low, values);
    return sweeps_then_last_avx2(s, bits, low, [&](auto k, std::size_t n, std::size_t stride) {
        return last_sweep_avx2<Count, decltype(k)::value, Avx2>(s, c, n, stride, values);
    });
}

// The smallest value over n entries and the largest t reaching it.
template <class Count, class Values>
ZetaMinimum<typename Values::Value> locate_portable(const Count* s, const std::uint32_t* c,
                                                    std::size_t n, Values values) {
    ZetaMinimum<typename Values::Value> best{Values::kMax, 0};
    for (std::size_t t = 0; t < n; ++t)
        if (const auto v = values.at(s[t], c[t]); v <= best.value) best = {v, t};
    return best;
}

template <class Count, class Values>
ZetaMinimum<typename Values::Value> finish_and_locate_portable(Count* s, const std::uint32_t* c,
                                                               unsigned bits, unsigned low,
                                                               Values values) {
    const std::size_t n = std::size_t{1} << bits;
    plain_passes(s, n, std::max(low, kGroupBits), bits);
    return locate_portable(s, c, n, values);
}

template <class Count, class Values>
std::size_t last_index_of_portable(const Count* s, const std::uint32_t* c, std::size_t n,
                                   Values values, typename Values::Value value) {
    std::size_t t = n - 1;
    while (values.at(s[t], c[t]) != value) --t;
    return t;
}

template <class Count, class Avx2>
BOOLMAT_TARGET_AVX2 std::size_t last_index_of_avx2(const Count* s, const std::uint32_t* c,
                                                   std::size_t n, typename Avx2::Values values,
                                                   typename Avx2::Value value) {
    constexpr std::size_t kLanes = lanes<Count>;
    if (n % kLanes != 0) return last_index_of_portable(s, c, n, values, value);
    const Avx2 acc(values);
    for (std::size_t t = n - kLanes;; t -= kLanes) {
        unsigned hits = 0;
        unsigned shift = 0;
        each_eight_avx2<Count>(load_avx2(s + t), c + t,
                               [&](__m256i v, const std::uint32_t* q) BOOLMAT_TARGET_AVX2 {
                                   hits |= acc.hits(v, q, value) << shift;
                                   shift += 8;
                               });
        if (hits != 0) return t + static_cast<std::size_t>(std::bit_width(hits)) - 1;
    }
}

// The groups of entries (the 2^K vectors of one step of the last sweep)
// where some lane reached or tied its running minimum, each with its
// smallest value: every entry equal to the final minimum lies in one of
// them. Full, the groups above the running minimum are dropped; when all
// tie and it is still full, it gives up and the caller scans.
template <class Value>
struct Candidates {
    static constexpr std::size_t kSize = 256;
    std::size_t offsets[kSize];
    Value minima[kSize];
    std::size_t count = 0;
    bool gave_up = false;

    void note(std::size_t offset, Value group_minimum, Value running_minimum) {
        if (gave_up) return;
        if (count == kSize) {
            std::size_t kept = 0;
            for (std::size_t k = 0; k < count; ++k)
                if (minima[k] <= running_minimum)
                    offsets[kept] = offsets[k], minima[kept++] = minima[k];
            count = kept;
            if (count == kSize) {
                gave_up = true;
                return;
            }
        }
        offsets[count] = offset;
        minima[count++] = group_minimum;
    }
};

// last_sweep_avx2 keeping the candidate groups, then locating the minimum
// among them (or by a scan from the top when they gave up). A group is up to
// kGroupSteps consecutive steps of the sweep: its 2^K vectors at each.
template <class Count, unsigned K, class Avx2>
BOOLMAT_TARGET_AVX2 ZetaMinimum<typename Avx2::Value> last_sweep_locate_avx2(
    Count* s, const std::uint32_t* c, std::size_t n, std::size_t stride,
    typename Avx2::Values values) {
    using Value = typename Avx2::Value;
    constexpr std::size_t kRadix = std::size_t{1} << K;
    constexpr std::size_t kGroupSteps = 8;
    const std::size_t step = stride * lanes<Count>;
    const std::size_t span = std::min(step, kGroupSteps * lanes<Count>);
    Avx2 acc(values);
    Candidates<Value> found;
    for (std::size_t base = 0; base < n; base += step * kRadix) {
        for (std::size_t first = base; first < base + step; first += span) {
            Avx2 group(values);
            for (std::size_t off = first; off < first + span; off += lanes<Count>) {
                Count* p = s + off;
                __m256i u[kRadix];
                for (std::size_t i = 0; i < kRadix; ++i) u[i] = load_avx2(p + i * step);
                butterflies_avx2<Count, K>(u);
                for (std::size_t i = 0; i < kRadix; ++i) {
                    store_avx2(p + i * step, u[i]);
                    each_eight_avx2<Count>(u[i], c + off + i * step,
                                           [&](__m256i v, const std::uint32_t* q)
                                               BOOLMAT_TARGET_AVX2 { group.take(v, q); });
                }
            }
            if (acc.reached_by(group)) {
                acc.merge(group);
                found.note(first, group.smallest(), acc.smallest());
            }
        }
    }
    const Value least = acc.smallest();
    if (found.gave_up) return {least, last_index_of_avx2<Count, Avx2>(s, c, n, values, least)};
    // In a group, t = off + i step grows with i, then with off: the first
    // hit from the top is the group's largest.
    std::size_t index = 0;
    for (std::size_t k = 0; k < found.count; ++k) {
        if (found.minima[k] != least) continue;
        const auto largest = [&]() BOOLMAT_TARGET_AVX2 -> std::size_t {
            for (std::size_t i = kRadix; i-- > 0;) {
                for (std::size_t off = found.offsets[k] + span; off > found.offsets[k];) {
                    off -= lanes<Count>;
                    const std::size_t t = off + i * step;
                    unsigned hits = 0;
                    unsigned shift = 0;
                    each_eight_avx2<Count>(load_avx2(s + t), c + t,
                                           [&](__m256i v, const std::uint32_t* q)
                                               BOOLMAT_TARGET_AVX2 {
                                                   hits |= acc.hits(v, q, least) << shift;
                                                   shift += 8;
                                               });
                    if (hits != 0) return t + static_cast<std::size_t>(std::bit_width(hits)) - 1;
                }
            }
            return 0;
        };
        index = std::max(index, largest());
    }
    return {least, index};
}

template <class Count, class Avx2>
BOOLMAT_TARGET_AVX2 ZetaMinimum<typename Avx2::Value> finish_and_locate_avx2(
    Count* s, const std::uint32_t* c, unsigned bits, unsigned low, typename Avx2::Values values) {
    if (bits < lane_bits<Count> || low < lane_bits<Count>)
        return finish_and_locate_portable(s, c, bits, low, values);
    return sweeps_then_last_avx2(s, bits, low, [&](auto k, std::size_t n, std::size_t stride) {
        return last_sweep_locate_avx2<Count, decltype(k)::value, Avx2>(s, c, n, stride, values);
    });
}

// The entries of the kernel tables: the unweighted ones and the weighted
// twins, each policy's values passed down.
template <class Count>
std::int32_t finish_and_find_minimum_unit_portable(Count* s, const std::uint32_t* c, unsigned bits,
                                                   unsigned low) {
    return finish_and_find_minimum_portable(s, c, bits, low, UnitValues{});
}
template <class Count>
std::size_t last_index_of_unit_portable(const Count* s, const std::uint32_t* c, std::size_t n,
                                        std::int32_t value) {
    return last_index_of_portable(s, c, n, UnitValues{}, value);
}
template <class Count, class Values>
ZetaMinimum<typename Values::Value> finish_weighted_portable(Count* s, const std::uint32_t* c,
                                                             unsigned bits, unsigned low,
                                                             ZetaCombine k) {
    return finish_and_locate_portable(s, c, bits, low, Values(k));
}
template <class Count, class Values>
std::size_t last_weighted_portable(const Count* s, const std::uint32_t* c, std::size_t n,
                                   ZetaCombine k, typename Values::Value value) {
    return last_index_of_portable(s, c, n, Values(k), value);
}

template <class Count>
BOOLMAT_TARGET_AVX2 std::int32_t finish_and_find_minimum_unit_avx2(Count* s, const std::uint32_t* c,
                                                                   unsigned bits, unsigned low) {
    return finish_and_find_minimum_avx2<Count, UnitAvx2>(s, c, bits, low, UnitValues{});
}
template <class Count>
BOOLMAT_TARGET_AVX2 std::size_t last_index_of_unit_avx2(const Count* s, const std::uint32_t* c,
                                                        std::size_t n, std::int32_t value) {
    return last_index_of_avx2<Count, UnitAvx2>(s, c, n, UnitValues{}, value);
}
template <class Count, class Avx2>
BOOLMAT_TARGET_AVX2 ZetaMinimum<typename Avx2::Value> finish_weighted_avx2(
    Count* s, const std::uint32_t* c, unsigned bits, unsigned low, ZetaCombine k) {
    return finish_and_locate_avx2<Count, Avx2>(s, c, bits, low, typename Avx2::Values(k));
}
template <class Count, class Avx2>
BOOLMAT_TARGET_AVX2 std::size_t last_weighted_avx2(const Count* s, const std::uint32_t* c,
                                                   std::size_t n, ZetaCombine k,
                                                   typename Avx2::Value value) {
    return last_index_of_avx2<Count, Avx2>(s, c, n, typename Avx2::Values(k), value);
}

template <class Count>
constexpr ZetaWidthKernels<Count> kPortableWidth{count_rows_portable<Count>,
                                                 count_values_portable<Count>,
                                                 count_groups_portable<Count>,
                                                 transform_low_portable<Count>,
                                                 finish_and_find_minimum_unit_portable<Count>,
                                                 last_index_of_unit_portable<Count>,
                                                 finish_weighted_portable<Count, Weighted32Values>,
                                                 last_weighted_portable<Count, Weighted32Values>,
                                                 finish_weighted_portable<Count, Weighted64Values>,
                                                 last_weighted_portable<Count, Weighted64Values>};

template <class Count>
constexpr ZetaWidthKernels<Count> kAvx2Width{count_rows_avx2<Count>,
                                             count_values_avx2<Count>,
                                             count_groups_avx2<Count>,
                                             transform_low_avx2<Count>,
                                             finish_and_find_minimum_unit_avx2<Count>,
                                             last_index_of_unit_avx2<Count>,
                                             finish_weighted_avx2<Count, Weighted32Avx2>,
                                             last_weighted_avx2<Count, Weighted32Avx2>,
                                             finish_weighted_avx2<Count, Weighted64Avx2>,
                                             last_weighted_avx2<Count, Weighted64Avx2>};

constexpr ZetaKernels kPortable{subset_sum_transform_portable, kPortableWidth<std::uint16_t>,
                                kPortableWidth<std::uint32_t>};
constexpr ZetaKernels kAvx2{subset_sum_transform_avx2, kAvx2Width<std::uint16_t>,
                            kAvx2Width<std::uint32_t>};

}  // namespace

const ZetaKernels& zeta_kernels(boolmat::Isa isa) {
    return isa == boolmat::Isa::Avx2 ? kAvx2 : kPortable;
}

}  // namespace bmf::detail
