#include "kernels.hpp"

#include <bit>
#include <cstring>

namespace boolmat::kernels {

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

std::size_t popcount_words(const Word* p, std::size_t n) {
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k) total += static_cast<std::size_t>(std::popcount(p[k]));
    return total;
}

std::size_t xor_popcount(const Word* a, const Word* b, std::size_t n) {
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k)
        total += static_cast<std::size_t>(std::popcount(a[k] ^ b[k]));
    return total;
}

std::size_t andnot_popcount(const Word* a, const Word* b, std::size_t n) {
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k)
        total += static_cast<std::size_t>(std::popcount(a[k] & ~b[k]));
    return total;
}

void or_selected_rows(Word* out_row, const Word* a_row, std::size_t a_words,
                      const Word* b, std::size_t b_stride) {
    for (std::size_t k = 0; k < a_words; ++k) {
        Word bits = a_row[k];
        while (bits != 0) {
            const std::size_t j = k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            or_words(out_row, b + j * b_stride, b_stride);
            bits &= bits - 1;  // clear the lowest set bit
        }
    }
}

}  // namespace boolmat::kernels
