// Preparing a factor sorts its rows by pattern, O(m log m), and lays out
// one bit per pattern and column; preparing a vector is O(ones(x) + patterns).
#include "bmf_core/exact/exact_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "bmf_core/exact/detail/exact_branch.hpp"
#include "bmf_core/table/boolls.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {

using boolmat::FailKind;
using boolmat::Word;

namespace {

constexpr std::uint64_t low_mask(unsigned r) {
    return r >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << r) - 1;
}

// Patterns in the order the search needs: by lowest column, then by value.
bool search_order(std::uint64_t a, std::uint64_t b) {
    const int la = std::countr_zero(a), lb = std::countr_zero(b);
    return la != lb ? la < lb : a < b;
}

// Words of the scratch ahead of the search levels: the positive and negative
// sets, the planes, and the greedy's two working sets.
std::size_t head_words(std::size_t words, unsigned bits) { return (4 + bits) * words; }

// Per-operation times measured on the development machine, in nanoseconds:
// a search node costs a fixed part plus a pass over its words (about 12 ns
// at 5 words, 70 ns at 32), a table solve its transform of r x 2^r
// counters (0.3 ms at r = 20, 25 ms at r = 26) plus one add per set row.
constexpr double kNodeFixed = 6.0;
constexpr double kNodePerWord = 2.0;
constexpr double kSetupPerRow = 1.5;
constexpr double kSetupPerPattern = 2.0;
constexpr double kTablePerEntry = 0.013;
constexpr double kTablePerRow = 1.5;

}  // namespace

ExactSearch::ExactSearch(std::span<const std::uint64_t> row_patterns, unsigned r,
                         const Kernels& kernels)
    : m_(row_patterns.size()), r_(r), kernels_(&kernels) {
    if (r == 0 || r > kMaxSearchRank)
        boolmat::fail(FailKind::Value,
                      boolmat::cat("rang ", r, " : la recherche exacte admet de 1 a 64 colonnes"));
    if (m_ == 0) boolmat::fail(FailKind::Shape, "W n'a aucune ligne");
    constexpr std::uint64_t kMaxRows = 0xFFFFFFFFu;
    if (m_ > kMaxRows)
        boolmat::fail(FailKind::Capacity,
                      boolmat::cat("W a ", m_, " lignes : au plus ", kMaxRows, " sont admises"));
    const std::uint64_t mask = low_mask(r);
    for (std::size_t i = 0; i < m_; ++i) {
        if ((row_patterns[i] & ~mask) != 0)
            boolmat::fail(FailKind::Value,
                          boolmat::cat("la ligne ", i, " a le motif ", row_patterns[i],
                                       ", qui depasse les ", r, " colonnes"));
    }

    // Rows by pattern in search order; the all-zero pattern, which no h
    // covers, goes to the slot after the last pattern.
    std::vector<std::uint32_t> order(m_);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    // (The all-zero pattern has no lowest column and sorts last.)
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return search_order(row_patterns[a], row_patterns[b]);
    });
    pattern_of_row_.resize(m_);
    for (const std::uint32_t i : order) {
        const std::uint64_t p = row_patterns[i];
        if (p == 0) break;
        if (patterns_.empty() || patterns_.back() != p) {
            patterns_.push_back(p);
            counts_.push_back(0);
        }
        ++counts_.back();
        pattern_of_row_[i] = static_cast<std::uint32_t>(patterns_.size() - 1);
    }
    const auto zero_slot = static_cast<std::uint32_t>(patterns_.size());
    for (std::size_t i = 0; i < m_; ++i)
        if (row_patterns[i] == 0) pattern_of_row_[i] = zero_slot;

    const std::size_t k_total = patterns_.size();
    words_ = boolmat::words_for(k_total);
    ends_.assign(r, 0);
    cover_.assign(static_cast<std::size_t>(r) * words_, 0);
    for (std::size_t k = 0; k < k_total; ++k) {
        const std::uint64_t p = patterns_[k];
        ++ends_[static_cast<unsigned>(std::countr_zero(p))];
        for (std::uint64_t rest = p; rest != 0; rest &= rest - 1) {
            const auto c = static_cast<std::size_t>(std::countr_zero(rest));
            cover_[c * words_ + boolmat::word_of(k)] |= Word{1} << boolmat::bit_of(k);
        }
    }
    std::partial_sum(ends_.begin(), ends_.end(), ends_.begin());

    // A column in no pattern never changes the error, and one equal to a
    // lower column can always give way to it: the lowest optimal h has
    // neither.
    const auto row = [&](unsigned c) {
        return cover_.begin() + static_cast<std::ptrdiff_t>(c * words_);
    };
    for (unsigned c = 0; c < r; ++c) {
        const bool empty = std::all_of(row(c), row(c) + static_cast<std::ptrdiff_t>(words_),
                                       [](Word w) { return w == 0; });
        bool repeated = false;
        for (unsigned lower = 0; lower < c && !repeated; ++lower)
            repeated = std::equal(row(c), row(c) + static_cast<std::ptrdiff_t>(words_), row(lower));
        if (!empty && !repeated) allowed_ |= std::uint64_t{1} << c;
    }
}

void ExactSearch::check_vector(std::span<const Word> x, const char* name) const {
    if (x.size() != boolmat::words_for(m_))
        boolmat::fail(FailKind::Shape,
                      boolmat::cat(name, " a ", x.size(), " mots, W en demande ",
                                   boolmat::words_for(m_), " pour ", m_, " lignes"));
}

void ExactSearch::check_combination(std::uint64_t h) const {
    if ((h & ~low_mask(r_)) != 0)
        boolmat::fail(FailKind::Value,
                      boolmat::cat("la combinaison ", h, " depasse les ", r_, " colonnes"));
}

detail::exact::Problem ExactSearch::prepare(std::span<const Word> x, ExactScratch& scratch) const {
    const std::size_t k_total = patterns_.size();
    auto& ones = scratch.ones_;
    ones.assign(k_total + 1, 0);
    for (std::size_t k = 0; k < x.size(); ++k)
        for (Word bits = x[k]; bits != 0; bits &= bits - 1)
            ++ones[pattern_of_row_[k * boolmat::kWordBits +
                                   static_cast<std::size_t>(std::countr_zero(bits))]];

    auto& gain = scratch.gain_;
    gain.resize(k_total);
    for (std::size_t k = 0; k < k_total; ++k)
        gain[k] = 2 * std::int64_t{ones[k]} - std::int64_t{counts_[k]};
    const auto ones_x =
        static_cast<std::int64_t>(kernels_->bits->popcount->popcount(x.data(), x.size()));
    return lay_out(scratch, ones_x);
}

detail::exact::Problem ExactSearch::prepare(std::span<const Word> x, const Word* mask,
                                            const Weights& weights, ExactScratch& scratch) const {
    const std::size_t k_total = patterns_.size();
    auto& ones = scratch.ones_;
    auto& zeros = scratch.zeros_;
    ones.assign(k_total + 1, 0);
    const auto count = [&](std::vector<std::uint32_t>& into, std::size_t k, Word bits) {
        for (; bits != 0; bits &= bits - 1)
            ++into[pattern_of_row_[k * boolmat::kWordBits +
                                   static_cast<std::size_t>(std::countr_zero(bits))]];
    };
    std::uint64_t ones_x = 0;
    if (mask == nullptr) {
        for (std::size_t k = 0; k < x.size(); ++k) count(ones, k, x[k]);
        ones_x = kernels_->bits->popcount->popcount(x.data(), x.size());
    } else {
        zeros.assign(k_total + 1, 0);
        for (std::size_t k = 0; k < x.size(); ++k) {
            count(ones, k, x[k] & mask[k]);
            count(zeros, k, mask[k] & ~x[k]);
            ones_x += static_cast<std::uint64_t>(std::popcount(x[k] & mask[k]));
        }
    }
    // Covering pattern k turns its false zeros (its ones) into false ones
    // (its zeros).
    const auto a = static_cast<std::int64_t>(weights.false_one);
    const auto b = static_cast<std::int64_t>(weights.false_zero);
    auto& gain = scratch.gain_;
    gain.resize(k_total);
    for (std::size_t k = 0; k < k_total; ++k) {
        const std::int64_t zeros_k =
            mask == nullptr ? std::int64_t{counts_[k]} - ones[k] : std::int64_t{zeros[k]};
        gain[k] = b * std::int64_t{ones[k]} - a * zeros_k;
    }
    return lay_out(scratch, b * static_cast<std::int64_t>(ones_x));
}

detail::exact::Problem ExactSearch::lay_out(ExactScratch& scratch, std::int64_t base) const {
    const std::size_t k_total = patterns_.size();
    const auto& gain = scratch.gain_;
    std::uint64_t largest = 0;
    for (std::size_t k = 0; k < k_total; ++k)
        largest = std::max(largest, static_cast<std::uint64_t>(std::abs(gain[k])));
    const auto bits = static_cast<unsigned>(std::bit_width(largest));

    detail::exact::Problem p{r_,      words_,  cover_.data(), ends_.data(), allowed_,
                             nullptr, nullptr, nullptr,       bits,         base};
    auto& sets = scratch.sets_;
    const std::size_t head = head_words(words_, bits);
    const std::size_t needed = head + detail::exact::level_words(p);
    if (sets.size() < needed) sets.resize(needed);
    std::fill(sets.begin(), sets.begin() + static_cast<std::ptrdiff_t>((2 + bits) * words_),
              Word{0});
    Word* pos = sets.data();
    Word* neg = pos + words_;
    Word* planes = neg + words_;
    for (std::size_t k = 0; k < k_total; ++k) {
        if (gain[k] == 0) continue;
        const Word one = Word{1} << boolmat::bit_of(k);
        const std::size_t w = boolmat::word_of(k);
        (gain[k] > 0 ? pos : neg)[w] |= one;
        for (auto g = static_cast<std::uint64_t>(std::abs(gain[k])); g != 0; g &= g - 1)
            planes[w * bits + static_cast<unsigned>(std::countr_zero(g))] |= one;
    }
    p.pos = pos;
    p.neg = neg;
    p.planes = planes;
    return p;
}

std::int64_t ExactSearch::prepared_error(const ExactScratch& scratch, std::int64_t ones_x,
                                         std::uint64_t h) const {
    std::int64_t error = ones_x;
    for (std::size_t k = 0; k < patterns_.size(); ++k)
        if ((patterns_[k] & h) != 0) error -= scratch.gain_[k];
    return error;
}

ExactResult ExactSearch::solve(std::span<const Word> x, ExactScratch& scratch,
                               std::uint64_t node_budget, std::uint64_t hint) const {
    check_vector(x);
    check_combination(hint);
    return run(prepare(x, scratch), scratch, node_budget, hint);
}

ExactResult ExactSearch::solve(std::span<const Word> x, const Weights& weights,
                               ExactScratch& scratch, std::uint64_t node_budget,
                               std::uint64_t hint) const {
    check_vector(x);
    check_combination(hint);
    return run(prepare(x, nullptr, weights, scratch), scratch, node_budget, hint);
}

ExactResult ExactSearch::solve(std::span<const Word> x, std::span<const Word> mask,
                               const Weights& weights, ExactScratch& scratch,
                               std::uint64_t node_budget, std::uint64_t hint) const {
    check_vector(x);
    check_vector(mask, "masque");
    check_combination(hint);
    return run(prepare(x, mask.data(), weights, scratch), scratch, node_budget, hint);
}

ExactResult ExactSearch::run(const detail::exact::Problem& p, ExactScratch& scratch,
                             std::uint64_t node_budget, std::uint64_t hint) const {
    Word* work = scratch.sets_.data() + (2 + p.bits) * words_;
    Word* levels = work + 2 * words_;
    const detail::exact::ExactKernels& run = *kernels_->exact;
    detail::exact::Incumbent best = run.greedy(p, work);
    const std::int64_t hinted = prepared_error(scratch, p.base, hint);
    if (hinted < best.error || (hinted == best.error && hint < best.h)) best = {hint, hinted};
    const detail::exact::Outcome outcome = run.branch_and_bound(p, best, levels, node_budget);
    return {best.h, static_cast<std::uint64_t>(best.error), outcome.finished, outcome.nodes};
}

double ExactSearch::node_cost() const {
    return kNodeFixed + kNodePerWord * static_cast<double>(words_);
}

double ExactSearch::setup_cost(std::uint64_t ones) const {
    const double greedy = static_cast<double>(r_) * static_cast<double>(r_) * node_cost() / 2;
    return kSetupPerRow * static_cast<double>(ones) +
           kSetupPerPattern * static_cast<double>(patterns_.size()) + greedy;
}

double ExactSearch::table_cost(std::uint64_t ones) const {
    if (r_ > kMaxRank) return INFINITY;
    return kTablePerEntry * static_cast<double>(r_) * std::ldexp(1.0, static_cast<int>(r_)) +
           kTablePerRow * static_cast<double>(ones);
}

std::uint64_t ExactSearch::table_budget(std::uint64_t ones) const {
    const double spare = table_cost(ones) - setup_cost(ones);
    if (!(spare > 0)) return 0;
    const double nodes = spare / node_cost();
    return nodes >= 1e18 ? kUnlimitedNodes : static_cast<std::uint64_t>(nodes);
}

std::uint64_t ExactChooser::budget(std::uint64_t ones) {
    if (search_->r() > kMaxRank) return kHighRankNodes;
    if (ratio_ >= 1 && ++skipped_ < kRetryEvery) return 0;
    skipped_ = 0;
    ones_ = ones;
    return search_->table_budget(ones);
}

void ExactChooser::record(const ExactResult& result) {
    if (search_->r() > kMaxRank) return;
    const double table = search_->table_cost(ones_);
    double spent =
        search_->setup_cost(ones_) + static_cast<double>(result.nodes) * search_->node_cost();
    if (!result.finished) spent += table;
    // A quarter of the weight on the newest vector: three searches that run
    // out in a row are enough to hand the half-step to the table.
    ratio_ += (spent / table - ratio_) / 4;
}

}  // namespace bmf
