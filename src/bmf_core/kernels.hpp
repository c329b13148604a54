// The kernel tables the solvers run, for one instruction set: boolmat's
// families (the population counts among them), the "zeta" family and the
// exact-search family. One Kernels is chosen once, default_kernels() unless
// a caller wants a given variant, and passed down: every solver object keeps
// the tables it was built with and every free solver function takes them,
// so that kernels_for(Isa::Portable) reaches all the portable code and no
// solver asks which processor it runs on.
#pragma once

#include "boolmat/cpu.hpp"
#include "boolmat/kernels.hpp"

namespace bmf {

namespace detail {
struct ZetaKernels;
namespace exact {
struct ExactKernels;
}  // namespace exact
}  // namespace detail

// The entry points of every kernel family for one instruction set.
struct Kernels {
    const boolmat::Kernels* bits;
    const detail::ZetaKernels* zeta;
    const detail::exact::ExactKernels* exact;
};

// The tables of `isa`; fails when the processor cannot run them.
const Kernels& kernels_for(boolmat::Isa isa);
// The tables of the instruction set of boolmat::default_kernels(), chosen
// once, on first use.
const Kernels& default_kernels();

}  // namespace bmf
