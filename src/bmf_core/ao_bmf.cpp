#include "ao_bmf.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "../boolmat/bitvec.hpp"
#include "../boolmat/precondition.hpp"
#include "boolls.hpp"
#include "batch.hpp"
#include "lcg.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitVec;
using boolmat::Word;

namespace {

bool any_set(std::span<const Word> words) {
    return std::any_of(words.begin(), words.end(), [](Word w) { return w != 0; });
}

}  // namespace

BitMatrix initial_factor(const BitMatrix& xt, std::uint64_t r, std::uint64_t seed) {
    std::vector<std::size_t> candidates;
    for (std::size_t j = 0; j < xt.rows(); ++j) {
        if (any_set(xt.row(j))) candidates.push_back(j);
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
    return wt.transpose();
}

BmfResult ao_bmf(const BitMatrix& x, std::uint64_t r, Method method, std::uint64_t max_iter,
                 std::uint64_t seed) {
    if (r == 0) boolmat::fail("r doit valoir au moins 1");
    // The solvers would reject such a rank anyway; rejecting it here spares
    // allocating an r-row factor first.
    check_rank(r);

    const std::size_t n = x.cols();
    const BitMatrix xt = x.transpose();

    BitMatrix w = initial_factor(xt, r, seed);
    BitMatrix h = BitMatrix::zeros(r, n);
    BitMatrix ht = h.transpose();
    // W∘0 is all zero, so the starting error is the number of ones of X.
    std::uint64_t best_error = x.count_ones();
    BitMatrix best_w = w;
    BitMatrix best_h = h;

    const std::uint64_t limit = max_iter == 0 ? 1 : max_iter;
    std::uint64_t completed = 0;
    // Columns of X are the vectors of the H step, rows those of the W step.
    // Every solve of the call uses seed 0, so equal vectors are solved once.
    const RowClasses columns = RowClasses::of(xt);
    const RowClasses rows = RowClasses::of(x);
    for (;;) {
        {
            // One solver at a time: this one is gone before the next is built.
            const BoolLs solver(w);
            store_solutions(solve_classes(solver, method, 0, xt, x, columns), columns, ht);
        }
        h = ht.transpose();

        std::uint64_t total = 0;
        {
            const BoolLs solver(ht);
            const BatchResult solved = solve_classes(solver, method, 0, x, xt, rows);
            store_solutions(solved, rows, w);
            total = solved.total;
        }

        const std::uint64_t t = completed + 1;
        if (total >= best_error) {
            return BmfResult{std::move(best_w), std::move(best_h), best_error, t};
        }
        best_w = w;
        best_h = h;
        best_error = total;
        completed = t;
        if (completed == limit) {
            return BmfResult{std::move(best_w), std::move(best_h), best_error, completed};
        }
    }
}

}  // namespace bmf
