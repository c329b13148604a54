// Alternating-optimisation Boolean matrix factorisation: X (m x n) ≈ W∘H with
// W (m x r) and H (r x n), refitting H's columns and W's rows in turn with
// BoolLs until the error stops strictly decreasing. Made of public pieces:
// initial_factor, then half-steps (half_step.hpp) under a StopRule
// (stop_rule.hpp).
#pragma once

#include <cstdint>

#include "bmf_core/kernels.hpp"
#include "bmf_core/method.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

struct BmfResult {
    boolmat::BitMatrix w;     // m x r
    boolmat::BitMatrix h;     // r x n
    std::uint64_t error = 0;  // cells where X and w∘h differ
    std::uint64_t iterations = 0;
};

// Factorises x at rank r (1..26) with `kernels`; deterministic for equal
// arguments. The seed drives only the initial choice of columns; max_iter 0
// counts as 1.
BmfResult ao_bmf(boolmat::BitView x, std::uint64_t r, Method method, std::uint64_t max_iter,
                 std::uint64_t seed, const Kernels& kernels = default_kernels());

// The starting factor W (m x r) for the transpose xt (n x m) of X: column j
// is the j-th non-empty column of X picked by a partial Fisher-Yates shuffle
// driven by `seed`, for j < min(r, number of non-empty columns); the rest is 0.
boolmat::BitMatrix initial_factor(boolmat::BitView xt, std::uint64_t r, std::uint64_t seed,
                                  const Kernels& kernels = default_kernels());

}  // namespace bmf
