// Every combination tried in turn, only the observed rows tested.
// O(observed x 2^r) row tests, one AND of two words each; a combination is
// dropped as soon as its running error reaches the best one.
#include <bit>

#include "bmf_core/masked/detail/masked_kernels.hpp"

namespace bmf::detail::masked {
namespace {

// One word of W∘h at the observed positions of `mask` (row[i] is the pattern
// of the word's row i); the unobserved bits stay 0, as they are in x.
Word observed_prediction(const std::uint64_t* row, Word mask, std::uint64_t h) {
    Word predicted = 0;
    for (Word bits = mask; bits != 0; bits &= bits - 1) {
        const int i = std::countr_zero(bits);
        predicted |= Word{(row[i] & h) != 0} << i;
    }
    return predicted;
}

}  // namespace

Solution naive(const BoolLs& solver, const Word* x, const Word* mask) {
    const std::uint64_t* patterns = solver.row_patterns().data();
    const std::size_t words = boolmat::words_for(solver.m());
    const std::uint64_t combinations = std::uint64_t{1} << solver.r();
    std::uint64_t observed = 0;
    for (std::size_t k = 0; k < words; ++k)
        observed += static_cast<std::uint64_t>(std::popcount(mask[k]));
    Solution best{0, observed + 1};
    for (std::uint64_t h = 0; h < combinations; ++h) {
        std::uint64_t error = 0;
        for (std::size_t k = 0; k < words && error < best.error; ++k) {
            const std::uint64_t* row = patterns + k * boolmat::kWordBits;
            const Word predicted = observed_prediction(row, mask[k], h);
            error += static_cast<std::uint64_t>(std::popcount(predicted ^ x[k]));
        }
        if (error < best.error) best = {h, error};
    }
    return best;
}

Solution naive(const BoolLs& solver, const Word* x, const Word* mask, const Weights& w) {
    const std::uint64_t* patterns = solver.row_patterns().data();
    const std::size_t words = boolmat::words_for(solver.m());
    const std::uint64_t combinations = std::uint64_t{1} << solver.r();
    // h = 0 is tried first and always kept: no sentinel error is needed.
    Solution best{0, ~std::uint64_t{0}};
    for (std::uint64_t h = 0; h < combinations; ++h) {
        std::uint64_t error = 0;
        for (std::size_t k = 0; k < words && error < best.error; ++k) {
            const std::uint64_t* row = patterns + k * boolmat::kWordBits;
            const Word predicted = observed_prediction(row, mask[k], h);
            // Both words are 0 at the unobserved positions.
            error += w.of(static_cast<std::uint64_t>(std::popcount(predicted & ~x[k])),
                          static_cast<std::uint64_t>(std::popcount(x[k] & ~predicted)));
        }
        if (error < best.error) best = {h, error};
    }
    return best;
}

}  // namespace bmf::detail::masked
