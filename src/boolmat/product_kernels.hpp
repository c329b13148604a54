// Kernels of the Boolean product, unchecked like those of kernels.hpp: raw
// pointers, strides in words, valid ranges assumed. Two families, each with a
// `_portable` and an `_avx2` variant picked by one dispatch function:
//   - the set-bit walk (row_walk.cpp), cheap when a row of A is sparse;
//   - the Four Russians tables (four_russians.cpp), cheap when rows are dense.
// Both only OR into the output, so the order of the work never changes a bit.
#pragma once

#include <cstddef>
#include <span>

#include "words.hpp"

namespace boolmat::kernels {

// ORs into out_row (b_words words) row j of b (rows b_stride words apart),
// for every set bit j of a_row[0 .. a_words); zero words of a_row are skipped.
// O(ones(a_row) x b_words) word ORs plus one test per word of a_row.
void or_selected_rows(Word* out_row, const Word* a_row, std::size_t a_words, const Word* b,
                      std::size_t b_stride, std::size_t b_words);
void or_selected_rows_portable(Word* out_row, const Word* a_row, std::size_t a_words,
                               const Word* b, std::size_t b_stride, std::size_t b_words);
void or_selected_rows_avx2(Word* out_row, const Word* a_row, std::size_t a_words, const Word* b,
                           std::size_t b_stride, std::size_t b_words);

// Operands of a product A∘B as raw word arrays: A's rows are a_stride words
// apart and hold a_words words of cells; B has b_rows rows b_stride words
// apart, of b_words words; row i of the output starts at out + i * b_words.
// Every set bit of A lies below column b_rows; b_last_mask holds the bits of
// the last word of a row that are cells.
struct ProductOperands {
    const Word* a;
    std::size_t a_stride;
    std::size_t a_words;
    const Word* b;
    std::size_t b_rows;
    std::size_t b_stride;
    std::size_t b_words;
    Word b_last_mask;
    Word* out;
};

// Words of scratch memory or_rows_by_tables needs.
std::size_t table_scratch_words();

// ORs into the output row i the product row of A's row i, for every i in
// `rows`, through tables of the 256 ORs of each group of 8 consecutive rows
// of B. Tables are built for a block of groups and an 8-word slice of the
// columns at a time, so they stay in the L2 cache, and each listed row ORs
// one 64-byte table entry per group instead of one B row per set bit; a row
// whose slice has become all ones skips the rest of that slice.
// `scratch` holds table_scratch_words() words, 64-byte aligned.
// O(groups x 256 x b_stride) words to build, O(rows x groups x b_stride) ORs.
void or_rows_by_tables(const ProductOperands& p, std::span<const std::size_t> rows, Word* scratch);
void or_rows_by_tables_portable(const ProductOperands& p, std::span<const std::size_t> rows,
                                Word* scratch);
void or_rows_by_tables_avx2(const ProductOperands& p, std::span<const std::size_t> rows,
                            Word* scratch);

}  // namespace boolmat::kernels
