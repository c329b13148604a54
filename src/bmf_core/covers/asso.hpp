// Asso: factors chosen among the rows of the column association matrix.
// Row i of that matrix holds every column j with confidence(i ⇒ j) =
// |col i ∧ col j| / |col i| at least τ, and is a candidate pattern. Each of
// k greedy rounds takes the candidate, and the rows that use it, that
// maximise the cover w⁺·(ones of X covered) − w⁻·(zeros covered): a row
// uses a candidate exactly when doing so gains, w⁺·(its newly covered ones)
// − w⁻·(its newly covered zeros) > 0, so a round's value is the sum of the
// positive row gains, and a factor may cover zeros. In the costs of a
// factorisation, w⁺ is the cost of a false zero (a one left uncovered) and
// w⁻ that of a false one. w⁻ may be infinite: a row then uses a candidate
// only when it covers no zero, and W∘H stays below X ("from below").
//
// Cost: the association matrix is n² AND-popcounts of m/64 words; a round
// scores every candidate against every row, n·m·(n/64) word operations.
#pragma once

#include <cstddef>

#include "bmf_core/cancel.hpp"
#include "bmf_core/covers/grecond.hpp"
#include "bmf_core/kernels.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// The weights of the cover function and the confidence threshold.
struct AssoParams {
    double tau = 0.5;      // a candidate holds j when confidence(i ⇒ j) >= tau
    double w_plus = 1.0;   // reward of each one of X covered
    double w_minus = 1.0;  // penalty of each zero of X covered; may be +infinity
};

// The n x n association matrix of `x`: row i holds column j when column i is
// not empty and confidence(i ⇒ j) >= tau.
boolmat::BitMatrix association_matrix(boolmat::BitView x, double tau,
                                      const Kernels& kernels = default_kernels());

// Runs at most k rounds (k >= 1; stops early when no candidate gains) and
// returns W (m x k, the usages), H (k x n, the chosen candidates) and the
// error |X ⊕ W∘H| after each round; runs `kernels`. Fails with "poids {} et
// {} : il faut deux reels finis positifs" for a w_plus infinite, NaN or
// negative, or a w_minus NaN or negative. Polls `cancel` before
// each row of the association matrix, each candidate's bound and score, and
// every 4096 rows of a score or an update, and throws Cancelled once it is
// requested.
CoverResult asso(boolmat::BitView x, std::size_t k, const AssoParams& params = {},
                 const Kernels& kernels = default_kernels(), Cancel cancel = {});

}  // namespace bmf
