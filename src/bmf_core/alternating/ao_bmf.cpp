#include "bmf_core/alternating/ao_bmf.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/alternating/stop_rule.hpp"
#include "bmf_core/lcg.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::Word;

BitMatrix initial_factor(BitView xt, std::uint64_t r, std::uint64_t seed, const Kernels& kernels) {
    std::vector<std::size_t> candidates;
    for (std::size_t j = 0; j < xt.rows(); ++j) {
        const std::span<const Word> row = xt.row(j);
        if (std::any_of(row.begin(), row.end(), [](Word w) { return w != 0; }))
            candidates.push_back(j);
    }
    const std::size_t k = candidates.size();
    const std::size_t chosen = static_cast<std::size_t>(std::min<std::uint64_t>(r, k));
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < chosen; ++i) {
        const std::uint64_t v = lcg_draw(state);
        const std::size_t p = i + static_cast<std::size_t>(v % (k - i));
        std::swap(candidates[i], candidates[p]);
    }

    BitMatrix wt = BitMatrix::zeros(r, xt.cols());
    for (std::size_t j = 0; j < chosen; ++j) wt.set_row(j, xt.row(candidates[j]));
    return boolmat::transpose(wt, *kernels.bits);
}

BmfResult ao_bmf(BitView x, std::uint64_t r, Method method, std::uint64_t max_iter,
                 std::uint64_t seed, const Kernels& kernels) {
    if (r == 0) boolmat::fail(boolmat::FailKind::Value, "r doit valoir au moins 1");
    // The solvers would reject such a rank anyway; rejecting it here spares
    // allocating an r-row factor first.
    check_rank(r);

    const boolmat::Kernels& bits = *kernels.bits;
    const BitMatrix xt = boolmat::transpose(x, bits);
    BitMatrix w = initial_factor(xt, r, seed, kernels);
    BitMatrix ht = BitMatrix::zeros(x.cols(), r);
    // W∘0 is all zero, so the starting error is the number of ones of X.
    BitMatrix best_w = w;
    BitMatrix best_h = BitMatrix::zeros(r, x.cols());
    StopRule stop(boolmat::count_ones(x, bits), max_iter);

    // Columns of X are the vectors of the H step, rows those of the W step;
    // each block comes with its transpose, which the other block is.
    const VectorBlock columns(xt, x);
    const VectorBlock rows(x, xt);
    for (;;) {
        {
            // One solver at a time: this one is gone before the next is built.
            const BoolLs solver(w, kernels);
            half_step(solver, columns, method, 0, ht.view_mut());
        }
        BitMatrix h = boolmat::transpose(ht, bits);
        std::uint64_t total = 0;
        {
            const BoolLs solver(ht, kernels);
            total = half_step(solver, rows, method, 0, w.view_mut());
        }
        switch (stop.record(total)) {
            case StopRule::Verdict::DiscardAndStop:
                return {std::move(best_w), std::move(best_h), stop.best_error(), stop.iterations()};
            case StopRule::Verdict::KeepAndStop:
                return {std::move(w), std::move(h), total, stop.iterations()};
            case StopRule::Verdict::Continue:
                best_w = w;
                best_h = std::move(h);
                break;
        }
    }
}

}  // namespace bmf
