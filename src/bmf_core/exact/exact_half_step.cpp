#include "bmf_core/exact/exact_half_step.hpp"

#include "boolmat/detail/popcount.hpp"
#include "boolmat/precondition.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::BitViewMut;

SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, BitViewMut out) {
    const BitView vectors = block.vectors();
    boolmat::assert_eq(vectors.cols(), search.m(), [&] {
        return boolmat::cat("les vecteurs ont ", vectors.cols(), " bits, W a ", search.m(), " lignes");
    });
    if (out.rows() != vectors.rows() || out.cols() != search.r()) {
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("la sortie est ", out.rows(), "x", out.cols(), ", il faut ",
                                   vectors.rows(), "x", search.r()));
    }
    const RowClasses& classes = block.classes();
    std::vector<std::uint64_t> solutions(classes.first.size());
    SearchStep step;
    ExactScratch scratch;
    for (std::size_t c = 0; c < classes.first.size(); ++c) {
        const ExactResult got = search.solve(vectors.row(classes.first[c]), scratch, node_budget);
        solutions[c] = got.h;
        step.total += got.error * classes.size[c];
        if (!got.finished) step.unfinished.push_back(c);
    }
    // With r <= 64 a combination is one word whose bits from r up are 0.
    for (std::size_t i = 0; i < classes.class_of.size(); ++i)
        out.row(i)[0] = solutions[classes.class_of[i]];
    return step;
}

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

}  // namespace bmf
