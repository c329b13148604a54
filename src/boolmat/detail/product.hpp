// The product family, unchecked like every kernel: raw pointers, strides in
// words, valid ranges assumed. Two kernels:
//   - the set-bit walk (row_walk.cpp), cheap when a row of A is sparse;
//   - the Four Russians tables (four_russians.cpp), cheap when rows are dense.
// Both only OR into the output, so the order of the work never changes a bit.
#pragma once

#include <cstddef>
#include <span>

#include "boolmat/cpu.hpp"
#include "boolmat/words.hpp"

namespace boolmat::detail {

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

// Words of scratch memory or_rows_by_tables needs: 8 tables of 256 entries
// of one 64-byte line.
inline constexpr std::size_t kTableScratchWords = 8 * 256 * 8;

struct ProductKernels {
    // ORs into output row i the product row of A's row i, for every i in
    // `rows`, by walking the set bits of A's row: O(ones(row) x b_words).
    void (*or_selected_rows)(const ProductOperands& p, std::span<const std::size_t> rows);
    // The same through tables of the 256 ORs of each group of 8 rows of B,
    // built for 8 groups and one line of columns at a time so they stay in
    // L2; a row whose slice of the output is all ones skips the rest of the
    // slice. `scratch` holds kTableScratchWords words, 64-byte aligned.
    // O(groups x 256 x b_words) words to build, O(rows x groups x b_words) ORs.
    void (*or_rows_by_tables)(const ProductOperands& p, std::span<const std::size_t> rows,
                              Word* scratch);
};

// The table of `isa`.
const ProductKernels& product_kernels(Isa isa);

// The two families' entry points of each variant, defined beside their loops.
void or_selected_rows_portable(const ProductOperands& p, std::span<const std::size_t> rows);
void or_selected_rows_avx2(const ProductOperands& p, std::span<const std::size_t> rows);
void or_rows_by_tables_portable(const ProductOperands& p, std::span<const std::size_t> rows,
                                Word* scratch);
void or_rows_by_tables_avx2(const ProductOperands& p, std::span<const std::size_t> rows,
                            Word* scratch);

}  // namespace boolmat::detail
