#include "bmf_core/covers/asso.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::Word;

// Rows of X scored or updated between two polls of the caller's Cancel.
constexpr std::size_t kRowsPerPoll = 4096;

BitMatrix association_of(const BitMatrix& cols, double tau,
                         const boolmat::detail::PopcountKernels& count, Cancel cancel) {
    const std::size_t n = cols.rows();
    const std::size_t mw = cols.stride();
    const Word* const c0 = cols.words().data();
    std::vector<std::uint64_t> ones(n);
    for (std::size_t i = 0; i < n; ++i) ones[i] = count.popcount(c0 + i * mw, mw);
    BitMatrix a = BitMatrix::zeros(n, n);
    Word* const a0 = a.words_mut().data();
    for (std::size_t i = 0; i < n; ++i) {
        if (ones[i] == 0) continue;
        cancel.check();
        for (std::size_t j = 0; j < n; ++j) {
            // |i ∧ j| = |i| - |i ∧ ¬j|.
            const std::uint64_t both =
                ones[i] - count.andnot_popcount(c0 + i * mw, c0 + j * mw, mw);
            if (static_cast<double>(both) / static_cast<double>(ones[i]) >= tau) {
                a0[i * a.stride() + j / boolmat::kWordBits] |= Word{1} << (j % boolmat::kWordBits);
            }
        }
    }
    return a;
}

void check_params(const AssoParams& p) {
    if (!(p.tau >= 0.0 && p.tau <= 1.0)) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("tau vaut ", p.tau, " : il faut 0 <= tau <= 1"));
    }
    // w_minus may be +infinity (no row covers a zero); w_plus may not.
    if (!(std::isfinite(p.w_plus) && !std::isnan(p.w_minus) && p.w_plus >= 0.0 &&
          p.w_minus >= 0.0)) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("poids ", p.w_plus, " et ", p.w_minus,
                                   " : il faut deux reels finis positifs"));
    }
}

// The newly covered ones and cells of row r when it takes pattern a.
struct RowGain {
    std::uint64_t ones;
    std::uint64_t cells;
};

inline RowGain gain_of(const Word* a, const Word* x, const Word* cov, std::size_t nw) {
    RowGain g{0, 0};
    for (std::size_t w = 0; w < nw; ++w) {
        const Word fresh = a[w] & ~cov[w];
        g.ones += static_cast<std::uint64_t>(std::popcount(fresh & x[w]));
        g.cells += static_cast<std::uint64_t>(std::popcount(fresh));
    }
    return g;
}

}  // namespace

BitMatrix association_matrix(boolmat::BitView x, double tau, const Kernels& kernels) {
    check_params({tau, 1.0, 1.0});
    return association_of(boolmat::transpose(x, *kernels.bits), tau, *kernels.bits->popcount, {});
}

CoverResult asso(boolmat::BitView x, std::size_t k, const AssoParams& params,
                 const Kernels& kernels, Cancel cancel) {
    if (k == 0) boolmat::fail(boolmat::FailKind::Value, "k doit valoir au moins 1");
    check_params(params);
    const std::size_t m = x.rows();
    const std::size_t n = x.cols();
    const std::size_t nw = boolmat::words_for(n);  // cov and candidate rows
    const std::size_t xs = x.stride();
    const boolmat::Kernels& bits = *kernels.bits;
    const BitMatrix candidates =
        association_of(boolmat::transpose(x, bits), params.tau, *bits.popcount, cancel);
    const Word* const a0 = candidates.words().data();
    const Word* const x0 = x.data();

    // W∘H so far, row by row.
    BitMatrix cov = BitMatrix::zeros(m, n);
    Word* const cov0 = cov.words_mut().data();
    BitMatrix wt = BitMatrix::zeros(k, m);
    BitMatrix h = BitMatrix::zeros(k, n);
    std::uint64_t error = boolmat::count_ones(x, bits);
    CoverResult result{BitMatrix::zeros(1, 1), BitMatrix::zeros(1, 1), {}, error};

    // An infinite w_minus rules out any row that would cover a zero (and
    // never multiplies 0 zeros by it, which would give NaN).
    const bool from_below = std::isinf(params.w_minus);
    const auto row_value = [&](RowGain g) {
        const std::uint64_t zeros = g.cells - g.ones;
        if (from_below && zeros != 0) return -std::numeric_limits<double>::infinity();
        const double penalty = zeros == 0 ? 0.0 : params.w_minus * static_cast<double>(zeros);
        return params.w_plus * static_cast<double>(g.ones) - penalty;
    };
    // Ones of each column that no factor covers yet: w⁺ times their sum over
    // a candidate's columns bounds its value, so candidates are scored in
    // decreasing bound and the scan stops once no bound can win.
    std::vector<std::uint64_t> open_ones(n);
    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t w = 0; w < nw; ++w) {
            for (Word bits = x0[r * xs + w]; bits != 0; bits &= bits - 1) {
                ++open_ones[w * boolmat::kWordBits +
                            static_cast<std::size_t>(std::countr_zero(bits))];
            }
        }
    }
    std::vector<double> bound(n);
    std::vector<std::size_t> order;
    order.reserve(n);
    for (std::size_t l = 0; l < k; ++l) {
        order.clear();
        for (std::size_t i = 0; i < n; ++i) {
            cancel.check();
            std::uint64_t sum = 0;
            const Word* const a = a0 + i * nw;
            for (std::size_t w = 0; w < nw; ++w) {
                for (Word bits = a[w]; bits != 0; bits &= bits - 1) {
                    sum += open_ones[w * boolmat::kWordBits +
                                     static_cast<std::size_t>(std::countr_zero(bits))];
                }
            }
            bound[i] = params.w_plus * static_cast<double>(sum);
            if (bound[i] > 0.0) order.push_back(i);
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return bound[a] > bound[b]; });

        double best_value = 0.0;
        std::size_t best = n;
        for (const std::size_t i : order) {
            // Strictly more only: the lowest candidate wins a tie, so an equal
            // bound still counts for a lower index.
            if (bound[i] < best_value || (bound[i] == best_value && i > best)) break;
            const Word* const a = a0 + i * nw;
            double value = 0.0;
            for (std::size_t r = 0; r < m; ++r) {
                if (r % kRowsPerPoll == 0) cancel.check();
                const double v = row_value(gain_of(a, x0 + r * xs, cov0 + r * nw, nw));
                if (v > 0.0) value += v;
            }
            if (value > best_value || (value == best_value && value > 0.0 && i < best)) {
                best_value = value;
                best = i;
            }
        }
        if (best == n) break;

        const Word* const a = a0 + best * nw;
        std::vector<Word> usage(boolmat::words_for(m), 0);
        for (std::size_t r = 0; r < m; ++r) {
            if (r % kRowsPerPoll == 0) cancel.check();
            Word* const c = cov0 + r * nw;
            const RowGain g = gain_of(a, x0 + r * xs, c, nw);
            if (!(row_value(g) > 0.0)) continue;
            usage[r / boolmat::kWordBits] |= Word{1} << (r % boolmat::kWordBits);
            for (std::size_t w = 0; w < nw; ++w) {
                for (Word bits = a[w] & ~c[w] & x0[r * xs + w]; bits != 0; bits &= bits - 1) {
                    --open_ones[w * boolmat::kWordBits +
                                static_cast<std::size_t>(std::countr_zero(bits))];
                }
            }
            boolmat::kernels::or_words(c, a, nw);
            error = error - g.ones + (g.cells - g.ones);
        }
        wt.set_row(l, usage);
        h.set_row(l, candidates.row(best));
        result.errors.push_back(error);
    }
    result.w = boolmat::transpose(wt, bits);
    result.h = std::move(h);
    result.error = error;
    return result;
}

}  // namespace bmf
