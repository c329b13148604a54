// The heuristics under masks at any rank, on WideLs: one solve per class of
// equal (observed part, mask) pairs, x read with its unobserved positions
// set and the running OR started from them, so that only observed
// positions count.
#include <algorithm>
#include <vector>

#include "bmf_core/masked/masked.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::Word;

std::uint64_t wide_half_step(const WideLs& solver, const MaskedVectorBlock& block, Method method,
                             std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs) {
    check_half_step_shapes(block.rows(), block.cols(), solver.m(), solver.k(), out);
    if (method != Method::Greedy && method != Method::GreedyLs) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("methode ", method.name(),
                                   " : un solveur large ne fait que greedy et greedy-ls"));
    }
    const Weights weights = costs.weights(solver.m());
    const std::size_t mw = boolmat::words_for(solver.m());
    const Word tail = boolmat::row_mask(solver.m());
    std::vector<Word> x(mw), unobserved(mw);
    std::vector<WideSolution> solved;
    solved.reserve(block.class_count());
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < block.class_count(); ++c) {
        const auto observed = block.observed(c).words;
        const auto mask = block.mask(c).words;
        for (std::size_t k = 0; k < mw; ++k) {
            unobserved[k] = k + 1 == mw ? ~mask[k] & tail : ~mask[k];
            x[k] = observed[k] | unobserved[k];
        }
        solved.push_back(detail::wide_solve(solver, x, unobserved.data(), method, seed, weights));
        total += solved.back().error * block.class_size(c);
    }
    for (std::size_t i = 0; i < block.rows(); ++i) {
        const WideSolution& s = solved[block.class_of(i)];
        std::copy(s.h.begin(), s.h.end(), out.row(i).begin());
    }
    return total;
}

}  // namespace bmf
