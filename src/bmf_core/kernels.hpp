// The kernel tables the solvers run: boolmat's families and the "zeta"
// family, for one instruction set. A solver keeps the tables it was built
// with; tests pass kernels_for(Isa::Portable) to run the portable variants.
#pragma once

#include "boolmat/cpu.hpp"
#include "boolmat/kernels.hpp"

namespace bmf {

namespace detail {
struct ZetaKernels;
}  // namespace detail

// The entry points of every kernel family for one instruction set.
struct Kernels {
    const boolmat::Kernels* bits;
    const detail::ZetaKernels* zeta;
};

// The tables of `isa`; fails when the processor cannot run them.
const Kernels& kernels_for(boolmat::Isa isa);
// The tables of boolmat::cpu::best_isa(), chosen once, on first use.
const Kernels& default_kernels();

}  // namespace bmf
