// BitMatrix: a packed row-major Boolean matrix. Cell (i, j) is bit (j mod 64)
// of word i * stride + (j div 64); every row starts on a word boundary and the
// spare bits beyond cols in the last word of every row are always 0, so
// equality, hashing and counts work on whole words.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "boolmat/memory.hpp"
#include "boolmat/view.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

struct Kernels;

class BitMatrix {
public:
    // rows x cols matrix of 0; checks cols >= 1 ("cols égale à 0") before
    // rows >= 1 ("rows égale à 0"); "capacity overflow" when too large.
    static BitMatrix zeros(std::size_t rows, std::size_t cols);
    // rows x cols matrix of 1 (spare bits 0); same checks as zeros.
    static BitMatrix ones(std::size_t rows, std::size_t cols);

    // Cell (i, j); the row index is checked before the column index.
    bool get(std::size_t i, std::size_t j) const;
    // Sets cell (i, j) to value; same checks as get.
    void set(std::size_t i, std::size_t j, bool value);

    // The stride words of row i ("index {} hors limites (rows = {})").
    std::span<const Word> row(std::size_t i) const;
    // Row i becomes `words` with its spare bits cleared; checks the row index
    // ("ligne {} hors limites (rows = {})") then the word count.
    void set_row(std::size_t i, std::span<const Word> words);

    // Number of cells equal to 1.
    std::size_t count_ones() const;
    // Number of cells equal to 1 in row i (row index checked as in row()).
    std::size_t row_count_ones(std::size_t i) const;

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t stride() const { return stride_; }
    std::span<const Word> words() const { return words_.span(); }
    // The whole matrix as a read-only view; owning matrices convert to it.
    BitView view() const { return {words_.data(), rows_, cols_, stride_}; }
    operator BitView() const { return view(); }
    // The whole matrix as a writable view; the writer keeps spare bits 0.
    BitViewMut view_mut() { return {words_.data(), rows_, cols_, stride_}; }
    // Unchecked write access for kernels and converters; the caller keeps the
    // spare bits at 0 (or calls clear_spare_bits afterwards).
    std::span<Word> words_mut() { return words_.span(); }
    // Clears the spare bits of the last word of every row.
    void clear_spare_bits();

    // Equal word arrays and equal rows, cols and stride.
    bool operator==(const BitMatrix& other) const;

    // In-place word-wise operations on equal-shaped matrices; a shape
    // mismatch fails with "les deux matrices sont de dimensions différentes"
    // and changes nothing.
    void or_assign(const BitMatrix& other);
    void and_assign(const BitMatrix& other);
    void xor_assign(const BitMatrix& other);
    void andnot_assign(const BitMatrix& other);

    // New matrix with every cell inverted.
    BitMatrix complement() const;
    // Number of cells where self and other differ (equal shapes required).
    std::size_t hamming(const BitMatrix& other) const;
    // Number of cells that are 1 in self and 0 in other (equal shapes).
    std::size_t count_andnot(const BitMatrix& other) const;
    // New cols x rows matrix with T(j, i) = A(i, j).
    BitMatrix transpose() const;

private:
    friend BitMatrix transpose(BitView a, const Kernels& k);
    BitMatrix(WordArray words, std::size_t rows, std::size_t cols, std::size_t stride)
        : words_(std::move(words)), rows_(rows), cols_(cols), stride_(stride) {}
    void check_same_shape(const BitMatrix& other) const;
    // Checks the shapes, then runs op(self words, other words, word count).
    using WordOp = void (*)(Word*, const Word*, std::size_t);
    void combine(const BitMatrix& other, WordOp op);

    WordArray words_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t stride_ = 0;
};

// The functions below use default_kernels(), or the kernels they are given.

// The Boolean product A∘B (OR of ANDs); A.cols must equal B.rows.
BitMatrix product(BitView a, BitView b);
BitMatrix product(BitView a, BitView b, const Kernels& k);

// ORs A∘B into `out`, row i of the result at out[i * words_for(B.cols) ...];
// never clears out. A may be wider than B is tall as long as its extra
// columns are 0; fails when out is too short or a set cell of A has no row
// of B.
void accumulate_into(BitView a, BitView b, std::span<Word> out);
void accumulate_into(BitView a, BitView b, std::span<Word> out, const Kernels& k);

// New cols x rows matrix with T(j, i) = A(i, j).
BitMatrix transpose(BitView a);
BitMatrix transpose(BitView a, const Kernels& k);

// Number of cells equal to 1.
std::size_t count_ones(BitView a);
std::size_t count_ones(BitView a, const Kernels& k);

}  // namespace boolmat
