#include "bmf_core/wide/wide.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <span>
#include <stdexcept>

#include "bmf_core/lcg.hpp"
#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::Word;
namespace kernels = boolmat::kernels;

constexpr std::uint64_t kMaxWideRows = (std::uint64_t{1} << 31) - 1;

bool test_bit(std::span<const Word> h, std::uint64_t j) {
    return (h[j / boolmat::kWordBits] >> (j % boolmat::kWordBits)) & 1;
}

void flip_bit(std::span<Word> h, std::uint64_t j) {
    h[j / boolmat::kWordBits] ^= Word{1} << (j % boolmat::kWordBits);
}

// XORs into h a set of `u` distinct drawn column indices; a repeated index
// adds nothing but still uses up its draw, exactly as BoolLs draws.
void flip_drawn(std::span<Word> h, std::uint64_t u, std::uint64_t k, std::uint64_t& state,
                std::vector<Word>& drawn) {
    std::fill(drawn.begin(), drawn.end(), Word{0});
    std::uint64_t held = 0;
    while (held < u) {
        const std::uint64_t j = lcg_draw(state) % k;
        if (!test_bit(drawn, j)) {
            flip_bit(drawn, j);
            ++held;
        }
    }
    kernels::xor_words(h.data(), drawn.data(), h.size());
}

// W itself, once its row count is known to keep counts 32-bit.
BitView checked_factor(BitView w) {
    if (w.rows() > kMaxWideRows) {
        boolmat::fail(boolmat::FailKind::Value, boolmat::cat("W a ", w.rows(), " lignes : au plus ",
                                                             kMaxWideRows, " sont admises"));
    }
    return w;
}

// Population counts of the weighted solves, one pass each: for a column c
// against the running OR acc, the rows it newly covers and the ones of x
// among them; for a finished OR, its false ones and false zeros against x.
struct TwoCounts {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
};

BOOLMAT_INLINE TwoCounts fresh_count(const Word* x, const Word* acc, const Word* col,
                                     std::size_t n) {
    TwoCounts c;
    for (std::size_t k = 0; k < n; ++k) {
        const Word t = col[k] & ~acc[k];
        c.first += static_cast<std::uint64_t>(std::popcount(t));
        c.second += static_cast<std::uint64_t>(std::popcount(t & x[k]));
    }
    return c;
}

BOOLMAT_INLINE TwoCounts wrong_count(const Word* x, const Word* acc, std::size_t n) {
    TwoCounts c;
    for (std::size_t k = 0; k < n; ++k) {
        c.first += static_cast<std::uint64_t>(std::popcount(acc[k] & ~x[k]));
        c.second += static_cast<std::uint64_t>(std::popcount(x[k] & ~acc[k]));
    }
    return c;
}

TwoCounts fresh_portable(const Word* x, const Word* acc, const Word* col, std::size_t n) {
    return fresh_count(x, acc, col, n);
}
TwoCounts wrong_portable(const Word* x, const Word* acc, std::size_t n) {
    return wrong_count(x, acc, n);
}

// The AVX2 variants count two ranges at once with byte lookups (a nibble
// table, then sums of bytes per 64-bit lane): POPCNT alone would take two
// instructions per word where the plain error takes one.
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i byte_counts(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1,
                                           2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, low));
    const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low));
    return _mm256_add_epi8(lo, hi);
}

// The sums of the four 64-bit lanes of a and of b, in one reduction.
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE TwoCounts lane_sums(__m256i a, __m256i b) {
    const __m256i pairs =
        _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
    const __m128i both =
        _mm_add_epi64(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
    return {static_cast<std::uint64_t>(_mm_cvtsi128_si64(both)),
            static_cast<std::uint64_t>(_mm_extract_epi64(both, 1))};
}

BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE __m256i load(const Word* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The two ranges of fresh_count or of wrong_count, four words at a time.
struct Lanes {
    __m256i first, second;
};

// Sums first(k) and second(k), four words at a time; each byte counter
// takes at most 8 per step, so 31 steps fit in a byte before they are
// widened to 64-bit lanes.
template <class Pair>
BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE TwoCounts two_counts_avx2(std::size_t n, Pair pair) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i first = zero, second = zero;
    std::size_t k = 0;
    while (k + 4 <= n) {
        __m256i f8 = zero, s8 = zero;
        for (int steps = 0; steps < 31 && k + 4 <= n; ++steps, k += 4) {
            const Lanes both = pair(k);
            f8 = _mm256_add_epi8(f8, byte_counts(both.first));
            s8 = _mm256_add_epi8(s8, byte_counts(both.second));
        }
        first = _mm256_add_epi64(first, _mm256_sad_epu8(f8, zero));
        second = _mm256_add_epi64(second, _mm256_sad_epu8(s8, zero));
    }
    return lane_sums(first, second);
}

// The ranges of fresh_count and of wrong_count at word k.
struct FreshPair {
    const Word *x, *acc, *col;
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE Lanes operator()(std::size_t k) const {
        const __m256i t = _mm256_andnot_si256(load(acc + k), load(col + k));
        return {t, _mm256_and_si256(t, load(x + k))};
    }
};
struct WrongPair {
    const Word *x, *acc;
    BOOLMAT_TARGET_AVX2 BOOLMAT_INLINE Lanes operator()(std::size_t k) const {
        const __m256i xv = load(x + k), av = load(acc + k);
        return {_mm256_andnot_si256(xv, av), _mm256_andnot_si256(av, xv)};
    }
};

BOOLMAT_TARGET_AVX2 TwoCounts fresh_avx2(const Word* x, const Word* acc, const Word* col,
                                         std::size_t n) {
    const TwoCounts c = two_counts_avx2(n, FreshPair{x, acc, col});
    const std::size_t done = n - n % 4;
    const TwoCounts rest = fresh_count(x + done, acc + done, col + done, n - done);
    return {c.first + rest.first, c.second + rest.second};
}

BOOLMAT_TARGET_AVX2 TwoCounts wrong_avx2(const Word* x, const Word* acc, std::size_t n) {
    const TwoCounts c = two_counts_avx2(n, WrongPair{x, acc});
    const std::size_t done = n - n % 4;
    const TwoCounts rest = wrong_count(x + done, acc + done, n - done);
    return {c.first + rest.first, c.second + rest.second};
}

// The error a solve compares, of x (its unobserved positions set) against
// a running OR that starts with the unobserved positions: the plain count
// of differing positions, or with Weighted the weighted count of false ones
// and false zeros. Both count observed positions only, since those the
// mask hides agree in x and in every OR.
template <bool Weighted>
class Scorer {
public:
    Scorer(const WideLs& solver, std::span<const Word> x, const Word* unobserved,
           const Weights& weights)
        : x_(x),
          unobserved_(unobserved),
          weights_(weights),
          count_(*solver.kernels().bits->popcount),
          avx2_(solver.kernels().bits->isa == boolmat::Isa::Avx2) {}

    std::span<const Word> x() const { return x_; }
    // The OR of no column.
    void reset(std::span<Word> acc) const {
        if (unobserved_ == nullptr)
            std::fill(acc.begin(), acc.end(), Word{0});
        else
            std::copy(unobserved_, unobserved_ + acc.size(), acc.begin());
    }
    // The error of combination 0: every observed one of x is a false zero.
    std::uint64_t empty_error() const {
        const std::uint64_t ones = unobserved_ == nullptr
                                       ? count_.popcount(x_.data(), x_.size())
                                       : count_.andnot_popcount(x_.data(), unobserved_, x_.size());
        return Weighted ? weights_.false_zero * ones : ones;
    }
    // The error once `col` joins the OR `acc`, whose error is `current`.
    std::uint64_t with_column(std::uint64_t current, const Word* acc, const Word* col) const {
        if constexpr (!Weighted) {
            return count_.or_xor_popcount(x_.data(), acc, col, x_.size());
        } else {
            // The newly covered rows: their zeros become false ones, their
            // ones stop being false zeros. The sum stays exact modulo 2^64
            // and its value, an error, is not negative.
            const TwoCounts c = avx2_ ? fresh_avx2(x_.data(), acc, col, x_.size())
                                      : fresh_portable(x_.data(), acc, col, x_.size());
            return current + weights_.false_one * (c.first - c.second) -
                   weights_.false_zero * c.second;
        }
    }
    // The error of the OR `acc`.
    std::uint64_t of(const Word* acc) const {
        if constexpr (!Weighted) {
            return count_.xor_popcount(x_.data(), acc, x_.size());
        } else {
            const TwoCounts c = avx2_ ? wrong_avx2(x_.data(), acc, x_.size())
                                      : wrong_portable(x_.data(), acc, x_.size());
            return weights_.of(c.first, c.second);
        }
    }

private:
    std::span<const Word> x_;
    const Word* unobserved_;
    Weights weights_;
    const boolmat::detail::PopcountKernels& count_;
    bool avx2_;
};

// Forward greedy: the column that lowers the error most while one lowers
// it strictly, the lowest index on ties.
template <bool Weighted>
WideSolution greedy(const WideLs& solver, const Scorer<Weighted>& score) {
    const std::size_t mw = score.x().size();
    const std::uint64_t k = solver.k();
    const Word* const cols = solver.columns().words().data();
    const std::size_t stride = solver.columns().stride();
    std::vector<Word> acc(mw);
    score.reset(acc);
    WideSolution current{std::vector<Word>(solver.words(), 0), score.empty_error()};
    for (;;) {
        std::uint64_t threshold = current.error;
        std::uint64_t chosen = k;
        for (std::uint64_t j = 0; j < k; ++j) {
            if (test_bit(current.h, j)) continue;
            const std::uint64_t e = score.with_column(current.error, acc.data(), cols + j * stride);
            if (e < threshold) {
                threshold = e;
                chosen = j;
            }
        }
        if (chosen == k) return current;
        flip_bit(current.h, chosen);
        current.error = threshold;
        kernels::or_words(acc.data(), cols + chosen * stride, mw);
    }
}

// The error of combination h, W∘h rebuilt in `scratch`.
template <bool Weighted>
std::uint64_t error_with(const WideLs& solver, const Scorer<Weighted>& score,
                         std::span<const Word> h, std::vector<Word>& scratch) {
    score.reset(scratch);
    const Word* const cols = solver.columns().words().data();
    const std::size_t stride = solver.columns().stride();
    for (std::size_t w = 0; w < h.size(); ++w) {
        for (Word bits = h[w]; bits != 0; bits &= bits - 1) {
            const std::size_t j =
                w * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            kernels::or_words(scratch.data(), cols + j * stride, scratch.size());
        }
    }
    return score.of(scratch.data());
}

// The seeded local search: `depth` passes flipping 2..width drawn columns
// of the best so far, recursing on strict improvements.
template <bool Weighted>
WideSolution search(const WideLs& solver, const Scorer<Weighted>& score, WideSolution best,
                    std::uint64_t depth, std::uint64_t width, std::uint64_t& state,
                    std::vector<Word>& scratch) {
    if (depth == 0 || width < 2) return best;
    std::vector<Word> candidate(solver.words());
    std::vector<Word> drawn(solver.words());
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= width; ++u) {
            std::copy(best.h.begin(), best.h.end(), candidate.begin());
            flip_drawn(candidate, u, solver.k(), state, drawn);
            const std::uint64_t e = error_with(solver, score, candidate, scratch);
            // The nested search reuses `scratch`: every candidate rebuilds it.
            if (e < best.error)
                best = search(solver, score, {candidate, e}, depth - 1, width, state, scratch);
        }
    }
    return best;
}

// "greedy", or "greedy-ls": greedy then the search with depth k and the
// width of local_search_width(k), from `seed`.
template <bool Weighted>
WideSolution solve_with(const WideLs& solver, const Scorer<Weighted>& score, Method method,
                        std::uint64_t seed) {
    WideSolution start = greedy(solver, score);
    if (method != Method::GreedyLs) return start;
    std::uint64_t state = seed;
    std::vector<Word> scratch(score.x().size());
    return search(solver, score, std::move(start), solver.k(), local_search_width(solver.k()),
                  state, scratch);
}

bool unit(const Weights& w) { return w == Weights{}; }

// x with its unobserved positions set and those positions (NOT mask, the
// spare bits cleared) for a vector of m bits.
struct ObservedVector {
    std::vector<Word> x;
    std::vector<Word> unobserved;

    ObservedVector(std::span<const Word> xs, std::span<const Word> mask, std::uint64_t m)
        : x(xs.size()), unobserved(xs.size()) {
        for (std::size_t k = 0; k < xs.size(); ++k) {
            unobserved[k] = ~mask[k];
            if (k + 1 == xs.size()) unobserved[k] &= boolmat::row_mask(m);
            x[k] = xs[k] | unobserved[k];
        }
    }
};

}  // namespace

namespace detail {

WideSolution wide_solve(const WideLs& solver, std::span<const Word> x, const Word* unobserved,
                        Method method, std::uint64_t seed, const Weights& weights) {
    if (unit(weights))
        return solve_with(solver, Scorer<false>(solver, x, unobserved, {}), method, seed);
    return solve_with(solver, Scorer<true>(solver, x, unobserved, weights), method, seed);
}

}  // namespace detail

std::uint64_t local_search_width(std::uint64_t k) {
    if (k <= 1) return k;
    return std::min<std::uint64_t>(
        k, std::max<std::uint64_t>(2, static_cast<std::uint64_t>(std::bit_width(k - 1))));
}

WideLs::WideLs(BitView w, const Kernels& kernels)
    : columns_(boolmat::transpose(checked_factor(w), *kernels.bits)),
      rows_(boolmat::transpose(columns_, *kernels.bits)),
      m_(w.rows()),
      k_(w.cols()),
      kernels_(&kernels) {}

void WideLs::check_len(VecView x) const {
    boolmat::assert_eq(x.len, m_,
                       [&] { return boolmat::cat("x a ", x.len, " bits, W a ", m_, " lignes"); });
    boolmat::assert_eq(x.words.size(), boolmat::words_for(m_),
                       [&] { return boolmat::cat(x.words.size(), " mots pour ", x.len, " bits"); });
}

void WideLs::check_method(Method method) const {
    if (method != Method::Greedy && method != Method::GreedyLs) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("methode ", method.name(),
                                   " : un solveur large ne fait que greedy et greedy-ls"));
    }
}

void WideLs::check_mask(VecView x, VecView mask) const {
    if (mask.len != x.len || mask.words.size() != x.words.size())
        boolmat::fail(boolmat::FailKind::Shape,
                      boolmat::cat("masque a ", mask.len, " bits, x a ", x.len, " bits"));
}

void WideLs::check_combination(std::span<const Word> h) const {
    boolmat::assert_eq(h.size(), words(), [&] {
        return boolmat::cat("la combinaison a ", h.size(), " mots, il en faut ", words());
    });
}

WideSolution WideLs::solve(VecView x, Method method, std::uint64_t seed) const {
    check_len(x);
    check_method(method);
    return solve_unchecked(x.words, method, seed);
}

WideSolution WideLs::solve_unchecked(std::span<const Word> x, Method method,
                                     std::uint64_t seed) const {
    return solve_with(*this, Scorer<false>(*this, x, nullptr, {}), method, seed);
}

WideSolution WideLs::solve_greedy(VecView x) const {
    check_len(x);
    return solve_greedy_unchecked(x.words);
}

WideSolution WideLs::solve_greedy_unchecked(std::span<const Word> x) const {
    return greedy(*this, Scorer<false>(*this, x, nullptr, {}));
}

WideSolution WideLs::local_search(VecView x, WideSolution start, std::uint64_t depth,
                                  std::uint64_t width, std::uint64_t& state) const {
    check_len(x);
    check_combination(start.h);
    if (depth == 0 || width < 2) return start;
    if (width > k_) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("k vaut ", width, " mais W n'a que ", k_, " colonnes"));
    }
    std::vector<Word> scratch(x.words.size());
    return search_from(x.words, std::move(start), depth, width, state, scratch);
}

WideSolution WideLs::search_from(std::span<const Word> x, WideSolution best, std::uint64_t depth,
                                 std::uint64_t width, std::uint64_t& state,
                                 std::vector<Word>& scratch) const {
    return search(*this, Scorer<false>(*this, x, nullptr, {}), std::move(best), depth, width, state,
                  scratch);
}

std::uint64_t WideLs::error_of(VecView x, std::span<const Word> h) const {
    check_len(x);
    check_combination(h);
    std::vector<Word> scratch(x.words.size());
    return error_with(x.words, h, scratch);
}

std::uint64_t WideLs::error_with(std::span<const Word> x, std::span<const Word> h,
                                 std::vector<Word>& scratch) const {
    return bmf::error_with(*this, Scorer<false>(*this, x, nullptr, {}), h, scratch);
}

WideSolution WideLs::solve(VecView x, Method method, std::uint64_t seed,
                           const Weights& weights) const {
    check_len(x);
    check_method(method);
    return detail::wide_solve(*this, x.words, nullptr, method, seed, weights);
}

WideSolution WideLs::solve(VecView x, VecView mask, Method method, std::uint64_t seed,
                           const Weights& weights) const {
    check_len(x);
    check_mask(x, mask);
    check_method(method);
    const ObservedVector seen(x.words, mask.words, m_);
    return detail::wide_solve(*this, seen.x, seen.unobserved.data(), method, seed, weights);
}

std::uint64_t WideLs::error_of(VecView x, std::span<const Word> h, const Weights& weights) const {
    check_len(x);
    check_combination(h);
    std::vector<Word> scratch(x.words.size());
    if (unit(weights)) return error_with(x.words, h, scratch);
    return bmf::error_with(*this, Scorer<true>(*this, x.words, nullptr, weights), h, scratch);
}

std::uint64_t WideLs::error_of(VecView x, VecView mask, std::span<const Word> h,
                               const Weights& weights) const {
    check_len(x);
    check_mask(x, mask);
    check_combination(h);
    const ObservedVector seen(x.words, mask.words, m_);
    std::vector<Word> scratch(x.words.size());
    if (unit(weights))
        return bmf::error_with(*this, Scorer<false>(*this, seen.x, seen.unobserved.data(), {}), h,
                               scratch);
    return bmf::error_with(*this, Scorer<true>(*this, seen.x, seen.unobserved.data(), weights), h,
                           scratch);
}

namespace {

// The shape and method checks of both unmasked half-steps.
void check_wide_half_step(const WideLs& solver, BitView vectors, Method method, BitViewMut out) {
    boolmat::assert_eq(vectors.cols(), solver.m(), [&] {
        return boolmat::cat("les vecteurs ont ", vectors.cols(), " bits, W a ", solver.m(),
                            " lignes");
    });
    boolmat::assert_eq(out.rows(), vectors.rows(), [&] {
        return boolmat::cat("la sortie a ", out.rows(), " lignes pour ", vectors.rows(),
                            " vecteurs");
    });
    boolmat::assert_eq(out.cols(), solver.k(), [&] {
        return boolmat::cat("la sortie a ", out.cols(), " colonnes, W en a ", solver.k());
    });
    if (method != Method::Greedy && method != Method::GreedyLs) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("methode ", method.name(),
                                   " : un solveur large ne fait que greedy et greedy-ls"));
    }
}

// Solves the lowest row of every class with solve(row), writes each row's
// class solution and returns the total error.
template <class Solve>
std::uint64_t solve_classes(const VectorBlock& block, BitViewMut out, Solve&& solve) {
    const BitView vectors = block.vectors();
    const RowClasses& classes = block.classes();
    std::vector<WideSolution> solved;
    solved.reserve(classes.first.size());
    for (const std::size_t i : classes.first) solved.push_back(solve(vectors.row(i)));
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < vectors.rows(); ++i) {
        const WideSolution& s = solved[classes.class_of[i]];
        std::copy(s.h.begin(), s.h.end(), out.row(i).begin());
        total += s.error;
    }
    return total;
}

}  // namespace

std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out) {
    check_wide_half_step(solver, block.vectors(), method, out);
    return solve_classes(block, out, [&](std::span<const Word> x) {
        return solver.solve_unchecked(x, method, seed);
    });
}

std::uint64_t wide_half_step(const WideLs& solver, BitView vectors, Method method,
                             std::uint64_t seed, BitViewMut out) {
    return wide_half_step(solver, VectorBlock(vectors), method, seed, out);
}

std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out, const Costs& costs) {
    if (costs.unit()) return wide_half_step(solver, block, method, seed, out);
    check_wide_half_step(solver, block.vectors(), method, out);
    const Weights weights = costs.weights(solver.m());
    return solve_classes(block, out, [&](std::span<const Word> x) {
        return detail::wide_solve(solver, x, nullptr, method, seed, weights);
    });
}

}  // namespace bmf
