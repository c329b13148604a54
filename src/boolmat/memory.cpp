#include "boolmat/memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "boolmat/precondition.hpp"

namespace boolmat::detail {

namespace {

constexpr std::size_t kMaxBytes = kMaxWords * sizeof(Word);  // 2^63 - 8

}  // namespace

void Release::operator()(void* p) const noexcept {
    if (p != nullptr) std::free(static_cast<unsigned char*>(p) - shift);
}

std::size_t checked_bytes(std::size_t count, std::size_t size) {
    if (size != 0 && count > kMaxBytes / size) fail(FailKind::Capacity, "capacity overflow");
    return count * size;
}

void* allocate_bytes(std::size_t count, std::size_t size, Fill fill, std::size_t& shift) {
    const std::size_t bytes = checked_bytes(count, size);
    shift = 0;
    void* p = nullptr;
    switch (fill) {
        case Fill::Zeroed:
            // calloc hands back pages the kernel already zeroed, so a large
            // zero array costs no writes at all.
            p = std::calloc(count, size);
            break;
        case Fill::Uninitialised: p = std::malloc(bytes); break;
        case Fill::LineAligned: {
            // Over-allocating with malloc keeps large blocks on the heap that
            // malloc recycles; aligned_alloc maps fresh pages for every one.
            auto* raw = static_cast<unsigned char*>(std::malloc(bytes + kLineBytes));
            if (raw == nullptr) break;
            shift = (kLineBytes - reinterpret_cast<std::uintptr_t>(raw) % kLineBytes) % kLineBytes;
            p = raw + shift;
            break;
        }
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace boolmat::detail
