// Masked half-steps over blocks of vectors. A masked solve depends only on
// the vector's observed part, its mask, the method and the seed, so rows
// equal in both are solved once, and the classes sharing a mask share what
// the method builds from it (the observed subset sums, the masked columns).
#include <algorithm>
#include <cstring>
#include <numeric>

#include "bmf_core/masked/detail/masked_kernels.hpp"
#include "bmf_core/masked/masked.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::Word;

boolmat::BitMatrix MaskedVectorBlock::pairs_in_order(const detail::PatternGroups& groups,
                                                     std::size_t m, const Kernels& kernels) const {
    const boolmat::BitMatrix& t = *pairs_t_;
    boolmat::BitMatrix moved = boolmat::BitMatrix::zeros(m, t.cols());
    for (std::size_t k = 0; k < m; ++k) moved.set_row(k, t.row(groups.order[k]));
    return boolmat::transpose(moved, *kernels.bits);
}

MaskedVectorBlock::MaskedVectorBlock(boolmat::BitView vectors, boolmat::BitView masks,
                                     const Kernels& kernels)
    : rows_(vectors.rows()), cols_(vectors.cols()) {
    if (masks.rows() != vectors.rows() || masks.cols() != vectors.cols()) {
        boolmat::fail(
            boolmat::FailKind::Shape,
            boolmat::cat("les masques ont ", masks.rows(), "x", masks.cols(),
                         " cellules, les vecteurs ", vectors.rows(), "x", vectors.cols()));
    }
    if (rows_ == 0 || cols_ == 0) return;

    // One row per vector, its observed part then its mask: the classes of
    // equal rows are then the classes of equal pairs. The last words are
    // trimmed so that no bit beyond the vectors can ever index a row.
    const std::size_t w = vectors.row_words();
    const Word last = boolmat::row_mask(cols_);
    boolmat::BitMatrix pairs = boolmat::BitMatrix::zeros(rows_, 2 * w * boolmat::kWordBits);
    Word* out = pairs.words_mut().data();
    for (std::size_t i = 0; i < rows_; ++i, out += 2 * w) {
        const Word* x = vectors.row(i).data();
        const Word* m = masks.row(i).data();
        for (std::size_t k = 0; k < w; ++k) {
            const Word mk = k + 1 == w ? m[k] & last : m[k];
            out[k] = x[k] & mk;
            out[w + k] = mk;
        }
    }
    RowClasses classes = RowClasses::of(pairs);
    first_ = std::move(classes.first);
    size_ = std::move(classes.size);
    class_of_ = std::move(classes.class_of);

    // Only one row per class is kept.
    const std::size_t n = first_.size();
    pairs_ = boolmat::BitMatrix::zeros(2 * n, cols_);
    for (std::size_t c = 0; c < n; ++c) {
        const Word* pair = pairs.row(first_[c]).data();
        pairs_->set_row(2 * c, {pair, w});
        pairs_->set_row(2 * c + 1, {pair + w, w});
    }
    pairs_t_ = boolmat::transpose(*pairs_, *kernels.bits);

    const auto mask_of = [&](std::size_t c) { return pairs_->row(2 * c + 1).data(); };
    by_mask_.resize(n);
    std::iota(by_mask_.begin(), by_mask_.end(), std::size_t{0});
    std::stable_sort(by_mask_.begin(), by_mask_.end(), [&](std::size_t a, std::size_t b) {
        return std::memcmp(mask_of(a), mask_of(b), w * sizeof(Word)) < 0;
    });
    for (std::size_t k = 1; k <= n; ++k)
        if (k == n ||
            !std::equal(mask_of(by_mask_[k]), mask_of(by_mask_[k]) + w, mask_of(by_mask_[k - 1])))
            run_ends_.push_back(k);
}

template <class Prepare, class Solve>
std::uint64_t MaskedVectorBlock::solve_by_mask(Prepare&& prepare, Solve&& solve,
                                               boolmat::BitViewMut out) const {
    std::vector<std::uint64_t> solutions(class_count());
    std::uint64_t total = 0;
    std::size_t begin = 0;
    for (const std::size_t end : run_ends_) {
        prepare(by_mask_[begin], end - begin);
        for (std::size_t k = begin; k < end; ++k) {
            const std::size_t c = by_mask_[k];
            const Solution one = solve(c);
            solutions[c] = one.h;
            total += one.error * size_[c];
        }
        begin = end;
    }
    for (std::size_t i = 0; i < rows_; ++i) out.row(i)[0] = solutions[class_of_[i]];
    return total;
}

std::uint64_t half_step(const BoolLs& solver, const MaskedVectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out) {
    check_half_step_shapes(block.rows(), block.cols(), solver.m(), solver.r(), out);

    const auto observed_part = [&](std::size_t c) { return block.pairs_->row(2 * c); };
    const auto mask = [&](std::size_t c) { return block.pairs_->row(2 * c + 1); };

    const detail::PatternGroups* groups =
        method == Method::Zeta && block.class_count() > 0 ? detail::zeta_groups(solver) : nullptr;
    if (groups != nullptr) {
        // Few distinct patterns among many rows: with the vectors and masks
        // in pattern order, each pattern's count is one population count.
        const boolmat::BitMatrix in_order =
            block.pairs_in_order(*groups, solver.m(), solver.kernels());
        const boolmat::detail::PopcountKernels& count = *solver.kernels().bits->popcount;
        detail::masked::MaskTable table;
        detail::ZetaScratch scratch;
        return block.solve_by_mask(
            [&](std::size_t c, std::size_t) {
                const auto m = in_order.row(2 * c + 1);
                table.build_in_order(solver, *groups, m, count.popcount(m.data(), m.size()));
            },
            [&](std::size_t c) {
                return zeta_solve_grouped(table.table(), *groups, in_order.row(2 * c), scratch);
            },
            out);
    }
    detail::masked::MaskedSolver s(solver, method);
    return block.solve_by_mask(
        [&](std::size_t c, std::size_t classes) { s.set_mask(mask(c), classes); },
        [&](std::size_t c) { return s.solve(observed_part(c), seed); }, out);
}

std::uint64_t half_step(const BoolLs& solver, boolmat::BitView vectors, boolmat::BitView masks,
                        Method method, std::uint64_t seed, boolmat::BitViewMut out) {
    // The vectors and the output are checked before the masks, as for a
    // prepared block.
    check_half_step_shapes(vectors.rows(), vectors.cols(), solver.m(), solver.r(), out);
    return half_step(solver, MaskedVectorBlock(vectors, masks, solver.kernels()), method, seed,
                     out);
}

std::uint64_t half_step(const BoolLs& solver, const MaskedVectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs) {
    if (costs.unit()) return half_step(solver, block, method, seed, out);
    check_half_step_shapes(block.rows(), block.cols(), solver.m(), solver.r(), out);
    if (method != Method::Naive && method != Method::Zeta) {
        boolmat::fail(
            boolmat::FailKind::Value,
            boolmat::cat("la methode ", method.name(), " n'a pas de solveur pondere sur la table"));
    }
    const Weights w = costs.weights(solver.m());
    const boolmat::detail::PopcountKernels& count = *solver.kernels().bits->popcount;
    detail::masked::MaskTable table;
    detail::ZetaScratch scratch;
    const detail::PatternGroups* groups =
        method == Method::Zeta && block.class_count() > 0 ? detail::zeta_groups(solver) : nullptr;
    if (groups != nullptr) {
        const boolmat::BitMatrix in_order =
            block.pairs_in_order(*groups, solver.m(), solver.kernels());
        return block.solve_by_mask(
            [&](std::size_t c, std::size_t) {
                const auto m = in_order.row(2 * c + 1);
                table.build_in_order(solver, *groups, m, count.popcount(m.data(), m.size()));
            },
            [&](std::size_t c) {
                return zeta_solve_grouped(table.table(), *groups, in_order.row(2 * c), scratch, w);
            },
            out);
    }
    if (method == Method::Zeta) {
        // Every h has error 0 on a vector with nothing observed, the table
        // of such a mask too: m = 0 there, and h = 0 comes out.
        return block.solve_by_mask(
            [&](std::size_t c, std::size_t) {
                const auto m = block.pairs_->row(2 * c + 1);
                table.build(solver, m, count.popcount(m.data(), m.size()));
            },
            [&](std::size_t c) {
                return zeta_solve(table.table(), block.pairs_->row(2 * c), scratch, w);
            },
            out);
    }
    return block.solve_by_mask([](std::size_t, std::size_t) {},
                               [&](std::size_t c) {
                                   return detail::masked::naive(
                                       solver, block.pairs_->row(2 * c).data(),
                                       block.pairs_->row(2 * c + 1).data(), w);
                               },
                               out);
}

}  // namespace bmf
