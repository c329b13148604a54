#include "bmf_core/kernels.hpp"

#include "bmf_core/exact/detail/exact_branch.hpp"
#include "bmf_core/table/detail/zeta.hpp"

namespace bmf {

namespace {

Kernels tables_of(boolmat::Isa isa) {
    return {&boolmat::kernels_for(isa), &detail::zeta_kernels(isa),
            &detail::exact::exact_kernels(isa)};
}

}  // namespace

const Kernels& kernels_for(boolmat::Isa isa) {
    // boolmat::kernels_for fails first when the processor lacks `isa`.
    if (isa == boolmat::Isa::Portable) {
        static const Kernels portable = tables_of(boolmat::Isa::Portable);
        return portable;
    }
    static const Kernels avx2 = tables_of(boolmat::Isa::Avx2);
    return avx2;
}

const Kernels& default_kernels() {
    // boolmat makes the one choice of the instruction set.
    static const Kernels& chosen = bmf::kernels_for(boolmat::default_kernels().isa);
    return chosen;
}

}  // namespace bmf
