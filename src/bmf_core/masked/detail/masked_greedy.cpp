// Greedy selection and the seeded local search under a mask: O(m/64) per
// mask and per vector, then the unmasked costs (r(r+1)/2 candidates of m/64
// words for greedy, depth x (k-1) candidates per level of the search).
#include <algorithm>
#include <bit>

#include "bmf_core/lcg.hpp"
#include "bmf_core/masked/detail/masked_kernels.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"

namespace bmf::detail::masked {
namespace {

// Draws column indices until `u` distinct ones are held (a repeated index
// still uses up its draw) and returns them as a mask of columns.
std::uint64_t draw_distinct(std::uint64_t u, std::uint64_t r, std::uint64_t& state) {
    std::uint64_t mask = 0;
    while (static_cast<std::uint64_t>(std::popcount(mask)) < u)
        mask |= std::uint64_t{1} << (lcg_draw(state) % r);
    return mask;
}

}  // namespace

void ObservedColumns::build(const BoolLs& solver, std::span<const Word> mask) {
    solver_ = &solver;
    words_ = mask.size();
    for (boolmat::WordArray* a : {&unobserved_, &x_, &acc_})
        if (a->size() != words_) *a = boolmat::WordArray::uninitialised(words_);
    Word* u = unobserved_.data();
    for (std::size_t k = 0; k < words_; ++k) u[k] = ~mask[k];
    u[words_ - 1] &= boolmat::row_mask(solver.m());
}

void ObservedColumns::take(const Word* x) {
    const Word* u = unobserved_.data();
    Word* out = x_.data();
    for (std::size_t k = 0; k < words_; ++k) out[k] = x[k] | u[k];
}

const boolmat::detail::PopcountKernels& ObservedColumns::counts() const {
    return *solver_->kernels().bits->popcount;
}

Solution ObservedColumns::greedy(const Word* x) {
    take(x);
    return greedy_taken(counts().popcount(x, words_));
}

Solution ObservedColumns::greedy_taken(std::uint64_t ones) {
    const auto& columns = solver_->columns();
    const std::uint64_t r = solver_->r();
    const boolmat::detail::PopcountKernels& count = counts();
    Word* acc = acc_.data();
    std::copy(unobserved_.data(), unobserved_.data() + words_, acc);
    Solution current{0, ones};
    for (;;) {
        std::uint64_t threshold = current.error;
        std::uint64_t chosen = r;
        for (std::uint64_t j = 0; j < r; ++j) {
            if ((current.h >> j) & 1) continue;
            const std::uint64_t e =
                count.or_xor_popcount(x_.data(), acc, columns[j].words().data(), words_);
            if (e < threshold) {
                threshold = e;
                chosen = j;
            }
        }
        if (chosen == r) return current;
        current.h |= std::uint64_t{1} << chosen;
        current.error = threshold;
        boolmat::kernels::or_words(acc, columns[chosen].words().data(), words_);
    }
}

Solution ObservedColumns::greedy_ls(const Word* x, std::uint64_t seed) {
    take(x);
    const Solution start = greedy_taken(counts().popcount(x, words_));
    const std::uint64_t r = solver_->r();
    // k = min(r, max(2, bit length of r - 1)), as the unmasked search.
    const std::uint64_t k = std::min<std::uint64_t>(
        r, std::max<std::uint64_t>(2, static_cast<std::uint64_t>(std::bit_width(r - 1))));
    std::uint64_t state = seed;
    return search_from(start, r, k, state);
}

Solution ObservedColumns::search_from(Solution best, std::uint64_t depth, std::uint64_t k,
                                      std::uint64_t& state) {
    if (depth == 0 || k < 2) return best;
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= k; ++u) {
            const std::uint64_t candidate = best.h ^ draw_distinct(u, solver_->r(), state);
            const std::uint64_t e = error_of(candidate);
            if (e < best.error) best = search_from({candidate, e}, depth - 1, k, state);
        }
    }
    return best;
}

std::uint64_t ObservedColumns::error_of(std::uint64_t h) {
    const auto& columns = solver_->columns();
    Word* acc = acc_.data();
    std::copy(unobserved_.data(), unobserved_.data() + words_, acc);
    for (std::uint64_t bits = h; bits != 0; bits &= bits - 1) {
        const auto j = static_cast<std::size_t>(std::countr_zero(bits));
        boolmat::kernels::or_words(acc, columns[j].words().data(), words_);
    }
    return counts().xor_popcount(x_.data(), acc, words_);
}

}  // namespace bmf::detail::masked
