// The polish is the fit's own alternating loop (H step, W step, keep while
// strictly better) over blocks prepared once; refit_tiles is the same loop
// through refit_block over a range of columns.
#include "bmf_core/search/polish.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "bmf_core/search/tiles.hpp"
#include "bmf_core/wide/wide.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::FailKind;
using boolmat::Word;

namespace {

// Cells of X per block of a half-step: a block is solved between two polls
// of the Cancel.
constexpr std::size_t kBlockCells = std::size_t{1} << 22;

BitMatrix copy_of(BitView v) {
    BitMatrix m = BitMatrix::zeros(v.rows(), v.cols());
    for (std::size_t i = 0; i < v.rows(); ++i) m.set_row(i, v.row(i));
    return m;
}

}  // namespace

namespace {

// X copied once its shape, the mask's and the step are checked.
BitMatrix checked_copy(BitView x, std::optional<BitView> mask, PolishStep step,
                       const Costs& costs) {
    if (x.rows() == 0 || x.cols() == 0) boolmat::fail(FailKind::Shape, "X n'a aucune cellule");
    if (mask && (mask->rows() != x.rows() || mask->cols() != x.cols())) {
        boolmat::fail(FailKind::Shape, boolmat::cat("le masque a ", mask->rows(), "x", mask->cols(),
                                                    " cellules, X ", x.rows(), "x", x.cols()));
    }
    if (step.refit_width > kMaxRefitBlock) {
        boolmat::fail(FailKind::Value, boolmat::cat("largeur de bloc ", step.refit_width,
                                                    " hors de 0..", kMaxRefitBlock));
    }
    check_weighted_cells(x.rows(), x.cols(), costs);
    return copy_of(x);
}

}  // namespace

Polisher::Polisher(BitView x, std::optional<BitView> mask, PolishStep step, const Costs& costs,
                   const Kernels& kernels)
    : x_(checked_copy(x, mask, step, costs)),
      xt_(boolmat::transpose(x_.view(), *kernels.bits)),
      step_(step),
      costs_(costs),
      weights_(costs.weights(static_cast<std::uint64_t>(x.rows()) * x.cols())),
      kernels_(&kernels) {
    if (mask) {
        mask_ = copy_of(*mask);
        maskt_ = boolmat::transpose(mask_->view(), *kernels.bits);
    }
    rows_side_ = make_side(x_.view(), this->mask());
    cols_side_ = make_side(xt_.view(), maskt());
}

std::optional<BitView> Polisher::mask() const {
    if (!mask_) return std::nullopt;
    return mask_->view();
}

std::optional<BitView> Polisher::maskt() const {
    if (!maskt_) return std::nullopt;
    return maskt_->view();
}

Polisher::Side Polisher::make_side(BitView vectors, std::optional<BitView> masks) const {
    Side side;
    const std::size_t rows = vectors.rows();
    const std::size_t per =
        std::max<std::size_t>(64, kBlockCells / std::max<std::size_t>(vectors.cols(), 1));
    for (std::size_t b = 0; b < rows; b += per)
        side.bounds.emplace_back(b, std::min(rows, b + per));
    // A block of every row reads the transpose that the other side keeps,
    // which spares "zeta" one transposition per half-step.
    const BitView transposed = vectors.data() == x_.view().data() ? xt_.view() : x_.view();
    for (const auto& [b, e] : side.bounds) {
        if (masks) {
            side.masked.emplace_back(vectors.rows(b, e), masks->rows(b, e), *kernels_);
        } else if (side.bounds.size() == 1) {
            side.plain.emplace_back(vectors, transposed);
        } else {
            side.plain.emplace_back(vectors.rows(b, e));
        }
    }
    return side;
}

void Polisher::check_factors(BitView w, BitView ht) const {
    if (w.rows() != rows() || w.cols() != ht.cols()) {
        boolmat::fail(FailKind::Shape, boolmat::cat("W est ", w.rows(), "x", w.cols(), ", il faut ",
                                                    rows(), "x", ht.cols()));
    }
    if (ht.rows() != cols()) {
        boolmat::fail(FailKind::Shape, boolmat::cat("Hᵀ est ", ht.rows(), "x", ht.cols(),
                                                    ", il faut ", cols(), "x", w.cols()));
    }
}

std::pair<std::uint64_t, std::uint64_t> Polisher::counts_of(BitView w, BitView ht) const {
    check_factors(w, ht);
    const BitMatrix h = boolmat::transpose(ht, *kernels_->bits);
    const BitMatrix wh = boolmat::product(w, h.view(), *kernels_->bits);
    std::uint64_t false_ones = 0, false_zeros = 0;
    const std::size_t words = x_.stride();
    for (std::size_t i = 0; i < rows(); ++i) {
        const Word* a = x_.row(i).data();
        const Word* b = wh.row(i).data();
        for (std::size_t k = 0; k < words; ++k) {
            const Word seen = mask_ ? mask_->row(i)[k] : ~Word{0};
            false_ones += static_cast<std::uint64_t>(std::popcount(b[k] & ~a[k] & seen));
            false_zeros += static_cast<std::uint64_t>(std::popcount(a[k] & ~b[k] & seen));
        }
    }
    return {false_ones, false_zeros};
}

std::uint64_t Polisher::error_of(BitView w, BitView ht) const {
    const auto [false_ones, false_zeros] = counts_of(w, ht);
    return weights_.of(false_ones, false_zeros);
}

std::uint64_t Polisher::half_step(const Side& side, BitView vectors, std::optional<BitView> masks,
                                  const BitMatrix& factor, BitMatrix& out,
                                  const Cancel& cancel) const {
    const SolverEngine engine(factor, *kernels_);
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < side.bounds.size(); ++k) {
        cancel.check();
        const auto [b, e] = side.bounds[k];
        const boolmat::BitViewMut part = out.view_mut().rows(b, e);
        std::uint64_t error = 0;
        if (masks) {
            error = engine.half_step(side.masked[k], step_.choice, 0, part, costs_).error;
            if (step_.refit_width != 0)
                error = engine.refit_blocks(vectors.rows(b, e), masks->rows(b, e),
                                            step_.refit_width, part, costs_);
        } else {
            error = engine.half_step(side.plain[k], step_.choice, 0, part, costs_).error;
            if (step_.refit_width != 0)
                error = engine.refit_blocks(vectors.rows(b, e), step_.refit_width, part, costs_);
        }
        total += error;
    }
    return total;
}

std::size_t Polisher::polish(Factors& f, std::size_t max_iters, const Cancel& cancel) const {
    check_factors(f.w.view(), f.ht.view());
    const std::size_t r = f.w.cols();
    const std::size_t limit = std::max<std::size_t>(1, max_iters);
    std::size_t iters = 0;
    BitMatrix ht = BitMatrix::zeros(cols(), r);
    BitMatrix w = BitMatrix::zeros(rows(), r);
    // Whether f.w is this loop's W step for f.ht: then an H step that gives
    // f.ht back means a W step would give f.w back, an iteration that does
    // not improve, so the loop stops without running it.
    bool w_solves_ht = false;
    while (iters < limit) {
        ++iters;
        half_step(cols_side_, xt_.view(), maskt(), f.w, ht, cancel);
        if (w_solves_ht && ht == f.ht) break;
        std::uint64_t total = half_step(rows_side_, x_.view(), mask(), ht, w, cancel);
        if (costs_.infinite()) total = error_of(w.view(), ht.view());
        if (total >= f.error) break;
        std::swap(f.w, w);
        std::swap(f.ht, ht);
        f.error = total;
        w_solves_ht = true;
    }
    return iters;
}

std::uint64_t Polisher::refit_tiles(Factors& f, std::size_t begin, std::size_t end,
                                    std::size_t iters) const {
    check_factors(f.w.view(), f.ht.view());
    const std::size_t r = f.w.cols();
    if (begin >= end || end > r || end - begin > kMaxRefitBlock) {
        boolmat::fail(FailKind::Value,
                      boolmat::cat("colonnes ", begin, "..", end, " hors de 0..", r));
    }
    for (std::size_t round = 0; round < iters; ++round) {
        const WideLs by_w(f.w.view(), *kernels_);
        if (maskt_) {
            refit_block(by_w, xt_.view(), maskt_->view(), begin, end, f.ht.view_mut(), costs_);
        } else {
            refit_block(by_w, xt_.view(), begin, end, f.ht.view_mut(), costs_);
        }
        const WideLs by_h(f.ht.view(), *kernels_);
        f.error =
            mask_ ? refit_block(by_h, x_.view(), mask_->view(), begin, end, f.w.view_mut(), costs_)
                  : refit_block(by_h, x_.view(), begin, end, f.w.view_mut(), costs_);
    }
    // The refits' totals weigh each row by its own length (see the top).
    if (costs_.infinite() && iters != 0) f.error = error_of(f.w.view(), f.ht.view());
    return f.error;
}

}  // namespace bmf
