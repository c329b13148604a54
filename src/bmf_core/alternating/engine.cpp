// The routes of an engine's half-steps and refits: WideLs for the heuristics
// and the block refits at every rank, BoolLs for the rest up to rank 26
// ("exact" there is "zeta" by the Auto strategy, which gives the table's
// answers), and above 26 the exact search with its fallback.
#include "bmf_core/alternating/engine.hpp"

#include <algorithm>
#include <stdexcept>
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

// Placeholder until the weighted routes exist.
void require_unit(const Costs& costs) {
    if (!costs.unit()) throw std::invalid_argument("couts ponderes non pris en charge");
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
    if (masked && r > kMaxTableRank) {
        return RankLimit{
            "missing values (mask=) are supported up to rank " + std::to_string(kMaxTableRank), {}};
    }
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
    require_unit(costs);
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
    require_unit(costs);
    return {bmf::half_step(table(), block, choice.table_method(), seed, out), 0};
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

std::uint64_t SolverEngine::refit_blocks(BitView vectors, std::size_t width, BitViewMut out,
                                         const Costs& costs) const {
    require_unit(costs);
    const WideLs& solver = wide();
    std::uint64_t total = 0;
    const std::size_t rank = factor_.cols();
    for (std::size_t begin = 0; begin < rank; begin += width)
        total = refit_block(solver, vectors, begin, std::min(rank, begin + width), out);
    return total;
}

std::uint64_t SolverEngine::refit_blocks(BitView vectors, BitView masks, std::size_t width,
                                         BitViewMut out, const Costs& costs) const {
    require_unit(costs);
    const WideLs& solver = wide();
    std::uint64_t total = 0;
    const std::size_t rank = factor_.cols();
    for (std::size_t begin = 0; begin < rank; begin += width)
        total = refit_block(solver, vectors, masks, begin, std::min(rank, begin + width), out);
    return total;
}

}  // namespace bmf
