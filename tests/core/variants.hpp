// Test helper: runs a check through the AVX2 variants of the kernels (when
// the processor has them) and again through the portable ones.
#pragma once

#include "boolmat/cpu.hpp"

// Forces the portable variants for its lifetime.
class PortableOnly {
public:
    PortableOnly() { boolmat::cpu::force_portable(true); }
    ~PortableOnly() { boolmat::cpu::force_portable(false); }
    PortableOnly(const PortableOnly&) = delete;
    PortableOnly& operator=(const PortableOnly&) = delete;
};

// Calls f(portable) with portable = false (the processor's best variants),
// then with portable = true under PortableOnly.
template <class F>
void for_each_variant(F&& f) {
    f(false);
    const PortableOnly forced;
    f(true);
}
