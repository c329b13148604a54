// The word-range kernels behind every BitVec and BitMatrix operation, and
// the tables through which every kernel family is dispatched. The kernels
// take raw pointers and counts, assume valid ranges (dst may be src itself
// but must not partly overlap it) and check nothing; the public operations
// check shapes and indices first. Each is one pass, O(n) words.
//
// Each kernel family whose code differs by instruction set (the population
// counts, the byte conversions, the product, the transposition) has a table
// of entry points per instruction set, the AVX2 one or the portable one;
// Kernels gathers one table per family. A caller picks a Kernels once
// (default_kernels() unless it wants a given variant) and passes it down, so
// threads never share a switch and no kernel asks which one runs. The
// logical word loops below are the same code for every processor.
#pragma once

#include <cstddef>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

namespace detail {
struct PopcountKernels;
struct ByteKernels;
struct ProductKernels;
struct TransposeKernels;
}  // namespace detail

// The entry points of boolmat's kernel families for one instruction set.
struct Kernels {
    Isa isa;
    const detail::PopcountKernels* popcount;
    const detail::ByteKernels* bytes;
    const detail::ProductKernels* product;
    const detail::TransposeKernels* transpose;
};

// The tables of `isa`; fails when the processor cannot run them.
const Kernels& kernels_for(Isa isa);
// The tables of cpu::best_isa(), chosen once, on first use; the portable
// ones whatever the processor in a build with QUORBMF_PORTABLE_KERNELS.
const Kernels& default_kernels();
// True in a build whose default_kernels() are the portable ones whatever
// the processor (the QUORBMF_PORTABLE_KERNELS option of the build).
bool portable_kernels_forced();

namespace kernels {

// dst[k] |= src[k] for k < n.
void or_words(Word* dst, const Word* src, std::size_t n);
// dst[k] &= src[k] for k < n.
void and_words(Word* dst, const Word* src, std::size_t n);
// dst[k] ^= src[k] for k < n.
void xor_words(Word* dst, const Word* src, std::size_t n);
// dst[k] &= ~src[k] for k < n.
void andnot_words(Word* dst, const Word* src, std::size_t n);
// dst[k] = ~src[k] for k < n.
void not_words(Word* dst, const Word* src, std::size_t n);
// Sets every bit of dst[0 .. n).
void fill_ones(Word* dst, std::size_t n);
// ANDs the last word of each of `rows` rows of `stride` words with `mask`.
void mask_row_ends(Word* words, std::size_t rows, std::size_t stride, Word mask);

}  // namespace kernels

}  // namespace boolmat
