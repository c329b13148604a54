#include "bmf_core/table/detail/zeta_solve.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <type_traits>

#include "bmf_core/kernels.hpp"
#include "bmf_core/table/detail/zeta.hpp"
#include "boolmat/detail/bits.hpp"
#include "boolmat/detail/popcount.hpp"
#include "boolmat/kernels.hpp"

namespace bmf::detail {

using boolmat::Word;
using boolmat::detail::for_each_set_bit;

namespace {

// Counts never exceed the number of x's set rows, so below this many the
// table of ζS can use 16-bit counters.
constexpr std::uint64_t kNarrowLimit = std::uint64_t{1} << 16;

// How a solve locates its minimum: the unweighted kernels (2 ζS - ζC, then
// a scan for its largest t), or their weighted twins (alpha ζS - beta ζC)
// in 32- or 64-bit lanes, which locate it as they finish. The unweighted
// scan runs only when wanted(minimum) holds (index 0 otherwise).
struct UnitScan {
    using Value = std::int32_t;
    template <class Count, class Wanted>
    ZetaMinimum<Value> locate(const ZetaWidthKernels<Count>& k, Count* s, const std::uint32_t* c,
                              unsigned bits, unsigned low, Wanted&& wanted) const {
        const Value value = k.finish_and_find_minimum(s, c, bits, low);
        if (!wanted(value)) return {value, 0};
        return {value, k.last_index_of(s, c, std::size_t{1} << bits, value)};
    }
};

struct Weighted32Scan {
    using Value = std::int32_t;
    ZetaCombine combine;
    template <class Count, class Wanted>
    ZetaMinimum<Value> locate(const ZetaWidthKernels<Count>& k, Count* s, const std::uint32_t* c,
                              unsigned bits, unsigned low, Wanted&&) const {
        return k.finish_and_locate_weighted_minimum(s, c, bits, low, combine);
    }
};

struct Weighted64Scan {
    using Value = std::int64_t;
    ZetaCombine combine;
    template <class Count, class Wanted>
    ZetaMinimum<Value> locate(const ZetaWidthKernels<Count>& k, Count* s, const std::uint32_t* c,
                              unsigned bits, unsigned low, Wanted&&) const {
        return k.finish_and_locate_weighted_minimum_64(s, c, bits, low, combine);
    }
};

// The smallest value of the scan's combination and the largest t reaching it.
template <class Value>
struct Best {
    Value value;
    std::size_t index;
};

// The error at the located minimum: w.false_one (m - ones(x)) + value when
// the scan combined (a + b) ζS - a ζC itself. A scan may instead combine
// other weights that order every t the same way (see with_weighted_scan);
// then ζS[t] = (value + beta ζC[t]) / alpha is recovered first. All in
// 64 bits modulo 2^64: the error itself fits.
struct ErrorOf {
    Weights w;
    ZetaCombine combine;
    bool substituted = false;

    std::uint64_t operator()(const ZetaInput& table, std::int64_t value, std::size_t t,
                             std::uint64_t ones_x) const {
        const std::uint64_t rest = w.false_one * (table.m - ones_x);
        if (!substituted) return rest + static_cast<std::uint64_t>(value);
        const std::uint64_t c = table.subset_counts[t];
        const auto s =
            static_cast<std::uint64_t>((value + static_cast<std::int64_t>(combine.beta * c)) /
                                       static_cast<std::int64_t>(combine.alpha));
        return rest + (w.false_one + w.false_zero) * s - w.false_one * c;
    }
};

template <class Value>
Solution finish(const ZetaInput& table, Best<Value> best, std::uint64_t ones_x,
                const ErrorOf& error) {
    const std::uint64_t all = (std::uint64_t{1} << table.r) - 1;
    return {all ^ best.index, error(table, best.value, best.index, ones_x)};
}

template <class Count>
const ZetaWidthKernels<Count>& kernels_of(const ZetaInput& table) {
    return table.kernels->zeta->width<Count>();
}

// Transforms the whole table s of 2^r entries, already counted, and finds
// its best entry.
template <class Count, class Scan>
Best<typename Scan::Value> finish_table(Count* s, const ZetaInput& table, const Scan& scan) {
    const ZetaWidthKernels<Count>& k = kernels_of<Count>(table);
    const unsigned r = table.r;
    const unsigned sub_bits = std::min(r, kL1BlockBits);
    const std::size_t size = std::size_t{1} << r;
    for (std::size_t base = 0; base < size; base += std::size_t{1} << sub_bits)
        k.transform_low(s + base, sub_bits);
    const auto found =
        scan.locate(k, s, table.subset_counts.data(), r, sub_bits, [](auto) { return true; });
    return {found.value, found.index};
}

// A table that fits in one block, counted directly (in L2).
template <class Count, class Scan>
Best<typename Scan::Value> solve_whole(const ZetaInput& table, std::span<const Word> x, Count* s,
                                       const Scan& scan) {
    const std::size_t size = std::size_t{1} << table.r;
    std::fill(s, s + size, Count{0});
    kernels_of<Count>(table).count_rows(s, table.r, x.data(), x.size(), table.row_patterns.data());
    return finish_table(s, table, scan);
}

// Where x's set rows go when the count table is cut into blocks: their patterns
// sorted by sub-block (pattern >> sub_bits), each kept as its offset in the
// sub-block, so that counting hits L1.
struct Buckets {
    unsigned sub_bits;
    const std::vector<std::uint32_t>& starts;  // by sub-block, plus the end
    const std::vector<std::uint32_t>& offsets;
};

// Blocks of 2^block_bits entries, one after the other: each gathers the
// rows whose high pattern bits are contained in the block's, in L1-sized
// sub-blocks, and is transformed and scanned against its part of ζC.
template <class Count, class Scan>
Best<typename Scan::Value> solve_blocks(const ZetaInput& table, const Buckets& b,
                                        unsigned block_bits, Count* s, const Scan& scan) {
    const ZetaWidthKernels<Count>& k = kernels_of<Count>(table);
    const unsigned high_bits = table.r - block_bits;
    const unsigned per_block = block_bits - b.sub_bits;
    const std::size_t block_size = std::size_t{1} << block_bits;
    const std::size_t sub_size = std::size_t{1} << b.sub_bits;
    const std::uint32_t* sums = table.subset_counts.data();
    Best<typename Scan::Value> best{0, 0};
    for (std::size_t hi = 0; hi < (std::size_t{1} << high_bits); ++hi) {
        for (std::size_t sb = 0; sb < (std::size_t{1} << per_block); ++sb) {
            Count* part = s + sb * sub_size;
            std::fill(part, part + sub_size, Count{0});
            for (std::size_t sub = hi;; sub = (sub - 1) & hi) {
                const std::size_t key = (sub << per_block) | sb;
                k.count_values(part, b.sub_bits, b.offsets.data() + b.starts[key],
                               b.starts[key + 1] - b.starts[key]);
                if (sub == 0) break;
            }
            k.transform_low(part, b.sub_bits);
        }
        const std::uint32_t* c = sums + hi * block_size;
        // Blocks come in increasing order, so a tie goes to the later one.
        const auto later = [&](auto value) { return hi == 0 || value <= best.value; };
        const auto found = scan.locate(k, s, c, block_bits, b.sub_bits, later);
        if (later(found.value)) best = {found.value, hi * block_size + found.index};
    }
    return best;
}

template <class Scan>
Solution solve_with(const ZetaInput& table, std::span<const Word> x, ZetaScratch& scratch,
                    unsigned max_block_bits, const Scan& scan, const ErrorOf& error_of) {
    const unsigned r = table.r;
    const std::uint64_t ones_x = table.kernels->bits->popcount->popcount(x.data(), x.size());
    const bool narrow = ones_x < kNarrowLimit;
    // A sub-block spans the bits done by counting and those inside a vector.
    max_block_bits = std::max(max_block_bits, 4u);

    if (r <= max_block_bits) {
        const std::size_t size = std::size_t{1} << r;
        const auto best = narrow
                              ? solve_whole(table, x, scratch.block.get<std::uint16_t>(size), scan)
                              : solve_whole(table, x, scratch.block.get<std::uint32_t>(size), scan);
        return finish(table, best, ones_x, error_of);
    }

    const unsigned sub_bits = std::min({r, kL1BlockBits, max_block_bits});
    const std::uint64_t* patterns = table.row_patterns.data();
    const std::size_t keys = std::size_t{1} << (r - sub_bits);
    std::vector<std::uint32_t>& starts = scratch.starts;
    starts.assign(keys + 1, 0);
    for_each_set_bit(x.data(), x.size(),
                     [&](std::size_t i) { ++starts[(patterns[i] >> sub_bits) + 1]; });

    // Blocks of 2^max_block_bits entries, unless the rows would reach more
    // block entries than the count table has; then it is one block.
    unsigned block_bits = max_block_bits;
    {
        const unsigned high_bits = r - block_bits;
        const unsigned per_block = block_bits - sub_bits;
        std::uint64_t reach = 0;
        for (std::size_t key = 0; key < keys; ++key) {
            const std::size_t hi = key >> per_block;
            reach += std::uint64_t{starts[key + 1]} << (high_bits - std::popcount(hi));
        }
        if (reach > (std::uint64_t{1} << r)) block_bits = r;
    }

    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    std::vector<std::uint32_t>& offsets = scratch.offsets;
    std::vector<std::uint32_t>& next = scratch.next;
    offsets.resize(ones_x);
    next.assign(starts.begin(), starts.end() - 1);
    const std::uint32_t offset_mask = (std::uint32_t{1} << sub_bits) - 1;
    for_each_set_bit(x.data(), x.size(), [&](std::size_t i) {
        const auto p = static_cast<std::uint32_t>(patterns[i]);
        offsets[next[p >> sub_bits]++] = p & offset_mask;
    });

    const Buckets buckets{sub_bits, starts, offsets};
    const std::size_t block_size = std::size_t{1} << block_bits;
    const auto best = narrow ? solve_blocks(table, buckets, block_bits,
                                            scratch.block.get<std::uint16_t>(block_size), scan)
                             : solve_blocks(table, buckets, block_bits,
                                            scratch.block.get<std::uint32_t>(block_size), scan);
    return finish(table, best, ones_x, error_of);
}

template <class Scan>
Solution solve_grouped_with(const ZetaInput& table, const PatternGroups& groups,
                            std::span<const Word> x_in_order, ZetaScratch& scratch,
                            const Scan& scan, const ErrorOf& error_of) {
    const std::uint64_t ones_x =
        table.kernels->bits->popcount->popcount(x_in_order.data(), x_in_order.size());
    const std::size_t size = std::size_t{1} << table.r;
    const auto solve = [&](auto* s) {
        std::fill(s, s + size, 0);
        kernels_of<std::remove_pointer_t<decltype(s)>>(table).count_groups(
            s, table.r, x_in_order.data(), x_in_order.size(), groups.patterns.data(),
            groups.ends.data(), groups.patterns.size());
        return finish_table(s, table, scan);
    };
    const auto best = ones_x < kNarrowLimit ? solve(scratch.block.get<std::uint16_t>(size))
                                            : solve(scratch.block.get<std::uint32_t>(size));
    return finish(table, best, ones_x, error_of);
}

// Calls f(scan, error_of) with the weighted scan of `w` for x (ones_x set
// rows) against `table`. The values (a + b) ζS - a ζC lie in [-a m, b m]:
// 32-bit lanes when max(a, b) m < 2^31. Otherwise, when one kind of error
// outweighs every error of the other kind the vector can make (b ones(x) <
// a, or a (m - ones(x)) < b), the order of the t is lexicographic (on
// ζS - ζC then ζS, or the reverse) and the smallest weights giving it,
// (ones(x) + 2, ones(x) + 1) or (m - ones(x) + 2, 1), often fit 32-bit
// lanes. 64-bit lanes otherwise.
template <class F>
Solution with_weighted_scan(const ZetaInput& table, const Weights& w, std::uint64_t ones_x, F&& f) {
    const std::uint64_t a = w.false_one, b = w.false_zero, m = table.m;
    const auto fits = [&](std::uint64_t weight) {
        return m == 0 || weight < (std::uint64_t{1} << 31) / m;
    };
    const ZetaCombine combine{a + b, a};
    if (fits(std::max(a, b))) return f(Weighted32Scan{combine}, ErrorOf{w, combine});
    if (b * ones_x < a && fits(ones_x + 2)) {
        const ZetaCombine ordered{ones_x + 2, ones_x + 1};
        return f(Weighted32Scan{ordered}, ErrorOf{w, ordered, true});
    }
    if (a * (m - ones_x) < b && fits(m - ones_x + 2)) {
        const ZetaCombine ordered{m - ones_x + 2, 1};
        return f(Weighted32Scan{ordered}, ErrorOf{w, ordered, true});
    }
    return f(Weighted64Scan{combine}, ErrorOf{w, combine});
}

}  // namespace

PatternGroups PatternGroups::of(std::span<const std::uint64_t> row_patterns) {
    PatternGroups g;
    g.order.resize(row_patterns.size());
    std::iota(g.order.begin(), g.order.end(), std::size_t{0});
    std::stable_sort(g.order.begin(), g.order.end(), [&](std::size_t a, std::size_t b) {
        return row_patterns[a] < row_patterns[b];
    });
    for (std::size_t k = 0; k < g.order.size(); ++k) {
        const auto p = static_cast<std::uint32_t>(row_patterns[g.order[k]]);
        if (g.patterns.empty() || g.patterns.back() != p) {
            if (!g.patterns.empty()) g.ends.push_back(k);
            g.patterns.push_back(p);
        }
    }
    g.ends.push_back(g.order.size());
    return g;
}

Solution zeta_solve(const ZetaInput& table, std::span<const Word> x, ZetaScratch& scratch,
                    unsigned max_block_bits) {
    return solve_with(table, x, scratch, max_block_bits, UnitScan{}, ErrorOf{});
}

Solution zeta_solve_grouped(const ZetaInput& table, const PatternGroups& groups,
                            std::span<const Word> x_in_order, ZetaScratch& scratch) {
    return solve_grouped_with(table, groups, x_in_order, scratch, UnitScan{}, ErrorOf{});
}

Solution zeta_solve(const ZetaInput& table, std::span<const Word> x, ZetaScratch& scratch,
                    const Weights& w, unsigned max_block_bits) {
    const std::uint64_t ones_x = table.kernels->bits->popcount->popcount(x.data(), x.size());
    return with_weighted_scan(table, w, ones_x, [&](const auto& scan, const ErrorOf& error_of) {
        return solve_with(table, x, scratch, max_block_bits, scan, error_of);
    });
}

Solution zeta_solve_grouped(const ZetaInput& table, const PatternGroups& groups,
                            std::span<const Word> x_in_order, ZetaScratch& scratch,
                            const Weights& w) {
    const std::uint64_t ones_x =
        table.kernels->bits->popcount->popcount(x_in_order.data(), x_in_order.size());
    return with_weighted_scan(table, w, ones_x, [&](const auto& scan, const ErrorOf& error_of) {
        return solve_grouped_with(table, groups, x_in_order, scratch, scan, error_of);
    });
}

}  // namespace bmf::detail
