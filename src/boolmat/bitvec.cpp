#include "boolmat/bitvec.hpp"

#include "boolmat/bytes.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace boolmat {

BitVec BitVec::zeros(std::size_t n) {
    if (n == 0) fail(FailKind::Value, "n égale à 0");
    return BitVec(WordArray::zeroed(words_for(n)), n);
}

BitVec BitVec::from_bools(std::span<const bool> bits) {
    BitVec v = zeros(bits.size());
    for (BitIndex k = 0; k < bits.size(); ++k)
        if (bits[k]) v.words_[word_of(k)] |= Word{1} << bit_of(k);
    return v;
}

BitVec BitVec::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) fail(FailKind::Value, "n égale à 0");
    WordArray words = WordArray::uninitialised(words_for(bytes.size()));
    pack_nonzero_bytes(bytes.data(), bytes.size(), words.data());
    return BitVec(std::move(words), bytes.size());
}

BitVec BitVec::from_words(std::span<const Word> words, std::size_t n) {
    if (n == 0) fail(FailKind::Value, "n égale à 0");
    assert_eq(words.size(), words_for(n),
              [&] { return cat(words.size(), " mots fournis pour ", n, " bits"); });
    WordArray copy = WordArray::copy_of(words);
    copy[copy.size() - 1] &= row_mask(n);
    return BitVec(std::move(copy), n);
}

void BitVec::check_index(BitIndex k) const {
    if (word_of(k) >= words_.size())
        fail(FailKind::Index, cat("index ", k, " hors limites (", words_.size(), " mots)"));
    // A spare bit of the last word is refused too, so no write can break the
    // zero-spare-bit invariant the counts rely on.
    if (k >= len_) fail(FailKind::Index, cat("index ", k, " hors limites (len = ", len_, ")"));
}

bool BitVec::get(BitIndex k) const {
    check_index(k);
    return (words_[word_of(k)] >> bit_of(k)) & 1;
}

void BitVec::set(BitIndex k, bool value) {
    check_index(k);
    const Word bit = Word{1} << bit_of(k);
    if (value)
        words_[word_of(k)] |= bit;
    else
        words_[word_of(k)] &= ~bit;
}

void BitVec::or_assign(const BitVec& other) {
    assert_eq(len_, other.len_);
    kernels::or_words(words_.data(), other.words_.data(), words_.size());
}

std::size_t BitVec::hamming(const BitVec& other) const {
    assert_eq(len_, other.len_);
    return detail::default_counts().xor_popcount(words_.data(), other.words_.data(), words_.size());
}

std::size_t BitVec::count_ones() const {
    return detail::default_counts().popcount(words_.data(), words_.size());
}

}  // namespace boolmat
