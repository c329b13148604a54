// The set-bit walk: row i of A∘B is the OR of B's rows j over the set bits j
// of A's row i. O(ones(row) x b_words) word ORs, zero words of the row
// skipped. The set bits are listed first, then the listed rows are ORed
// into a slice of the output row held in vector registers, slice by slice;
// written once over 2-word (SSE2) or 4-word (AVX2) vectors.
#include <algorithm>
#include <bit>

#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/lanes.hpp"
#include "boolmat/detail/product.hpp"

namespace boolmat::detail {

namespace {

// Up to this many set-bit positions are gathered before their rows are ORed.
constexpr std::size_t kBatch = 256;
// Words of A's row whose nonzero ones are found in one pass.
constexpr std::size_t kChunkWords = 64;
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

// The walk for every listed row of A. Neither listing step branches on the
// bits: a chunk's nonzero words are found first, each index stored and the
// count advanced by whether the word is nonzero, then their set bits are
// listed four per word (a word with more takes a short loop). At 1 % density
// half the words are zero, so any test of a word would be mispredicted on
// half of them; zero words cost a few instructions instead of a full
// listing. The walk over B's rows is then one predictable loop whose loads
// can all be in flight.
template <class V>
BOOLMAT_INLINE void walk_rows(const ProductOperands& p, std::span<const std::size_t> rows) {
    std::size_t listed[kBatch];
    std::size_t nonzero[kChunkWords];
    for (const std::size_t i : rows) {
        const Word* a_row = p.a + i * p.a_stride;
        Word* out_row = p.out + i * p.b_words;
        std::size_t n = 0;
        for (std::size_t k0 = 0; k0 < p.a_words; k0 += kChunkWords) {
            const std::size_t words = std::min(kChunkWords, p.a_words - k0);
            std::size_t m = 0;
            for (std::size_t k = k0; k < k0 + words; ++k) {
                nonzero[m] = k;
                m += a_row[k] != 0 ? 1 : 0;
            }
            for (std::size_t q = 0; q < m; ++q) {
                if (n + kWordBits > kBatch) {
                    or_listed_rows<V>(out_row, listed, n, p);
                    n = 0;
                }
                const std::size_t k = nonzero[q];
                Word w = a_row[k];
                const auto ones = static_cast<std::size_t>(std::popcount(w));
                const std::size_t base = k * kWordBits;
                // Entries past `ones` are written but unused; the scan has
                // no zero case for the compiler to branch on.
                for (std::size_t j = 0; j < 4; ++j, w &= w - 1)
                    listed[n + j] = base + V::lowest_bit(w);
                for (std::size_t j = n + 4; j < n + ones; ++j, w &= w - 1)
                    listed[j] = base + V::lowest_bit(w);
                n += ones;
            }
        }
        if (n != 0) or_listed_rows<V>(out_row, listed, n, p);
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
