// A block of vectors as every half-step reads it: the rows of a packed view
// sorted into classes of equal rows, so that each class is solved once and
// its combination copied to its rows. Shared by the table, exact and wide
// families and by the alternating loop that builds the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "boolmat/view.hpp"

namespace bmf {

// The rows of a block of vectors in classes of equal rows.
struct RowClasses {
    std::vector<std::size_t> first;     // lowest row of each class, by class
    std::vector<std::uint64_t> size;    // rows in each class
    std::vector<std::size_t> class_of;  // class of each row

    // Hashes the rows and sorts them, comparing words only on equal hashes:
    // O(rows x words) for the hashes and O(rows log rows) comparisons.
    static RowClasses of(boolmat::BitView rows);
};

// A block of vectors prepared once and solved many times: the view (not
// owned), its classes of equal rows and, when the caller has it, a view of
// its transpose, which spares "zeta" half-steps one transposition each.
class VectorBlock {
public:
    // Groups the rows (RowClasses::of); copies no words.
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

// The shapes of a half-step over `rows` vectors of `bits` bits against a
// factor of m rows and r columns: fails unless bits is m ("les vecteurs ont
// {} bits, W a {} lignes"), then unless `out` is rows x r ("la sortie est
// {}x{}, il faut {}x{}").
void check_half_step_shapes(std::size_t rows, std::size_t bits, std::uint64_t m, std::uint64_t r,
                            boolmat::BitViewMut out);

}  // namespace bmf
