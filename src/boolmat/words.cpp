#include "words.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "precondition.hpp"

namespace boolmat {

std::size_t checked_word_count(std::size_t rows, std::size_t stride) {
    // rows * stride > kMaxWords  <=>  rows > floor(kMaxWords / stride); testing
    // it this way also rules out a product that wraps around.
    if (stride != 0 && rows > kMaxWords / stride) fail("capacity overflow");
    return rows * stride;
}

void WordArray::Free::operator()(Word* p) const noexcept {
    if (p != nullptr) std::free(reinterpret_cast<unsigned char*>(p) - shift);
}

WordArray WordArray::zeroed(std::size_t count) {
    if (count == 0) return {};
    checked_word_count(count, 1);
    // calloc hands back pages the kernel already zeroed, so a large zero
    // matrix costs no writes at all.
    auto* p = static_cast<Word*>(std::calloc(count, sizeof(Word)));
    if (p == nullptr) throw std::bad_alloc();
    return WordArray(p, count);
}

WordArray WordArray::uninitialised(std::size_t count) {
    if (count == 0) return {};
    checked_word_count(count, 1);
    auto* p = static_cast<Word*>(std::malloc(count * sizeof(Word)));
    if (p == nullptr) throw std::bad_alloc();
    return WordArray(p, count);
}

WordArray WordArray::line_aligned(std::size_t count) {
    if (count == 0) return {};
    constexpr std::size_t kLine = 64;
    checked_word_count(count + kLine / sizeof(Word), 1);
    // Over-allocating with malloc keeps large blocks on the heap that malloc
    // recycles; aligned_alloc maps fresh pages for every large block.
    auto* raw = static_cast<unsigned char*>(std::malloc(count * sizeof(Word) + kLine));
    if (raw == nullptr) throw std::bad_alloc();
    const std::size_t shift = (kLine - reinterpret_cast<std::uintptr_t>(raw) % kLine) % kLine;
    return WordArray(reinterpret_cast<Word*>(raw + shift), count, shift);
}

WordArray WordArray::copy_of(std::span<const Word> words) {
    WordArray out = uninitialised(words.size());
    if (!words.empty()) std::memcpy(out.data(), words.data(), words.size_bytes());
    return out;
}

WordArray::WordArray(const WordArray& other) : WordArray(copy_of(other.span())) {}

WordArray& WordArray::operator=(const WordArray& other) {
    if (this != &other) *this = copy_of(other.span());
    return *this;
}

WordArray::WordArray(WordArray&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}

WordArray& WordArray::operator=(WordArray&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    return *this;
}

}  // namespace boolmat
