// What a quorbmf._native Solver holds and how it runs each method, in plain
// C++. The heuristics run on WideLs at every rank (it gives BoolLs's answers
// up to rank 26 without its table); "naive", "zeta", "exact" and masks up to
// rank 26 run on BoolLs, whose table of 2^r counters is built on the first
// call that needs it; "exact" above 26 runs the table-free search up to rank
// 64. The Python entries (solver.cpp) check every argument and the method's
// availability at the solver's rank; the functions here assume both and do
// the work, with the interpreter lock released. An engine is immutable
// apart from the solvers it builds on first use, each once, by whichever
// thread asks first while the others wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "bmf_core/table/boolls.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/alternating/half_step.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/method.hpp"
#include "bmf_core/wide/wide.hpp"
#include "boolmat/bitmatrix.hpp"
#include "boolmat/view.hpp"

namespace bmf_native {

// A method as this module names it: one of the core's four, or "exact", the
// lowest optimal combinations by whichever exact route the rank allows.
struct MethodChoice {
    bool exact = false;
    bmf::Method method = bmf::Method::Zeta;  // read when exact is false

    // Parses a name by the core's rules (white space around it ignored, ASCII
    // letters in any case); nullopt for any other name.
    static std::optional<MethodChoice> parse(std::string_view name);
    std::string_view name() const { return exact ? std::string_view("exact") : method.name(); }
    // The core method that runs it on a table: "exact" is "zeta" there.
    bmf::Method table_method() const { return exact ? bmf::Method(bmf::Method::Zeta) : method; }
};

// "naive, zeta, greedy, greedy-ls, exact".
std::string joined_choice_names();

// The largest rank of each route.
inline constexpr std::uint64_t kMaxTableRank = bmf::kMaxRank;         // BoolLs: "naive", "zeta", masks
inline constexpr std::uint64_t kMaxExactRank = bmf::kMaxSearchRank;  // "exact" by the search

// The total error of a half-step and how many of its rows the exact search
// left to the heuristic (0 unless "exact" ran above rank 26).
struct StepResult {
    std::uint64_t error = 0;
    std::uint64_t fallbacks = 0;
};

// A value built on first use, at most once; later readers share it.
template <class T>
class Lazy {
public:
    template <class Make>
    const T& get(Make&& make) const {
        std::call_once(once_, [&] { value_.emplace(make()); });
        return *value_;
    }

private:
    mutable std::once_flag once_;
    mutable std::optional<T> value_;
};

class SolverEngine {
public:
    // Takes over `factor` (m x r, any r >= 1, at most bmf::kMaxSolverRows
    // rows, spare bits zero); builds nothing yet.
    explicit SolverEngine(boolmat::BitMatrix factor);
    SolverEngine(const SolverEngine&) = delete;
    SolverEngine& operator=(const SolverEngine&) = delete;

    std::uint64_t m() const { return factor_.rows(); }
    std::uint64_t r() const { return factor_.cols(); }

    // Solves every row of `block` with `choice` and `seed` into `out` (block
    // rows x r). "exact" is "zeta" with the Auto strategy up to rank 26; above
    // it the search under bmf::kHighRankNodes per class, and a class whose
    // search runs out keeps the better of the search's best combination and
    // "greedy-ls"'s (the search's on ties), its rows counted as fallbacks.
    StepResult half_step(const bmf::VectorBlock& block, MethodChoice choice, std::uint64_t seed,
                         boolmat::BitViewMut out) const;
    // The masked half-step ("exact" is masked "zeta"); rank 26 at most.
    StepResult half_step(const bmf::MaskedVectorBlock& block, MethodChoice choice,
                         std::uint64_t seed, boolmat::BitViewMut out) const;
    // Refits the combinations in `out` (vectors.rows() x r) exactly over each
    // consecutive group of at most `width` columns (1..bmf::kMaxRefitBlock),
    // the others held fixed, group after group over all r columns, and
    // returns the total error of the final combinations.
    std::uint64_t refit_blocks(boolmat::BitView vectors, std::size_t width,
                               boolmat::BitViewMut out) const;

private:
    const bmf::BoolLs& table() const;
    const bmf::WideLs& wide() const;
    const bmf::ExactSearch& search() const;
    StepResult exact_by_search(const bmf::VectorBlock& block, std::uint64_t seed,
                               boolmat::BitViewMut out) const;

    boolmat::BitMatrix factor_;
    Lazy<bmf::BoolLs> table_;        // up to rank 26
    Lazy<bmf::WideLs> wide_;         // every rank
    Lazy<bmf::ExactSearch> search_;  // "exact" above rank 26
};

}  // namespace bmf_native
