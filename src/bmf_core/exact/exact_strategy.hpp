// How a "zeta" half-step finds its solutions: by the table, by the exact
// search, or by whichever costs less per vector.
#pragma once

#include <cstdint>

namespace bmf {

// Every strategy gives the same combinations and errors, the lowest optimal
// ones; they differ in cost only. Methods other than "zeta" ignore it.
enum class ExactStrategy : std::uint8_t {
    Table,   // the count table for every vector: the "zeta" method itself
    Search,  // the branch and bound of ExactSearch for every vector, unbounded
    Auto,    // per vector, whichever ExactChooser expects to cost less
};

}  // namespace bmf
