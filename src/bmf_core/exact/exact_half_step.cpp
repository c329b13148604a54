#include "bmf_core/exact/exact_half_step.hpp"

#include <span>

#include "bmf_core/table/detail/zeta_solve.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::BitViewMut;

namespace {

// Runs solve(c) on every class c < classes, counts its error size(c) times,
// lists the classes whose search ran out and writes the combination of
// class_of(i) to every row i < rows of `out`.
template <class Solve, class Size, class ClassOf>
SearchStep search_classes(std::size_t classes, std::size_t rows, Solve&& solve, Size&& size,
                          ClassOf&& class_of, BitViewMut out) {
    std::vector<std::uint64_t> solutions(classes);
    SearchStep step;
    for (std::size_t c = 0; c < classes; ++c) {
        const ExactResult got = solve(c);
        solutions[c] = got.h;
        step.total += got.error * size(c);
        if (!got.finished) step.unfinished.push_back(c);
    }
    // With r <= 64 a combination is one word whose bits from r up are 0.
    for (std::size_t i = 0; i < rows; ++i) out.row(i)[0] = solutions[class_of(i)];
    return step;
}

// search_classes over the classes of an unmasked block.
template <class Solve>
SearchStep search_block(const ExactSearch& search, const VectorBlock& block, Solve&& solve,
                        BitViewMut out) {
    const BitView vectors = block.vectors();
    check_half_step_shapes(vectors.rows(), vectors.cols(), search.m(), search.r(), out);
    const RowClasses& classes = block.classes();
    return search_classes(
        classes.first.size(), classes.class_of.size(),
        [&](std::size_t c) { return solve(vectors.row(classes.first[c])); },
        [&](std::size_t c) { return classes.size[c]; },
        [&](std::size_t i) { return classes.class_of[i]; }, out);
}

}  // namespace

SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, BitViewMut out) {
    ExactScratch scratch;
    return search_block(
        search, block,
        [&](std::span<const boolmat::Word> x) { return search.solve(x, scratch, node_budget); },
        out);
}

namespace {

// Fills solutions[c] with the lowest optimal combination of class c of
// `block` under `strategy` (Search, or Auto with the table of `solver` for
// what the chooser leaves to it) and returns the total error over all rows.
std::uint64_t solve_classes_exactly(const BoolLs& solver, const VectorBlock& block,
                                    ExactStrategy strategy, std::span<std::uint64_t> solutions) {
    const BitView vectors = block.vectors();
    const RowClasses& classes = block.classes();
    const ExactSearch search(solver.row_patterns(), static_cast<unsigned>(solver.r()),
                             solver.kernels());
    const boolmat::detail::PopcountKernels& count = *solver.kernels().bits->popcount;
    ExactChooser chooser(search);
    ExactScratch scratch;
    detail::ZetaScratch table_scratch;
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < classes.first.size(); ++c) {
        const auto x = vectors.row(classes.first[c]);
        std::uint64_t budget = kUnlimitedNodes;
        if (strategy == ExactStrategy::Auto)
            budget = chooser.budget(count.popcount(x.data(), x.size()));
        std::uint64_t h = 0, error = 0;
        bool solved = false;
        if (budget > 0) {
            const ExactResult got = search.solve(x, scratch, budget);
            chooser.record(got);
            solved = got.finished;
            h = got.h;
            error = got.error;
        }
        if (!solved) {
            const Solution s = detail::zeta_solve(detail::zeta_input(solver), x, table_scratch);
            h = s.h;
            error = s.error;
        }
        solutions[c] = h;
        total += error * classes.size[c];
    }
    return total;
}

}  // namespace

std::uint64_t exact_half_step(const BoolLs& solver, const VectorBlock& block,
                              ExactStrategy strategy, BitViewMut out) {
    if (strategy == ExactStrategy::Table)
        return table_half_step(solver, block, Method::Zeta, 0, out);
    check_half_step_shapes(block.vectors().rows(), block.vectors().cols(), solver.m(), solver.r(),
                           out);
    const RowClasses& classes = block.classes();
    std::vector<std::uint64_t> solutions(classes.first.size());
    const std::uint64_t total = solve_classes_exactly(solver, block, strategy, solutions);
    // With r <= 26 a combination is one word whose bits from r up are 0.
    for (std::size_t i = 0; i < classes.class_of.size(); ++i)
        out.row(i)[0] = solutions[classes.class_of[i]];
    return total;
}

SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out,
                            const Costs& costs) {
    if (costs.unit()) return search_half_step(search, block, node_budget, out);
    const Weights weights = costs.weights(search.m());
    ExactScratch scratch;
    return search_block(
        search, block,
        [&](std::span<const boolmat::Word> x) {
            return search.solve(x, weights, scratch, node_budget);
        },
        out);
}

SearchStep search_half_step(const ExactSearch& search, const MaskedVectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out,
                            const Costs& costs) {
    check_half_step_shapes(block.rows(), block.cols(), search.m(), search.r(), out);
    const Weights weights = costs.weights(search.m());
    ExactScratch scratch;
    return search_classes(
        block.class_count(), block.rows(),
        [&](std::size_t c) {
            return search.solve(block.observed(c).words, block.mask(c).words, weights, scratch,
                                node_budget);
        },
        [&](std::size_t c) { return block.class_size(c); },
        [&](std::size_t i) { return block.class_of(i); }, out);
}

}  // namespace bmf
