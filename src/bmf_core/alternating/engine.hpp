// The engine sits on top of bmf_core, whose folders are its solver
// families, each including only the ones listed after it (kernels.cpp,
// which gathers the kernel tables of every family, aside):
//   alternating/  this engine, half_step, stop_rule and ao_bmf
//   exact/        ExactSearch and the exact half-steps (the Search and Auto
//                 strategies, the budgeted search above rank 26)
//   masked/       solves and half-steps under a mask of observed cells
//   table/        BoolLs, its count table and the "zeta" kernels
//   wide/         WideLs (any rank, heuristics) and the exact block refit
//   covers/       GreConD and Asso
//   top level     what they share: kernels, method names, lcg, vector_block
//
// Unchecked code is marked in one way only, by a namespace `detail`. Every
// public name in namespace bmf checks its preconditions (or has none) and
// fails with a French message; a free function or type that assumes them
// instead lives in bmf::detail and carries no suffix (a family's kernels
// are declared in its folder's detail/, in bmf::detail::exact and
// bmf::detail::masked where their names need a scope of their own). Inside
// a public class, a private member that skips the checks of a public member
// of the same name carries the suffix _unchecked
// (BoolLs::solve_zeta_unchecked); no public member is unchecked.
//
// SolverEngine: one factor and the solvers that run a half-step against it,
// whatever the method and the rank. The heuristics run on WideLs at every
// rank (it gives BoolLs's answers up to rank 26 without its table);
// "naive", "zeta", "exact" and masks up to rank 26 run on BoolLs, whose
// table of 2^r counters is built on the first call that needs it; "exact"
// above 26 runs the table-free search up to rank 64 under a node budget and
// falls back to "greedy-ls" where the budget runs out. rank_limit says which
// methods have a route at a rank, so that a caller can refuse the others
// before any work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bmf_core/costs.hpp"
#include "bmf_core/detail/once_cell.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/kernels.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/vector_block.hpp"
#include "bmf_core/wide/wide.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// A method as the engine names it: one of the four of Method, or "exact",
// the lowest optimal combinations by whichever exact route the rank allows.
struct MethodChoice {
    bool exact = false;
    Method method = Method::Zeta;  // read when exact is false

    // Parses a name by Method::from_str's rules (white space around it
    // ignored, ASCII letters in any case); nullopt for any other name.
    static std::optional<MethodChoice> parse(std::string_view name);
    std::string_view name() const { return exact ? std::string_view("exact") : method.name(); }
    // The method that runs it on a table: "exact" is "zeta" there.
    Method table_method() const { return exact ? Method(Method::Zeta) : method; }
};

// "naive, zeta, greedy, greedy-ls, exact".
std::string joined_choice_names();

// The largest rank of each route.
inline constexpr std::uint64_t kMaxTableRank = kMaxRank;        // BoolLs: "naive", "zeta", masks
inline constexpr std::uint64_t kMaxExactRank = kMaxSearchRank;  // "exact" by the search

// Why a method has no route at a rank.
struct RankLimit {
    // The limit in words, such as "method 'zeta' needs a table of 2^r
    // counters and works up to rank 26".
    std::string reason;
    // The methods that do run at that rank ("greedy, greedy-ls or exact",
    // "greedy or greedy-ls"); empty when no method would (masks).
    std::string_view alternatives;
};

// Returns nullopt when `choice` runs at rank r, else the limit it meets:
// "exact" above 64, then "naive" and "zeta" above 26; masked vectors
// (`masked`) have the same routes. O(1).
std::optional<RankLimit> rank_limit(MethodChoice choice, std::uint64_t r, bool masked = false);

// The total error of a half-step and how many of its rows the exact search
// left to the heuristic (0 unless "exact" ran above rank 26).
struct StepResult {
    std::uint64_t error = 0;
    std::uint64_t fallbacks = 0;
    bool operator==(const StepResult&) const = default;
};

// Immutable apart from the solvers it builds on first use, each once, by
// whichever thread asks first while the others wait: any number of threads
// may run half-steps against one engine.
class SolverEngine {
public:
    // Takes over `factor` (m x r, any r >= 1, spare bits zero); builds
    // nothing yet. The solvers a half-step needs are built by its first
    // call and fail there as their constructors do (more than
    // kMaxSolverRows rows; BoolLs's rank messages for a method that
    // rank_limit refuses). Every solver it builds runs `kernels`.
    explicit SolverEngine(boolmat::BitMatrix factor, const Kernels& kernels = default_kernels());
    SolverEngine(const SolverEngine&) = delete;
    SolverEngine& operator=(const SolverEngine&) = delete;

    std::uint64_t m() const { return factor_.rows(); }
    std::uint64_t r() const { return factor_.cols(); }

    // Solves every row of `block` with `choice` and `seed` into `out` (block
    // rows x r), checking shapes as the half-steps of table, wide and exact
    // do, at the cost of the route (the first call of a route also builds
    // its solver: BoolLs's table of 2^r counters, WideLs's transposes, or
    // ExactSearch's pattern sets). "exact" is "zeta" with the Auto strategy up to rank 26; above it
    // the search under kHighRankNodes per class, and a class whose search
    // runs out keeps the better of the search's best combination and
    // "greedy-ls"'s (the search's on ties), its rows counted as fallbacks.
    //
    // With `costs` other than 1 and 1 every route minimises the weighted
    // error instead, each row with costs.weights(m()), and the result's error
    // is the total weighted error; the exact routes stay exact.
    StepResult half_step(const VectorBlock& block, MethodChoice choice, std::uint64_t seed,
                         boolmat::BitViewMut out, const Costs& costs = {}) const;
    // The masked half-step, checked and costed as the masked half_step of
    // masked.hpp: "naive", "zeta" and "exact" (masked "zeta") up to rank 26
    // on BoolLs, "exact" above by the masked search with its fallback, the
    // heuristics on BoolLs up to rank 26 with unit costs and on WideLs
    // otherwise.
    StepResult half_step(const MaskedVectorBlock& block, MethodChoice choice, std::uint64_t seed,
                         boolmat::BitViewMut out, const Costs& costs = {}) const;
    // Refits the combinations in `out` (vectors.rows() x r) exactly over each
    // consecutive group of at most `width` columns (1..kMaxRefitBlock), the
    // others held fixed, group after group over all r columns, and returns
    // the total error of the final combinations; no row's error grows.
    // Fails as refit_block does (width 0 included). O(r / width) refits.
    std::uint64_t refit_blocks(boolmat::BitView vectors, std::size_t width, boolmat::BitViewMut out,
                               const Costs& costs = {}) const;
    // The same counting only the cells where `masks` (the shape of
    // `vectors`, 1 = observed) has a 1, any r; all-ones masks give the
    // unmasked result bit for bit. Fails as the masked refit_block does
    // (the shape message first), at the cost of the unmasked refits.
    std::uint64_t refit_blocks(boolmat::BitView vectors, boolmat::BitView masks, std::size_t width,
                               boolmat::BitViewMut out, const Costs& costs = {}) const;

private:
    const BoolLs& table() const;
    const WideLs& wide() const;
    const ExactSearch& search() const;
    StepResult exact_by_search(const VectorBlock& block, std::uint64_t seed,
                               boolmat::BitViewMut out) const;
    // "exact" above rank 26 with costs or masks: the search, then "greedy-ls"
    // on the classes whose search ran out, both weighted.
    StepResult exact_by_search(const VectorBlock& block, std::uint64_t seed,
                               boolmat::BitViewMut out, const Costs& costs) const;
    StepResult exact_by_search(const MaskedVectorBlock& block, std::uint64_t seed,
                               boolmat::BitViewMut out, const Costs& costs) const;

    boolmat::BitMatrix factor_;
    const Kernels* kernels_;
    detail::OnceCell<BoolLs> table_;        // up to rank 26
    detail::OnceCell<WideLs> wide_;         // every rank
    detail::OnceCell<ExactSearch> search_;  // "exact" above rank 26
};

}  // namespace bmf
