// Boolean least squares with an observed-cell mask M (1 = observed): the
// error of h counts observed positions only, |M AND (x XOR W∘h)|. Every
// method keeps its unmasked rules (strict improvements, the lowest optimal h
// for "naive" and "zeta", the lowest column on greedy ties, the same seeded
// generator and local search), each distance taken over observed positions,
// so an all-ones mask gives the unmasked result bit for bit. A vector with
// no observed position gets (0, 0): every h has error 0 and 0 is the lowest.
// When no observed row has a 1 in W, every h gives W∘h = 0 there and ties,
// so the result is (0, |M AND x|). A masked "zeta" solve holds one more table
// of 2^r counters (its mask's, or W's stacked twice) unless M is all ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "bmf_core/vector_block.hpp"
#include "bmf_core/wide/wide.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// Solves x against `solver` counting only the positions set in `mask` and
// returns the combination with its observed error; fails with the report
// "x a {} bits, W a {} lignes", then with "masque a {} bits, x a {} bits".
Solution solve_masked(const BoolLs& solver, VecView x, VecView mask, Method method,
                      std::uint64_t seed);

// A block of vectors and their masks (views of the same shape, read once and
// not kept) prepared for solving many times: the observed part of every
// vector with its mask, the rows in classes of equal pairs, the classes in
// runs of equal masks, and the pairs' transpose, from which "zeta" lays them
// out in a solver's pattern order. Fails with "les masques ont {}x{} cellules,
// les vecteurs {}x{}" when the shapes differ. The transposition runs `kernels`.
class MaskedVectorBlock {
public:
    MaskedVectorBlock(boolmat::BitView vectors, boolmat::BitView masks,
                      const Kernels& kernels = default_kernels());

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    // Number of distinct (observed part, mask) pairs, each solved once.
    std::size_t class_count() const { return first_.size(); }
    // Number of distinct masks, each prepared once per solve of the block.
    std::size_t mask_count() const { return run_ends_.size(); }
    // Class c's observed part (x AND M) and mask, of cols() bits each, for
    // c < class_count(); the lowest row of class c, how many rows it holds,
    // and the class of row i < rows().
    boolmat::VecView observed(std::size_t c) const { return pairs_->view().row_vec(2 * c); }
    boolmat::VecView mask(std::size_t c) const { return pairs_->view().row_vec(2 * c + 1); }
    std::size_t first_row(std::size_t c) const { return first_[c]; }
    std::uint64_t class_size(std::size_t c) const { return size_[c]; }
    std::size_t class_of(std::size_t i) const { return class_of_[i]; }

private:
    friend std::uint64_t half_step(const BoolLs&, const MaskedVectorBlock&, Method, std::uint64_t,
                                   boolmat::BitViewMut);
    friend std::uint64_t half_step(const BoolLs&, const MaskedVectorBlock&, Method, std::uint64_t,
                                   boolmat::BitViewMut, const Costs&);
    // Calls prepare(c, classes) on the first class c of each run of equal
    // masks (`classes` long), then solve(c), a Solution, on every class of
    // the run; writes each row's solution as the one word of its row of
    // `out` and returns the errors summed over the rows.
    template <class Prepare, class Solve>
    std::uint64_t solve_by_mask(Prepare&& prepare, Solve&& solve, boolmat::BitViewMut out) const;
    // Rows 2c and 2c + 1: the observed part and the mask of class c, their
    // bits in the order of `groups` (bit k is row groups.order[k]), moved as
    // whole rows of the transpose by `kernels`; m is the solver's row count.
    BitMatrix pairs_in_order(const detail::PatternGroups& groups, std::size_t m,
                             const Kernels& kernels) const;

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::optional<BitMatrix> pairs_;     // rows 2c, 2c + 1: x AND M, M of class c
    std::optional<BitMatrix> pairs_t_;   // its transpose
    std::vector<std::size_t> first_;     // lowest row of each class
    std::vector<std::uint64_t> size_;    // rows in each class
    std::vector<std::size_t> class_of_;  // class of each row
    std::vector<std::size_t> by_mask_;   // the classes, equal masks adjacent
    std::vector<std::size_t> run_ends_;  // end of each mask's run in by_mask_
};

// Solves every row of `block` (each of solver.m() bits) under its mask with
// `method` and `seed`, writes row i's combination as the one word of row i
// of `out` (block rows x solver.r()) and returns the total observed error.
// Equal rows are solved once. Checks the shapes first, as the unmasked one.
std::uint64_t half_step(const BoolLs& solver, const MaskedVectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out);
// The heuristics ("greedy", "greedy-ls") at any rank on WideLs under the
// masks of `block`, counting observed cells only, each row weighted with
// costs.weights(solver.m()); writes row i's combination into row i of `out`
// (block rows x solver.k()) and returns the total. With unit costs and
// k <= 26 it gives the masked BoolLs half-step's answers.
std::uint64_t wide_half_step(const WideLs& solver, const MaskedVectorBlock& block, Method method,
                             std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs);
// The same minimising the weighted observed error, each row with
// costs.weights(solver.m()), and returning its total: "naive" and "zeta"
// give the lowest combination of least weighted error; unit costs give the
// function above. Weighted "zeta" builds the observed subset sums once per
// distinct mask (the stacked table of the unit costs holds only for equal
// costs). The heuristics fail, after the shape checks, with "la methode {}
// n'a pas de solveur pondere sur la table" (weighted, they run on WideLs).
std::uint64_t half_step(const BoolLs& solver, const MaskedVectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out, const Costs& costs);
// The unweighted half-step for vectors and masks not prepared beforehand
// (grouped inside).
std::uint64_t half_step(const BoolLs& solver, boolmat::BitView vectors, boolmat::BitView masks,
                        Method method, std::uint64_t seed, boolmat::BitViewMut out);

}  // namespace bmf
