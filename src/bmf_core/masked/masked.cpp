// The checked doors of the masked solves and the per-mask dispatch: lengths
// are checked here once, then the unchecked kernels of masked_*.cpp run.
#include "bmf_core/masked/masked.hpp"

#include <algorithm>
#include <cmath>

#include "bmf_core/masked/detail/masked_kernels.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

namespace detail::masked {

MaskedSolver::MaskedSolver(const BoolLs& solver, Method method)
    : solver_(solver), method_(method) {}

namespace {

// Whether the stacked problem beats a table of the mask's own over `vectors`
// solves, in units of one counted row (rough costs fitted to timings). The
// own table costs its counting and about r/32 per entry (fill, transform and
// subtraction in cache), 1.5 once it outgrows the cache; it is shared by the
// vectors. The stacked problem counts each vector's observed ones (about half
// the observed rows) and the unobserved rows once more, and its counters
// double in width once m reaches 2^16. Its errors must fit in 32 bits.
bool stacked_pays(const BoolLs& solver, std::uint64_t observed, std::size_t vectors) {
    const std::uint64_t m = solver.m(), r = solver.r();
    if (observed == m || m >= (std::uint64_t{1} << 30)) return false;
    const double entries = std::ldexp(1.0, static_cast<int>(r));
    const double per_entry = r <= kZetaBlockBits ? static_cast<double>(r) / 32 : 1.5;
    const double own =
        (static_cast<double>(std::min(observed, m - observed)) + entries * per_entry) /
        static_cast<double>(vectors);
    const double wider = m >= (std::uint64_t{1} << 16) ? entries * static_cast<double>(r) / 64 : 0;
    const double stacked =
        static_cast<double>(observed) / 2 + static_cast<double>(m - observed) + wider;
    return stacked < own;
}

}  // namespace

void MaskedSolver::set_mask(std::span<const Word> mask, std::size_t vectors) {
    mask_ = mask;
    observed_ = solver_.kernels().bits->popcount->popcount(mask.data(), mask.size());
    switch (method_) {
        case Method::Naive: break;
        case Method::Zeta:
            stacked_route_ = stacked_pays(solver_, observed_, vectors);
            if (!stacked_route_)
                sums_.build(solver_, mask, observed_);
            else if (!stacked_)
                stacked_.emplace(solver_);
            break;
        case Method::Greedy:
        case Method::GreedyLs: columns_.build(solver_, mask); break;
    }
}

Solution MaskedSolver::solve(std::span<const Word> x, std::uint64_t seed) {
    // Every h ties at 0, and the lowest wins.
    if (observed_ == 0) return {0, 0};
    switch (method_) {
        case Method::Naive: return naive(solver_, x.data(), mask_.data());
        case Method::Zeta:
            if (stacked_route_)
                return stacked_->solve(x.data(), mask_.data(), observed_, zeta_scratch_);
            return zeta_solve(sums_.table(), x, zeta_scratch_);
        case Method::Greedy: return columns_.greedy(x.data());
        case Method::GreedyLs: break;
    }
    return columns_.greedy_ls(x.data(), seed);
}

}  // namespace detail::masked

Solution solve_masked(const BoolLs& solver, VecView x, VecView mask, Method method,
                      std::uint64_t seed) {
    boolmat::assert_eq(x.len, solver.m(), [&] {
        return boolmat::cat("x a ", x.len, " bits, W a ", solver.m(), " lignes");
    });
    if (mask.len != x.len)
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("masque a ", mask.len, " bits, x a ", x.len, " bits"));
    const auto m = mask.words;
    boolmat::WordArray observed = boolmat::WordArray::copy_of(x.words);
    boolmat::kernels::and_words(observed.data(), m.data(), m.size());
    detail::masked::MaskedSolver s(solver, method);
    s.set_mask(m, 1);
    return s.solve(observed.span(), seed);
}

}  // namespace bmf
