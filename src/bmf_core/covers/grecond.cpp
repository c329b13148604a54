#include "bmf_core/covers/grecond.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"
#include "boolmat/precondition.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::kWordBits;
using boolmat::Word;

bool has_bit(const std::vector<Word>& set, std::size_t j) {
    return (set[j / kWordBits] >> (j % kWordBits)) & 1;
}

void add_bit(std::vector<Word>& set, std::size_t j) {
    set[j / kWordBits] |= Word{1} << (j % kWordBits);
}

// One growth step's working sets, reused from candidate to candidate.
struct Concept {
    std::vector<Word> extent;          // rows, m bits
    std::vector<Word> intent;          // columns, n bits
    std::vector<std::size_t> nonzero;  // indices of the extent's non-zero words
    std::uint64_t value = 0;           // uncovered ones inside extent x intent
};

// Columns tested for the intent between two polls of the caller's Cancel.
constexpr std::size_t kColumnsPerPoll = 4096;

// The extent of `base` AND column j in `out`, with its non-zero words;
// returns whether it has a row.
bool extent_with(const Concept& base, std::size_t j, const BitMatrix& cols, Concept& out) {
    const Word* const col_j = cols.words().data() + j * cols.stride();
    out.nonzero.clear();
    for (std::size_t w = 0; w < base.extent.size(); ++w) {
        out.extent[w] = base.extent[w] & col_j[w];
        if (out.extent[w] != 0) out.nonzero.push_back(w);
    }
    return !out.nonzero.empty();
}

// The closure of the non-empty extent in `out`, grown from `base` by column
// j, and its value, in `out`. Its intent is every column holding each row
// of the extent (base's intent and j among them), so the closure and its
// value depend on the extent alone. Columns already in base's intent hold
// every row of its extent, so only the others are tested; a test stops at
// the first word with a row the column lacks.
void close_extent(const Concept& base, std::size_t j, const BitMatrix& cols,
                  const BitMatrix& uncovered, const boolmat::detail::PopcountKernels& count,
                  Cancel cancel, Concept& out) {
    const Word* const c0 = cols.words().data();
    const std::size_t stride = cols.stride();
    const std::size_t n = cols.rows();
    out.intent = base.intent;
    add_bit(out.intent, j);
    for (std::size_t c = 0; c < n; ++c) {
        if (c % kColumnsPerPoll == 0) cancel.check();
        if (has_bit(out.intent, c)) continue;
        const Word* const col = c0 + c * stride;
        bool holds = true;
        for (const std::size_t w : out.nonzero) {
            if (out.extent[w] & ~col[w]) {
                holds = false;
                break;
            }
        }
        if (holds) add_bit(out.intent, c);
    }

    // |extent ∩ U_c| = |extent| - |extent ∖ U_c|, over the words from the
    // first to the last non-zero one of the extent.
    const Word* const u0 = uncovered.words().data();
    const std::size_t lo = out.nonzero.front(), span = out.nonzero.back() + 1 - lo;
    const std::uint64_t size = count.popcount(out.extent.data() + lo, span);
    std::uint64_t value = 0;
    for (std::size_t iw = 0; iw < out.intent.size(); ++iw) {
        for (Word bits = out.intent[iw]; bits != 0; bits &= bits - 1) {
            const std::size_t c = iw * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
            value +=
                size - count.andnot_popcount(out.extent.data() + lo, u0 + c * stride + lo, span);
        }
    }
    out.value = value;
}

}  // namespace

CoverResult grecond(boolmat::BitView x, std::size_t k, const Kernels& kernels, Cancel cancel) {
    if (k == 0) boolmat::fail(boolmat::FailKind::Value, "k doit valoir au moins 1");
    const std::size_t m = x.rows();
    const std::size_t n = x.cols();
    const std::size_t mw = boolmat::words_for(m);
    const std::size_t nw = boolmat::words_for(n);

    // Column extents, and the ones of each column that no factor covers yet.
    const boolmat::Kernels& bits = *kernels.bits;
    const BitMatrix cols = boolmat::transpose(x, bits);
    BitMatrix uncovered = cols;
    std::uint64_t remaining = boolmat::count_ones(x, bits);

    BitMatrix wt = BitMatrix::zeros(k, m);
    BitMatrix h = BitMatrix::zeros(k, n);
    CoverResult result{BitMatrix::zeros(1, 1), BitMatrix::zeros(1, 1), {}, remaining};

    std::vector<Word> all_rows(mw, ~Word{0});
    all_rows[mw - 1] = boolmat::row_mask(m);
    Concept current{{}, std::vector<Word>(nw, 0), {}, 0};
    Concept trial{std::vector<Word>(mw), std::vector<Word>(nw), {}, 0};
    Concept best = trial;
    // The extent last closed in this growth step.
    std::vector<Word> last(mw);

    for (std::size_t l = 0; l < k && remaining > 0; ++l) {
        current.extent = all_rows;
        std::fill(current.intent.begin(), current.intent.end(), Word{0});
        current.value = 0;
        for (;;) {
            bool grown = false, closed = false;
            for (std::size_t j = 0; j < n; ++j) {
                if (has_bit(current.intent, j)) continue;
                cancel.check();
                // An empty extent is worth 0, which never wins.
                if (!extent_with(current, j, cols, trial)) continue;
                // The extent of the last candidate closed again: the same
                // closure and value, which did not win then or lost since,
                // and a tie never wins. On a matrix of few distinct columns
                // this spares most closures (each a test of every column).
                if (closed && trial.extent == last) continue;
                close_extent(current, j, cols, uncovered, *bits.popcount, cancel, trial);
                last = trial.extent;
                closed = true;
                // Strictly more only: the lowest column wins a tie.
                if (trial.value > (grown ? best.value : current.value)) {
                    std::swap(best, trial);
                    grown = true;
                }
            }
            if (!grown) break;
            std::swap(current, best);
        }
        // Some column still has an uncovered one, and the first step finds it.
        if (current.value == 0) boolmat::fail("GreConD : aucun facteur ne couvre de 1");

        wt.set_row(l, current.extent);
        h.set_row(l, current.intent);
        Word* const u0 = uncovered.words_mut().data();
        for (std::size_t iw = 0; iw < nw; ++iw) {
            for (Word bits = current.intent[iw]; bits != 0; bits &= bits - 1) {
                const std::size_t c =
                    iw * kWordBits + static_cast<std::size_t>(std::countr_zero(bits));
                boolmat::kernels::andnot_words(u0 + c * uncovered.stride(), current.extent.data(),
                                               mw);
            }
        }
        remaining -= current.value;
        result.errors.push_back(remaining);
    }
    result.w = boolmat::transpose(wt, bits);
    result.h = std::move(h);
    result.error = remaining;
    return result;
}

}  // namespace bmf
