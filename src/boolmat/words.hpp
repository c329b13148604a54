// Word-level vocabulary shared by the packed types: index types, bit
// addressing, the valid-bit mask of a row's last word and the largest word
// count an array may have.
#pragma once

#include <cstddef>
#include <cstdint>

namespace boolmat {

using Word = std::uint64_t;
using WordIndex = std::size_t;  // position of a word in a word array
using BitIndex = std::size_t;   // position of a bit (cell) in a row or vector

inline constexpr std::size_t kWordBits = 64;

// Number of words holding `bits` bits: ceil(bits / 64).
constexpr std::size_t words_for(std::size_t bits) {
    return bits / kWordBits + (bits % kWordBits != 0 ? 1 : 0);
}

// Word that holds bit k, and the bit's position inside it.
constexpr WordIndex word_of(BitIndex k) { return k / kWordBits; }
constexpr unsigned bit_of(BitIndex k) { return static_cast<unsigned>(k % kWordBits); }

// Mask of the valid bits of the last word of a row of width c >= 1.
constexpr Word row_mask(std::size_t c) {
    return c % kWordBits == 0 ? ~Word{0} : (Word{1} << (c % kWordBits)) - 1;
}

// Largest word count any array may have: 2^63 - 8 bytes.
inline constexpr std::size_t kMaxWords = (std::size_t{1} << 60) - 1;

// Returns rows * stride, or stops with "capacity overflow" when the product
// overflows or exceeds kMaxWords.
std::size_t checked_word_count(std::size_t rows, std::size_t stride);

}  // namespace boolmat
