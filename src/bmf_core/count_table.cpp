#include "count_table.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace bmf {

void CountTable::Free::operator()(std::uint32_t* p) const noexcept { std::free(p); }

CountTable CountTable::zeroed(std::size_t size) {
    if (size == 0) return {};
    auto* p = static_cast<std::uint32_t*>(std::calloc(size, sizeof(std::uint32_t)));
    if (p == nullptr) throw std::bad_alloc();
    return CountTable(p, size);
}

CountTable::CountTable(const CountTable& other) : size_(other.size_) {
    if (size_ == 0) return;
    auto* p = static_cast<std::uint32_t*>(std::malloc(size_ * sizeof(std::uint32_t)));
    if (p == nullptr) throw std::bad_alloc();
    std::memcpy(p, other.data_.get(), size_ * sizeof(std::uint32_t));
    data_.reset(p);
}

CountTable& CountTable::operator=(const CountTable& other) {
    if (this != &other) *this = CountTable(other);
    return *this;
}

}  // namespace bmf
