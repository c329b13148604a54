// Solving a block of vectors against one solver. A solve depends only on the
// vector, the method and the seed, so the rows are first sorted into classes
// of equal rows and each class is solved once, straight from the caller's
// words. "zeta" solves share one scratch memory, and when the solver has few
// distinct row patterns among many rows the vectors are laid out in pattern
// order, so that counting a vector's rows per pattern is one population
// count per pattern instead of one scattered add per set row.
#include "bmf_core/alternating/half_step.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <span>

#include "boolmat/bitmatrix.hpp"
#include "boolmat/precondition.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "bmf_core/exact/exact_half_step.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;
using boolmat::Word;

RowClasses RowClasses::of(BitView m) {
    const std::size_t rows = m.rows();
    std::vector<std::uint64_t> hash(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint64_t h = 0;
        for (const Word w : m.row(i)) h = (h ^ w) * 0x9E3779B97F4A7C15ull + (h >> 29);
        hash[i] = h;
    }
    // Equal rows end up adjacent, in increasing row order within a run.
    std::vector<std::size_t> order(rows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto less = [&](std::size_t a, std::size_t b) {
        if (hash[a] != hash[b]) return hash[a] < hash[b];
        const auto ra = m.row(a), rb = m.row(b);
        const int cmp = std::memcmp(ra.data(), rb.data(), ra.size_bytes());
        return cmp != 0 ? cmp < 0 : a < b;
    };
    std::sort(order.begin(), order.end(), less);
    RowClasses d;
    d.class_of.resize(rows);
    for (std::size_t k = 0; k < rows; ++k) {
        const std::size_t i = order[k];
        const bool same = k > 0 && hash[i] == hash[order[k - 1]] &&
                          std::ranges::equal(m.row(i), m.row(order[k - 1]));
        if (!same) {
            d.first.push_back(i);
            d.size.push_back(0);
        }
        d.class_of[i] = d.first.size() - 1;
        ++d.size.back();
    }
    return d;
}

VectorBlock::VectorBlock(BitView vectors) : vectors_(vectors), classes_(RowClasses::of(vectors)) {}

VectorBlock::VectorBlock(BitView vectors, BitView transposed)
    : vectors_(vectors), transposed_(transposed) {
    if (transposed.rows() != vectors.cols() || transposed.cols() != vectors.rows()) {
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("la transposée a ", transposed.rows(), "x", transposed.cols(),
                                   " cellules, le bloc ", vectors.rows(), "x", vectors.cols()));
    }
    classes_ = RowClasses::of(vectors);
}

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

void check_shapes(const BoolLs& solver, BitView vectors, BitViewMut out) {
    boolmat::assert_eq(vectors.cols(), solver.m(), [&] {
        return boolmat::cat("les vecteurs ont ", vectors.cols(), " bits, W a ", solver.m(),
                            " lignes");
    });
    if (out.rows() != vectors.rows() || out.cols() != solver.r()) {
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("la sortie est ", out.rows(), "x", out.cols(), ", il faut ",
                                   vectors.rows(), "x", solver.r()));
    }
}

}  // namespace

std::uint64_t half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                        std::uint64_t seed, BitViewMut out, ExactStrategy strategy) {
    const BitView vectors = block.vectors();
    check_shapes(solver, vectors, out);
    const RowClasses& classes = block.classes();
    const std::size_t n = classes.first.size();
    std::vector<std::uint64_t> solutions(n);
    std::uint64_t total = 0;
    const auto keep = [&](std::size_t c, const Solution& s) {
        solutions[c] = s.h;
        total += s.error * classes.size[c];
    };
    if (method != Method::Zeta) {
        for (std::size_t c = 0; c < n; ++c)
            keep(c, solver.solve_seeded(vectors.row_vec(classes.first[c]), method, seed));
    } else if (strategy != ExactStrategy::Table) {
        total = solve_classes_exactly(solver, block, strategy, solutions);
    } else {
        const detail::ZetaInput table = detail::zeta_input(solver);
        detail::ZetaScratch scratch;
        if (const detail::PatternGroups* groups = detail::zeta_groups(solver)) {
            const BitMatrix ordered = in_group_order(block, *groups, *solver.kernels().bits);
            const bool by_row = block.transposed().rows() != 0;
            for (std::size_t c = 0; c < n; ++c) {
                const std::size_t row = by_row ? classes.first[c] : c;
                keep(c, detail::zeta_solve_grouped(table, *groups, ordered.row(row), scratch));
            }
        } else {
            for (std::size_t c = 0; c < n; ++c)
                keep(c, detail::zeta_solve(table, vectors.row(classes.first[c]), scratch));
        }
    }
    // With r <= 26 a combination is one word whose bits from r up are 0.
    for (std::size_t i = 0; i < classes.class_of.size(); ++i)
        out.row(i)[0] = solutions[classes.class_of[i]];
    return total;
}

std::uint64_t half_step(const BoolLs& solver, BitView vectors, Method method, std::uint64_t seed,
                        BitViewMut out, ExactStrategy strategy) {
    check_shapes(solver, vectors, out);
    return half_step(solver, VectorBlock(vectors), method, seed, out, strategy);
}

StopRule::StopRule(std::uint64_t initial_error, std::uint64_t max_iter)
    : best_error_(initial_error), limit_(iteration_limit(max_iter)) {}

StopRule::Verdict StopRule::record(std::uint64_t error) {
    ++iterations_;
    if (error >= best_error_) return Verdict::DiscardAndStop;
    best_error_ = error;
    return iterations_ == limit_ ? Verdict::KeepAndStop : Verdict::Continue;
}

}  // namespace bmf
