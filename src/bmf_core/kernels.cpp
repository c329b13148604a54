#include "bmf_core/kernels.hpp"

#include "bmf_core/table/detail/zeta.hpp"

namespace bmf {

const Kernels& kernels_for(boolmat::Isa isa) {
    // boolmat::kernels_for fails first when the processor lacks `isa`.
    const boolmat::Kernels& bits = boolmat::kernels_for(isa);
    static const Kernels portable{&boolmat::kernels_for(boolmat::Isa::Portable),
                                  &detail::zeta_kernels(boolmat::Isa::Portable)};
    if (isa == boolmat::Isa::Portable) return portable;
    static const Kernels avx2{&bits, &detail::zeta_kernels(boolmat::Isa::Avx2)};
    return avx2;
}

const Kernels& default_kernels() {
    static const Kernels& chosen = bmf::kernels_for(boolmat::cpu::best_isa());
    return chosen;
}

}  // namespace bmf
