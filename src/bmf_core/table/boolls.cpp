#include "bmf_core/table/boolls.hpp"

#include <algorithm>
#include <bit>
#include <memory>

#include "bmf_core/lcg.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {
namespace {

using boolmat::Word;

// Draws column indices until `u` distinct ones are held (a repeated index
// still uses up its draw) and returns them as a mask.
std::uint64_t draw_distinct(std::uint64_t u, std::uint64_t r, std::uint64_t& state) {
    std::uint64_t s = state;
    std::uint64_t mask = 0;
    // The held count is kept by hand: this file is compiled for every
    // processor, where std::popcount is a library call.
    for (std::uint64_t held = 0; held < u;) {
        const std::uint64_t bit = std::uint64_t{1} << (lcg_draw(s) % r);
        held += (mask & bit) == 0 ? 1 : 0;
        mask |= bit;
    }
    state = s;
    return mask;
}

}  // namespace

void check_rank(std::uint64_t r) {
    using boolmat::FailKind;
    if (r > 64)
        boolmat::fail(FailKind::Value, "Interdit d'avoir un rang supérieur à la taille d'un mot");
    if (r > kMaxRank) boolmat::fail(FailKind::Value, "Sécurité pour ne pas surcharger la mémoire");
}

BoolLs::BoolLs(BitView w, const Kernels& kernels) : m_(w.rows()), r_(w.cols()), kernels_(&kernels) {
    check_rank(r_);
    if (m_ > kMaxSolverRows) {
        boolmat::fail(boolmat::FailKind::Value, boolmat::cat("W a ", m_, " lignes : au plus ",
                                                             kMaxSolverRows, " sont admises"));
    }

    // With r <= 26 a row is one word whose bits above r are already 0.
    row_patterns_.resize(m_);
    for (std::size_t i = 0; i < m_; ++i) row_patterns_[i] = w.row(i)[0];

    // The count table holds the subset sums of the counts: every "zeta" solve
    // needs them, so they are summed once here, in place.
    subset_counts_ = CountTable::zeroed(std::size_t{1} << r_);
    const auto counts = subset_counts_.span();
    for (const std::uint64_t p : row_patterns_) ++counts[p];
    kernels.zeta->subset_sum_transform(counts.data(), static_cast<unsigned>(r_));

    const BitMatrix t = boolmat::transpose(w, *kernels.bits);
    columns_.reserve(r_);
    for (std::size_t j = 0; j < r_; ++j) columns_.push_back(BitVec::from_words(t.row(j), m_));
}

detail::ZetaInput detail::zeta_input(const BoolLs& solver) {
    return {solver.row_patterns_, solver.subset_counts_.span(), solver.m_,
            static_cast<unsigned>(solver.r_), solver.kernels_};
}

const detail::PatternGroups* detail::zeta_groups(const BoolLs& solver) {
    const std::vector<PatternGroups>& groups = solver.groups_.get([&] {
        std::vector<PatternGroups> found;
        if (solver.r_ <= kZetaBlockBits) {
            PatternGroups g = PatternGroups::of(solver.row_patterns_);
            if (g.patterns.size() * 4 <= solver.m_) found.push_back(std::move(g));
        }
        return found;
    });
    return groups.empty() ? nullptr : &groups.front();
}

void BoolLs::check_len(VecView x) const {
    boolmat::assert_eq(x.len, m_,
                       [&] { return boolmat::cat("x a ", x.len, " bits, W a ", m_, " lignes"); });
}

Solution BoolLs::solve_seeded(VecView x, Method method, std::uint64_t seed) const {
    check_len(x);
    return solve_seeded_unchecked(x, method, seed);
}

Solution BoolLs::solve_naive(VecView x) const {
    check_len(x);
    return solve_naive_unchecked(x);
}

Solution BoolLs::solve_zeta(VecView x) const {
    check_len(x);
    return solve_zeta_unchecked(x);
}

Solution BoolLs::solve_naive(VecView x, const Weights& w) const {
    check_len(x);
    return solve_naive_unchecked(x, w);
}

Solution BoolLs::solve_zeta(VecView x, const Weights& w) const {
    check_len(x);
    detail::ZetaScratch scratch;
    return detail::zeta_solve(detail::zeta_input(*this), x.words, scratch, w);
}

Solution BoolLs::solve_greedy(VecView x) const {
    check_len(x);
    return solve_greedy_unchecked(x);
}

Solution BoolLs::solve_greedy_ls(VecView x, std::uint64_t seed) const {
    check_len(x);
    return solve_greedy_ls_unchecked(x, seed);
}

Solution BoolLs::solve_seeded_unchecked(VecView x, Method method, std::uint64_t seed) const {
    switch (method) {
        case Method::Naive: return solve_naive_unchecked(x);
        case Method::Zeta: return solve_zeta_unchecked(x);
        case Method::Greedy: return solve_greedy_unchecked(x);
        case Method::GreedyLs: break;
    }
    return solve_greedy_ls_unchecked(x, seed);
}

Word BoolLs::predicted_word(std::size_t k, std::uint64_t h) const {
    const std::size_t begin = k * boolmat::kWordBits;
    const std::size_t end = std::min<std::size_t>(m_, begin + boolmat::kWordBits);
    Word predicted = 0;
    for (std::size_t i = begin; i < end; ++i)
        predicted |= Word{(row_patterns_[i] & h) != 0} << (i - begin);
    return predicted;
}

Solution BoolLs::solve_naive_unchecked(VecView x) const {
    const auto xw = x.words;
    const std::uint64_t combinations = std::uint64_t{1} << r_;
    Solution best{0, m_ + 1};
    for (std::uint64_t h = 0; h < combinations; ++h) {
        std::uint64_t error = 0;
        // Once the running count reaches the best error h cannot win.
        for (std::size_t k = 0; k < xw.size() && error < best.error; ++k) {
            const Word predicted = predicted_word(k, h);
            error += std::popcount(predicted ^ xw[k]);
        }
        if (error < best.error) best = {h, error};
    }
    return best;
}

Solution BoolLs::solve_naive_unchecked(VecView x, const Weights& w) const {
    const auto xw = x.words;
    const std::uint64_t combinations = std::uint64_t{1} << r_;
    // h = 0 is tried first and always kept: no sentinel error is needed.
    Solution best{0, ~std::uint64_t{0}};
    for (std::uint64_t h = 0; h < combinations; ++h) {
        std::uint64_t error = 0;
        for (std::size_t k = 0; k < xw.size() && error < best.error; ++k) {
            const Word predicted = predicted_word(k, h);
            // Spare bits of x are 0 and so are those of `predicted`.
            error += w.of(static_cast<std::uint64_t>(std::popcount(predicted & ~xw[k])),
                          static_cast<std::uint64_t>(std::popcount(xw[k] & ~predicted)));
        }
        if (error < best.error) best = {h, error};
    }
    return best;
}

std::vector<std::uint32_t> BoolLs::pattern_counts() const {
    const auto sums = subset_counts_.span();
    std::vector<std::uint32_t> counts(sums.begin(), sums.end());
    // Undoes the subset sums one bit at a time (modulo 2^32, exactly).
    for (std::size_t half = 1; half < counts.size(); half *= 2)
        for (std::size_t base = 0; base < counts.size(); base += 2 * half)
            for (std::size_t t = 0; t < half; ++t) counts[base + half + t] -= counts[base + t];
    return counts;
}

Solution BoolLs::solve_zeta_unchecked(VecView x) const {
    detail::ZetaScratch scratch;
    return detail::zeta_solve(detail::zeta_input(*this), x.words, scratch);
}

Solution BoolLs::solve_greedy_unchecked(VecView x) const {
    const boolmat::detail::PopcountKernels& count = *kernels_->bits->popcount;
    BitVec acc = BitVec::zeros(m_);
    const std::size_t words = x.words.size();
    Solution current{0, count.popcount(x.words.data(), words)};
    for (;;) {
        std::uint64_t threshold = current.error;
        std::uint64_t chosen = r_;
        for (std::uint64_t j = 0; j < r_; ++j) {
            if ((current.h >> j) & 1) continue;
            // The error of acc OR column j, without building that vector.
            const std::uint64_t e = count.or_xor_popcount(x.words.data(), acc.words().data(),
                                                          columns_[j].words().data(), words);
            if (e < threshold) {
                threshold = e;
                chosen = j;
            }
        }
        if (chosen == r_) return current;
        current.h |= std::uint64_t{1} << chosen;
        current.error = threshold;
        boolmat::kernels::or_words(acc.words_mut().data(), columns_[chosen].words().data(), words);
    }
}

Solution BoolLs::solve_greedy_ls_unchecked(VecView x, std::uint64_t seed) const {
    const Solution start = solve_greedy_unchecked(x);
    // k = min(r, max(2, bit length of r - 1)): 1 for r = 1, then 2..5 up to r = 26.
    const std::uint64_t k = std::min<std::uint64_t>(
        r_, std::max<std::uint64_t>(2, static_cast<std::uint64_t>(std::bit_width(r_ - 1))));
    std::uint64_t state = seed;
    return local_search_unchecked(x, start, r_, k, state);
}

Solution BoolLs::local_search(VecView x, std::uint64_t h, std::uint64_t error, std::uint64_t depth,
                              std::uint64_t k, std::uint64_t& state) const {
    check_len(x);
    if (depth == 0 || k < 2) return {h, error};
    // Drawing k distinct columns out of r would never end otherwise.
    if (k > r_) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("k vaut ", k, " mais W n'a que ", r_, " colonnes"));
    }
    return local_search_unchecked(x, {h, error}, depth, k, state);
}

Solution BoolLs::local_search_unchecked(VecView x, Solution best, std::uint64_t depth,
                                        std::uint64_t k, std::uint64_t& state) const {
    if (depth == 0 || k < 2) return best;
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= k; ++u) {
            const std::uint64_t candidate = best.h ^ draw_distinct(u, r_, state);
            const std::uint64_t e = error_of(x, candidate);
            if (e < best.error)
                best = local_search_unchecked(x, {candidate, e}, depth - 1, k, state);
        }
    }
    return best;
}

std::uint64_t BoolLs::error_of(VecView x, std::uint64_t h) const {
    // W∘h is never built: one pass ORs h's columns and counts the
    // differences from x word by word.
    const Word* chosen[64];
    std::size_t count = 0;
    boolmat::detail::for_each_set_bit(
        &h, 1, [&](std::size_t j) { chosen[count++] = columns_[j].words().data(); });
    return kernels_->bits->popcount->or_rows_xor_popcount(x.words.data(), chosen, count,
                                                          x.words.size());
}

std::pair<BitMatrix, std::uint64_t> BoolLs::solve_all(BitView x, Method method,
                                                      std::uint64_t seed) const {
    boolmat::assert_eq(x.rows(), m_, [&] {
        return boolmat::cat("X a ", x.rows(), " lignes, W a ", m_, " lignes");
    });
    // The columns of X are the rows of its transpose, whose transpose X is.
    const BitMatrix t = boolmat::transpose(x, *kernels_->bits);
    const VectorBlock block(t, x);
    BitMatrix solutions = BitMatrix::zeros(t.rows(), r_);
    const std::uint64_t total = table_half_step(*this, block, method, seed, solutions.view_mut());
    return {boolmat::transpose(solutions, *kernels_->bits), total};
}

}  // namespace bmf
