// Test helper: a copy of a matrix in a foreign buffer whose rows are farther
// apart than their words, the gap words filled with ones, so that any kernel
// reading past a row's cells or assuming contiguous rows gets a wrong answer.
#pragma once

#include <vector>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

struct Padded {
    std::vector<boolmat::Word> words;
    std::size_t rows, cols, stride;

    Padded(const boolmat::BitMatrix& m, std::size_t gap)
        : words(m.rows() * (m.stride() + gap), ~boolmat::Word{0}),
          rows(m.rows()),
          cols(m.cols()),
          stride(m.stride() + gap) {
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t k = 0; k < m.stride(); ++k) words[i * stride + k] = m.row(i)[k];
    }
    boolmat::BitView view() const { return {words.data(), rows, cols, stride}; }
    boolmat::BitViewMut view_mut() { return {words.data(), rows, cols, stride}; }
};
