// BitVec: a packed vector of len >= 1 bits, bit k at bit (k mod 64) of word
// (k div 64); the bits beyond len in the last word are always 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "boolmat/memory.hpp"
#include "boolmat/view.hpp"
#include "boolmat/words.hpp"

namespace boolmat {

class BitVec {
public:
    // A vector of n zero bits; fails with "n égale à 0" when n is 0.
    static BitVec zeros(std::size_t n);
    // A vector whose bit k is bits[k]; fails with "n égale à 0" when empty.
    static BitVec from_bools(std::span<const bool> bits);
    // A vector whose bit k is set when bytes[k] is not 0 (a NumPy bool
    // array's bytes, say); fails with "n égale à 0" when empty.
    static BitVec from_bytes(std::span<const std::uint8_t> bytes);
    // A vector of n bits copied from ceil(n/64) words, excess bits dropped.
    static BitVec from_words(std::span<const Word> words, std::size_t n);

    // Bit k. An index at or beyond len (including a spare bit of the last
    // word) stops with an index-out-of-range failure.
    bool get(BitIndex k) const;
    // Sets bit k to value; same index rule as get, so spare bits stay 0.
    void set(BitIndex k, bool value);

    // self |= other; the lengths must be equal.
    void or_assign(const BitVec& other);
    // Number of positions where self and other differ; equal lengths.
    std::size_t hamming(const BitVec& other) const;
    // Number of set bits.
    std::size_t count_ones() const;

    std::size_t len() const { return len_; }
    std::span<const Word> words() const { return words_.span(); }
    // The vector as a read-only view; vectors convert to it.
    VecView view() const { return {words_.span(), len_}; }
    operator VecView() const { return view(); }
    // Unchecked write access for kernels that keep the spare bits at 0.
    std::span<Word> words_mut() { return words_.span(); }

private:
    BitVec(WordArray words, std::size_t len) : words_(std::move(words)), len_(len) {}
    void check_index(BitIndex k) const;

    WordArray words_;
    std::size_t len_ = 0;
};

}  // namespace boolmat
