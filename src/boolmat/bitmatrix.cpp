// BitMatrix storage, access, counts and the word-wise algebra. Every public
// operation checks its preconditions here and then runs a word-range kernel
// (boolmat/kernels.hpp) over whole words.
#include "boolmat/bitmatrix.hpp"

#include <algorithm>
#include <cstring>

#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace boolmat {

namespace {

void check_dimensions(std::size_t rows, std::size_t cols) {
    if (cols == 0) fail(FailKind::Value, "cols égale à 0");
    if (rows == 0) fail(FailKind::Value, "rows égale à 0");
}

}  // namespace

BitMatrix BitMatrix::zeros(std::size_t rows, std::size_t cols) {
    check_dimensions(rows, cols);
    const std::size_t stride = words_for(cols);
    return BitMatrix(WordArray::zeroed(checked_word_count(rows, stride)), rows, cols, stride);
}

BitMatrix BitMatrix::ones(std::size_t rows, std::size_t cols) {
    check_dimensions(rows, cols);
    const std::size_t stride = words_for(cols);
    WordArray words = WordArray::uninitialised(checked_word_count(rows, stride));
    kernels::fill_ones(words.data(), words.size());
    BitMatrix m(std::move(words), rows, cols, stride);
    m.clear_spare_bits();
    return m;
}

bool BitMatrix::get(std::size_t i, std::size_t j) const {
    if (i >= rows_) fail(FailKind::Index, cat("index ", i, " hors limites (rows = ", rows_, ")"));
    if (j >= cols_) fail(FailKind::Index, cat("index ", j, " hors limites (cols = ", cols_, ")"));
    return (words_[i * stride_ + word_of(j)] >> bit_of(j)) & 1;
}

void BitMatrix::set(std::size_t i, std::size_t j, bool value) {
    if (i >= rows_) fail(FailKind::Index, cat("index ", i, " hors limites (rows = ", rows_, ")"));
    if (j >= cols_) fail(FailKind::Index, cat("index ", j, " hors limites (cols = ", cols_, ")"));
    const Word bit = Word{1} << bit_of(j);
    Word& word = words_[i * stride_ + word_of(j)];
    if (value)
        word |= bit;
    else
        word &= ~bit;
}

std::span<const Word> BitMatrix::row(std::size_t i) const {
    if (i >= rows_) fail(FailKind::Index, cat("index ", i, " hors limites (rows = ", rows_, ")"));
    return words().subspan(i * stride_, stride_);
}

void BitMatrix::set_row(std::size_t i, std::span<const Word> words) {
    if (i >= rows_) fail(FailKind::Index, cat("ligne ", i, " hors limites (rows = ", rows_, ")"));
    assert_eq(words.size(), stride_,
              [&] { return cat(words.size(), " mots pour un stride de ", stride_); });
    Word* dst = words_.data() + i * stride_;
    // memmove: the source may be this very row (set_row(i, row(i))).
    std::memmove(dst, words.data(), stride_ * sizeof(Word));
    dst[stride_ - 1] &= row_mask(cols_);
}

std::size_t BitMatrix::count_ones() const {
    return detail::default_counts().popcount(words_.data(), words_.size());
}

std::size_t count_ones(BitView a) { return count_ones(a, default_kernels()); }

std::size_t count_ones(BitView a, const Kernels& k) {
    const auto popcount = k.popcount->popcount;
    if (a.contiguous()) return popcount(a.data(), a.rows() * a.row_words());
    std::size_t total = 0;
    for (std::size_t i = 0; i < a.rows(); ++i) total += popcount(a.row(i).data(), a.row_words());
    return total;
}

std::size_t BitMatrix::row_count_ones(std::size_t i) const {
    const std::span<const Word> r = row(i);
    return detail::default_counts().popcount(r.data(), r.size());
}

void BitMatrix::clear_spare_bits() {
    if (cols_ % kWordBits != 0)
        kernels::mask_row_ends(words_.data(), rows_, stride_, row_mask(cols_));
}

bool BitMatrix::operator==(const BitMatrix& other) const {
    const auto a = words();
    const auto b = other.words();
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()) &&
           rows_ == other.rows_ && cols_ == other.cols_ && stride_ == other.stride_;
}

void BitMatrix::check_same_shape(const BitMatrix& other) const {
    if (rows_ != other.rows_ || cols_ != other.cols_)
        fail(FailKind::Shape, "les deux matrices sont de dimensions différentes");
}

void BitMatrix::combine(const BitMatrix& other, WordOp op) {
    check_same_shape(other);
    op(words_.data(), other.words_.data(), words_.size());
}

void BitMatrix::or_assign(const BitMatrix& other) { combine(other, kernels::or_words); }

void BitMatrix::and_assign(const BitMatrix& other) { combine(other, kernels::and_words); }

void BitMatrix::xor_assign(const BitMatrix& other) { combine(other, kernels::xor_words); }

void BitMatrix::andnot_assign(const BitMatrix& other) { combine(other, kernels::andnot_words); }

BitMatrix BitMatrix::complement() const {
    WordArray out = WordArray::uninitialised(words_.size());
    kernels::not_words(out.data(), words_.data(), words_.size());
    BitMatrix m(std::move(out), rows_, cols_, stride_);
    m.clear_spare_bits();
    return m;
}

std::size_t BitMatrix::hamming(const BitMatrix& other) const {
    check_same_shape(other);
    return detail::default_counts().xor_popcount(words_.data(), other.words_.data(), words_.size());
}

std::size_t BitMatrix::count_andnot(const BitMatrix& other) const {
    check_same_shape(other);
    return detail::default_counts().andnot_popcount(words_.data(), other.words_.data(),
                                                    words_.size());
}

}  // namespace boolmat
