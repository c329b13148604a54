// Transposition by 64 x 64 blocks, each exchanged in place by the six-step
// mask-and-shift transposition (6 x 32 word updates per block). The lanes of
// a vector hold blocks of consecutive row blocks, so a transposed vector is
// consecutive words of one row of T. A tile spans 512 rows of A (one line of
// every row of T it writes) and one vector of its words: each line of T is
// stored whole, once, and each line of A is read by consecutive tiles.
// Written once over 2-word (SSE2) or 4-word (AVX2) vectors.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/lanes.hpp"
#include "boolmat/detail/transpose.hpp"
#include "boolmat/kernels.hpp"

namespace boolmat {

namespace detail {

namespace {

constexpr std::size_t kLineWords = 8;
constexpr std::size_t kBlockBits = 64;
constexpr std::size_t kTileRows = kBlockBits * kLineWords;
// From this many words of T on, T is written around the caches.
constexpr std::size_t kStreamingWords = std::size_t{1} << 19;  // 4 MiB

// One exchange step between two words of every lane: swaps the upper J-bit
// half of every 2J-bit group of a with the lower half of the same group of
// b. Mask keeps the bits whose position divided by J is even.
template <class V, int J, Word Mask>
BOOLMAT_INLINE void exchange(typename V::Vec& a, typename V::Vec& b) {
    if constexpr (V::template kBlends<J>) {
        V::template exchange_halves<J>(a, b);
    } else {
        const auto t = V::bit_and(V::bit_xor(V::template shift_right<J>(a), b), V::splat(Mask));
        a = V::bit_xor(a, V::template shift_left<J>(t));
        b = V::bit_xor(b, t);
    }
}

// Exchange steps J, J/2, J/4 (J = 4 or 32) on the 8 words x[0], x[s], ..
// x[7 s] held in registers, s = J / 4, so the words that step J pairs are
// 4 apart in that list.
template <class V, int J, Word M1, Word M2, Word M4>
BOOLMAT_INLINE void three_steps(typename V::Vec* x, std::size_t s) {
    typename V::Vec v[8];
    for (std::size_t i = 0; i < 8; ++i) v[i] = x[i * s];
    for (std::size_t i = 0; i < 4; ++i) exchange<V, J, M1>(v[i], v[i + 4]);
    for (std::size_t i : {0, 1, 4, 5}) exchange<V, J / 2, M2>(v[i], v[i + 2]);
    for (std::size_t i : {0, 2, 4, 6}) exchange<V, J / 4, M4>(v[i], v[i + 1]);
    for (std::size_t i = 0; i < 8; ++i) x[i * s] = v[i];
}

// Transposes the 64 x 64 block of every lane: afterwards bit r of x[c]
// holds what bit c of x[r] held before. The six exchange steps (J = 32, 16,
// .. 1) each swap one bit of the row number with the same bit of the column
// number, so they commute: steps 4, 2, 1 run on groups of 8 consecutive
// words, then steps 32, 16, 8 on groups of words 8 apart, each group in
// registers.
template <class V>
BOOLMAT_INLINE void transpose_block(typename V::Vec* x) {
    for (std::size_t g = 0; g < 64; g += 8)
        three_steps<V, 4, 0x0F0F'0F0F'0F0F'0F0Full, 0x3333'3333'3333'3333ull,
                    0x5555'5555'5555'5555ull>(x + g, 1);
    for (std::size_t c = 0; c < 8; ++c)
        three_steps<V, 32, 0x0000'0000'FFFF'FFFFull, 0x0000'FFFF'0000'FFFFull,
                    0x00FF'00FF'00FF'00FFull>(x + c, 8);
}

// The first n <= kWords words at p, the others 0.
template <class V>
BOOLMAT_INLINE typename V::Vec load_words(const Word* p, std::size_t n) {
    if (n == V::kWords) return V::load(p);
    Word part[V::kWords] = {};
    std::memcpy(part, p, n * sizeof(Word));
    return V::load(part);
}

// The tile of A at rows r0 .. r0 + 511 and words c0 .. c0 + kWords - 1,
// kept as P x kWords blocks: x[p][q][k], lane l, is word c0 + q of row
// r0 + 64 (p kWords + l) + k (0 past A). Then T gets, for every block
// column q and d < 64, row 64 (c0 + q) + d at words r0 / 64 + p kWords + l.
template <class V>
BOOLMAT_INLINE void transpose_tiles(const TransposeOperands& o) {
    using Vec = typename V::Vec;
    constexpr std::size_t L = V::kWords;
    constexpr std::size_t P = kLineWords / L;
    const std::size_t a_words = words_for(o.a_cols);
    alignas(64) Vec x[P][L][kBlockBits];
    for (std::size_t r0 = 0; r0 < o.a_rows; r0 += kTileRows) {
        // Panels of L row blocks that hold rows of A; words of T that exist.
        const std::size_t panels =
            std::min(P, (o.a_rows - r0 + kBlockBits * L - 1) / (kBlockBits * L));
        const std::size_t t_word = r0 / kBlockBits;
        const std::size_t t_words = std::min(kLineWords, o.t_stride - t_word);
        for (std::size_t c0 = 0; c0 < a_words; c0 += L) {
            const std::size_t qn = std::min(L, a_words - c0);
            for (std::size_t p = 0; p < panels; ++p) {
                const std::size_t first = r0 + kBlockBits * L * p;
                const Word* base = o.a + first * o.a_stride + c0;
                // The next line of these rows is read a few tiles on.
                if (c0 % kLineWords == 0 && c0 + kLineWords < a_words) {
                    const std::size_t end = std::min(o.a_rows, first + kBlockBits * L);
                    for (std::size_t i = first; i < end; ++i)
                        __builtin_prefetch(o.a + i * o.a_stride + c0 + kLineWords);
                }
                const bool whole = qn == L && first + kBlockBits * L <= o.a_rows;
                for (std::size_t k = 0; k < kBlockBits; ++k) {
                    Vec rows[L];
                    for (std::size_t l = 0; l < L; ++l) {
                        const std::size_t i = kBlockBits * l + k;
                        if (whole)
                            rows[l] = V::load(base + i * o.a_stride);
                        else
                            rows[l] = first + i < o.a_rows
                                          ? load_words<V>(base + i * o.a_stride, qn)
                                          : V::zero();
                    }
                    V::transpose_words(rows);
                    for (std::size_t q = 0; q < qn; ++q) x[p][q][k] = rows[q];
                }
                for (std::size_t q = 0; q < qn; ++q) transpose_block<V>(x[p][q]);
            }
            for (std::size_t p = panels; p < P; ++p)
                for (std::size_t q = 0; q < qn; ++q)
                    std::fill(x[p][q], x[p][q] + kBlockBits, V::zero());
            for (std::size_t q = 0; q < qn; ++q) {
                const std::size_t first = kBlockBits * (c0 + q);
                const std::size_t d_end = std::min(kBlockBits, o.a_cols - first);
                for (std::size_t d = 0; d < d_end; ++d) {
                    Word* to = o.t + (first + d) * o.t_stride + t_word;
                    if (o.stream) {
                        for (std::size_t p = 0; p < P; ++p) V::stream(to + p * L, x[p][q][d]);
                    } else if (t_words == kLineWords) {
                        for (std::size_t p = 0; p < P; ++p) V::store(to + p * L, x[p][q][d]);
                    } else {
                        Word line[kLineWords];
                        for (std::size_t p = 0; p < P; ++p) V::store(line + p * L, x[p][q][d]);
                        std::memcpy(to, line, t_words * sizeof(Word));
                    }
                }
            }
        }
    }
    if (o.stream) _mm_sfence();
}

void transpose_portable(const TransposeOperands& o) { transpose_tiles<Sse2Words>(o); }

BOOLMAT_TARGET_AVX2 void transpose_avx2(const TransposeOperands& o) {
    transpose_tiles<Avx2Words>(o);
}

}  // namespace

const TransposeKernels& transpose_kernels(Isa isa) {
    static constexpr TransposeKernels portable{transpose_portable};
    static constexpr TransposeKernels avx2{transpose_avx2};
    return isa == Isa::Avx2 ? avx2 : portable;
}

}  // namespace detail

BitMatrix transpose(BitView a) { return transpose(a, default_kernels()); }

BitMatrix transpose(BitView a, const Kernels& k) {
    // An empty shape fails here with the messages of zeros().
    if (a.rows() == 0 || a.cols() == 0) return BitMatrix::zeros(a.cols(), a.rows());
    const std::size_t t_stride = words_for(a.rows());
    // Every word of T is written by the kernel: rows past a.rows() read as
    // 0, so the spare bits of T come out 0.
    BitMatrix t(WordArray::line_aligned(checked_word_count(a.cols(), t_stride)), a.cols(), a.rows(),
                t_stride);
    const bool stream = t_stride % 8 == 0 && t.words_.size() >= detail::kStreamingWords;
    k.transpose->transpose(
        {a.data(), a.rows(), a.cols(), a.stride(), t.words_.data(), t_stride, stream});
    return t;
}

BitMatrix BitMatrix::transpose() const { return boolmat::transpose(view()); }

}  // namespace boolmat
