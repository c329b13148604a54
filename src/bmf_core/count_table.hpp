// CountTable: the solver's 2^r row-pattern counters, obtained zero-filled from
// the allocator so that a large, sparsely used table costs no writes up front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace bmf {

class CountTable {
public:
    CountTable() = default;
    // A table of `size` counters, all 0; throws std::bad_alloc on failure.
    static CountTable zeroed(std::size_t size);

    CountTable(const CountTable& other);
    CountTable& operator=(const CountTable& other);
    CountTable(CountTable&&) noexcept = default;
    CountTable& operator=(CountTable&&) noexcept = default;

    std::size_t size() const { return size_; }
    std::span<std::uint32_t> span() { return {data_.get(), size_}; }
    std::span<const std::uint32_t> span() const { return {data_.get(), size_}; }

private:
    struct Free {
        void operator()(std::uint32_t* p) const noexcept;
    };
    CountTable(std::uint32_t* p, std::size_t size) : data_(p), size_(size) {}

    std::unique_ptr<std::uint32_t[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace bmf
