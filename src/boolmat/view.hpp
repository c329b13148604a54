// Views over packed rows that somebody else owns: a BitMatrix, a NumPy
// buffer, a Dask chunk, a block of rows of a factor. A view is a pointer,
// a row count, a column count and a row stride in words (at least
// words_for(cols)); the spare bits beyond cols in the last word of every
// row are 0, as in an owning matrix. Views never allocate and never check
// more than their own constructors say; the owner keeps the words alive.
#pragma once

#include <cstddef>
#include <span>

#include "boolmat/words.hpp"

namespace boolmat {

// A read-only view of one packed vector of `len` bits (spare bits 0).
struct VecView {
    std::span<const Word> words;  // words_for(len) words
    std::size_t len = 0;
};

// A read-only view of `rows` packed rows of `cols` bits, `stride` words apart.
class BitView {
public:
    constexpr BitView() = default;
    constexpr BitView(const Word* words, std::size_t rows, std::size_t cols, std::size_t stride)
        : words_(words), rows_(rows), cols_(cols), stride_(stride) {}

    constexpr std::size_t rows() const { return rows_; }
    constexpr std::size_t cols() const { return cols_; }
    constexpr std::size_t stride() const { return stride_; }
    // Words that hold the cells of one row: words_for(cols) <= stride.
    constexpr std::size_t row_words() const { return words_for(cols_); }
    constexpr const Word* data() const { return words_; }

    // The row_words() words of row i (unchecked).
    constexpr std::span<const Word> row(std::size_t i) const {
        return {words_ + i * stride_, row_words()};
    }
    // Rows begin .. end - 1 as a view of their own (unchecked).
    constexpr BitView rows(std::size_t begin, std::size_t end) const {
        return {words_ + begin * stride_, end - begin, cols_, stride_};
    }
    // Row i as a vector of cols bits (unchecked).
    constexpr VecView row_vec(std::size_t i) const;
    // True when the rows follow each other with no gap words.
    constexpr bool contiguous() const { return stride_ == row_words() || rows_ <= 1; }

private:
    const Word* words_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t stride_ = 0;
};

// A writable view; the writer keeps the spare bits at 0.
class BitViewMut {
public:
    constexpr BitViewMut() = default;
    constexpr BitViewMut(Word* words, std::size_t rows, std::size_t cols, std::size_t stride)
        : words_(words), rows_(rows), cols_(cols), stride_(stride) {}

    constexpr std::size_t rows() const { return rows_; }
    constexpr std::size_t cols() const { return cols_; }
    constexpr std::size_t stride() const { return stride_; }
    constexpr std::size_t row_words() const { return words_for(cols_); }
    constexpr Word* data() const { return words_; }

    constexpr std::span<Word> row(std::size_t i) const {
        return {words_ + i * stride_, row_words()};
    }
    constexpr BitViewMut rows(std::size_t begin, std::size_t end) const {
        return {words_ + begin * stride_, end - begin, cols_, stride_};
    }
    constexpr operator BitView() const { return {words_, rows_, cols_, stride_}; }

private:
    Word* words_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t stride_ = 0;
};

constexpr VecView BitView::row_vec(std::size_t i) const { return {row(i), cols_}; }

}  // namespace boolmat
