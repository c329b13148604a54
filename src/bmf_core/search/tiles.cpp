// TileState's word loops: every count is a popcount over the nw words of a
// row that a tile (or a candidate) touches, so a delta costs the tile's rows
// times nw, whatever the rank; only removal looks at the other tiles, and
// only on the removed tile's rows.
#include "bmf_core/search/tiles.hpp"

#include <algorithm>
#include <bit>

#include "boolmat/detail/popcount.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitView;
using boolmat::FailKind;
using boolmat::VecView;
using boolmat::Word;

namespace {

bool has_bit(const Word* words, std::size_t k) {
    return (words[boolmat::word_of(k)] >> boolmat::bit_of(k)) & 1U;
}

// Calls f(i) for every row i of the union of two row sets of mw words, in
// order, with no allocation.
template <class F>
void for_each_row(const Word* rows, const Word* more_rows, std::size_t mw, F&& f) {
    for (std::size_t k = 0; k < mw; ++k) {
        for (Word bits = rows[k] | more_rows[k]; bits != 0; bits &= bits - 1)
            f(k * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(bits)));
    }
}

// Calls f(i) for every row i of a row set of mw words, in order.
template <class F>
void for_each_row(const Word* rows, std::size_t mw, F&& f) {
    for_each_row(rows, rows, mw, f);
}

// Checks every shape (and the size the costs allow) before the planes are
// allocated, so that a bad shape fails with its own message rather than
// with the allocator's.
boolmat::BitMatrix checked_plane(BitView x, const BitView* mask, BitView w, BitView h,
                                 const Costs& costs) {
    if (mask != nullptr && (mask->rows() != x.rows() || mask->cols() != x.cols())) {
        boolmat::fail(FailKind::Shape, boolmat::cat("le masque a ", mask->rows(), "x", mask->cols(),
                                                    " cellules, X ", x.rows(), "x", x.cols()));
    }
    if (w.rows() != x.rows())
        boolmat::fail(FailKind::Shape,
                      boolmat::cat("W a ", w.rows(), " lignes, X en a ", x.rows()));
    if (h.cols() != x.cols()) {
        boolmat::fail(FailKind::Shape,
                      boolmat::cat("H a ", h.cols(), " colonnes, X en a ", x.cols()));
    }
    if (w.cols() != h.rows()) {
        boolmat::fail(FailKind::Shape,
                      boolmat::cat("W a ", w.cols(), " colonnes, H a ", h.rows(), " lignes"));
    }
    if (x.rows() == 0 || x.cols() == 0) boolmat::fail(FailKind::Shape, "X n'a aucune cellule");
    check_weighted_cells(x.rows(), x.cols(), costs);
    return boolmat::BitMatrix::zeros(x.rows(), x.cols());
}

}  // namespace

void check_weighted_cells(std::size_t m, std::size_t n, const Costs& costs) {
    if (costs.unit()) return;
    const unsigned bits = costs.infinite() ? 31 : 39;
    const std::uint64_t limit = std::uint64_t{1} << bits;
    // m × n >= limit, without computing a product that could wrap.
    if (m != 0 && n > (limit - 1) / m) {
        boolmat::fail(FailKind::Value,
                      boolmat::cat("X a ", m, "x", n, " cellules : avec ",
                                   costs.infinite() ? "un cout infini" : "ces couts",
                                   " il en faut moins de 2^", bits));
    }
}

TileState::TileState(BitView x, BitView w, BitView h, const Costs& costs, const Kernels& kernels)
    : TileState(x, nullptr, w, h, costs, kernels) {}

TileState::TileState(BitView x, BitView mask, BitView w, BitView h, const Costs& costs,
                     const Kernels& kernels)
    : TileState(x, &mask, w, h, costs, kernels) {}

TileState::TileState(BitView x, const BitView* mask, BitView w, BitView h, const Costs& costs,
                     const Kernels& kernels)
    : count_(kernels.bits->popcount),
      once_(checked_plane(x, mask, w, h, costs)),
      twice_(boolmat::BitMatrix::zeros(x.rows(), x.cols())),
      costs_(costs),
      weights_(costs.weights(static_cast<std::uint64_t>(x.rows()) * x.cols())) {
    m_ = x.rows();
    n_ = x.cols();
    mw_ = boolmat::words_for(m_);
    nw_ = boolmat::words_for(n_);
    rank_ = w.cols();
    x_ = x;
    if (mask != nullptr) mask_ = *mask;
    every_.assign(nw_, ~Word{0});
    every_.back() = boolmat::row_mask(n_);
    tile_rows_.assign(rank_ * mw_, 0);
    tile_cols_.assign(rank_ * nw_, 0);
    for (std::size_t t = 0; t < rank_; ++t) {
        Word* rows = tile_rows_.data() + t * mw_;
        for (std::size_t i = 0; i < m_; ++i) {
            if (has_bit(w.row(i).data(), t))
                rows[boolmat::word_of(i)] |= Word{1} << boolmat::bit_of(i);
        }
        const std::span<const Word> cols = h.row(t);
        std::copy(cols.begin(), cols.end(),
                  tile_cols_.begin() + static_cast<std::ptrdiff_t>(t * nw_));
        cover_unchecked(rows, tile_cols_.data() + t * nw_);
    }
    const Word* once = once_.words().data();
    for (std::size_t i = 0; i < m_; ++i) {
        const Word* xi = x_.row(i).data();
        const Word* seen = observed(i);
        for (std::size_t k = 0; k < nw_; ++k) {
            const Word covered = once[i * nw_ + k] & seen[k];
            false_ones_ += static_cast<std::uint64_t>(std::popcount(covered & ~xi[k]));
            false_zeros_ += static_cast<std::uint64_t>(std::popcount(xi[k] & seen[k] & ~covered));
        }
    }
}

// Below 2^63 in magnitude by the size check of the constructor.
std::int64_t TileState::weighed(Change c) const {
    return static_cast<std::int64_t>(weights_.false_one) * c.false_ones +
           static_cast<std::int64_t>(weights_.false_zero) * c.false_zeros;
}

std::uint64_t TileState::apply(Change c) {
    false_ones_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(false_ones_) + c.false_ones);
    false_zeros_ =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(false_zeros_) + c.false_zeros);
    return error();
}

const Word* TileState::observed(std::size_t i) const {
    return mask_ ? mask_->row(i).data() : every_.data();
}

void TileState::check_tile(std::size_t t) const {
    if (t >= rank_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("tuile ", t, " hors limites (rang = ", rank_, ")"));
}

void TileState::check_candidate(VecView rows, VecView cols) const {
    if (rows.len != m_ || rows.words.size() < mw_) {
        boolmat::fail(FailKind::Shape, boolmat::cat("l'ensemble de lignes a ", rows.len,
                                                    " bits, X a ", m_, " lignes"));
    }
    if (cols.len != n_ || cols.words.size() < nw_) {
        boolmat::fail(FailKind::Shape, boolmat::cat("l'ensemble de colonnes a ", cols.len,
                                                    " bits, X a ", n_, " colonnes"));
    }
    // A set spare bit would name a row or a column beyond X.
    if ((rows.words[mw_ - 1] & ~boolmat::row_mask(m_)) != 0 ||
        (cols.words[nw_ - 1] & ~boolmat::row_mask(n_)) != 0) {
        boolmat::fail(FailKind::Value, "bits de réserve non nuls dans la tuile candidate");
    }
}

VecView TileState::tile_rows(std::size_t t) const {
    check_tile(t);
    return {std::span<const Word>(tile_rows_.data() + t * mw_, mw_), m_};
}

VecView TileState::tile_cols(std::size_t t) const {
    check_tile(t);
    return {std::span<const Word>(tile_cols_.data() + t * nw_, nw_), n_};
}

std::int64_t TileState::delta_remove(std::size_t t) const {
    check_tile(t);
    return weighed(delta_remove_unchecked(t));
}

std::int64_t TileState::delta_add(VecView rows, VecView cols) const {
    check_candidate(rows, cols);
    return weighed(delta_add_unchecked(rows.words.data(), cols.words.data()));
}

std::int64_t TileState::delta_replace(std::size_t t, VecView rows, VecView cols) const {
    check_tile(t);
    check_candidate(rows, cols);
    return weighed(delta_replace_unchecked(t, rows.words.data(), cols.words.data()));
}

std::uint64_t TileState::remove(std::size_t t) {
    check_tile(t);
    apply(delta_remove_unchecked(t));
    uncover_unchecked(t);
    const auto at = [](std::vector<Word>& v, std::size_t w) {
        return v.begin() + static_cast<std::ptrdiff_t>(w);
    };
    tile_rows_.erase(at(tile_rows_, t * mw_), at(tile_rows_, (t + 1) * mw_));
    tile_cols_.erase(at(tile_cols_, t * nw_), at(tile_cols_, (t + 1) * nw_));
    --rank_;
    return error();
}

std::uint64_t TileState::add(VecView rows, VecView cols) {
    check_candidate(rows, cols);
    apply(delta_add_unchecked(rows.words.data(), cols.words.data()));
    tile_rows_.insert(tile_rows_.end(), rows.words.begin(), rows.words.begin() + mw_);
    tile_cols_.insert(tile_cols_.end(), cols.words.begin(), cols.words.begin() + nw_);
    ++rank_;
    cover_unchecked(tile_rows_.data() + (rank_ - 1) * mw_, tile_cols_.data() + (rank_ - 1) * nw_);
    return error();
}

std::uint64_t TileState::replace(std::size_t t, VecView rows, VecView cols) {
    check_tile(t);
    check_candidate(rows, cols);
    apply(delta_replace_unchecked(t, rows.words.data(), cols.words.data()));
    uncover_unchecked(t);
    std::copy(rows.words.begin(), rows.words.begin() + mw_,
              tile_rows_.begin() + static_cast<std::ptrdiff_t>(t * mw_));
    std::copy(cols.words.begin(), cols.words.begin() + nw_,
              tile_cols_.begin() + static_cast<std::ptrdiff_t>(t * nw_));
    cover_unchecked(tile_rows_.data() + t * mw_, tile_cols_.data() + t * nw_);
    return error();
}

// Row i of a tile with columns `cols` leaving it: its observed cells that
// no other tile covers (in cols, not in twice) flip from 1 to 0, which
// turns each 1 of X among them into a false zero and ends each false one
// (a 0 of X): false zeros + |cells AND x|, false ones - |cells AND NOT x|.
TileState::Change TileState::leaving_unchecked(std::size_t i, const Word* cols,
                                               std::vector<Word>& cells) const {
    const Word* twice = twice_.words().data() + i * nw_;
    const Word* seen = observed(i);
    for (std::size_t k = 0; k < nw_; ++k) cells[k] = cols[k] & ~twice[k] & seen[k];
    const auto all = static_cast<std::int64_t>(count_->popcount(cells.data(), nw_));
    const auto zeros =
        static_cast<std::int64_t>(count_->andnot_popcount(cells.data(), x_.row(i).data(), nw_));
    return {-zeros, all - zeros};
}

// Row i joining a tile with columns `cols`: its fresh cells (observed,
// covered by no tile) flip from 0 to 1: false ones + |fresh AND NOT x|,
// false zeros - |fresh AND x|.
TileState::Change TileState::joining_unchecked(std::size_t i, const Word* cols,
                                               std::vector<Word>& cells) const {
    const Word* once = once_.words().data() + i * nw_;
    const Word* seen = observed(i);
    for (std::size_t k = 0; k < nw_; ++k) cells[k] = cols[k] & ~once[k] & seen[k];
    const auto all = static_cast<std::int64_t>(count_->popcount(cells.data(), nw_));
    const auto zeros =
        static_cast<std::int64_t>(count_->andnot_popcount(cells.data(), x_.row(i).data(), nw_));
    return {zeros, zeros - all};
}

// Cells covered by t alone are in t and not in twice: every row of t leaves.
TileState::Change TileState::delta_remove_unchecked(std::size_t t) const {
    const Word* cols = tile_cols_.data() + t * nw_;
    std::vector<Word> cells(nw_);
    Change delta;
    for_each_row(tile_rows_.data() + t * mw_, mw_,
                 [&](std::size_t i) { delta += leaving_unchecked(i, cols, cells); });
    return delta;
}

TileState::Change TileState::delta_add_unchecked(const Word* rows, const Word* cols) const {
    std::vector<Word> cells(nw_);
    Change delta;
    for_each_row(rows, mw_, [&](std::size_t i) { delta += joining_unchecked(i, cols, cells); });
    return delta;
}

// Row by row over rows(t) ∪ rows: the prediction loses the cells t covers
// alone and gains the candidate's; the delta is the count after minus the
// count before on that row: the observed cells that turn on (false ones
// up on the 0s of X, false zeros down on its 1s) and those that turn off.
TileState::Change TileState::delta_replace_unchecked(std::size_t t, const Word* rows,
                                                     const Word* cols) const {
    const Word* old_rows = tile_rows_.data() + t * mw_;
    const Word* old_cols = tile_cols_.data() + t * nw_;
    const Word* once = once_.words().data();
    const Word* twice = twice_.words().data();
    std::vector<Word> on(nw_), off(nw_);
    Change delta;
    for_each_row(old_rows, rows, mw_, [&](std::size_t i) {
        const bool in_old = has_bit(old_rows, i);
        const bool in_new = has_bit(rows, i);
        const Word* xi = x_.row(i).data();
        const Word* seen = observed(i);
        for (std::size_t k = 0; k < nw_; ++k) {
            const Word was = once[i * nw_ + k];
            Word now = was;
            if (in_old) now &= ~(old_cols[k] & ~twice[i * nw_ + k]);
            if (in_new) now |= cols[k];
            on[k] = now & ~was & seen[k];
            off[k] = was & ~now & seen[k];
        }
        const auto on_all = static_cast<std::int64_t>(count_->popcount(on.data(), nw_));
        const auto on_zeros =
            static_cast<std::int64_t>(count_->andnot_popcount(on.data(), xi, nw_));
        const auto off_all = static_cast<std::int64_t>(count_->popcount(off.data(), nw_));
        const auto off_zeros =
            static_cast<std::int64_t>(count_->andnot_popcount(off.data(), xi, nw_));
        delta += Change{on_zeros - off_zeros, (off_all - off_zeros) - (on_all - on_zeros)};
    });
    return delta;
}

std::int64_t TileState::delta_flip_w(std::size_t i, std::size_t t) const {
    check_tile(t);
    if (i >= m_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("ligne ", i, " hors limites (lignes = ", m_, ")"));
    const Word* cols = tile_cols_.data() + t * nw_;
    std::vector<Word> cells(nw_);
    return weighed(has_bit(tile_rows_.data() + t * mw_, i) ? leaving_unchecked(i, cols, cells)
                                                           : joining_unchecked(i, cols, cells));
}

std::int64_t TileState::delta_flip_h(std::size_t t, std::size_t j) const {
    check_tile(t);
    if (j >= n_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("colonne ", j, " hors limites (colonnes = ", n_, ")"));
    const bool leaving = has_bit(tile_cols_.data() + t * nw_, j);
    // Leaving, a cell flips where t alone covers it; joining, where no tile does.
    const BitView plane = leaving ? twice_.view() : once_.view();
    // Leaving, a 1 of X becomes a false zero and a 0 stops being a false
    // one; joining, the reverse.
    const std::int64_t sign = leaving ? 1 : -1;
    Change delta;
    for_each_row(tile_rows_.data() + t * mw_, mw_, [&](std::size_t i) {
        if (has_bit(plane.row(i).data(), j) || !has_bit(observed(i), j)) return;
        if (has_bit(x_.row(i).data(), j))
            delta.false_zeros += sign;
        else
            delta.false_ones -= sign;
    });
    return weighed(delta);
}

void TileState::uncover_unchecked(std::size_t t) {
    const Word* rows = tile_rows_.data() + t * mw_;
    const Word* cols = tile_cols_.data() + t * nw_;
    Word* once = once_.words_mut().data();
    Word* twice = twice_.words_mut().data();
    std::vector<std::size_t> sharing;  // the other tiles on row i
    for_each_row(rows, mw_, [&](std::size_t i) {
        sharing.clear();
        for (std::size_t s = 0; s < rank_; ++s)
            if (s != t && has_bit(tile_rows_.data() + s * mw_, i)) sharing.push_back(s);
        for (std::size_t k = 0; k < nw_; ++k) {
            if (cols[k] == 0) continue;
            Word at_least_once = 0, at_least_twice = 0;
            for (const std::size_t s : sharing) {
                const Word c = tile_cols_[s * nw_ + k];
                at_least_twice |= at_least_once & c;
                at_least_once |= c;
            }
            once[i * nw_ + k] = at_least_once;
            twice[i * nw_ + k] = at_least_twice;
        }
    });
}

void TileState::cover_unchecked(const Word* rows, const Word* cols) {
    Word* once = once_.words_mut().data();
    Word* twice = twice_.words_mut().data();
    for_each_row(rows, mw_, [&](std::size_t i) {
        for (std::size_t k = 0; k < nw_; ++k) {
            twice[i * nw_ + k] |= once[i * nw_ + k] & cols[k];
            once[i * nw_ + k] |= cols[k];
        }
    });
}

}  // namespace bmf
