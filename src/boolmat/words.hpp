// Word-level vocabulary shared by the packed types: index types, bit
// addressing, the valid-bit mask of a row's last word, and the owned word
// array that obtains zeroed memory straight from the allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

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

// A fixed-size owned array of words. Zero-filled arrays come from calloc, so
// large ones cost no writes; allocation failure throws std::bad_alloc.
class WordArray {
public:
    WordArray() = default;
    static WordArray zeroed(std::size_t count);
    static WordArray uninitialised(std::size_t count);
    // Uninitialised too, but starting on a 64-byte boundary, for kernels
    // that write whole cache lines of a row at a time.
    static WordArray line_aligned(std::size_t count);
    static WordArray copy_of(std::span<const Word> words);

    WordArray(const WordArray& other);
    WordArray& operator=(const WordArray& other);
    // A moved-from array is empty (size 0), never a size over a null pointer.
    WordArray(WordArray&& other) noexcept;
    WordArray& operator=(WordArray&& other) noexcept;

    std::size_t size() const { return size_; }
    Word* data() { return data_.get(); }
    const Word* data() const { return data_.get(); }
    Word& operator[](WordIndex k) { return data_[k]; }
    Word operator[](WordIndex k) const { return data_[k]; }
    std::span<Word> span() { return {data_.get(), size_}; }
    std::span<const Word> span() const { return {data_.get(), size_}; }

private:
    // Frees the block that starts `shift` bytes before the words.
    struct Free {
        constexpr Free() noexcept : shift(0) {}
        constexpr explicit Free(std::size_t s) noexcept : shift(s) {}
        void operator()(Word* p) const noexcept;
        std::size_t shift;
    };
    WordArray(Word* p, std::size_t n, std::size_t shift = 0) : data_(p, Free{shift}), size_(n) {}

    std::unique_ptr<Word[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace boolmat
