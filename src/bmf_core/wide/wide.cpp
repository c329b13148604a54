#include "bmf_core/wide/wide.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "bmf_core/lcg.hpp"
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

}  // namespace

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

WideSolution WideLs::solve(VecView x, Method method, std::uint64_t seed) const {
    check_len(x);
    if (method != Method::Greedy && method != Method::GreedyLs) {
        boolmat::fail(boolmat::FailKind::Value,
                      boolmat::cat("methode ", method.name(),
                                   " : un solveur large ne fait que greedy et greedy-ls"));
    }
    return solve_unchecked(x.words, method, seed);
}

WideSolution WideLs::solve_unchecked(std::span<const Word> x, Method method,
                                     std::uint64_t seed) const {
    WideSolution start = solve_greedy_unchecked(x);
    if (method != Method::GreedyLs) return start;
    std::uint64_t state = seed;
    std::vector<Word> scratch(x.size());
    return search_from(x, std::move(start), k_, local_search_width(k_), state, scratch);
}

WideSolution WideLs::solve_greedy(VecView x) const {
    check_len(x);
    return solve_greedy_unchecked(x.words);
}

WideSolution WideLs::solve_greedy_unchecked(std::span<const Word> x) const {
    const std::size_t mw = x.size();
    const Word* const cols = columns_.words().data();
    const std::size_t stride = columns_.stride();
    const boolmat::detail::PopcountKernels& count = *kernels_->bits->popcount;
    std::vector<Word> acc(mw, 0);
    WideSolution current{std::vector<Word>(words(), 0), count.popcount(x.data(), mw)};
    for (;;) {
        std::uint64_t threshold = current.error;
        std::uint64_t chosen = k_;
        for (std::uint64_t j = 0; j < k_; ++j) {
            if (test_bit(current.h, j)) continue;
            const std::uint64_t e =
                count.or_xor_popcount(x.data(), acc.data(), cols + j * stride, mw);
            if (e < threshold) {
                threshold = e;
                chosen = j;
            }
        }
        if (chosen == k_) return current;
        flip_bit(current.h, chosen);
        current.error = threshold;
        kernels::or_words(acc.data(), cols + chosen * stride, mw);
    }
}

WideSolution WideLs::local_search(VecView x, WideSolution start, std::uint64_t depth,
                                  std::uint64_t width, std::uint64_t& state) const {
    check_len(x);
    boolmat::assert_eq(start.h.size(), words(), [&] {
        return boolmat::cat("la combinaison a ", start.h.size(), " mots, il en faut ", words());
    });
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
    if (depth == 0 || width < 2) return best;
    std::vector<Word> candidate(words());
    std::vector<Word> drawn(words());
    for (std::uint64_t pass = 0; pass < depth; ++pass) {
        for (std::uint64_t u = 2; u <= width; ++u) {
            std::copy(best.h.begin(), best.h.end(), candidate.begin());
            flip_drawn(candidate, u, k_, state, drawn);
            const std::uint64_t e = error_with(x, candidate, scratch);
            // The nested search reuses `scratch`: every candidate rebuilds it.
            if (e < best.error)
                best = search_from(x, {candidate, e}, depth - 1, width, state, scratch);
        }
    }
    return best;
}

std::uint64_t WideLs::error_of(VecView x, std::span<const Word> h) const {
    check_len(x);
    boolmat::assert_eq(h.size(), words(), [&] {
        return boolmat::cat("la combinaison a ", h.size(), " mots, il en faut ", words());
    });
    std::vector<Word> scratch(x.words.size());
    return error_with(x.words, h, scratch);
}

std::uint64_t WideLs::error_with(std::span<const Word> x, std::span<const Word> h,
                                 std::vector<Word>& scratch) const {
    std::fill(scratch.begin(), scratch.end(), Word{0});
    const Word* const cols = columns_.words().data();
    const std::size_t stride = columns_.stride();
    for (std::size_t w = 0; w < h.size(); ++w) {
        for (Word bits = h[w]; bits != 0; bits &= bits - 1) {
            const std::size_t j =
                w * boolmat::kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            kernels::or_words(scratch.data(), cols + j * stride, scratch.size());
        }
    }
    return kernels_->bits->popcount->xor_popcount(x.data(), scratch.data(), x.size());
}

std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out) {
    const BitView vectors = block.vectors();
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
    const RowClasses& classes = block.classes();
    std::vector<WideSolution> solved;
    solved.reserve(classes.first.size());
    for (const std::size_t i : classes.first) {
        solved.push_back(solver.solve_unchecked(vectors.row(i), method, seed));
    }
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < vectors.rows(); ++i) {
        const WideSolution& s = solved[classes.class_of[i]];
        std::copy(s.h.begin(), s.h.end(), out.row(i).begin());
        total += s.error;
    }
    return total;
}

std::uint64_t wide_half_step(const WideLs& solver, BitView vectors, Method method,
                             std::uint64_t seed, BitViewMut out) {
    return wide_half_step(solver, VectorBlock(vectors), method, seed, out);
}

WideSolution WideLs::solve(VecView, Method, std::uint64_t, const Weights&) const {
    throw std::invalid_argument("couts ponderes non pris en charge");
}

WideSolution WideLs::solve(VecView, VecView, Method, std::uint64_t, const Weights&) const {
    throw std::invalid_argument("couts ponderes non pris en charge");
}

std::uint64_t WideLs::error_of(VecView, std::span<const Word>, const Weights&) const {
    throw std::invalid_argument("couts ponderes non pris en charge");
}

std::uint64_t WideLs::error_of(VecView, VecView, std::span<const Word>, const Weights&) const {
    throw std::invalid_argument("couts ponderes non pris en charge");
}

std::uint64_t wide_half_step(const WideLs& solver, const VectorBlock& block, Method method,
                             std::uint64_t seed, BitViewMut out, const Costs& costs) {
    if (costs.unit()) return wide_half_step(solver, block, method, seed, out);
    throw std::invalid_argument("couts ponderes non pris en charge");
}

}  // namespace bmf
