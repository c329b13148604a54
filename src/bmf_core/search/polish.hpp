// Polisher: X (m × n, with its observed cells when some are not) prepared
// once for the refits a search runs many times over changing factors.
//
// A solution is W (m × r) and Hᵀ (n × r), the layout in which both factors
// are refitted: row i of W is the combination of patterns that reconstructs
// row i of X, row j of Hᵀ the combination of the columns of W that
// reconstructs column j. Two refits:
//   polish       the alternating exact refits of the whole fit: every row of
//                Hᵀ against W, then every row of W against the new Hᵀ, with
//                the fit's half-step, while an iteration lowers the error
//                strictly (the factors of an iteration that does not are
//                discarded); it never makes a solution worse;
//   refit_tiles  the same alternation over a range of columns only (a few
//                tiles), the others held fixed, exactly over the 2^b
//                combinations of the range: what a move runs on the tiles it
//                changed, at a small fraction of a polish's cost.
// Both count observed cells only.
//
// With Costs every half-step and refit minimises the weighted error (each
// vector with costs.weights(its length), as the engine's), and a solution's
// error is the weighted error of the whole matrix: w.false_one × false ones
// + w.false_zero × false zeros, w = costs.weights(m × n). With finite costs
// the half-steps' totals are that error; with an infinite one the vectors'
// weights differ from the matrix's (length + 1 against m × n + 1) though
// they order the combinations alike (the infinite kind first), so the
// error of the result is recounted (error_of: a product more per
// iteration). From below (false ones infinite) every half-step keeps W∘H
// below X, the combination 0 making no false one, so a polished solution
// holds none. Unit costs run the plain code of before.
//
// The half-steps run over blocks of about
// 2^22 cells, between which a Cancel is polled, so that a polish of a large
// X stops within a fraction of a second.
//
// Immutable once built: any number of threads may polish against one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/cancel.hpp"
#include "bmf_core/costs.hpp"
#include "bmf_core/kernels.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/vector_block.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// A solution: W (m × r), Hᵀ (n × r) and its error: the number of observed
// cells where X and W∘H differ, or their weighted sum under a Polisher's
// costs.
struct Factors {
    boolmat::BitMatrix w;
    boolmat::BitMatrix ht;
    std::uint64_t error = 0;
};

// What a half-step of the polish runs: `choice` from scratch, then, when
// refit_width is not 0, exact refits of consecutive groups of that many
// columns (1..kMaxRefitBlock), as the fit's own half-steps do.
struct PolishStep {
    MethodChoice choice;
    std::size_t refit_width = 0;
};

class Polisher {
public:
    // Copies X (and the mask, 1 = observed) and lays out their transposes
    // and the blocks of the half-steps: O(m × n / 64) words and a sort of
    // the rows of each block. Fails with "X n'a aucune cellule" when X is
    // empty, "le masque a {}x{} cellules, X {}x{}" when the mask differs in
    // shape, and "largeur de bloc {} hors de 0..{}" for a refit width above
    // kMaxRefitBlock, then as check_weighted_cells (tiles.hpp) for X too
    // large for `costs`.
    Polisher(boolmat::BitView x, std::optional<boolmat::BitView> mask, PolishStep step,
             const Costs& costs = {}, const Kernels& kernels = default_kernels());
    Polisher(const Polisher&) = delete;
    Polisher& operator=(const Polisher&) = delete;

    std::size_t rows() const { return x_.rows(); }
    std::size_t cols() const { return x_.cols(); }
    bool masked() const { return mask_.has_value(); }
    PolishStep step() const { return step_; }
    const Costs& costs() const { return costs_; }
    // costs().weights(rows() × cols()): the weights of a solution's error.
    Weights weights() const { return weights_; }
    boolmat::BitView x() const { return x_.view(); }
    boolmat::BitView xt() const { return xt_.view(); }
    // The observed cells and their transpose; nullopt when every cell is.
    std::optional<boolmat::BitView> mask() const;
    std::optional<boolmat::BitView> maskt() const;

    // The observed cells where X and W∘H differ, weighted by weights().
    // Fails unless W is m × r and Hᵀ n × r ("W est {}x{}, il faut {}x{}" /
    // "Hᵀ est {}x{}, il faut {}x{}"). O(r × m × n / 64).
    std::uint64_t error_of(boolmat::BitView w, boolmat::BitView ht) const;
    // The observed false ones (W∘H 1, X 0) and false zeros (W∘H 0, X 1);
    // checks and costs as error_of.
    std::pair<std::uint64_t, std::uint64_t> counts_of(boolmat::BitView w,
                                                      boolmat::BitView ht) const;

    // Runs at most max_iters iterations (0 counts as 1) of the alternating
    // exact refits from `f`, whose error must be right, keeping each that
    // lowers the error strictly; returns the iterations run, counting a
    // last one that did not improve. Shapes checked as error_of; the rank
    // limits of the step's method as the engine's half-steps (masked: rank
    // 26). Throws Cancelled between blocks once `cancel` is requested,
    // leaving `f` a solution whose error is right. Each iteration costs two
    // half-steps of the fit, except a last one whose H step gives back the
    // H of the iteration before (its W step would give back W).
    std::size_t polish(Factors& f, std::size_t max_iters, const Cancel& cancel = {}) const;

    // Runs `iters` rounds of exact refits of columns begin .. end - 1 of Hᵀ
    // then of W, the other columns fixed (end - begin from 1 to
    // kMaxRefitBlock), and returns the error of the result, which no round
    // makes worse. Fails as error_of, then with "colonnes {}..{} hors de
    // 0..{}" for an empty or too wide range. O(iters × (m + n) × (r +
    // 2^(end-begin)) word operations over rows of n/64 or m/64 words).
    std::uint64_t refit_tiles(Factors& f, std::size_t begin, std::size_t end,
                              std::size_t iters) const;

private:
    struct Side {
        std::vector<std::pair<std::size_t, std::size_t>> bounds;  // row ranges of the blocks
        std::vector<VectorBlock> plain;
        std::vector<MaskedVectorBlock> masked;
    };
    Side make_side(boolmat::BitView vectors, std::optional<boolmat::BitView> masks) const;
    void check_factors(boolmat::BitView w, boolmat::BitView ht) const;
    // One half-step: every row of `side` solved against `factor`, into `out`.
    std::uint64_t half_step(const Side& side, boolmat::BitView vectors,
                            std::optional<boolmat::BitView> masks, const boolmat::BitMatrix& factor,
                            boolmat::BitMatrix& out, const Cancel& cancel) const;

    boolmat::BitMatrix x_;
    boolmat::BitMatrix xt_;
    std::optional<boolmat::BitMatrix> mask_;
    std::optional<boolmat::BitMatrix> maskt_;
    PolishStep step_;
    Costs costs_;
    Weights weights_;
    const Kernels* kernels_;
    Side rows_side_;  // the rows of X (the W step)
    Side cols_side_;  // the rows of Xᵀ (the H step)
};

}  // namespace bmf
