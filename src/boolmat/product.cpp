// Boolean product A∘B, row by row: row i of the result is the OR of B's rows
// j for the set cells (i, j) of A. O(ones(A) x stride(B)) word ORs; zero words
// of A are skipped, so sparse left factors cost little.
#include <bit>

#include "bitmatrix.hpp"
#include "kernels.hpp"
#include "precondition.hpp"

namespace boolmat {

namespace {

// Column of the first set cell of A at or beyond column `limit`, scanning rows
// in order; a.cols() when there is none.
std::size_t first_set_column_from(const BitMatrix& a, std::size_t limit) {
    if (limit >= a.cols()) return a.cols();
    const std::size_t first_word = word_of(limit);
    const Word first_mask = limit % kWordBits == 0 ? ~Word{0} : ~row_mask(limit);
    for (std::size_t i = 0; i < a.rows(); ++i) {
        const std::span<const Word> row = a.words().subspan(i * a.stride(), a.stride());
        for (std::size_t k = first_word; k < row.size(); ++k) {
            const Word bits = k == first_word ? row[k] & first_mask : row[k];
            if (bits != 0) return k * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
        }
    }
    return a.cols();
}

}  // namespace

void accumulate_into(const BitMatrix& a, const BitMatrix& b, std::span<Word> out) {
    const std::size_t b_stride = b.stride();
    // Both range conditions are checked before out is touched.
    if (a.rows() > out.size() / b_stride)
        fail(cat("tampon de ", out.size(), " mots trop court (", a.rows(), " lignes de ", b_stride,
                 " mots)"));
    if (const std::size_t j = first_set_column_from(a, b.rows()); j < a.cols())
        fail(cat("ligne ", j, " de B hors limites (rows = ", b.rows(), ")"));

    const Word* a_words = a.words().data();
    const Word* b_words = b.words().data();
    for (std::size_t i = 0; i < a.rows(); ++i)
        kernels::or_selected_rows(out.data() + i * b_stride, a_words + i * a.stride(), a.stride(),
                                  b_words, b_stride);
}

BitMatrix product(const BitMatrix& a, const BitMatrix& b) {
    assert_eq(a.cols(), b.rows(), [&] {
        return cat("dimensions incompatibles : A est ", a.rows(), "x", a.cols(), ", B est ",
                   b.rows(), "x", b.cols());
    });
    BitMatrix c = BitMatrix::zeros(a.rows(), b.cols());
    accumulate_into(a, b, c.words_mut());
    return c;
}

}  // namespace boolmat
