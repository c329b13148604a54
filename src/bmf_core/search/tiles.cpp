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

// Checks every shape before the planes are allocated, so that a bad shape
// fails with its own message rather than with the allocator's.
boolmat::BitMatrix checked_plane(BitView x, const BitView* mask, BitView w, BitView h) {
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
    return boolmat::BitMatrix::zeros(x.rows(), x.cols());
}

}  // namespace

TileState::TileState(BitView x, BitView w, BitView h, const Kernels& kernels)
    : TileState(x, nullptr, w, h, kernels) {}

TileState::TileState(BitView x, BitView mask, BitView w, BitView h, const Kernels& kernels)
    : TileState(x, &mask, w, h, kernels) {}

TileState::TileState(BitView x, const BitView* mask, BitView w, BitView h, const Kernels& kernels)
    : count_(kernels.bits->popcount),
      once_(checked_plane(x, mask, w, h)),
      twice_(boolmat::BitMatrix::zeros(x.rows(), x.cols())) {
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
        for (std::size_t k = 0; k < nw_; ++k)
            error_ +=
                static_cast<std::uint64_t>(std::popcount((xi[k] ^ once[i * nw_ + k]) & seen[k]));
    }
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
    return delta_remove_unchecked(t);
}

std::int64_t TileState::delta_add(VecView rows, VecView cols) const {
    check_candidate(rows, cols);
    return delta_add_unchecked(rows.words.data(), cols.words.data());
}

std::int64_t TileState::delta_replace(std::size_t t, VecView rows, VecView cols) const {
    check_tile(t);
    check_candidate(rows, cols);
    return delta_replace_unchecked(t, rows.words.data(), cols.words.data());
}

std::uint64_t TileState::remove(std::size_t t) {
    check_tile(t);
    error_ =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(error_) + delta_remove_unchecked(t));
    uncover_unchecked(t);
    const auto at = [](std::vector<Word>& v, std::size_t w) {
        return v.begin() + static_cast<std::ptrdiff_t>(w);
    };
    tile_rows_.erase(at(tile_rows_, t * mw_), at(tile_rows_, (t + 1) * mw_));
    tile_cols_.erase(at(tile_cols_, t * nw_), at(tile_cols_, (t + 1) * nw_));
    --rank_;
    return error_;
}

std::uint64_t TileState::add(VecView rows, VecView cols) {
    check_candidate(rows, cols);
    error_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(error_) +
                                        delta_add_unchecked(rows.words.data(), cols.words.data()));
    tile_rows_.insert(tile_rows_.end(), rows.words.begin(), rows.words.begin() + mw_);
    tile_cols_.insert(tile_cols_.end(), cols.words.begin(), cols.words.begin() + nw_);
    ++rank_;
    cover_unchecked(tile_rows_.data() + (rank_ - 1) * mw_, tile_cols_.data() + (rank_ - 1) * nw_);
    return error_;
}

std::uint64_t TileState::replace(std::size_t t, VecView rows, VecView cols) {
    check_tile(t);
    check_candidate(rows, cols);
    error_ = static_cast<std::uint64_t>(
        static_cast<std::int64_t>(error_) +
        delta_replace_unchecked(t, rows.words.data(), cols.words.data()));
    uncover_unchecked(t);
    std::copy(rows.words.begin(), rows.words.begin() + mw_,
              tile_rows_.begin() + static_cast<std::ptrdiff_t>(t * mw_));
    std::copy(cols.words.begin(), cols.words.begin() + nw_,
              tile_cols_.begin() + static_cast<std::ptrdiff_t>(t * nw_));
    cover_unchecked(tile_rows_.data() + t * mw_, tile_cols_.data() + t * nw_);
    return error_;
}

// Row i of a tile with columns `cols` leaving it: its observed cells that
// no other tile covers (in cols, not in twice) flip from 1 to 0, which
// turns a 1 of X from right to wrong and a 0 from wrong to right:
// ones - zeros = |cells| - 2 |cells AND NOT x|.
std::int64_t TileState::leaving_unchecked(std::size_t i, const Word* cols,
                                          std::vector<Word>& cells) const {
    const Word* twice = twice_.words().data() + i * nw_;
    const Word* seen = observed(i);
    for (std::size_t k = 0; k < nw_; ++k) cells[k] = cols[k] & ~twice[k] & seen[k];
    return static_cast<std::int64_t>(count_->popcount(cells.data(), nw_)) -
           2 * static_cast<std::int64_t>(
                   count_->andnot_popcount(cells.data(), x_.row(i).data(), nw_));
}

// Row i joining a tile with columns `cols`: its fresh cells (observed,
// covered by no tile) turn 0s right and 1s wrong: 2 |fresh AND NOT x| -
// |fresh|.
std::int64_t TileState::joining_unchecked(std::size_t i, const Word* cols,
                                          std::vector<Word>& cells) const {
    const Word* once = once_.words().data() + i * nw_;
    const Word* seen = observed(i);
    for (std::size_t k = 0; k < nw_; ++k) cells[k] = cols[k] & ~once[k] & seen[k];
    return 2 * static_cast<std::int64_t>(
                   count_->andnot_popcount(cells.data(), x_.row(i).data(), nw_)) -
           static_cast<std::int64_t>(count_->popcount(cells.data(), nw_));
}

// Cells covered by t alone are in t and not in twice: every row of t leaves.
std::int64_t TileState::delta_remove_unchecked(std::size_t t) const {
    const Word* cols = tile_cols_.data() + t * nw_;
    std::vector<Word> cells(nw_);
    std::int64_t delta = 0;
    for_each_row(tile_rows_.data() + t * mw_, mw_,
                 [&](std::size_t i) { delta += leaving_unchecked(i, cols, cells); });
    return delta;
}

std::int64_t TileState::delta_add_unchecked(const Word* rows, const Word* cols) const {
    std::vector<Word> cells(nw_);
    std::int64_t delta = 0;
    for_each_row(rows, mw_, [&](std::size_t i) { delta += joining_unchecked(i, cols, cells); });
    return delta;
}

// Row by row over rows(t) ∪ rows: the prediction loses the cells t covers
// alone and gains the candidate's; the delta is the error after minus the
// error before on that row.
std::int64_t TileState::delta_replace_unchecked(std::size_t t, const Word* rows,
                                                const Word* cols) const {
    const Word* old_rows = tile_rows_.data() + t * mw_;
    const Word* old_cols = tile_cols_.data() + t * nw_;
    const Word* once = once_.words().data();
    const Word* twice = twice_.words().data();
    std::vector<Word> after(nw_), before(nw_);
    std::int64_t delta = 0;
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
            after[k] = (now ^ xi[k]) & seen[k];
            before[k] = (was ^ xi[k]) & seen[k];
        }
        delta += static_cast<std::int64_t>(count_->popcount(after.data(), nw_)) -
                 static_cast<std::int64_t>(count_->popcount(before.data(), nw_));
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
    return has_bit(tile_rows_.data() + t * mw_, i) ? leaving_unchecked(i, cols, cells)
                                                   : joining_unchecked(i, cols, cells);
}

std::int64_t TileState::delta_flip_h(std::size_t t, std::size_t j) const {
    check_tile(t);
    if (j >= n_)
        boolmat::fail(FailKind::Index,
                      boolmat::cat("colonne ", j, " hors limites (colonnes = ", n_, ")"));
    const bool leaving = has_bit(tile_cols_.data() + t * nw_, j);
    // Leaving, a cell flips where t alone covers it; joining, where no tile does.
    const BitView plane = leaving ? twice_.view() : once_.view();
    std::int64_t delta = 0;
    for_each_row(tile_rows_.data() + t * mw_, mw_, [&](std::size_t i) {
        if (has_bit(plane.row(i).data(), j) || !has_bit(observed(i), j)) return;
        const bool one = has_bit(x_.row(i).data(), j);
        delta += (one == leaving) ? 1 : -1;
    });
    return delta;
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
