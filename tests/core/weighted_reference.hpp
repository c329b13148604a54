// Test helpers for weighted and masked solvers: the pairs of costs they are
// checked with, and the error of a combination counted row by row with the
// exhaustive search for the lowest combination of least such error.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/table/solution.hpp"
#include "boolmat/words.hpp"

// Every kind of costs: unit, either side free, finite ratios both ways,
// the largest finite cost on either side, infinite on either side.
inline std::vector<bmf::Costs> checked_costs() {
    const std::uint64_t pairs[][2] = {{1, 1},
                                      {0, 1},
                                      {1, 0},
                                      {1, 4},
                                      {3, 2},
                                      {bmf::kMaxCost, 1},
                                      {1, bmf::kMaxCost},
                                      {bmf::kInfiniteCost, 1},
                                      {1, bmf::kInfiniteCost},
                                      {bmf::kInfiniteCost, 0},
                                      {0, bmf::kInfiniteCost}};
    std::vector<bmf::Costs> costs;
    for (const auto& p : pairs) costs.push_back(*bmf::Costs::of(p[0], p[1]));
    return costs;
}

// The weighted error of h for x against the row patterns `rows`, counting
// the rows set in `mask` (every row when it is empty).
inline std::uint64_t ref_weighted_error(const std::vector<std::uint64_t>& rows,
                                        std::span<const boolmat::Word> x,
                                        std::span<const boolmat::Word> mask, const bmf::Weights& w,
                                        std::uint64_t h) {
    const auto bit = [](std::span<const boolmat::Word> v, std::size_t i) {
        return ((v[boolmat::word_of(i)] >> boolmat::bit_of(i)) & 1) != 0;
    };
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!mask.empty() && !bit(mask, i)) continue;
        const bool covered = (rows[i] & h) != 0;
        if (covered && !bit(x, i)) error += w.false_one;
        if (!covered && bit(x, i)) error += w.false_zero;
    }
    return error;
}

// The lowest combination of the columns of `live` of least weighted error
// (the lowest optimum over all columns when the others are in no row or
// repeat a lower one).
inline bmf::Solution ref_weighted_solve(const std::vector<std::uint64_t>& rows,
                                        std::span<const boolmat::Word> x,
                                        std::span<const boolmat::Word> mask, const bmf::Weights& w,
                                        std::uint64_t live) {
    bmf::Solution best{0, ref_weighted_error(rows, x, mask, w, 0)};
    for (std::uint64_t h = live; h != 0; h = (h - 1) & live) {
        const std::uint64_t e = ref_weighted_error(rows, x, mask, w, h);
        if (e < best.error || (e == best.error && h < best.h)) best = {h, e};
    }
    return best;
}
