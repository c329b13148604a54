// Transposition in 64x64 blocks, each exchanged in place by the six-step
// mask-and-shift transposition (6 x 32 word updates). Blocks are taken in
// tiles of 8 x 8 so that every line of A is read once whole and every line of
// T written once whole through a 32 KiB staging buffer: power-of-two row
// strides would otherwise make the column walk of either matrix thrash the
// caches. The AVX2 variant exchanges four blocks side by side in ymm lanes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "bitmatrix.hpp"
#include "cpu.hpp"

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

// The same step on four blocks at once, block l in lane l of every vector.
template <unsigned J, Word Mask>
BOOLMAT_TARGET_AVX2 inline __attribute__((always_inline)) void exchange_step_avx2(__m256i* x) {
    const __m256i mask = _mm256_set1_epi64x(static_cast<long long>(Mask));
    for (unsigned k0 = 0; k0 < 64; k0 += 2 * J) {
        for (unsigned k = k0; k < k0 + J; ++k) {
            const __m256i t =
                _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi64(x[k], J), x[k + J]), mask);
            x[k] = _mm256_xor_si256(x[k], _mm256_slli_epi64(t, J));
            x[k + J] = _mm256_xor_si256(x[k + J], t);
        }
    }
}

constexpr std::size_t kTile = 8;  // blocks per side of a tile; kTile words = one line
constexpr std::size_t kStreamingWords = std::size_t{1} << 19;  // 4 MiB

// Where a strip's output goes: word d of the transposed block c of row block
// rb lands at staging[(64 c + d) * kTile + rb], so that each transposed row
// of the tile is kTile consecutive words.
struct Strip {
    const Word* src;         // first word of the strip's first row
    std::size_t stride;      // words per row of A
    std::size_t rows;        // valid rows, 1..64; the others read as 0
    std::size_t words;       // blocks side by side, 1..kTile
    Word* staging;
    std::size_t row_block;   // rb
};

void transpose_strip_portable(const Strip& s) {
    Word block[64];
    for (std::size_t c = 0; c < s.words; ++c) {
        for (std::size_t k = 0; k < s.rows; ++k) block[k] = s.src[k * s.stride + c];
        std::fill(block + s.rows, block + 64, Word{0});
        transpose_block(block);
        for (std::size_t d = 0; d < 64; ++d) s.staging[(64 * c + d) * kTile + s.row_block] = block[d];
    }
}

BOOLMAT_TARGET_AVX2 void transpose_strip_avx2(const Strip& s) {
    alignas(32) __m256i x[64];
    for (std::size_t c0 = 0; c0 < s.words; c0 += 4) {
        const std::size_t lanes = std::min<std::size_t>(4, s.words - c0);
        for (std::size_t k = 0; k < s.rows; ++k) {
            const Word* from = s.src + k * s.stride + c0;
            if (lanes == 4) {
                x[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
            } else {
                alignas(32) Word part[4] = {};
                std::memcpy(part, from, lanes * sizeof(Word));
                x[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(part));
            }
        }
        for (std::size_t k = s.rows; k < 64; ++k) x[k] = _mm256_setzero_si256();
        exchange_step_avx2<32, 0x0000'0000'FFFF'FFFFull>(x);
        exchange_step_avx2<16, 0x0000'FFFF'0000'FFFFull>(x);
        exchange_step_avx2<8, 0x00FF'00FF'00FF'00FFull>(x);
        exchange_step_avx2<4, 0x0F0F'0F0F'0F0F'0F0Full>(x);
        exchange_step_avx2<2, 0x3333'3333'3333'3333ull>(x);
        exchange_step_avx2<1, 0x5555'5555'5555'5555ull>(x);
        for (std::size_t d = 0; d < 64; ++d) {
            alignas(32) Word w[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(w), x[d]);
            for (std::size_t l = 0; l < lanes; ++l)
                s.staging[(64 * (c0 + l) + d) * kTile + s.row_block] = w[l];
        }
    }
}

void transpose_strip(const Strip& s) {
    if (cpu::use_avx2())
        transpose_strip_avx2(s);
    else
        transpose_strip_portable(s);
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

BitMatrix transpose(BitView a) {
    const std::size_t r_total = a.rows();
    const std::size_t c_total = a.cols();
    // An empty shape fails here with the messages of zeros().
    if (r_total == 0 || c_total == 0) return BitMatrix::zeros(c_total, r_total);
    const std::size_t t_stride = words_for(r_total);
    const std::size_t a_stride = a.stride();
    const std::size_t a_words = a.row_words();
    const Word* const a_data = a.data();
    // Every word of T is written below: rows past r_total read as 0, so the
    // spare bits of T come out 0.
    BitMatrix t(WordArray::line_aligned(checked_word_count(c_total, t_stride)), c_total, r_total,
                t_stride);
    Word* out = t.words_.data();
    const auto staging = std::make_unique<Word[]>(64 * kTile * kTile);
    // A large T is written around the caches: each of its lines is filled
    // whole from the staging buffer, so reading it in first would be wasted.
    // Rows start on line boundaries when their stride is a whole number of
    // lines, the buffer itself being line-aligned.
    const bool streaming = t_stride % kTile == 0 && t.words_.size() >= kStreamingWords;
    for (std::size_t r0 = 0; r0 < r_total; r0 += 64 * kTile) {
        const std::size_t row_blocks = std::min(kTile, words_for(r_total - r0));
        for (std::size_t w0 = 0; w0 < a_words; w0 += kTile) {
            const std::size_t words = std::min(kTile, a_words - w0);
            for (std::size_t rb = 0; rb < row_blocks; ++rb) {
                const std::size_t first = r0 + 64 * rb;
                // The next tile reads the following line of each of these
                // rows; 64 strided streams are more than the prefetchers follow.
                if (w0 + kTile < a_words) {
                    const Word* next = a_data + first * a_stride + w0 + kTile;
                    for (std::size_t k = 0; k < std::min<std::size_t>(64, r_total - first); ++k)
                        __builtin_prefetch(next + k * a_stride);
                }
                transpose_strip({a_data + first * a_stride + w0, a_stride,
                                 std::min<std::size_t>(64, r_total - first), words,
                                 staging.get(), rb});
            }
            const std::size_t c_end = std::min(c_total, 64 * (w0 + words));
            for (std::size_t c = 64 * w0; c < c_end; ++c) {
                Word* to = out + c * t_stride + r0 / 64;
                const Word* from = staging.get() + (c - 64 * w0) * kTile;
                if (streaming && row_blocks == kTile) {
                    for (std::size_t k = 0; k < kTile; k += 2) {
                        _mm_stream_si128(reinterpret_cast<__m128i*>(to + k),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k)));
                    }
                } else {
                    std::memcpy(to, from, row_blocks * sizeof(Word));
                }
            }
        }
    }
    if (streaming) _mm_sfence();
    return t;
}

BitMatrix BitMatrix::transpose() const { return boolmat::transpose(view()); }

}  // namespace boolmat
