// TileState: a factor pair (W, H) of rank r seen as r rank-one tiles, tile t
// covering the cells (i, j) with W(i, t) = 1 and H(t, j) = 1, kept beside X
// with the coverage of every cell in two packed planes of X's shape:
//   once  (i, j) = 1 when at least one tile covers the cell,
//   twice (i, j) = 1 when at least two tiles cover it.
// Invariant, after every public call: once = OR over t of tile t, and twice
// = OR over t < u of (tile t AND tile u), so twice implies once; the
// prediction W∘H is the once plane, and error() is the number of observed
// cells where X and once differ. A cell where once is 1 and twice is 0 is
// covered by exactly one tile, which is what makes the change of error of
// removing a tile countable from the planes alone.
//
// Under a mask (X's shape, 1 = observed) unobserved cells count nothing in
// the error and its deltas; the planes still cover them.
//
// With Costs the error is weighted: w.false_one times the observed false
// ones (once 1, X 0) plus w.false_zero times the observed false zeros (once
// 0, X 1), w = costs.weights(m × n), the weights of the whole matrix, so
// that an infinite cost outweighs every error of the other kind the matrix
// can hold; every delta is the same weighted change, counted as the two
// changes of the counts. Unit costs give the plain counts of before. The
// weighted totals and deltas stay in 64 bits: with an infinite cost the
// constructors refuse X of 2^31 cells or more (the error then stays below
// (2^31 + 1) × 2^31 + 2^31 < 2^63), with finite costs other than 1 and 1
// X of 2^39 cells or more (2^24 × 2^39 = 2^63); see check_weighted_cells. Tiles are numbered
// 0 .. rank() - 1: add appends one, remove erases one and renumbers the
// later ones down by one, replace keeps the number.
//
// Costs, with mw = ceil(m/64) and nw = ceil(n/64): a delta or an add scans
// the mw words of the row sets and walks the candidate's rows (and tile
// t's, for the tile versions) over nw words with popcounts, whatever the
// rank. Removal cannot update the twice plane from the planes alone (a cell
// covered by t and one other tile drops to once, one covered by t and two
// others stays twice), so remove and replace rebuild once and twice on the
// removed tile's rows only, over the words where its columns are not 0,
// from the tiles that share each row: O(|rows(t)| × (r + r_i × nnzw(t)))
// word operations, r_i the number of tiles on row i and nnzw(t) the
// nonzero words of t's columns; one small allocation for the list of
// sharing tiles.
//
// X and the mask are viewed, not copied: the caller keeps their words alive
// and unchanged for the life of the state. A state is not safe to change
// from two threads; its const members may run side by side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/kernels.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"
#include "boolmat/words.hpp"

namespace boolmat::detail {
struct PopcountKernels;
}  // namespace boolmat::detail

namespace bmf {

// Fails with "X a {m}x{n} cellules : avec un cout infini il en faut moins
// de 2^31" (an infinite cost), or "... : avec ces couts il en faut moins de
// 2^39" (finite costs other than 1 and 1), when X's weighted error could
// leave 63 bits; unit costs take any size. O(1).
void check_weighted_cells(std::size_t m, std::size_t n, const Costs& costs);

class TileState {
public:
    // The tiles of W (m × r) and H (r × n) over X (m × n), every cell
    // observed. Fails with "W a {} lignes, X en a {}", "H a {} colonnes, X en
    // a {}" or "W a {} colonnes, H a {} lignes" (in that order) when the
    // shapes do not fit, and with "X n'a aucune cellule" when m or n is 0.
    // Costs O(r × m × nw) word ORs to build the planes and one pass for the
    // error. With `costs` the error is weighted (see the top); fails then,
    // after the shapes, as check_weighted_cells.
    TileState(boolmat::BitView x, boolmat::BitView w, boolmat::BitView h, const Costs& costs = {},
              const Kernels& kernels = default_kernels());
    // The same with a mask of observed cells; fails first with "le masque a
    // {}x{} cellules, X {}x{}" when the mask and X differ in shape.
    TileState(boolmat::BitView x, boolmat::BitView mask, boolmat::BitView w, boolmat::BitView h,
              const Costs& costs = {}, const Kernels& kernels = default_kernels());

    std::size_t rows() const { return m_; }
    std::size_t cols() const { return n_; }
    std::size_t rank() const { return rank_; }

    // The weighted error of the prediction over the observed cells, with
    // unit costs the number of observed cells where X differs from it; O(1)
    // (kept up to date by every change).
    std::uint64_t error() const { return weights_.of(false_ones_, false_zeros_); }
    // The observed cells where the prediction is 1 and X 0, and where it is
    // 0 and X 1.
    std::uint64_t false_ones() const { return false_ones_; }
    std::uint64_t false_zeros() const { return false_zeros_; }
    const Costs& costs() const { return costs_; }
    // costs().weights(rows() × cols()), which error() and the deltas use.
    Weights weights() const { return weights_; }

    // The change of (weighted) error if tile t were removed: the observed
    // cells covered by t alone flip from 1 to 0. Fails with "tuile {} hors limites (rang =
    // {})" when t >= rank(). O(|rows(t)| × nw).
    std::int64_t delta_remove(std::size_t t) const;
    // The change of error if the tile rows × cols (rows: m bits, cols: n
    // bits) were added: the observed cells it covers and no tile covers yet
    // flip from 0 to 1. Fails with "l'ensemble de lignes a {} bits, X a {}
    // lignes" or "l'ensemble de colonnes a {} bits, X a {} colonnes", then
    // with "bits de réserve non nuls dans la tuile candidate" when a bit
    // beyond m or n is set. O(mw + |rows| × nw).
    std::int64_t delta_add(boolmat::VecView rows, boolmat::VecView cols) const;
    // The change of error if tile t were replaced by rows × cols; the checks
    // of delta_remove then those of delta_add. O(|rows(t) ∪ rows| × nw).
    std::int64_t delta_replace(std::size_t t, boolmat::VecView rows, boolmat::VecView cols) const;
    // The change of error if bit (i, t) of W flipped: row i joining tile t,
    // or leaving it. Checks t as delta_remove, then i ("ligne {} hors
    // limites (lignes = {})"). O(nw).
    std::int64_t delta_flip_w(std::size_t i, std::size_t t) const;
    // The change of error if bit (t, j) of H flipped: column j joining tile
    // t, or leaving it. Checks t as delta_remove, then j ("colonne {} hors
    // limites (colonnes = {})"). O(mw + |rows(t)|).
    std::int64_t delta_flip_h(std::size_t t, std::size_t j) const;

    // Erases tile t (later tiles move down by one) and returns the new
    // error; checks as delta_remove. Cost as stated at the top.
    std::uint64_t remove(std::size_t t);
    // Appends the tile rows × cols as tile rank() and returns the new error;
    // checks as delta_add. O(|rows| × nw).
    std::uint64_t add(boolmat::VecView rows, boolmat::VecView cols);
    // Makes tile t the tile rows × cols and returns the new error; checks as
    // delta_replace. Cost of remove plus that of add.
    std::uint64_t replace(std::size_t t, boolmat::VecView rows, boolmat::VecView cols);

    // The rows (m bits) and the columns (n bits) of tile t; checks t as
    // delta_remove.
    boolmat::VecView tile_rows(std::size_t t) const;
    boolmat::VecView tile_cols(std::size_t t) const;
    // The planes of cells covered at least once and at least twice.
    boolmat::BitView once() const { return once_.view(); }
    boolmat::BitView twice() const { return twice_.view(); }

private:
    // The changes of the two counts that a delta weighs.
    struct Change {
        std::int64_t false_ones = 0;
        std::int64_t false_zeros = 0;
        Change& operator+=(Change c) {
            false_ones += c.false_ones;
            false_zeros += c.false_zeros;
            return *this;
        }
    };

    TileState(boolmat::BitView x, const boolmat::BitView* mask, boolmat::BitView w,
              boolmat::BitView h, const Costs& costs, const Kernels& kernels);
    std::int64_t weighed(Change c) const;
    std::uint64_t apply(Change c);
    void check_tile(std::size_t t) const;
    void check_candidate(boolmat::VecView rows, boolmat::VecView cols) const;
    // Row i of the mask, or the valid bits of a row unmasked.
    const boolmat::Word* observed(std::size_t i) const;

    // The change of error of row i leaving, or joining, a tile with columns
    // `cols` (nw words); `cells` is scratch of nw words.
    Change leaving_unchecked(std::size_t i, const boolmat::Word* cols,
                             std::vector<boolmat::Word>& cells) const;
    Change joining_unchecked(std::size_t i, const boolmat::Word* cols,
                             std::vector<boolmat::Word>& cells) const;
    Change delta_remove_unchecked(std::size_t t) const;
    Change delta_add_unchecked(const boolmat::Word* rows, const boolmat::Word* cols) const;
    Change delta_replace_unchecked(std::size_t t, const boolmat::Word* rows,
                                   const boolmat::Word* cols) const;
    // Recomputes once and twice on the rows of tile t over the words where
    // its columns are not 0, counting every tile but t.
    void uncover_unchecked(std::size_t t);
    // ORs the tile rows × cols into the planes.
    void cover_unchecked(const boolmat::Word* rows, const boolmat::Word* cols);

    std::size_t m_ = 0;
    std::size_t n_ = 0;
    std::size_t mw_ = 0;  // words of a row set
    std::size_t nw_ = 0;  // words of a column set, and of a row of X
    std::size_t rank_ = 0;
    boolmat::BitView x_;
    std::optional<boolmat::BitView> mask_;
    std::vector<boolmat::Word> tile_rows_;  // rank_ row sets of mw_ words
    std::vector<boolmat::Word> tile_cols_;  // rank_ column sets of nw_ words
    std::vector<boolmat::Word> every_;      // the valid bits of a row
    const boolmat::detail::PopcountKernels* count_;
    boolmat::BitMatrix once_;
    boolmat::BitMatrix twice_;
    Costs costs_;
    Weights weights_;
    std::uint64_t false_ones_ = 0;
    std::uint64_t false_zeros_ = 0;
};

}  // namespace bmf
