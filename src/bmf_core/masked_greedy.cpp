// Greedy selection and the seeded local search over the masked columns.
// O(r x m/64) word ANDs per mask (none when all rows are observed), then the
// unmasked costs: r(r+1)/2 candidates of m/64 words, depth x (k-1) per level.
#include <algorithm>
#include <bit>

#include "boolmat/kernels.hpp"
#include "bmf_core/lcg.hpp"
#include "bmf_core/masked_kernels.hpp"

namespace bmf::masked {
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

void ObservedColumns::build(const BoolLs& solver, std::span<const Word> mask, bool all_observed) {
    words_ = mask.size();
    r_ = solver.r();
    columns_.resize(r_);
    if (acc_.size() != words_) acc_ = boolmat::WordArray::uninitialised(words_);
    const auto& columns = solver.columns();
    if (all_observed) {
        for (std::size_t j = 0; j < r_; ++j) columns_[j] = columns[j].words().data();
        return;
    }
    if (own_.size() != r_ * words_) own_ = boolmat::WordArray::uninitialised(r_ * words_);
    for (std::size_t j = 0; j < r_; ++j) {
        Word* out = own_.data() + j * words_;
        const Word* in = columns[j].words().data();
        for (std::size_t k = 0; k < words_; ++k) out[k] = in[k] & mask[k];
        columns_[j] = out;
    }
}

Solution ObservedColumns::greedy(const Word* x) {
    Word* acc = acc_.data();
    std::fill(acc, acc + words_, Word{0});
    Solution current{0, boolmat::kernels::popcount_words(x, words_)};
    for (;;) {
        std::uint64_t threshold = current.error;
        std::uint64_t chosen = r_;
        for (std::uint64_t j = 0; j < r_; ++j) {
            if ((current.h >> j) & 1) continue;
            const std::uint64_t e = boolmat::kernels::or_xor_popcount(x, acc, columns_[j], words_);
            if (e < threshold) {
                threshold = e;
                chosen = j;
            }
        }
        if (chosen == r_) return current;
        current.h |= std::uint64_t{1} << chosen;
        current.error = threshold;
        boolmat::kernels::or_words(acc, columns_[chosen], words_);
    }
}

Solution ObservedColumns::greedy_ls(const Word* x, std::uint64_t seed) {
    const Solution start = greedy(x);
    // k = min(r, max(2, bit length of r - 1)), as the unmasked search.
    const std::uint64_t k = std::min<std::uint64_t>(
        r_, std::max<std::uint64_t>(2, static_cast<std::uint64_t>(std::bit_width(r_ - 1))));
    std::uint64_t state = seed;
    return search_from(x, start, r_, k, state);
}

Solution ObservedColumns::search_from(const Word* x, Solution best, std::uint64_t depth,
                                      std::uint64_t k, std::uint64_t& state) {
    if (depth == 0 || k < 2) return best;
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= k; ++u) {
            const std::uint64_t candidate = best.h ^ draw_distinct(u, r_, state);
            const std::uint64_t e = error_of(x, candidate);
            if (e < best.error) best = search_from(x, {candidate, e}, depth - 1, k, state);
        }
    }
    return best;
}

std::uint64_t ObservedColumns::error_of(const Word* x, std::uint64_t h) {
    Word* acc = acc_.data();
    std::fill(acc, acc + words_, Word{0});
    for (std::uint64_t bits = h; bits != 0; bits &= bits - 1)
        boolmat::kernels::or_words(acc, columns_[static_cast<std::size_t>(std::countr_zero(bits))],
                                   words_);
    return boolmat::kernels::xor_popcount(x, acc, words_);
}

}  // namespace bmf::masked
