// The tables of every kernel family, gathered per instruction set, and the
// one choice of the default ones. A build with QUORBMF_PORTABLE_KERNELS
// (defined for this file alone) makes that choice the portable tables on
// every processor, so that a whole test suite can run them on an AVX2
// machine; nothing at run time changes it.
#include "boolmat/cpu.hpp"
#include "boolmat/detail/bytes.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/detail/product.hpp"
#include "boolmat/detail/transpose.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace boolmat {

namespace {

#ifdef QUORBMF_PORTABLE_KERNELS
constexpr bool kPortableForced = true;
#else
constexpr bool kPortableForced = false;
#endif

Kernels tables_of(Isa isa) {
    return {isa, &detail::popcount_kernels(isa), &detail::byte_kernels(isa),
            &detail::product_kernels(isa), &detail::transpose_kernels(isa)};
}

}  // namespace

const Kernels& kernels_for(Isa isa) {
    static const Kernels portable = tables_of(Isa::Portable);
    static const Kernels avx2 = tables_of(Isa::Avx2);
    if (!cpu::supports(isa))
        fail(FailKind::Value, "ce processeur ne peut pas exécuter les noyaux AVX2");
    return isa == Isa::Avx2 ? avx2 : portable;
}

const Kernels& default_kernels() {
    static const Kernels& chosen = kernels_for(kPortableForced ? Isa::Portable : cpu::best_isa());
    return chosen;
}

bool portable_kernels_forced() { return kPortableForced; }

}  // namespace boolmat
