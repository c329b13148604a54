// GreConD: a from-below greedy cover of the ones of X by formal concepts.
// Each factor is a concept (A, B): A a set of rows, B the set of columns in
// which every row of A is 1, and A every row that is 1 in all of B, so
// A x B lies inside the ones of X and a factor never covers a 0. A factor
// is grown from the empty intent by adding, while it helps, the column j
// whose closure ((B ∪ {j})'s rows, and their common columns) covers the most
// ones that no earlier factor covers; factors are added until k are found
// or every one of X is covered.
//
// Cost per growth step: for each column j outside B, one AND of m/64 words;
// unless that extent is empty or the one closed just before, an intent test
// per column that stops at its first failing word, and a popcount over the
// non-zero words of the extent for each column of the closure. On one row
// every non-empty extent is the same, so a step is linear in the columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmf_core/cancel.hpp"
#include "bmf_core/kernels.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// A factorisation built one factor at a time, with the error after each.
struct CoverResult {
    boolmat::BitMatrix w;  // m x k; column l is the usage of factor l
    boolmat::BitMatrix h;  // k x n; row l is factor l's set of columns
    // errors[l] = |X ⊕ W∘H| with factors 0..l: one entry per factor found,
    // the factors beyond errors.size() being empty.
    std::vector<std::uint64_t> errors;
    std::uint64_t error = 0;  // with every factor; the ones of X when none

    std::size_t factors() const { return errors.size(); }
};

// Covers the ones of `x` from below with at most `k` concepts (k >= 1) and
// returns the factors, W (m x k) and H (k x n), with the error curve; runs
// `kernels`. Polls `cancel` before each candidate column and every 4096
// columns of an intent test, and throws Cancelled once it is requested.
CoverResult grecond(boolmat::BitView x, std::size_t k, const Kernels& kernels = default_kernels(),
                    Cancel cancel = {});

}  // namespace bmf
