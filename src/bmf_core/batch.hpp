// Solving many vectors against one solver. A solve depends only on the
// vector, the method and the seed, so the rows of a matrix of vectors are
// first sorted into classes of equal rows and each class is solved once.
// "zeta" solves share one scratch memory, and when the solver has few
// distinct row patterns among many rows the vectors are laid out in pattern
// order, so that counting a vector's rows per pattern is one population
// count per pattern instead of one scattered add per set row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../boolmat/bitmatrix.hpp"
#include "boolls.hpp"

namespace bmf {

// The rows of a matrix in classes of equal rows.
struct RowClasses {
    std::vector<std::size_t> first;     // lowest row of each class, by class
    std::vector<std::uint64_t> size;    // rows in each class
    std::vector<std::size_t> class_of;  // class of each row

    // Hashes the rows and sorts them, comparing words only on equal hashes.
    static RowClasses of(const boolmat::BitMatrix& m);
};

struct BatchResult {
    std::vector<std::uint64_t> solutions;  // h of each class
    std::uint64_t total;                   // error summed over all rows
};

// Solves the rows of `vectors` (m bits each, m the solver's) with `method`
// and `seed`, one solve per class of `classes`. `vectors_t` is the
// transpose of `vectors`.
BatchResult solve_classes(const BoolLs& solver, Method method, std::uint64_t seed,
                          const boolmat::BitMatrix& vectors, const boolmat::BitMatrix& vectors_t,
                          const RowClasses& classes);

// Row i of `out` (one word per row: at most 64 columns) becomes the solution
// of the class of vector i.
void store_solutions(const BatchResult& solved, const RowClasses& classes, boolmat::BitMatrix& out);

}  // namespace bmf
