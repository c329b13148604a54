#include "words.hpp"

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

void WordArray::Free::operator()(Word* p) const noexcept { std::free(p); }

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
