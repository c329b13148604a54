// The "zeta" kernels: per vector x, a signed table D over all 2^r patterns is
// loaded with the negated row counts, raised by 2 at the pattern of every row
// where x is 1, summed over subsets, and scanned for the best complement.
// Cost: 2^r loads, ones(x) scattered adds, r·2^r adds, 2^r compares. The
// kernels take raw spans and check nothing; BoolLs::solve_seeded checks x.
#pragma once

#include <cstdint>
#include <span>

#include "../boolmat/words.hpp"
#include "boolls.hpp"

namespace bmf::zeta {

using boolmat::Word;

// Sets d[p] = -counts[p] for every pattern p (equal lengths).
void load_negated_counts(std::span<const std::uint32_t> counts, std::span<std::int32_t> d);

// Adds 2 to d[row_patterns[i]] for every set bit i of x_words, lowest i first.
void scatter_ones(std::span<const Word> x_words, std::span<const std::uint64_t> row_patterns,
                  std::span<std::int32_t> d);

// Replaces d (2^r entries) by its subset sums: d[t] becomes the sum of the
// old d[p] over all p contained in t.
void subset_sum_transform(std::span<std::int32_t> d, unsigned r);

// Returns the smallest h minimising (m - ones_x) + d[complement of h], with
// that value as the error; d holds the subset sums of 2^r entries.
Solution min_over_complements(std::span<const std::int32_t> d, std::uint64_t m,
                              std::uint64_t ones_x);

}  // namespace bmf::zeta
