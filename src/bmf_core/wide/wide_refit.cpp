#include "bmf_core/wide/wide_refit.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {
namespace {

using boolmat::kWordBits;
using boolmat::Word;
namespace kernels = boolmat::kernels;

// Bits begin .. begin + b - 1 of a row of words, as the low bits of a word.
std::uint32_t bits_of(const Word* row, std::size_t begin, std::size_t b) {
    const std::size_t w = begin / kWordBits;
    const unsigned shift = static_cast<unsigned>(begin % kWordBits);
    Word v = row[w] >> shift;
    if (shift != 0 && shift + b > kWordBits) v |= row[w + 1] << (kWordBits - shift);
    return static_cast<std::uint32_t>(v & ((Word{1} << b) - 1));
}

// Writes the low b bits of `value` over bits begin .. begin + b - 1 of a row.
void put_bits(Word* row, std::size_t begin, std::size_t b, std::uint32_t value) {
    for (std::size_t t = 0; t < b; ++t) {
        const std::size_t j = begin + t;
        const Word bit = Word{1} << (j % kWordBits);
        if ((value >> t) & 1) {
            row[j / kWordBits] |= bit;
        } else {
            row[j / kWordBits] &= ~bit;
        }
    }
}

// Packs the bits of p under `mask` to the low end in order (a portable
// parallel bit extract), reading only the set bits of p: rank[j] is the
// position of mask's bit j among mask's set bits.
inline std::uint32_t compress(std::uint32_t p, const std::uint8_t* rank) {
    std::uint32_t out = 0;
    for (; p != 0; p &= p - 1) out |= std::uint32_t{1} << rank[std::countr_zero(p)];
    return out;
}

// The inverse of compress: spreads the low bits of g over mask's set bits.
std::uint32_t expand(std::uint32_t g, std::uint32_t mask) {
    std::uint32_t out = 0;
    unsigned t = 0;
    for (std::uint32_t m = mask; m != 0; m &= m - 1, ++t) {
        if ((g >> t) & 1) out |= m & (~m + 1);
    }
    return out;
}

// Bits of the table handled while a sub-block of 2^12 entries sits in L1.
constexpr unsigned kL1Bits = 12;

// hi[t] += lo[t] for t < n, n a multiple of 8: fixed runs of eight and
// distinct ranges let the compiler use vector adds at any optimisation.
template <class T>
inline void add_into(T* __restrict hi, const T* __restrict lo, std::size_t n) {
    for (std::size_t t = 0; t < n; t += 8)
        for (std::size_t q = 0; q < 8; ++q) hi[t + q] += lo[t + q];
}

// One sweep of the transform for half >= 8: d[t] += d[t - half] wherever t
// has bit `half`.
template <class T>
inline void sweep(T* d, std::size_t n, std::size_t half) {
    for (std::size_t base = 0; base < n; base += 2 * half)
        add_into(d + base + half, d + base, half);
}

// Adds v at every entry of p's aligned group of eight whose low three bits
// contain p's: bits 0-2 of the transform done while counting, one row at a
// time, instead of three scalar sweeps over the whole table.
template <class T>
inline void add_to_lane_supersets(T* d, std::uint32_t p, T v) {
    const std::uint32_t low = p & 7;
    T* const group = d + (p & ~std::uint32_t{7});
    for (std::uint32_t s = 0; s < 8; ++s) {
        if ((s & low) == low) group[s] += v;
    }
}

// d[t] becomes the sum of the old d[p] over every p contained in t, for a
// table of n >= 8 entries filled by add_to_lane_supersets: bits from 3 up,
// the low ones sub-block by sub-block while each is in L1, then the rest.
template <class T>
void subset_sums(T* d, std::size_t n) {
    const std::size_t block = std::min<std::size_t>(n, std::size_t{1} << kL1Bits);
    for (std::size_t base = 0; base < n; base += block) {
        for (std::size_t half = 8; half < block; half *= 2) sweep(d + base, block, half);
    }
    for (std::size_t half = block; half < n; half *= 2) sweep(d, n, half);
}

// The highest t < n holding the smallest d[t]: the minimum first, in a loop
// the compiler vectorises, then one scan down to its last occurrence.
template <class T>
std::size_t last_minimum(const T* d, std::size_t n) {
    T lane[8];
    std::copy(d, d + 8, lane);
    for (std::size_t t = 8; t < n; t += 8)
        for (std::size_t q = 0; q < 8; ++q) lane[q] = std::min(lane[q], d[t + q]);
    const T low = *std::min_element(lane, lane + 8);
    std::size_t t = n - 1;
    while (d[t] != low) --t;
    return t;
}

// The same for n < 8.
template <class T>
std::size_t last_minimum_small(const T* d, std::size_t n) {
    std::size_t best = n - 1;
    for (std::size_t t = n - 1; t-- > 0;) {
        if (d[t] < d[best]) best = t;
    }
    return best;
}

// Working memory of one refit, reused from vector to vector; table entries
// of T, 32 bits wide unless the weighted sums could outgrow them.
template <class T>
struct RefitScratch {
    std::vector<Word> covered;  // W∘(fixed columns)
    std::vector<Word> reach;    // uncovered rows that meet an active column
    std::vector<T> table;
    std::vector<Word> seen_x;        // x AND mask (masked refits only)
    std::vector<Word> seen_covered;  // W∘(fixed columns) AND mask
};

// The best block combination for x and the vector's error with it.
struct BlockChoice {
    std::uint32_t g;
    std::uint64_t error;
};

// Masked: only the positions where `mask` (a row of x's shape) has a 1 are
// counted; the unmasked instance never reads `mask` and counts every one.
// A false one costs weights.false_one and a false zero weights.false_zero:
// over the uncovered observed rows the error of g is false_one x their
// zeros plus the sum of D[p] = false_zero x ones(p) - false_one x zeros(p)
// over the patterns p that g misses.
template <bool Masked, class T>
BlockChoice refit_one(const WideLs& solver, std::span<const std::uint32_t> patterns,
                      std::span<const Word> x, const Word* mask, std::span<const Word> combination,
                      std::size_t begin, std::size_t b, const Weights& weights,
                      RefitScratch<T>& s) {
    const std::size_t mw = x.size();
    const std::size_t m = solver.m();
    const Word* const cols = solver.columns().words().data();
    const std::size_t stride = solver.columns().stride();
    const boolmat::detail::PopcountKernels& count = *solver.kernels().bits->popcount;

    std::fill(s.covered.begin(), s.covered.end(), Word{0});
    for (std::size_t w = 0; w < combination.size(); ++w) {
        Word bits = combination[w];
        // The block's own bits are not fixed.
        for (std::size_t t = 0; t < b; ++t) {
            const std::size_t j = begin + t;
            if (j / kWordBits == w) bits &= ~(Word{1} << (j % kWordBits));
        }
        for (; bits != 0; bits &= bits - 1) {
            const std::size_t j = w * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            kernels::or_words(s.covered.data(), cols + j * stride, mw);
        }
    }
    // Covered rows are predicted 1: their zeros of x are wrong whatever g is.
    std::uint64_t fixed_error = 0, ones_uncovered = 0, zeros_uncovered = 0;
    if constexpr (Masked) {
        // The observed parts of x and of the cover, spare bits of the mask
        // past m cleared, then counted by the solver's population counts.
        const Word tail = boolmat::row_mask(m);
        for (std::size_t w = 0; w < mw; ++w) {
            const Word seen = w + 1 == mw ? mask[w] & tail : mask[w];
            s.seen_x[w] = x[w] & seen;
            s.seen_covered[w] = s.covered[w] & seen;
        }
        const std::uint64_t observed =
            count.popcount(mask, mw) -
            (mw == 0 ? 0 : static_cast<std::uint64_t>(std::popcount(mask[mw - 1] & ~tail)));
        fixed_error = count.andnot_popcount(s.seen_covered.data(), s.seen_x.data(), mw);
        ones_uncovered = count.andnot_popcount(s.seen_x.data(), s.covered.data(), mw);
        zeros_uncovered = observed - count.popcount(s.seen_covered.data(), mw) - ones_uncovered;
    } else {
        fixed_error = count.andnot_popcount(s.covered.data(), x.data(), mw);
        ones_uncovered = count.andnot_popcount(x.data(), s.covered.data(), mw);
        zeros_uncovered = m - count.popcount(s.covered.data(), mw) - ones_uncovered;
    }

    // Active block columns: those that meet an uncovered (observed) one of x.
    std::uint32_t active = 0;
    for (std::size_t w = 0; w < mw; ++w) {
        Word bits = x[w] & ~s.covered[w];
        if constexpr (Masked) bits &= mask[w];
        for (; bits != 0; bits &= bits - 1) {
            active |= patterns[w * kWordBits + static_cast<std::size_t>(std::countr_zero(bits))];
        }
    }
    const std::uint64_t fixed_cost = weights.false_one * fixed_error;
    if (active == 0) return {0, fixed_cost + weights.false_zero * ones_uncovered};

    // Only uncovered rows that meet an active column land outside entry 0.
    std::fill(s.reach.begin(), s.reach.end(), Word{0});
    for (std::uint32_t bits = active; bits != 0; bits &= bits - 1) {
        const std::size_t j = begin + static_cast<std::size_t>(std::countr_zero(bits));
        kernels::or_words(s.reach.data(), cols + j * stride, mw);
    }
    kernels::andnot_words(s.reach.data(), s.covered.data(), mw);
    if constexpr (Masked) kernels::and_words(s.reach.data(), mask, mw);

    const unsigned a = static_cast<unsigned>(std::popcount(active));
    std::uint8_t rank[32] = {};
    {
        std::uint8_t t = 0;
        for (std::uint32_t bits = active; bits != 0; bits &= bits - 1)
            rank[std::countr_zero(bits)] = t++;
    }
    // At least one group of eight, whatever a is: entries beyond 2^a hold
    // patterns with bits that no column has, and are never read.
    const std::size_t size = std::size_t{1} << std::max(a, 3u);
    T* const d = s.table.data();
    std::fill(d, d + size, T{0});
    const T one = static_cast<T>(weights.false_zero), zero = -static_cast<T>(weights.false_one);
    std::int64_t rest = static_cast<std::int64_t>(weights.false_zero * ones_uncovered) -
                        static_cast<std::int64_t>(weights.false_one * zeros_uncovered);
    for (std::size_t w = 0; w < mw; ++w) {
        for (Word bits = s.reach[w]; bits != 0; bits &= bits - 1) {
            const unsigned bit = static_cast<unsigned>(std::countr_zero(bits));
            const std::size_t i = w * kWordBits + bit;
            const T v = ((x[w] >> bit) & 1) ? one : zero;
            add_to_lane_supersets(d, compress(patterns[i] & active, rank), v);
            rest -= v;
        }
    }
    add_to_lane_supersets(d, 0, static_cast<T>(rest));
    subset_sums(d, size);
    const std::size_t used = std::size_t{1} << a;

    // error(g) = false_one x zeros_uncovered + d[complement of g]; the
    // highest t with the least d[t] is the lowest g on ties.
    const std::size_t best_t = used >= 8 ? last_minimum(d, used) : last_minimum_small(d, used);
    const std::uint32_t g = static_cast<std::uint32_t>((used - 1) ^ best_t);
    const std::int64_t uncovered_error =
        static_cast<std::int64_t>(weights.false_one * zeros_uncovered) +
        static_cast<std::int64_t>(d[best_t]);
    return {expand(g, active), fixed_cost + static_cast<std::uint64_t>(uncovered_error)};
}

// The loop over vectors of both refits with table entries of T; `masks` is
// null for the unmasked one and then never read.
template <bool Masked, class T>
std::uint64_t refit_each(const WideLs& solver, BitView vectors, const BitView* masks,
                         std::size_t begin, std::size_t b, BitViewMut combinations,
                         const Weights& weights) {
    // The block pattern of every row of W, read once for all vectors.
    const auto& w = solver.rows();
    std::vector<std::uint32_t> patterns(solver.m());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        patterns[i] = bits_of(w.words().data() + i * w.stride(), begin, b);
    }
    const std::size_t mw = boolmat::words_for(solver.m());
    RefitScratch<T> scratch{std::vector<Word>(mw), std::vector<Word>(mw),
                            std::vector<T>(std::size_t{1} << std::max<std::size_t>(b, 3)),
                            std::vector<Word>(Masked ? mw : 0), std::vector<Word>(Masked ? mw : 0)};

    std::uint64_t total = 0;
    for (std::size_t v = 0; v < vectors.rows(); ++v) {
        const auto row = combinations.row(v);
        const Word* mask = nullptr;
        if constexpr (Masked) mask = masks->row(v).data();
        const BlockChoice c = refit_one<Masked, T>(solver, patterns, vectors.row(v), mask, row,
                                                   begin, b, weights, scratch);
        put_bits(row.data(), begin, b, c.g);
        total += c.error;
    }
    return total;
}

// The checks of both refits, then the loop: 32-bit table entries whenever
// every sum of weighted counts fits them (always for unit weights, since W
// has fewer than 2^31 rows), 64-bit ones otherwise.
template <bool Masked>
std::uint64_t refit_rows(const WideLs& solver, BitView vectors, const BitView* masks,
                         std::size_t begin, std::size_t end, BitViewMut combinations,
                         const Weights& weights) {
    boolmat::assert_eq(vectors.cols(), solver.m(), [&] {
        return boolmat::cat("les vecteurs ont ", vectors.cols(), " bits, W a ", solver.m(),
                            " lignes");
    });
    boolmat::assert_eq(combinations.rows(), vectors.rows(), [&] {
        return boolmat::cat(combinations.rows(), " combinaisons pour ", vectors.rows(),
                            " vecteurs");
    });
    boolmat::assert_eq(combinations.cols(), solver.k(), [&] {
        return boolmat::cat("les combinaisons ont ", combinations.cols(), " bits, W a ", solver.k(),
                            " colonnes");
    });
    if (begin >= end || end > solver.k()) {
        boolmat::fail(
            boolmat::FailKind::Index,
            boolmat::cat("bloc ", begin, "..", end, " hors des ", solver.k(), " colonnes"));
    }
    const std::size_t b = end - begin;
    if (b > kMaxRefitBlock) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("bloc de ", b, " colonnes : au plus ", kMaxRefitBlock));
    }

    const std::uint64_t heaviest = std::max(weights.false_one, weights.false_zero);
    if (heaviest * solver.m() < (std::uint64_t{1} << 31))
        return refit_each<Masked, std::int32_t>(solver, vectors, masks, begin, b, combinations,
                                                weights);
    return refit_each<Masked, std::int64_t>(solver, vectors, masks, begin, b, combinations,
                                            weights);
}

void check_mask_shape(BitView vectors, BitView masks) {
    if (masks.rows() != vectors.rows() || masks.cols() != vectors.cols()) {
        boolmat::fail(
            boolmat::FailKind::Shape,
            boolmat::cat("les masques ont ", masks.rows(), "x", masks.cols(),
                         " cellules, les vecteurs ", vectors.rows(), "x", vectors.cols()));
    }
}

}  // namespace

std::uint64_t refit_block(const WideLs& solver, BitView vectors, std::size_t begin, std::size_t end,
                          BitViewMut combinations) {
    return refit_rows<false>(solver, vectors, nullptr, begin, end, combinations, Weights{});
}

std::uint64_t refit_block(const WideLs& solver, BitView vectors, BitView masks, std::size_t begin,
                          std::size_t end, BitViewMut combinations) {
    check_mask_shape(vectors, masks);
    return refit_rows<true>(solver, vectors, &masks, begin, end, combinations, Weights{});
}

std::uint64_t refit_block(const WideLs& solver, BitView vectors, std::size_t begin, std::size_t end,
                          BitViewMut combinations, const Costs& costs) {
    return refit_rows<false>(solver, vectors, nullptr, begin, end, combinations,
                             costs.weights(solver.m()));
}

std::uint64_t refit_block(const WideLs& solver, BitView vectors, BitView masks, std::size_t begin,
                          std::size_t end, BitViewMut combinations, const Costs& costs) {
    check_mask_shape(vectors, masks);
    return refit_rows<true>(solver, vectors, &masks, begin, end, combinations,
                            costs.weights(solver.m()));
}

}  // namespace bmf
