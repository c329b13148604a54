// One half-step of the alternating factorisation: the piece from which
// ao_bmf is made with a StopRule (stop_rule.hpp), public so that a caller
// can run the same loop itself over blocks of rows (threads, a cluster) and
// get the same factors, error and iteration count bit for bit. A
// half-step's result for a row depends only on that row, the solver, the
// method and the seed, so the results of consecutive blocks concatenate to
// the whole block's.
#pragma once

#include <cstdint>

#include "bmf_core/exact/exact_strategy.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/vector_block.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// Solves every row of `block` (each of solver.m() bits) against `solver`
// with `method` and `seed` ("zeta" by `strategy`), writes row i's
// combination as the one word of row i of `out` (block rows x solver.r())
// and returns the total error. Equal rows are solved once. Checks the
// shapes first ("les vecteurs ont {} bits, W a {} lignes", "la sortie est
// {}x{}, il faut {}x{}"). Routes "zeta" with a Search or Auto strategy to
// exact_half_step, everything else to table_half_step, and costs what the
// route costs.
std::uint64_t half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out,
                        ExactStrategy strategy = ExactStrategy::Table);
// The same for vectors not prepared beforehand (grouped inside).
std::uint64_t half_step(const BoolLs& solver, boolmat::BitView vectors, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out,
                        ExactStrategy strategy = ExactStrategy::Table);

}  // namespace bmf
