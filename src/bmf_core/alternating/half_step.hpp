// One half-step of the alternating factorisation, and its stop rule: the
// pieces from which ao_bmf is made, public so that a caller can run the same
// loop itself over blocks of rows (threads, a cluster) and get the same
// factors, error and iteration count bit for bit. A half-step's result for
// a row depends only on that row, the solver, the method and the seed, so
// the results of consecutive blocks concatenate to the whole block's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmf_core/table/boolls.hpp"
#include "bmf_core/method.hpp"
#include "boolmat/view.hpp"

namespace bmf {

// The rows of a block of vectors in classes of equal rows.
struct RowClasses {
    std::vector<std::size_t> first;     // lowest row of each class, by class
    std::vector<std::uint64_t> size;    // rows in each class
    std::vector<std::size_t> class_of;  // class of each row

    // Hashes the rows and sorts them, comparing words only on equal hashes.
    static RowClasses of(boolmat::BitView rows);
};

// A block of vectors prepared once and solved many times: the view (not
// owned), its classes of equal rows and, when the caller has it, a view of
// its transpose, which spares "zeta" half-steps one transposition each.
class VectorBlock {
public:
    explicit VectorBlock(boolmat::BitView vectors);
    // `transposed` must be the transpose of `vectors` ("la transposée a {}x{}
    // cellules, le bloc {}x{}" otherwise).
    VectorBlock(boolmat::BitView vectors, boolmat::BitView transposed);

    boolmat::BitView vectors() const { return vectors_; }
    const RowClasses& classes() const { return classes_; }
    // The transpose given at construction; 0 rows when none was.
    boolmat::BitView transposed() const { return transposed_; }

private:
    boolmat::BitView vectors_;
    boolmat::BitView transposed_;
    RowClasses classes_;
};

// How a "zeta" half-step finds its solutions. Every strategy gives the same
// combinations and errors, the lowest optimal ones; they differ in cost only.
// The other methods ignore it.
enum class ExactStrategy : std::uint8_t {
    Table,   // the count table for every vector: the "zeta" method itself
    Search,  // the branch and bound of ExactSearch for every vector, unbounded
    Auto,    // per vector, whichever ExactChooser expects to cost less
};

// Solves every row of `block` (each of solver.m() bits) against `solver`
// with `method` and `seed` ("zeta" by `strategy`), writes row i's
// combination as the one word of row i of `out` (block rows x solver.r())
// and returns the total error. Equal rows are solved once. Checks the three
// shapes first.
std::uint64_t half_step(const BoolLs& solver, const VectorBlock& block, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out,
                        ExactStrategy strategy = ExactStrategy::Table);
// The same for vectors not prepared beforehand (grouped inside).
std::uint64_t half_step(const BoolLs& solver, boolmat::BitView vectors, Method method,
                        std::uint64_t seed, boolmat::BitViewMut out,
                        ExactStrategy strategy = ExactStrategy::Table);

// The number of improving iterations a run may do for `max_iter`: 0 counts
// as 1, in every layer.
constexpr std::uint64_t iteration_limit(std::uint64_t max_iter) {
    return max_iter == 0 ? 1 : max_iter;
}

// When the alternating loop stops: at the first iteration whose error is not
// strictly below the best so far (its factors are discarded), or once
// iteration_limit(max_iter) improving iterations are done.
class StopRule {
public:
    enum class Verdict {
        Continue,       // improved: keep this iteration's factors, go on
        KeepAndStop,    // improved and the limit is reached: keep them, stop
        DiscardAndStop  // not improved: keep the previous best, stop
    };

    StopRule(std::uint64_t initial_error, std::uint64_t max_iter);
    // Records the error of the iteration just run and says what to do.
    Verdict record(std::uint64_t error);
    std::uint64_t best_error() const { return best_error_; }
    // Iterations run so far, counting a final one that did not improve.
    std::uint64_t iterations() const { return iterations_; }

private:
    std::uint64_t best_error_;
    std::uint64_t limit_;
    std::uint64_t iterations_ = 0;
};

}  // namespace bmf
