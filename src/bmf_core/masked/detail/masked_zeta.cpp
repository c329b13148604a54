// "zeta" under a mask, solved by zeta_solve: per mask min(observed, unobserved) adds
// (m/64 + groups in pattern order) + r x 2^r; stacked, 2|x AND M| + |NOT M| adds per solve.
#include <algorithm>
#include <bit>

#include "bmf_core/masked/detail/masked_kernels.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "boolmat/words.hpp"

namespace bmf::detail::masked {

bool MaskTable::start(const BoolLs& solver, std::uint64_t observed) {
    table_ = {solver.row_patterns(), solver.subset_counts(), observed,
              static_cast<unsigned>(solver.r()), &solver.kernels()};
    if (observed == solver.m()) return true;
    const std::size_t size = std::size_t{1} << solver.r();
    // The first table comes zeroed from the allocator; later masks clear it.
    if (own_.size() != size)
        own_ = CountTable::zeroed(size);
    else
        std::fill(own_.span().begin(), own_.span().end(), std::uint32_t{0});
    return false;
}

void MaskTable::finish(const BoolLs& solver, bool counted_observed) {
    const auto sums = own_.span();
    solver.kernels().zeta->subset_sum_transform(sums.data(), static_cast<unsigned>(solver.r()));
    // ζC_M = ζC - ζC_U when the unobserved rows were counted.
    if (!counted_observed) {
        const auto all = solver.subset_counts();
        for (std::size_t t = 0; t < sums.size(); ++t) sums[t] = all[t] - sums[t];
    }
    table_.subset_counts = sums;
}

void MaskTable::build(const BoolLs& solver, std::span<const Word> mask, std::uint64_t observed) {
    if (start(solver, observed)) return;
    // Counting the unobserved rows instead is cheaper when they are the
    // fewer, the usual case of a few missing cells.
    const std::uint64_t m = solver.m();
    const bool count_observed = observed <= m - observed;
    const auto sums = own_.span();
    const std::uint64_t* patterns = solver.row_patterns().data();
    const Word last = boolmat::row_mask(m);
    for (std::size_t k = 0; k < mask.size(); ++k) {
        Word bits = count_observed ? mask[k] : ~mask[k];
        if (k + 1 == mask.size()) bits &= last;
        for (; bits != 0; bits &= bits - 1)
            ++sums[patterns[k * boolmat::kWordBits +
                            static_cast<std::size_t>(std::countr_zero(bits))]];
    }
    finish(solver, count_observed);
}

void MaskTable::build_in_order(const BoolLs& solver, const PatternGroups& groups,
                               std::span<const Word> mask_in_order, std::uint64_t observed) {
    if (start(solver, observed)) return;
    const auto sums = own_.span();
    const Word* bits = mask_in_order.data();
    std::uint64_t before = 0;  // set bits before the previous group's end
    std::uint64_t full = 0;    // set bits in words 0 .. k - 1
    std::size_t k = 0;
    for (std::size_t g = 0; g < groups.patterns.size(); ++g) {
        const std::size_t end = groups.ends[g];
        for (; k < end / boolmat::kWordBits; ++k)
            full += static_cast<std::uint64_t>(std::popcount(bits[k]));
        const unsigned tail = boolmat::bit_of(end);
        const Word head = tail == 0 ? Word{0} : bits[k] & ((Word{1} << tail) - 1);
        const std::uint64_t upto = full + static_cast<std::uint64_t>(std::popcount(head));
        sums[groups.patterns[g]] = static_cast<std::uint32_t>(upto - before);
        before = upto;
    }
    finish(solver, true);
}

StackedTable::StackedTable(const BoolLs& solver) : m_(solver.m()) {
    const auto patterns = solver.row_patterns();
    patterns_.resize(2 * m_);
    std::copy(patterns.begin(), patterns.end(), patterns_.begin());
    std::copy(patterns.begin(), patterns.end(),
              patterns_.begin() + static_cast<std::ptrdiff_t>(m_));
    // Every row twice: twice every subset sum, no transform needed.
    const auto sums = solver.subset_counts();
    doubled_ = CountTable::zeroed(sums.size());
    const auto out = doubled_.span();
    for (std::size_t t = 0; t < sums.size(); ++t) out[t] = 2 * sums[t];
    table_ = {patterns_, doubled_.span(), 2 * m_, static_cast<unsigned>(solver.r()),
              &solver.kernels()};
    stacked_ = boolmat::WordArray::zeroed(boolmat::words_for(2 * m_));
}

Solution StackedTable::solve(const Word* x, const Word* mask, std::uint64_t observed,
                             ZetaScratch& scratch) {
    // Rows 0 .. m-1 read x with its unobserved rows set, rows m .. 2m-1 read
    // x with them cleared (x arrives so). An unobserved row is then wrong in
    // exactly one of its two copies whatever h is, and an observed row in
    // both or neither: the stacked error is 2 x observed error + unobserved.
    const std::size_t words = boolmat::words_for(m_);
    const unsigned shift = boolmat::bit_of(m_);
    const Word last = boolmat::row_mask(m_);
    Word* out = stacked_.data();
    std::fill(out + words, out + stacked_.size(), Word{0});
    for (std::size_t k = 0; k < words; ++k) out[k] = x[k] | ~mask[k];
    out[words - 1] &= last;
    // The second copy starts at bit m: word m / 64, bit m mod 64.
    Word* second = out + boolmat::word_of(m_);
    for (std::size_t k = 0; k < words; ++k) {
        second[k] |= x[k] << shift;
        if (shift != 0 && k + 1 < stacked_.size() - boolmat::word_of(m_))
            second[k + 1] |= x[k] >> (64 - shift);
    }
    const Solution s = zeta_solve(table_, stacked_.span(), scratch);
    return {s.h, (s.error - (m_ - observed)) / 2};
}

}  // namespace bmf::detail::masked
