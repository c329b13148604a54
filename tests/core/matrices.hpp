// Test helpers for matrices: a random fill with a stated chance per cell, the
// cell-by-cell model the shadow computations read, and the storage invariant.
#pragma once

#include <random>
#include <vector>

#include "boolmat/bitmatrix.hpp"

// The chance of a cell being 1, num in den: one draw g() % den < num per cell.
struct Odds {
    unsigned num, den;
};
inline Odds one_in(unsigned den) { return {1, den}; }
inline Odds fifths(unsigned num) { return {num, 5}; }
inline Odds eighths(unsigned num) { return {num, 8}; }
inline Odds percent(unsigned num) { return {num, 100}; }

// A rows x cols matrix filled row by row, one draw of g per cell.
inline boolmat::BitMatrix random_matrix(std::mt19937_64& g, std::size_t rows, std::size_t cols,
                                        Odds odds = one_in(2)) {
    boolmat::BitMatrix m = boolmat::BitMatrix::zeros(rows, cols);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) m.set(i, j, g() % odds.den < odds.num);
    return m;
}

// The cells of a matrix, for shadow models written one cell at a time.
using Cells = std::vector<std::vector<bool>>;
inline Cells cells_of(const boolmat::BitMatrix& m) {
    Cells out(m.rows(), std::vector<bool>(m.cols()));
    for (std::size_t i = 0; i < m.rows(); ++i)
        for (std::size_t j = 0; j < m.cols(); ++j) out[i][j] = m.get(i, j);
    return out;
}

// True when the bits beyond cols in the last word of every row are 0.
inline bool spare_bits_clear(const boolmat::BitMatrix& m) {
    for (std::size_t i = 0; i < m.rows(); ++i)
        if (m.row(i).back() & ~boolmat::row_mask(m.cols())) return false;
    return true;
}
