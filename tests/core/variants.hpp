// Test helper: runs a check through the processor's best kernels and again
// through the portable ones, by passing their tables down.
#pragma once

#include "bmf_core/kernels.hpp"
#include "boolmat/cpu.hpp"
#include "boolmat/kernels.hpp"

// The instruction set of a variant: the processor's best, or the portable one.
inline boolmat::Isa isa_of(bool portable) {
    return portable ? boolmat::Isa::Portable : boolmat::cpu::best_isa();
}
// The kernel tables of that variant, for boolmat's operations and for the solvers.
inline const boolmat::Kernels& bits_of(bool portable) {
    return boolmat::kernels_for(isa_of(portable));
}
inline const bmf::Kernels& solver_of(bool portable) { return bmf::kernels_for(isa_of(portable)); }

// Calls f(portable) with portable = false (the processor's best variants),
// then with portable = true.
template <class F>
void for_each_variant(F&& f) {
    f(false);
    f(true);
}
