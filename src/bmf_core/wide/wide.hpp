// WideLs: Boolean least squares without a pattern table, for a factor W of
// m rows and any number k of columns. A combination is a bitset of
// ceil(k/64) words (bit j of word j / 64 selects column j), so ranks far
// above the 26 of BoolLs cost memory in k words, not 2^k counters. Only the
// heuristic methods exist here: "greedy", and "greedy-ls" with the same
// draws and the same results as BoolLs for k <= 26. Immutable after
// construction; concurrent solves own their scratch memory.
//
// Cost: a greedy stage is one distance of m/64 words per unused column; a
// local-search candidate rebuilds W∘h with popcount(h) word-ORs of m/64 words.
// Under a mask, x is read with its unobserved positions set and W∘h is
// ORed with them, so those positions agree whatever h is: the same cost.
// Weights other than {1, 1} take two population counts per word instead of
// one (the false ones and the false zeros).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/kernels.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/vector_block.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::BitViewMut;
using boolmat::VecView;

// A combination of any width and its exact error: popcount(x XOR W∘h), or
// the weighted observed error for the weighted solves.
struct WideSolution {
    std::vector<boolmat::Word> h;  // ceil(k/64) words; bits from k up are 0
    std::uint64_t error = 0;
    bool operator==(const WideSolution&) const = default;
};

// The subset size of "greedy-ls" at rank k: min(k, max(2, bit length of k - 1)).
std::uint64_t local_search_width(std::uint64_t k);

class WideLs;

namespace detail {
// The unchecked weighted solve: x has solver.m() bits with every unobserved
// position set, `unobserved` is NOT mask with spare bits 0 (null when every
// position is observed), and `method` is "greedy" or "greedy-ls".
WideSolution wide_solve(const WideLs& solver, std::span<const boolmat::Word> x,
                        const boolmat::Word* unobserved, Method method, std::uint64_t seed,
                        const Weights& weights);
}  // namespace detail

class WideLs {
public:
    // Builds the solver on copies of W (m x k, read only, not retained);
    // fails when W has more than 2^31 - 1 rows, so that counts stay 32-bit
    // for the exact block refits that read this solver. Every solve and
    // refit runs `kernels`.
    explicit WideLs(BitView w, const Kernels& kernels = default_kernels());

    // Solves x (m bits) with "greedy" or "greedy-ls" (`seed` read by the
    // latter only); any other method fails, as x of the wrong length does.
    WideSolution solve(VecView x, Method method, std::uint64_t seed) const;
    // Forward greedy: adds the column that lowers the error most while one
    // lowers it strictly, the lowest index on ties.
    WideSolution solve_greedy(VecView x) const;
    // Randomised search from `start`: `depth` passes flipping 2..width drawn
    // columns of the best so far, recursing on strict improvements; advances
    // `state`. Fails when width exceeds k (the draws would never end).
    WideSolution local_search(VecView x, WideSolution start, std::uint64_t depth,
                              std::uint64_t width, std::uint64_t& state) const;
    // The exact error of combination h (words() words) against x.
    std::uint64_t error_of(VecView x, std::span<const boolmat::Word> h) const;

    // The weighted twins of solve and error_of: every comparison and the
    // returned error are weights.of(false ones, false zeros) of W∘h against
    // x, counted only where `mask` (m bits, 1 = observed) has a 1 in the
    // masked ones. Weights {1, 1} and an all-ones mask give the functions
    // above bit for bit. Fail as those do, and on a mask of the wrong length
    // ("masque a {} bits, x a {} bits").
    WideSolution solve(VecView x, Method method, std::uint64_t seed, const Weights& weights) const;
    WideSolution solve(VecView x, VecView mask, Method method, std::uint64_t seed,
                       const Weights& weights) const;
    std::uint64_t error_of(VecView x, std::span<const boolmat::Word> h,
                           const Weights& weights) const;
    std::uint64_t error_of(VecView x, VecView mask, std::span<const boolmat::Word> h,
                           const Weights& weights) const;

    std::uint64_t m() const { return m_; }
    std::uint64_t k() const { return k_; }
    // Words in one combination: ceil(k/64).
    std::size_t words() const { return boolmat::words_for(k_); }
    // W itself, m x k.
    const boolmat::BitMatrix& rows() const { return rows_; }
    // Wᵀ, k x m: row j is column j of W.
    const boolmat::BitMatrix& columns() const { return columns_; }
    const Kernels& kernels() const { return *kernels_; }

private:
    // The half-step checks its block once, then solves without the checks.
    friend std::uint64_t wide_half_step(const WideLs&, const VectorBlock&, Method, std::uint64_t,
                                        BitViewMut);

    void check_len(VecView x) const;
    void check_method(Method method) const;
    void check_mask(VecView x, VecView mask) const;
    void check_combination(std::span<const boolmat::Word> h) const;
    // The unchecked twins of solve_greedy and solve: x has m bits, and the
    // method is "greedy" or "greedy-ls".
    WideSolution solve_greedy_unchecked(std::span<const boolmat::Word> x) const;
    WideSolution solve_unchecked(std::span<const boolmat::Word> x, Method method,
                                 std::uint64_t seed) const;
    WideSolution search_from(std::span<const boolmat::Word> x, WideSolution best,
                             std::uint64_t depth, std::uint64_t width, std::uint64_t& state,
                             std::vector<boolmat::Word>& scratch) const;
    std::uint64_t error_with(std::span<const boolmat::Word> x, std::span<const boolmat::Word> h,
                             std::vector<boolmat::Word>& scratch) const;

    boolmat::BitMatrix columns_;
    boolmat::BitMatrix rows_;
    std::uint64_t m_ = 0;
    std::uint64_t k_ = 0;
    const Kernels* kernels_;
};

// Solves every row of `block` (each of solver.m() bits) with `method` and
// `seed`, writes row i's combination into row i of `out` (block rows x
// solver.k()) and returns the total error; equal rows are solved once.
std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out);
// The same for vectors not prepared beforehand (grouped inside).
std::uint64_t wide_half_step(const WideLs& solver, BitView vectors, Method method,
                             std::uint64_t seed, BitViewMut out);

// The same minimising the weighted error, each row with
// costs.weights(solver.m()), and returning its total; unit costs give the
// function above.
std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out, const Costs& costs);

}  // namespace bmf
