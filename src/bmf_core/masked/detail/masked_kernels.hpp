// The unchecked kernels behind the masked solves. A mask of m bits (spare
// bits 0) is prepared once against one solver and then serves every vector
// observed at its set bits; each vector arrives already ANDed with its mask,
// so its unobserved positions are 0 and only the observed ones are counted.
// Nothing here checks lengths: the doors in masked.cpp and masked_block.cpp do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmf_core/method.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/table/count_table.hpp"
#include "bmf_core/table/detail/zeta_solve.hpp"
#include "boolmat/words.hpp"

namespace bmf::detail::masked {

using boolmat::Word;

// "zeta" under a mask, per mask: the subset sums of the observed rows'
// pattern counts stand in for the solver's table, so that zeta_solve on
// x AND M returns |M AND NOT x| + min over t of (2 ζS1 - ζC_M)[t], the
// observed error. Best when counting dominates or the table serves many vectors.
class MaskTable {
public:
    // Makes the table for `mask`, which has `observed` set bits.
    void build(const BoolLs& solver, std::span<const Word> mask, std::uint64_t observed);
    // The same for a mask laid out in the order of `groups` (bit k is row
    // groups.order[k]): one population count per group.
    void build_in_order(const BoolLs& solver, const PatternGroups& groups,
                        std::span<const Word> mask_in_order, std::uint64_t observed);
    // What zeta_solve reads: the solver's own table when every row is observed.
    const ZetaInput& table() const { return table_; }

private:
    // Starts the table: true when the solver's own serves, else own_ zeroed.
    bool start(const BoolLs& solver, std::uint64_t observed);
    void finish(const BoolLs& solver, bool counted_observed);

    CountTable own_;  // reused from one mask to the next
    ZetaInput table_{};
};

// "zeta" under any mask with one table per solver: every row of W twice, the
// first copy reading x with the unobserved rows set, the second with them
// cleared, whose error is 2 x the observed error + the unobserved rows. Best
// when a table per mask would cost more than the solves (a large table).
class StackedTable {
public:
    // Takes W twice (2m rows, twice the subset sums); needs 2m < 2^31.
    explicit StackedTable(const BoolLs& solver);
    // Solves x (ANDed with `mask`, which has `observed` set bits).
    Solution solve(const Word* x, const Word* mask, std::uint64_t observed, ZetaScratch& scratch);

private:
    std::uint64_t m_;
    std::vector<std::uint64_t> patterns_;
    CountTable doubled_;
    ZetaInput table_{};
    boolmat::WordArray stacked_;  // the 2m bits of the vector at hand
};

// "greedy" and the local search of "greedy-ls" under a mask, on the
// solver's own columns: x and the running OR both start with the unobserved
// rows set, so those rows agree whatever h is and every distance is taken
// over the observed rows.
class ObservedColumns {
public:
    // Takes the unobserved rows of `mask`.
    void build(const BoolLs& solver, std::span<const Word> mask);
    // Forward greedy selection of columns for x (ANDed with the mask).
    Solution greedy(const Word* x);
    // Greedy followed by the seeded local search, with the solver's k and depth.
    Solution greedy_ls(const Word* x, std::uint64_t seed);

private:
    // x with the unobserved rows set, into x_.
    void take(const Word* x);
    Solution greedy_taken(std::uint64_t ones);
    Solution search_from(Solution best, std::uint64_t depth, std::uint64_t k, std::uint64_t& state);
    std::uint64_t error_of(std::uint64_t h);
    // The population counts of the solver's kernels.
    const boolmat::detail::PopcountKernels& counts() const;

    const BoolLs* solver_ = nullptr;
    std::size_t words_ = 0;
    boolmat::WordArray unobserved_;  // NOT M, spare bits 0
    boolmat::WordArray x_;           // x OR NOT M
    boolmat::WordArray acc_;         // W∘h OR NOT M for the combination at hand
};

// "naive" under a mask: the error of every h over the observed rows only.
Solution naive(const BoolLs& solver, const Word* x, const Word* mask);
// The same with the weighted observed error w.false_one |M AND NOT x AND
// W∘h| + w.false_zero |x AND NOT W∘h| (x ANDed with M): the lowest h of
// least weighted error.
Solution naive(const BoolLs& solver, const Word* x, const Word* mask, const Weights& w);

// One mask at a time against one solver, for one method: what the method
// needs from the mask is built by set_mask and shared by the vectors solved
// until the next set_mask. Not shareable between threads.
class MaskedSolver {
public:
    MaskedSolver(const BoolLs& solver, Method method);
    // Prepares `mask` (m bits, spare bits 0) for `vectors` solves.
    void set_mask(std::span<const Word> mask, std::size_t vectors);
    // Solves x, ANDed with the current mask; `seed` drives "greedy-ls" only.
    Solution solve(std::span<const Word> x, std::uint64_t seed);

private:
    const BoolLs& solver_;
    Method method_;
    std::span<const Word> mask_;
    std::uint64_t observed_ = 0;
    bool stacked_route_ = false;
    MaskTable sums_;
    std::optional<StackedTable> stacked_;  // built on first use
    ObservedColumns columns_;
    ZetaScratch zeta_scratch_;
};

}  // namespace bmf::detail::masked
