#include "bmf_core/alternating/half_step.hpp"

#include "bmf_core/exact/exact_half_step.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::BitViewMut;

std::uint64_t half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                        std::uint64_t seed, BitViewMut out, ExactStrategy strategy) {
    if (method == Method::Zeta && strategy != ExactStrategy::Table)
        return exact_half_step(solver, block, strategy, out);
    return table_half_step(solver, block, method, seed, out);
}

std::uint64_t half_step(const BoolLs& solver, BitView vectors, Method method, std::uint64_t seed,
                        BitViewMut out, ExactStrategy strategy) {
    check_half_step_shapes(vectors.rows(), vectors.cols(), solver.m(), solver.r(), out);
    return half_step(solver, VectorBlock(vectors), method, seed, out, strategy);
}

}  // namespace bmf
