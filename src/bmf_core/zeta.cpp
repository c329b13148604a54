#include "zeta.hpp"

#include <bit>
#include <cstddef>

namespace bmf::zeta {

void load_negated_counts(std::span<const std::uint32_t> counts, std::span<std::int32_t> d) {
    // Counts never exceed kMaxSolverRows, so the negation fits.
    for (std::size_t p = 0; p < d.size(); ++p) d[p] = -static_cast<std::int32_t>(counts[p]);
}

void scatter_ones(std::span<const Word> x_words, std::span<const std::uint64_t> row_patterns,
                  std::span<std::int32_t> d) {
    for (std::size_t k = 0; k < x_words.size(); ++k) {
        for (Word bits = x_words[k]; bits != 0; bits &= bits - 1) {
            const std::size_t i = k * boolmat::kWordBits +
                                  static_cast<std::size_t>(std::countr_zero(bits));
            d[row_patterns[i]] += 2;
        }
    }
}

void subset_sum_transform(std::span<std::int32_t> d, unsigned r) {
    // For column j the table splits into blocks of 2^(j+1) entries whose upper
    // half (bit j set) takes in the lower half; the lower halves are only read
    // during that pass, so every block is one straight, vectorisable add.
    for (unsigned j = 0; j < r; ++j) {
        const std::size_t half = std::size_t{1} << j;
        for (std::size_t base = 0; base < d.size(); base += 2 * half) {
            std::int32_t* upper = d.data() + base + half;
            const std::int32_t* lower = d.data() + base;
            for (std::size_t t = 0; t < half; ++t) upper[t] += lower[t];
        }
    }
}

Solution min_over_complements(std::span<const std::int32_t> d, std::uint64_t m,
                              std::uint64_t ones_x) {
    // Every error lies in [0, m] and m < 2^31, so signed 32-bit sums are exact.
    const auto zeros_x = static_cast<std::int32_t>(m - ones_x);
    const std::uint64_t all = d.size() - 1;
    Solution best{0, m + 1};
    for (std::uint64_t h = 0; h < d.size(); ++h) {
        const std::int32_t error = zeros_x + d[all ^ h];
        if (static_cast<std::uint64_t>(error) < best.error) {
            best = {h, static_cast<std::uint64_t>(error)};
        }
    }
    return best;
}

}  // namespace bmf::zeta
