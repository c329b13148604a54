// The checked doors of the masked solves and the per-mask dispatch: lengths
// are checked here once, then the unchecked kernels of masked_*.cpp run.
#include "bmf_core/masked.hpp"

#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"
#include "bmf_core/masked_kernels.hpp"

namespace bmf {

namespace masked {

MaskedSolver::MaskedSolver(const BoolLs& solver, Method method)
    : solver_(solver), method_(method) {}

namespace {

// Whether the stacked problem beats a table of the mask's own for
// `vectors` solves: only on the blocked route, where a table of 2^r
// counters per mask costs a few solves (about r - 16 at 10^5 rows), and
// while the stacked errors fit in 32 bits.
bool stacked_pays(const BoolLs& solver, std::uint64_t observed, std::size_t vectors) {
    const std::uint64_t r = solver.r();
    return observed != solver.m() && r > kZetaBlockBits && vectors < r - kZetaBlockBits + 2 &&
           solver.m() < (std::uint64_t{1} << 30);
}

}  // namespace

void MaskedSolver::set_mask(std::span<const Word> mask, std::size_t vectors) {
    mask_ = mask;
    observed_ = boolmat::kernels::popcount_words(mask.data(), mask.size());
    switch (method_) {
        case Method::Naive:
            break;
        case Method::Zeta:
            stacked_route_ = stacked_pays(solver_, observed_, vectors);
            if (!stacked_route_)
                sums_.build(solver_, mask, observed_);
            else if (!stacked_)
                stacked_.emplace(solver_);
            break;
        case Method::Greedy:
        case Method::GreedyLs:
            columns_.build(solver_, mask, observed_ == solver_.m());
            break;
    }
}

Solution MaskedSolver::solve(std::span<const Word> x, std::uint64_t seed) {
    // Every h ties at 0, and the lowest wins.
    if (observed_ == 0) return {0, 0};
    switch (method_) {
        case Method::Naive:
            return naive(solver_, x.data(), mask_.data());
        case Method::Zeta:
            if (stacked_route_)
                return stacked_->solve(x.data(), mask_.data(), observed_, zeta_scratch_);
            return zeta_solve(sums_.table(), x, zeta_scratch_);
        case Method::Greedy:
            return columns_.greedy(x.data());
        case Method::GreedyLs:
            break;
    }
    return columns_.greedy_ls(x.data(), seed);
}

}  // namespace masked

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
    masked::MaskedSolver s(solver, method);
    s.set_mask(m, 1);
    return s.solve(observed.span(), seed);
}

}  // namespace bmf
