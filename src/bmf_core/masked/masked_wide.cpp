// The heuristics under masks at any rank, on WideLs.
#include <stdexcept>

#include "bmf_core/masked/masked.hpp"

namespace bmf {

std::uint64_t wide_half_step(const WideLs&, const MaskedVectorBlock&, Method, std::uint64_t,
                             boolmat::BitViewMut, const Costs&) {
    throw std::invalid_argument("masques non pris en charge au-dela du rang 26");
}

}  // namespace bmf
