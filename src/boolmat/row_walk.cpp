// The set-bit walk: row i of A∘B is the OR of B's rows j over the set bits j
// of A's row i. O(ones(row) x b_words) word ORs, zero words of the row
// skipped. The set bits are listed first, then the listed rows are ORed
// into a slice of the output row held in vector registers, slice by slice;
// written once over 2-word (SSE2) or 4-word (AVX2) vectors.
#include <bit>

#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/lanes.hpp"
#include "boolmat/detail/product.hpp"

namespace boolmat::detail {

namespace {

// Up to this many set-bit positions are gathered before their rows are ORed.
constexpr std::size_t kBatch = 256;
// Vectors of the output row kept in registers while the list is walked.
constexpr std::size_t kHeldVectors = 8;

// ORs B's rows rows[0 .. n) into out_row (b_words words): kHeldVectors
// vectors of output live in registers while the list is walked; a last
// slice of fewer words is ORed in place, where it stays in L1.
template <class V>
BOOLMAT_INLINE void or_listed_rows(Word* out_row, const std::size_t* rows, std::size_t n,
                                   const ProductOperands& p) {
    constexpr std::size_t kSlice = V::kWords * kHeldVectors;
    std::size_t c0 = 0;
    for (; c0 + kSlice <= p.b_words; c0 += kSlice) {
        typename V::Vec acc[kHeldVectors];
        for (std::size_t v = 0; v < kHeldVectors; ++v)
            acc[v] = V::load(out_row + c0 + V::kWords * v);
        for (std::size_t k = 0; k < n; ++k) {
            const Word* src = p.b + rows[k] * p.b_stride + c0;
            for (std::size_t v = 0; v < kHeldVectors; ++v)
                acc[v] = V::bit_or(acc[v], V::load(src + V::kWords * v));
        }
        for (std::size_t v = 0; v < kHeldVectors; ++v)
            V::store(out_row + c0 + V::kWords * v, acc[v]);
    }
    Word* out = out_row + c0;
    const std::size_t width = p.b_words - c0;
    for (std::size_t k = 0; k < n && width != 0; ++k) {
        const Word* src = p.b + rows[k] * p.b_stride + c0;
        std::size_t w = 0;
        for (; w + V::kWords <= width; w += V::kWords)
            V::store(out + w, V::bit_or(V::load(out + w), V::load(src + w)));
        for (; w < width; ++w) out[w] |= src[w];
    }
}

// The walk for every listed row of A. The set bits are listed four per word
// without a branch (a word with more takes a short loop), so the walk over
// B's rows is one predictable loop whose loads can all be in flight.
template <class V>
BOOLMAT_INLINE void walk_rows(const ProductOperands& p, std::span<const std::size_t> rows) {
    std::size_t listed[kBatch];
    for (const std::size_t i : rows) {
        const Word* a_row = p.a + i * p.a_stride;
        Word* out_row = p.out + i * p.b_words;
        std::size_t k = 0;
        while (k < p.a_words) {
            std::size_t n = 0;
            for (; k < p.a_words && n + kWordBits <= kBatch; ++k) {
                Word w = a_row[k];
                const auto ones = static_cast<std::size_t>(std::popcount(w));
                const std::size_t base = k * kWordBits;
                // The count of trailing zeros of 0 is 64: entries past
                // `ones` are written but unused.
                for (std::size_t j = 0; j < 4; ++j, w &= w - 1)
                    listed[n + j] = base + static_cast<std::size_t>(std::countr_zero(w));
                for (std::size_t j = n + 4; j < n + ones; ++j, w &= w - 1)
                    listed[j] = base + static_cast<std::size_t>(std::countr_zero(w));
                n += ones;
            }
            if (n != 0) or_listed_rows<V>(out_row, listed, n, p);
        }
    }
}

}  // namespace

void or_selected_rows_portable(const ProductOperands& p, std::span<const std::size_t> rows) {
    walk_rows<Sse2Words>(p, rows);
}

BOOLMAT_TARGET_AVX2 void or_selected_rows_avx2(const ProductOperands& p,
                                               std::span<const std::size_t> rows) {
    walk_rows<Avx2Words>(p, rows);
}

}  // namespace boolmat::detail
