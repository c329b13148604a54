// Transposition in 64x64 blocks: each block of A is loaded into a 64-word
// buffer, transposed in place by the six-step mask-and-shift exchange, and
// stored as whole words of T. Cost: one block exchange (6 x 32 word updates)
// per 64x64 block, each word of T written once.
#include <algorithm>

#include "bitmatrix.hpp"

namespace boolmat {

namespace {

// One exchange step: swaps the upper J-bit half of every 2J-bit group of word
// k with the lower half of the same group of word k + J, for each k with
// (k & J) == 0. Mask keeps the bits b with (b / J) even. J is a constant so
// the loops unroll and vectorise.
template <unsigned J, Word Mask>
void exchange_step(Word* x) {
    for (unsigned k0 = 0; k0 < 64; k0 += 2 * J) {
        for (unsigned k = k0; k < k0 + J; ++k) {
            const Word t = ((x[k] >> J) ^ x[k + J]) & Mask;
            x[k] ^= t << J;
            x[k + J] ^= t;
        }
    }
}

}  // namespace

void transpose_block(Word x[64]) {
    exchange_step<32, 0x0000'0000'FFFF'FFFFull>(x);
    exchange_step<16, 0x0000'FFFF'0000'FFFFull>(x);
    exchange_step<8, 0x00FF'00FF'00FF'00FFull>(x);
    exchange_step<4, 0x0F0F'0F0F'0F0F'0F0Full>(x);
    exchange_step<2, 0x3333'3333'3333'3333ull>(x);
    exchange_step<1, 0x5555'5555'5555'5555ull>(x);
}

BitMatrix BitMatrix::transpose() const {
    const std::size_t r_total = rows_;
    const std::size_t c_total = cols_;
    BitMatrix t = zeros(c_total, r_total);
    const std::span<Word> out = t.words_mut();
    Word block[64];
    for (std::size_t r0 = 0; r0 < r_total; r0 += kWordBits) {
        const std::size_t h = std::min(kWordBits, r_total - r0);
        for (std::size_t c0 = 0; c0 < c_total; c0 += kWordBits) {
            const std::size_t w = std::min(kWordBits, c_total - c0);
            // Rows beyond h stay 0, so the stored words of T get zero spare bits.
            std::fill(block + h, block + 64, Word{0});
            for (std::size_t k = 0; k < h; ++k) block[k] = words_[(r0 + k) * stride_ + word_of(c0)];
            transpose_block(block);
            for (std::size_t d = 0; d < w; ++d) out[(c0 + d) * t.stride_ + word_of(r0)] = block[d];
        }
    }
    return t;
}

}  // namespace boolmat
