// Solving a block of vectors against one BoolLs. A solve depends only on the
// vector, the method and the seed, so each class of equal rows is solved
// once, straight from the caller's words. "zeta" solves share one scratch
// memory, and when the solver has few distinct row patterns among many rows
// the vectors are laid out in pattern order, so that counting a vector's
// rows per pattern is one population count per pattern instead of one
// scattered add per set row.
#include <span>
#include <vector>

#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;

namespace {

// The m x k matrix `t` with its rows reordered and transposed: row c of the
// result is column c of t read in the order `order` (bit k is t[order[k]][c]).
BitMatrix columns_in_order(BitView t, std::span<const std::size_t> order,
                           const boolmat::Kernels& k) {
    BitMatrix moved = BitMatrix::zeros(t.rows(), t.cols());
    for (std::size_t i = 0; i < order.size(); ++i) moved.set_row(i, t.row(order[i]));
    return boolmat::transpose(moved, k);
}

// The vectors of the block's classes in the group order of `groups`, one row
// per row of the block's transpose when it was given, else one per class.
BitMatrix in_group_order(const VectorBlock& block, const detail::PatternGroups& groups,
                         const boolmat::Kernels& k) {
    if (block.transposed().rows() != 0)
        return columns_in_order(block.transposed(), groups.order, k);
    const RowClasses& classes = block.classes();
    BitMatrix firsts = BitMatrix::zeros(classes.first.size(), block.vectors().cols());
    for (std::size_t c = 0; c < classes.first.size(); ++c)
        firsts.set_row(c, block.vectors().row(classes.first[c]));
    return columns_in_order(boolmat::transpose(firsts, k), groups.order, k);
}

}  // namespace

namespace {

// Solves each class of `block` once and writes every row's combination:
// "zeta" by the table, the solve reading `zeta(x, scratch)` for x in word
// order and `grouped(groups, x, scratch)` for x in the solver's pattern
// order, any other method by `other(x)`. Returns the total error.
template <class Zeta, class Grouped, class Other>
std::uint64_t solve_classes(const BoolLs& solver, const VectorBlock& block, bool by_zeta,
                            Zeta&& zeta, Grouped&& grouped, Other&& other, BitViewMut out) {
    const BitView vectors = block.vectors();
    const RowClasses& classes = block.classes();
    const std::size_t n = classes.first.size();
    std::vector<std::uint64_t> solutions(n);
    std::uint64_t total = 0;
    const auto keep = [&](std::size_t c, const Solution& s) {
        solutions[c] = s.h;
        total += s.error * classes.size[c];
    };
    if (!by_zeta) {
        for (std::size_t c = 0; c < n; ++c) keep(c, other(vectors.row_vec(classes.first[c])));
    } else {
        detail::ZetaScratch scratch;
        if (const detail::PatternGroups* groups = detail::zeta_groups(solver)) {
            const BitMatrix ordered = in_group_order(block, *groups, *solver.kernels().bits);
            const bool by_row = block.transposed().rows() != 0;
            for (std::size_t c = 0; c < n; ++c) {
                const std::size_t row = by_row ? classes.first[c] : c;
                keep(c, grouped(*groups, ordered.row(row), scratch));
            }
        } else {
            for (std::size_t c = 0; c < n; ++c)
                keep(c, zeta(vectors.row(classes.first[c]), scratch));
        }
    }
    // With r <= 26 a combination is one word whose bits from r up are 0.
    for (std::size_t i = 0; i < classes.class_of.size(); ++i)
        out.row(i)[0] = solutions[classes.class_of[i]];
    return total;
}

}  // namespace

std::uint64_t table_half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                              std::uint64_t seed, BitViewMut out) {
    const BitView vectors = block.vectors();
    check_half_step_shapes(vectors.rows(), vectors.cols(), solver.m(), solver.r(), out);
    const detail::ZetaInput table = detail::zeta_input(solver);
    return solve_classes(
        solver, block, method == Method::Zeta,
        [&](std::span<const boolmat::Word> x, detail::ZetaScratch& scratch) {
            return detail::zeta_solve(table, x, scratch);
        },
        [&](const detail::PatternGroups& groups, std::span<const boolmat::Word> x,
            detail::ZetaScratch& scratch) {
            return detail::zeta_solve_grouped(table, groups, x, scratch);
        },
        [&](boolmat::VecView x) { return solver.solve_seeded(x, method, seed); }, out);
}

std::uint64_t table_half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                              std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs) {
    if (costs.unit()) return table_half_step(solver, block, method, seed, out);
    const BitView vectors = block.vectors();
    check_half_step_shapes(vectors.rows(), vectors.cols(), solver.m(), solver.r(), out);
    if (method != Method::Naive && method != Method::Zeta) {
        boolmat::fail(
            boolmat::FailKind::Value,
            boolmat::cat("la methode ", method.name(), " n'a pas de solveur pondere sur la table"));
    }
    const Weights w = costs.weights(solver.m());
    const detail::ZetaInput table = detail::zeta_input(solver);
    return solve_classes(
        solver, block, method == Method::Zeta,
        [&](std::span<const boolmat::Word> x, detail::ZetaScratch& scratch) {
            return detail::zeta_solve(table, x, scratch, w);
        },
        [&](const detail::PatternGroups& groups, std::span<const boolmat::Word> x,
            detail::ZetaScratch& scratch) {
            return detail::zeta_solve_grouped(table, groups, x, scratch, w);
        },
        [&](boolmat::VecView x) { return solver.solve_naive(x, w); }, out);
}

}  // namespace bmf
