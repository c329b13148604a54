// Test helper: the weighted observed error cell by cell, the weight lists
// the weighted tests sweep, and masks of the kinds that matter (every cell
// observed, none, random, rows with nothing observed).
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "boolmat/bitmatrix.hpp"
#include "matrices.hpp"

namespace bmf::testing_weights {

using boolmat::BitMatrix;
using boolmat::Word;

inline bool bit(std::span<const Word> words, std::size_t j) {
    return (words[j / 64] >> (j % 64)) & 1;
}

// weights.false_one x |M & ~x & W∘h| + weights.false_zero x |M & x & ~W∘h|,
// one cell at a time; an empty `mask` observes every cell.
inline std::uint64_t shadow_weighted(const BitMatrix& w, std::span<const Word> x,
                                     std::span<const Word> mask, std::span<const Word> h,
                                     const Weights& weights) {
    std::uint64_t false_ones = 0, false_zeros = 0;
    for (std::size_t i = 0; i < w.rows(); ++i) {
        if (!mask.empty() && !bit(mask, i)) continue;
        bool covered = false;
        for (std::size_t j = 0; j < w.cols() && !covered; ++j) covered = w.get(i, j) && bit(h, j);
        if (covered && !bit(x, i)) ++false_ones;
        if (!covered && bit(x, i)) ++false_zeros;
    }
    return weights.of(false_ones, false_zeros);
}

// Costs of every kind: unit, one side free, small ratios, the largest
// finite ones and the infinite ones.
inline std::vector<Costs> cost_sweep() {
    std::vector<Costs> out;
    const std::uint64_t pairs[][2] = {{1, 1},
                                      {0, 1},
                                      {1, 0},
                                      {1, 4},
                                      {3, 2},
                                      {kMaxCost, 1},
                                      {1, kMaxCost},
                                      {kInfiniteCost, 1},
                                      {1, kInfiniteCost},
                                      {kInfiniteCost, 0},
                                      {0, kInfiniteCost}};
    for (const auto& p : pairs) out.push_back(*Costs::of(p[0], p[1]));
    return out;
}

// Masks for n vectors of m cells: kind 0 every cell, 1 none, otherwise a
// random density with a few rows observing nothing.
inline BitMatrix mask_of_kind(std::mt19937_64& g, std::size_t n, std::size_t m, unsigned kind) {
    if (kind == 0) return BitMatrix::ones(n, m);
    if (kind == 1) return BitMatrix::zeros(n, m);
    BitMatrix masks = random_matrix(g, n, m, percent(static_cast<unsigned>(10 + g() % 91)));
    for (std::size_t v = 0; v < n; ++v)
        if (g() % 5 == 0)
            for (std::size_t i = 0; i < m; ++i) masks.set(v, i, false);
    return masks;
}

}  // namespace bmf::testing_weights
