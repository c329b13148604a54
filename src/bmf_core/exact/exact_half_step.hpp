// Half-steps solved by the exact search: the Search and Auto strategies of a
// "zeta" half-step, and a half-step without any table that runs at every
// rank up to 64 under a node budget per vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmf_core/costs.hpp"
#include "bmf_core/exact/exact_search.hpp"
#include "bmf_core/exact/exact_strategy.hpp"
#include "bmf_core/masked/masked.hpp"
#include "bmf_core/table/boolls.hpp"
#include "bmf_core/vector_block.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// What a half-step by search alone found.
struct SearchStep {
    std::uint64_t total = 0;              // error summed over all rows
    std::vector<std::size_t> unfinished;  // classes of the block whose search ran out
};

// Solves every row of `block` (each of search.m() bits) by the search, at
// most `node_budget` nodes per class, writes row i's combination as the one
// word of row i of `out` (block rows x search.r()) and returns the total
// error with the classes whose search ran out: their rows hold the best
// combination met, whose exact error the total counts. Checks the shapes
// first, as table_half_step does. At most node_budget search nodes per
// class.
SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out);

// The same minimising the weighted error, each row with
// costs.weights(search.m()), the total weighted; unit costs give the
// function above.
SearchStep search_half_step(const ExactSearch& search, const VectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out, const Costs& costs);
// The same under the masks of `block`, counting observed cells only.
SearchStep search_half_step(const ExactSearch& search, const MaskedVectorBlock& block,
                            std::uint64_t node_budget, boolmat::BitViewMut out, const Costs& costs);

// The "zeta" half-step of `solver` by `strategy`: writes the lowest optimal
// combination of every row of `block` as the one word of its row of `out`
// (block rows x solver.r()) and returns the total error, the same answers as
// table_half_step's, whose checks it makes first. Search builds an
// ExactSearch on the solver's row patterns and searches every class without
// a budget (exponential in r at worst); Auto lets an ExactChooser give each
// class the search or the table, at about the cost of one table solve per
// class; Table is table_half_step itself.
std::uint64_t exact_half_step(const BoolLs& solver, const VectorBlock& block,
                              ExactStrategy strategy, boolmat::BitViewMut out);

}  // namespace bmf
