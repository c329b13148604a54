// The routes of an engine's half-steps and refits: WideLs for the heuristics
// and the block refits at every rank, BoolLs for the rest up to rank 26
// ("exact" there is "zeta" by the Auto strategy, which gives the table's
// answers), and above 26 the exact search with its fallback.
#include "bmf_core/alternating/engine.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/exact/exact_half_step.hpp"
#include "bmf_core/wide/wide_refit.hpp"

namespace bmf {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;

namespace {

bool ascii_equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        return lower(x) == lower(y);
    });
}

// True when `name` spells "exact" by the parser's rules. Rather than repeat
// them, the first "exact" in the name is read as "zeta" and the parser
// asked: only white space may surround it for the answer to be Zeta.
bool names_exact(std::string_view name) {
    constexpr std::string_view kExact = "exact";
    for (std::size_t p = 0; p + kExact.size() <= name.size(); ++p) {
        if (!ascii_equal_ignoring_case(name.substr(p, kExact.size()), kExact)) continue;
        const std::string as_zeta =
            std::string(name.substr(0, p)) + "zeta" + std::string(name.substr(p + kExact.size()));
        const auto parsed = Method::from_str(as_zeta);
        return std::holds_alternative<Method>(parsed) && std::get<Method>(parsed) == Method::Zeta;
    }
    return false;
}

bool is_heuristic(MethodChoice choice) {
    return !choice.exact && (choice.method == Method::Greedy || choice.method == Method::GreedyLs);
}

}  // namespace

std::optional<MethodChoice> MethodChoice::parse(std::string_view name) {
    const auto parsed = Method::from_str(name);
    if (std::holds_alternative<Method>(parsed))
        return MethodChoice{false, std::get<Method>(parsed)};
    if (names_exact(name)) return MethodChoice{true, Method::Zeta};
    return std::nullopt;
}

std::string joined_choice_names() { return joined_method_names() + ", exact"; }

std::optional<RankLimit> rank_limit(MethodChoice choice, std::uint64_t r, bool masked) {
    (void)masked;
    const std::string_view others =
        r <= kMaxExactRank ? "greedy, greedy-ls or exact" : "greedy or greedy-ls";
    if (choice.exact) {
        if (r <= kMaxExactRank) return std::nullopt;
        return RankLimit{"method 'exact' works up to rank " + std::to_string(kMaxExactRank) +
                             " (a combination of one word)",
                         others};
    }
    if (r <= kMaxTableRank || is_heuristic(choice)) return std::nullopt;
    return RankLimit{"method '" + std::string(choice.method.name()) +
                         "' needs a table of 2^r counters and works up to rank " +
                         std::to_string(kMaxTableRank),
                     others};
}

SolverEngine::SolverEngine(BitMatrix factor, const Kernels& kernels)
    : factor_(std::move(factor)), kernels_(&kernels) {}

const BoolLs& SolverEngine::table() const {
    return table_.get([&] { return BoolLs(factor_.view(), *kernels_); });
}

const WideLs& SolverEngine::wide() const {
    return wide_.get([&] { return WideLs(factor_.view(), *kernels_); });
}

const ExactSearch& SolverEngine::search() const {
    return search_.get([&] {
        // Up to rank 64 a row of the factor is one word.
        const BitView w = factor_.view();
        std::vector<std::uint64_t> patterns(w.rows());
        for (std::size_t i = 0; i < patterns.size(); ++i) patterns[i] = w.row(i)[0];
        return ExactSearch(patterns, static_cast<unsigned>(w.cols()), *kernels_);
    });
}

StepResult SolverEngine::half_step(const VectorBlock& block, MethodChoice choice,
                                   std::uint64_t seed, BitViewMut out, const Costs& costs) const {
    if (!costs.unit()) {
        if (is_heuristic(choice))
            return {wide_half_step(wide(), block, choice.method, seed, out, costs), 0};
        if (r() <= kMaxTableRank || !choice.exact)
            return {table_half_step(table(), block, choice.table_method(), seed, out, costs), 0};
        return exact_by_search(block, seed, out, costs);
    }
    if (is_heuristic(choice)) return {wide_half_step(wide(), block, choice.method, seed, out), 0};
    // Above rank 26 only "exact" has a route; the others fail in BoolLs.
    if (r() <= kMaxTableRank || !choice.exact) {
        const auto strategy = choice.exact ? ExactStrategy::Auto : ExactStrategy::Table;
        return {bmf::half_step(table(), block, choice.table_method(), seed, out, strategy), 0};
    }
    return exact_by_search(block, seed, out);
}

StepResult SolverEngine::half_step(const MaskedVectorBlock& block, MethodChoice choice,
                                   std::uint64_t seed, BitViewMut out, const Costs& costs) const {
    if (is_heuristic(choice)) {
        if (r() <= kMaxTableRank && costs.unit())
            return {bmf::half_step(table(), block, choice.method, seed, out), 0};
        return {wide_half_step(wide(), block, choice.method, seed, out, costs), 0};
    }
    if (r() <= kMaxTableRank || !choice.exact)
        return {bmf::half_step(table(), block, choice.table_method(), seed, out, costs), 0};
    return exact_by_search(block, seed, out, costs);
}

StepResult SolverEngine::exact_by_search(const VectorBlock& block, std::uint64_t seed,
                                         BitViewMut out) const {
    const SearchStep found = search_half_step(search(), block, kHighRankNodes, out);
    StepResult result{found.total, 0};
    if (found.unfinished.empty()) return result;

    const BitView vectors = block.vectors();
    const RowClasses& classes = block.classes();
    const WideLs& heuristic = wide();
    // The replacement combination of each class, one word (r <= 64); only
    // the classes whose search ran out and lost to the heuristic have one.
    std::vector<std::optional<std::uint64_t>> replaced(classes.first.size());
    bool any = false;
    for (const std::size_t c : found.unfinished) {
        const std::size_t row = classes.first[c];
        const std::uint64_t searched = heuristic.error_of(vectors.row_vec(row), out.row(row));
        const WideSolution guess = heuristic.solve(vectors.row_vec(row), Method::GreedyLs, seed);
        result.fallbacks += classes.size[c];
        if (guess.error < searched) {
            replaced[c] = guess.h[0];
            result.error -= (searched - guess.error) * classes.size[c];
            any = true;
        }
    }
    if (any) {
        for (std::size_t i = 0; i < classes.class_of.size(); ++i) {
            if (const auto& h = replaced[classes.class_of[i]]) out.row(i)[0] = *h;
        }
    }
    return result;
}

namespace {

// Gives each class whose search ran out the better of the search's best
// combination and "greedy-ls"'s (the search's on ties), both weighted, and
// counts its rows as fallbacks. guess(c) returns class c's "greedy-ls"
// solution and the weighted error of the searched combination at `row`.
template <class Guess, class ClassOf>
void fall_back(StepResult& result, const std::vector<std::size_t>& unfinished, std::size_t classes,
               std::size_t rows, Guess&& guess, ClassOf&& class_of,
               std::span<const std::size_t> first_rows, std::span<const std::uint64_t> sizes,
               BitViewMut out) {
    std::vector<std::optional<std::uint64_t>> replaced(classes);
    bool any = false;
    for (const std::size_t c : unfinished) {
        const auto [searched, found] = guess(c, first_rows[c]);
        result.fallbacks += sizes[c];
        if (found.error < searched) {
            replaced[c] = found.h[0];
            result.error -= (searched - found.error) * sizes[c];
            any = true;
        }
    }
    if (!any) return;
    for (std::size_t i = 0; i < rows; ++i) {
        if (const auto& h = replaced[class_of(i)]) out.row(i)[0] = *h;
    }
}

}  // namespace

StepResult SolverEngine::exact_by_search(const VectorBlock& block, std::uint64_t seed,
                                         BitViewMut out, const Costs& costs) const {
    const SearchStep found = search_half_step(search(), block, kHighRankNodes, out, costs);
    StepResult result{found.total, 0};
    if (found.unfinished.empty()) return result;
    const BitView vectors = block.vectors();
    const RowClasses& classes = block.classes();
    const WideLs& heuristic = wide();
    const Weights weights = costs.weights(m());
    const auto guess = [&](std::size_t, std::size_t row) {
        const VecView x = vectors.row_vec(row);
        return std::pair{heuristic.error_of(x, out.row(row), weights),
                         heuristic.solve(x, Method::GreedyLs, seed, weights)};
    };
    fall_back(
        result, found.unfinished, classes.first.size(), classes.class_of.size(), guess,
        [&](std::size_t i) { return classes.class_of[i]; }, classes.first, classes.size, out);
    return result;
}

StepResult SolverEngine::exact_by_search(const MaskedVectorBlock& block, std::uint64_t seed,
                                         BitViewMut out, const Costs& costs) const {
    const SearchStep found = search_half_step(search(), block, kHighRankNodes, out, costs);
    StepResult result{found.total, 0};
    if (found.unfinished.empty()) return result;
    const WideLs& heuristic = wide();
    const Weights weights = costs.weights(m());
    std::vector<std::size_t> first_rows(block.class_count());
    std::vector<std::uint64_t> sizes(block.class_count());
    for (std::size_t c = 0; c < first_rows.size(); ++c) {
        first_rows[c] = block.first_row(c);
        sizes[c] = block.class_size(c);
    }
    const auto guess = [&](std::size_t c, std::size_t row) {
        const VecView x = block.observed(c);
        const VecView mask = block.mask(c);
        return std::pair{heuristic.error_of(x, mask, out.row(row), weights),
                         heuristic.solve(x, mask, Method::GreedyLs, seed, weights)};
    };
    fall_back(
        result, found.unfinished, block.class_count(), block.rows(), guess,
        [&](std::size_t i) { return block.class_of(i); }, first_rows, sizes, out);
    return result;
}

std::uint64_t SolverEngine::refit_blocks(BitView vectors, std::size_t width, BitViewMut out,
                                         const Costs& costs) const {
    const WideLs& solver = wide();
    std::uint64_t total = 0;
    const std::size_t rank = factor_.cols();
    for (std::size_t begin = 0; begin < rank; begin += width)
        total = refit_block(solver, vectors, begin, std::min(rank, begin + width), out, costs);
    return total;
}

std::uint64_t SolverEngine::refit_blocks(BitView vectors, BitView masks, std::size_t width,
                                         BitViewMut out, const Costs& costs) const {
    const WideLs& solver = wide();
    std::uint64_t total = 0;
    const std::size_t rank = factor_.cols();
    for (std::size_t begin = 0; begin < rank; begin += width)
        total =
            refit_block(solver, vectors, masks, begin, std::min(rank, begin + width), out, costs);
    return total;
}

}  // namespace bmf
