// The allocation layer of the core: every word array, count table and
// kernel scratch of boolmat and bmf_core comes from the two types below, so
// the memory each operation holds can be read off here.
//   - OwnedArray<T>: a fixed-size owned array (a matrix's words, a solver's
//     count table); zero-filled ones come from calloc, so a large, sparsely
//     used array costs no writes up front.
//   - Scratch: working memory that one thread reuses from one kernel call to
//     the next; it only grows.
// Tables of 2^r counters (4 bytes each): a BoolLs holds one for its
// lifetime, a "zeta" solve holds at most one more in its Scratch, and
// ao_bmf keeps one solver at a time, so it never holds more than two.
// Failing to obtain memory throws std::bad_alloc; a size that cannot be
// represented stops with "capacity overflow".
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "boolmat/words.hpp"

namespace boolmat {

namespace detail {

// Bytes of the cache line the aligned allocations start on.
inline constexpr std::size_t kLineBytes = 64;

// Frees a block obtained from allocate_bytes, `shift` bytes before `p`.
struct Release {
    std::size_t shift = 0;
    void operator()(void* p) const noexcept;
};

enum class Fill { Zeroed, Uninitialised, LineAligned };

// Returns count * size, or stops with "capacity overflow" when that exceeds
// 2^63 - 8 bytes.
std::size_t checked_bytes(std::size_t count, std::size_t size);

// Obtains count * size bytes (checked as above) and writes the shift that
// Release needs.
void* allocate_bytes(std::size_t count, std::size_t size, Fill fill, std::size_t& shift);

}  // namespace detail

// A fixed-size owned array of trivially copyable values.
template <class T>
class OwnedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    OwnedArray() = default;
    // `count` values, all zero bits.
    static OwnedArray zeroed(std::size_t count) { return make(count, detail::Fill::Zeroed); }
    // `count` values left unset.
    static OwnedArray uninitialised(std::size_t count) {
        return make(count, detail::Fill::Uninitialised);
    }
    // `count` values left unset, starting on a 64-byte boundary, for kernels
    // that write whole cache lines at a time.
    static OwnedArray line_aligned(std::size_t count) {
        return make(count, detail::Fill::LineAligned);
    }
    // A copy of `values`.
    static OwnedArray copy_of(std::span<const T> values);

    OwnedArray(const OwnedArray& other) : OwnedArray(copy_of(other.span())) {}
    OwnedArray& operator=(const OwnedArray& other) {
        if (this != &other) *this = copy_of(other.span());
        return *this;
    }
    // A moved-from array is empty (size 0), never a size over a null pointer.
    OwnedArray(OwnedArray&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    OwnedArray& operator=(OwnedArray&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    std::size_t size() const { return size_; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](std::size_t k) { return data_.get()[k]; }
    const T& operator[](std::size_t k) const { return data_.get()[k]; }
    std::span<T> span() { return {data_.get(), size_}; }
    std::span<const T> span() const { return {data_.get(), size_}; }

private:
    static OwnedArray make(std::size_t count, detail::Fill fill) {
        OwnedArray a;
        if (count == 0) return a;
        std::size_t shift = 0;
        void* p = detail::allocate_bytes(count, sizeof(T), fill, shift);
        a.data_ = std::unique_ptr<T, detail::Release>(static_cast<T*>(p), detail::Release{shift});
        a.size_ = count;
        return a;
    }

    std::unique_ptr<T, detail::Release> data_;
    std::size_t size_ = 0;
};

template <class T>
OwnedArray<T> OwnedArray<T>::copy_of(std::span<const T> values) {
    OwnedArray out = uninitialised(values.size());
    if (!values.empty()) std::memcpy(out.data(), values.data(), values.size_bytes());
    return out;
}

// The packed words of a vector or matrix.
using WordArray = OwnedArray<Word>;

// Working memory for one thread's kernel calls: a line-aligned block reused
// from call to call, reallocated only when a call needs more.
class Scratch {
public:
    // Room for `count` values of T, line-aligned, contents unspecified; valid
    // until the next call.
    template <class T>
    T* get(std::size_t count) {
        static_assert(std::is_trivially_copyable_v<T>);
        const std::size_t bytes = detail::checked_bytes(count, sizeof(T));
        if (block_.size() < bytes) block_ = OwnedArray<std::byte>::line_aligned(bytes);
        return reinterpret_cast<T*>(block_.data());
    }

private:
    OwnedArray<std::byte> block_;
};

}  // namespace boolmat
