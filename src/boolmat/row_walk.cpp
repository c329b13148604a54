// The set-bit walk: row i of A∘B is the OR of B's rows j over the set bits j
// of A's row i. O(ones(row) x b_stride) word ORs, zero words of the row
// skipped; the AVX2 variant lists the set bits first and keeps 32 output
// words in registers while it ORs the listed rows.
#include <immintrin.h>

#include <bit>

#include "cpu.hpp"
#include "kernels.hpp"
#include "product_kernels.hpp"

namespace boolmat::kernels {

void or_selected_rows_portable(Word* out_row, const Word* a_row, std::size_t a_words,
                               const Word* b, std::size_t b_stride, std::size_t b_words) {
    for (std::size_t k = 0; k < a_words; ++k) {
        for (Word bits = a_row[k]; bits != 0; bits &= bits - 1) {
            const std::size_t j = k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            or_words(out_row, b + j * b_stride, b_words);
        }
    }
}

namespace {

// Up to this many set-bit positions are gathered before their rows are ORed.
constexpr std::size_t kBatch = 256;

// ORs b's rows rows[0 .. n) into out_row (b_words words): 32 output words
// live in 8 ymm registers while the list is walked; a last slice of fewer
// words is ORed in place, where it stays in L1.
BOOLMAT_TARGET_AVX2 void or_listed_rows_avx2(Word* out_row, const std::size_t* rows, std::size_t n,
                                             const Word* b, std::size_t b_stride,
                                             std::size_t b_words) {
    constexpr std::size_t kVectors = 8;
    constexpr std::size_t kSlice = 4 * kVectors;
    std::size_t c0 = 0;
    for (; c0 + kSlice <= b_words; c0 += kSlice) {
        __m256i acc[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v)
            acc[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out_row + c0 + 4 * v));
        for (std::size_t k = 0; k < n; ++k) {
            const Word* src = b + rows[k] * b_stride + c0;
            for (std::size_t v = 0; v < kVectors; ++v) {
                const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * v));
                acc[v] = _mm256_or_si256(acc[v], s);
            }
        }
        for (std::size_t v = 0; v < kVectors; ++v)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_row + c0 + 4 * v), acc[v]);
    }
    if (c0 == b_words) return;
    Word* out = out_row + c0;
    const std::size_t width = b_words - c0;
    for (std::size_t k = 0; k < n; ++k) {
        const Word* src = b + rows[k] * b_stride + c0;
        std::size_t w = 0;
        for (; w + 4 <= width; w += 4) {
            auto* dst = reinterpret_cast<__m256i*>(out + w);
            const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + w));
            _mm256_storeu_si256(dst, _mm256_or_si256(_mm256_loadu_si256(dst), s));
        }
        for (; w < width; ++w) out[w] |= src[w];
    }
}

}  // namespace

BOOLMAT_TARGET_AVX2 void or_selected_rows_avx2(Word* out_row, const Word* a_row,
                                               std::size_t a_words, const Word* b,
                                               std::size_t b_stride, std::size_t b_words) {
    // The set bits are listed first, four per word without a branch (a word
    // with more takes a short loop), so the walk over B's rows below is one
    // predictable loop whose loads can all be in flight together.
    std::size_t rows[kBatch];
    std::size_t k = 0;
    while (k < a_words) {
        std::size_t n = 0;
        for (; k < a_words && n + kWordBits <= kBatch; ++k) {
            Word w = a_row[k];
            const auto ones = static_cast<std::size_t>(std::popcount(w));
            const std::size_t base = k * kWordBits;
            // TZCNT of 0 is 64: entries past `ones` are written but unused.
            for (std::size_t j = 0; j < 4; ++j) {
                rows[n + j] = base + _tzcnt_u64(w);
                w = _blsr_u64(w);
            }
            if (ones > 4) {
                for (std::size_t j = n + 4; j < n + ones; ++j) {
                    rows[j] = base + _tzcnt_u64(w);
                    w = _blsr_u64(w);
                }
            }
            n += ones;
        }
        if (n != 0) or_listed_rows_avx2(out_row, rows, n, b, b_stride, b_words);
    }
}

void or_selected_rows(Word* out_row, const Word* a_row, std::size_t a_words, const Word* b,
                      std::size_t b_stride, std::size_t b_words) {
    if (cpu::use_avx2())
        or_selected_rows_avx2(out_row, a_row, a_words, b, b_stride, b_words);
    else
        or_selected_rows_portable(out_row, a_row, a_words, b, b_stride, b_words);
}

}  // namespace boolmat::kernels
