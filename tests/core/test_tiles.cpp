// TileState against a shadow model that keeps, per cell, the number of tiles
// covering it: the planes equal "count >= 1" and "count >= 2", every delta
// (and every single-bit flip of W and H) equals the shadow's change of
// error, error() equals a brute-force count
// after random sequences of add, remove and replace (with and without a
// mask, ranks 0 to 70 so that W's rows span two words), and the shape and
// index failures. Under costs the shadow weighs its false ones and false
// zeros by the whole matrix's weights, and every delta must equal its
// weighted change, infinite costs included; from below, removing tiles or
// keeping only delta-negative moves never makes a false one.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "bmf_core/search/tiles.hpp"
#include "boolmat/bitvec.hpp"
#include "boolmat/precondition.hpp"
#include "failure.hpp"
#include "matrices.hpp"

namespace bmf {
namespace {

using boolmat::BitMatrix;
using boolmat::BitVec;

struct ShadowTile {
    std::vector<bool> rows, cols;
};

// The cell-by-cell model: X, the observed cells, the tiles and the counts.
struct Shadow {
    Cells x, seen;
    std::vector<ShadowTile> tiles;
    Weights weights;

    std::vector<std::vector<int>> counts() const {
        std::vector<std::vector<int>> c(x.size(), std::vector<int>(x[0].size(), 0));
        for (const ShadowTile& t : tiles)
            for (std::size_t i = 0; i < x.size(); ++i)
                for (std::size_t j = 0; j < x[0].size(); ++j) c[i][j] += t.rows[i] && t.cols[j];
        return c;
    }
    // The observed false ones and false zeros.
    std::pair<std::int64_t, std::int64_t> wrong() const {
        const auto c = counts();
        std::int64_t ones = 0, zeros = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            for (std::size_t j = 0; j < x[0].size(); ++j) {
                ones += seen[i][j] && !x[i][j] && c[i][j] > 0;
                zeros += seen[i][j] && x[i][j] && c[i][j] == 0;
            }
        }
        return {ones, zeros};
    }
    std::int64_t error() const {
        const auto [ones, zeros] = wrong();
        return static_cast<std::int64_t>(weights.false_one) * ones +
               static_cast<std::int64_t>(weights.false_zero) * zeros;
    }
};

std::vector<bool> random_bits(std::mt19937_64& g, std::size_t n, unsigned percent_ones) {
    std::vector<bool> bits(n);
    for (std::size_t k = 0; k < n; ++k) bits[k] = g() % 100 < percent_ones;
    return bits;
}

BitVec packed(const std::vector<bool>& bits) {
    BitVec v = BitVec::zeros(bits.size());
    for (std::size_t k = 0; k < bits.size(); ++k) v.set(k, bits[k]);
    return v;
}

void expect_matches(const TileState& state, const Shadow& shadow) {
    const auto c = shadow.counts();
    ASSERT_EQ(state.rank(), shadow.tiles.size());
    for (std::size_t t = 0; t < state.rank(); ++t) {
        const boolmat::VecView rows = state.tile_rows(t), cols = state.tile_cols(t);
        for (std::size_t i = 0; i < shadow.x.size(); ++i)
            ASSERT_EQ(((rows.words[i / 64] >> (i % 64)) & 1) != 0, shadow.tiles[t].rows[i]);
        for (std::size_t j = 0; j < shadow.x[0].size(); ++j)
            ASSERT_EQ(((cols.words[j / 64] >> (j % 64)) & 1) != 0, shadow.tiles[t].cols[j]);
    }
    const boolmat::BitView once = state.once(), twice = state.twice();
    for (std::size_t i = 0; i < shadow.x.size(); ++i) {
        for (std::size_t j = 0; j < shadow.x[0].size(); ++j) {
            ASSERT_EQ(((once.row(i)[j / 64] >> (j % 64)) & 1) != 0, c[i][j] >= 1) << i << "," << j;
            ASSERT_EQ(((twice.row(i)[j / 64] >> (j % 64)) & 1) != 0, c[i][j] >= 2) << i << "," << j;
        }
        // Spare bits of the planes stay 0, so whole-word counts stay exact.
        ASSERT_EQ(once.row(i).back() & ~boolmat::row_mask(once.cols()), 0U);
        ASSERT_EQ(twice.row(i).back() & ~boolmat::row_mask(twice.cols()), 0U);
    }
    ASSERT_EQ(static_cast<std::int64_t>(state.error()), shadow.error());
    const auto [ones, zeros] = shadow.wrong();
    ASSERT_EQ(static_cast<std::int64_t>(state.false_ones()), ones);
    ASSERT_EQ(static_cast<std::int64_t>(state.false_zeros()), zeros);
}

// One random case: X, maybe a mask, W and H with r tiles, then a sequence of
// moves, each delta checked before it is applied and everything after.
void run_case(std::mt19937_64& g, std::size_t m, std::size_t n, std::size_t r, bool masked,
              const Costs& costs = {}) {
    const unsigned tile_rows_pct = 5 + static_cast<unsigned>(g() % 40);
    const unsigned tile_cols_pct = 5 + static_cast<unsigned>(g() % 40);
    const BitMatrix x = random_matrix(g, m, n, percent(static_cast<unsigned>(g() % 101)));
    const BitMatrix mask = masked ? random_matrix(g, m, n, percent(70)) : BitMatrix::ones(m, n);
    Shadow shadow{cells_of(x), cells_of(mask), {}, costs.weights(m * n)};
    BitMatrix w = BitMatrix::zeros(m, r == 0 ? 1 : r);
    BitMatrix h = BitMatrix::zeros(r == 0 ? 1 : r, n);
    for (std::size_t t = 0; t < r; ++t) {
        ShadowTile tile{random_bits(g, m, tile_rows_pct), random_bits(g, n, tile_cols_pct)};
        for (std::size_t i = 0; i < m; ++i) w.set(i, t, tile.rows[i]);
        for (std::size_t j = 0; j < n; ++j) h.set(t, j, tile.cols[j]);
        shadow.tiles.push_back(tile);
    }
    // A rank of 0 is a view of no columns over the same words.
    const boolmat::BitView wv{w.words().data(), m, r, w.stride()};
    const boolmat::BitView hv{h.words().data(), r, n, h.stride()};
    TileState state = masked ? TileState(x.view(), mask.view(), wv, hv, costs)
                             : TileState(x.view(), wv, hv, costs);
    ASSERT_EQ(state.weights(), shadow.weights);
    expect_matches(state, shadow);

    for (int move = 0; move < 12; ++move) {
        const std::int64_t before = shadow.error();
        // Every single-bit flip of W and H of one tile, against the shadow.
        if (state.rank() > 0) {
            const std::size_t t = g() % state.rank();
            for (std::size_t i = 0; i < m; ++i) {
                shadow.tiles[t].rows[i] = !shadow.tiles[t].rows[i];
                const std::int64_t after = shadow.error();
                shadow.tiles[t].rows[i] = !shadow.tiles[t].rows[i];
                ASSERT_EQ(state.delta_flip_w(i, t), after - before) << i << "," << t;
            }
            for (std::size_t j = 0; j < n; ++j) {
                shadow.tiles[t].cols[j] = !shadow.tiles[t].cols[j];
                const std::int64_t after = shadow.error();
                shadow.tiles[t].cols[j] = !shadow.tiles[t].cols[j];
                ASSERT_EQ(state.delta_flip_h(t, j), after - before) << t << "," << j;
            }
        }
        const unsigned kind = state.rank() == 0 ? 0 : static_cast<unsigned>(g() % 3);
        // Sometimes the candidate is an existing tile, so that it covers
        // nothing new and ties are exercised.
        ShadowTile tile{random_bits(g, m, tile_rows_pct), random_bits(g, n, tile_cols_pct)};
        if (state.rank() > 0 && g() % 5 == 0) tile = shadow.tiles[g() % state.rank()];
        const BitVec rows = packed(tile.rows), cols = packed(tile.cols);
        if (kind == 0) {
            const std::int64_t delta = state.delta_add(rows, cols);
            shadow.tiles.push_back(tile);
            ASSERT_EQ(delta, shadow.error() - before);
            ASSERT_EQ(state.add(rows, cols), static_cast<std::uint64_t>(shadow.error()));
        } else if (kind == 1) {
            const std::size_t t = g() % state.rank();
            const std::int64_t delta = state.delta_remove(t);
            shadow.tiles.erase(shadow.tiles.begin() + static_cast<std::ptrdiff_t>(t));
            ASSERT_EQ(delta, shadow.error() - before);
            ASSERT_EQ(state.remove(t), static_cast<std::uint64_t>(shadow.error()));
        } else {
            const std::size_t t = g() % state.rank();
            const std::int64_t delta = state.delta_replace(t, rows, cols);
            shadow.tiles[t] = tile;
            ASSERT_EQ(delta, shadow.error() - before);
            ASSERT_EQ(state.replace(t, rows, cols), static_cast<std::uint64_t>(shadow.error()));
        }
        expect_matches(state, shadow);
    }
}

TEST(TileState, DeltasAndPlanesMatchTheShadowAcrossWordBoundaries) {
    std::mt19937_64 g(23);
    const std::size_t sizes[] = {1, 2, 63, 64, 65, 129};
    for (const bool masked : {false, true}) {
        for (const std::size_t n : sizes) {
            for (const std::size_t r : {std::size_t{0}, std::size_t{1}, std::size_t{5},
                                        std::size_t{64}, std::size_t{70}}) {
                const std::size_t m = 1 + g() % 70;
                SCOPED_TRACE(testing::Message()
                             << "m=" << m << " n=" << n << " r=" << r << " masked=" << masked);
                run_case(g, m, n, r, masked);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST(TileState, RandomSmallCasesMatchTheShadow) {
    std::mt19937_64 g(2023);
    for (int trial = 0; trial < 150; ++trial) {
        const std::size_t m = 1 + g() % 20, n = 1 + g() % 20, r = g() % 71;
        const bool masked = trial % 2 == 1;
        SCOPED_TRACE(testing::Message() << "trial " << trial << " m=" << m << " n=" << n
                                        << " r=" << r << " masked=" << masked);
        run_case(g, m, n, r, masked);
        if (HasFatalFailure()) return;
    }
}

// Finite costs, 0 on either side, the largest finite cost and infinite
// costs (each against 1 and against 0), masked and not; some masks leave
// whole rows unobserved.
TEST(TileState, WeightedDeltasMatchTheShadowForEveryKindOfCost) {
    const std::uint64_t inf = kInfiniteCost;
    const std::pair<std::uint64_t, std::uint64_t> pairs[] = {
        {0, 1},        {1, 0},   {1, 4},   {3, 2},   {kMaxCost, 1},
        {1, kMaxCost}, {inf, 1}, {1, inf}, {inf, 0}, {0, inf}};
    std::mt19937_64 g(424242);
    for (const auto& [one, zero] : pairs) {
        const Costs costs = *Costs::of(one, zero);
        for (int trial = 0; trial < 24; ++trial) {
            const std::size_t m = 1 + g() % 20, n = 1 + (trial % 4 == 0 ? 64 : g() % 20);
            const std::size_t r = g() % 9;
            const bool masked = trial % 2 == 1;
            SCOPED_TRACE(testing::Message() << "costs " << one << "," << zero << " trial " << trial
                                            << " m=" << m << " n=" << n << " r=" << r);
            run_case(g, m, n, r, masked, costs);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(TileState, InfiniteCostsOutweighEveryErrorOfTheOtherKind) {
    // X 2 x 3 with ones on row 0: a tile over the whole of X makes 3 false
    // ones and ends 3 false zeros.
    BitMatrix x = BitMatrix::zeros(2, 3);
    for (std::size_t j = 0; j < 3; ++j) x.set(0, j, true);
    const BitMatrix w = BitMatrix::zeros(2, 1), h = BitMatrix::zeros(1, 3);
    const BitVec all_rows = packed({true, true}), all_cols = packed({true, true, true});
    const BitVec top = packed({true, false});

    TileState below(x.view(), w.view(), h.view(), Costs::from_below());
    EXPECT_EQ(below.weights(), (Weights{7, 1}));  // 2 x 3 cells + 1
    EXPECT_EQ(below.error(), 3U);
    EXPECT_EQ(below.delta_add(all_rows, all_cols), 3 * 7 - 3);
    EXPECT_EQ(below.delta_add(top, all_cols), -3);
    // Adding the whole then dropping row 1 ends the false ones at once.
    EXPECT_EQ(below.add(all_rows, all_cols), 21U);
    EXPECT_EQ(below.false_ones(), 3U);
    EXPECT_EQ(below.delta_flip_w(1, 1), -21);
    EXPECT_EQ(below.replace(1, top, all_cols), 0U);

    // False zeros infinite: covering one more 1 beats any false ones.
    TileState above(x.view(), w.view(), h.view(), *Costs::of(1, kInfiniteCost));
    EXPECT_EQ(above.error(), 3U * 7U);
    EXPECT_EQ(above.delta_add(all_rows, all_cols), 3 - 3 * 7);
    EXPECT_LT(above.delta_add(all_rows, all_cols),
              above.delta_add(top, packed({true, true, false})));

    // Unit costs are the plain counts, a mask counting only observed cells.
    const BitMatrix seen = BitMatrix::ones(2, 3);
    TileState plain(x.view(), seen.view(), w.view(), h.view(), Costs{});
    EXPECT_EQ(plain.delta_add(all_rows, all_cols), 0);
}

TEST(TileState, FromBelowTheBestDeltasNeverMakeAFalseOne) {
    // Greedy: add the candidate of least delta while it is negative. From
    // below no such candidate covers a 0 of X, whatever the candidates.
    std::mt19937_64 g(99);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t m = 2 + g() % 30, n = 2 + g() % 30;
        const BitMatrix x = random_matrix(g, m, n, percent(60));
        const BitMatrix w = BitMatrix::zeros(m, 1), h = BitMatrix::zeros(1, n);
        TileState state(x.view(), w.view(), h.view(), Costs::from_below());
        for (int step = 0; step < 8; ++step) {
            std::optional<std::pair<std::int64_t, std::pair<BitVec, BitVec>>> best;
            for (int c = 0; c < 20; ++c) {
                BitVec rows = packed(random_bits(g, m, 30)), cols = packed(random_bits(g, n, 30));
                const std::int64_t d = state.delta_add(rows, cols);
                if (!best || d < best->first) best = {d, {std::move(rows), std::move(cols)}};
            }
            if (best->first >= 0) break;
            state.add(best->second.first, best->second.second);
            ASSERT_EQ(state.false_ones(), 0U) << trial << "," << step;
        }
    }
}

TEST(TileState, RemovingADuplicateTileChangesNothingUntilTheLastCopy) {
    // Two copies of one tile: removing either covers the same cells, so the
    // delta is 0 and the twice plane must be rebuilt from the other copy.
    const BitMatrix x = BitMatrix::ones(3, 4);
    BitMatrix w = BitMatrix::zeros(3, 2), h = BitMatrix::zeros(2, 4);
    for (std::size_t t = 0; t < 2; ++t) {
        w.set(0, t, true);
        w.set(2, t, true);
        h.set(t, 1, true);
        h.set(t, 3, true);
    }
    TileState state(x.view(), w.view(), h.view());
    EXPECT_EQ(state.error(), 8U);
    EXPECT_EQ(state.delta_remove(0), 0);
    EXPECT_EQ(state.remove(0), 8U);
    EXPECT_EQ(count_ones(state.twice()), 0U);
    EXPECT_EQ(state.delta_remove(0), 4);
    EXPECT_EQ(state.remove(0), 12U);
    EXPECT_EQ(count_ones(state.once()), 0U);
}

TEST(TileState, ShapeAndIndexFailures) {
    const BitMatrix x = BitMatrix::zeros(3, 5), w = BitMatrix::zeros(3, 2);
    const BitMatrix h = BitMatrix::zeros(2, 5);
    EXPECT_EQ(failure_of([&] { TileState(x.view(), BitMatrix::zeros(2, 2).view(), h.view()); }),
              "W a 2 lignes, X en a 3");
    EXPECT_EQ(failure_of([&] { TileState(x.view(), w.view(), BitMatrix::zeros(2, 4).view()); }),
              "H a 4 colonnes, X en a 5");
    EXPECT_EQ(failure_of([&] { TileState(x.view(), w.view(), BitMatrix::zeros(3, 5).view()); }),
              "W a 2 colonnes, H a 3 lignes");
    EXPECT_EQ(
        failure_of([&] { TileState(x.view(), BitMatrix::zeros(3, 4).view(), w.view(), h.view()); }),
        "le masque a 3x4 cellules, X 3x5");
    EXPECT_EQ(
        failure_of([&] { TileState(boolmat::BitView(), boolmat::BitView(), boolmat::BitView()); }),
        "X n'a aucune cellule");

    TileState state(x.view(), w.view(), h.view());
    const BitVec rows = BitVec::zeros(3), cols = BitVec::zeros(5);
    const BitVec short_rows = BitVec::zeros(2), short_cols = BitVec::zeros(6);
    EXPECT_EQ(failure_of([&] { state.delta_remove(2); }), "tuile 2 hors limites (rang = 2)");
    EXPECT_EQ(failure_of([&] { state.remove(2); }), "tuile 2 hors limites (rang = 2)");
    EXPECT_EQ(failure_of([&] { state.delta_replace(7, rows, cols); }),
              "tuile 7 hors limites (rang = 2)");
    EXPECT_EQ(failure_of([&] { state.add(short_rows, cols); }),
              "l'ensemble de lignes a 2 bits, X a 3 lignes");
    EXPECT_EQ(failure_of([&] { state.delta_add(rows, short_cols); }),
              "l'ensemble de colonnes a 6 bits, X a 5 colonnes");
    EXPECT_EQ(failure_of([&] { state.replace(0, rows, short_cols); }),
              "l'ensemble de colonnes a 6 bits, X a 5 colonnes");
    EXPECT_EQ(failure_of([&] { state.delta_flip_w(0, 2); }), "tuile 2 hors limites (rang = 2)");
    EXPECT_EQ(failure_of([&] { state.delta_flip_w(3, 0); }), "ligne 3 hors limites (lignes = 3)");
    EXPECT_EQ(failure_of([&] { state.delta_flip_h(1, 5); }),
              "colonne 5 hors limites (colonnes = 5)");
    BitVec wide_rows = BitVec::zeros(3);
    wide_rows.words_mut()[0] = 0b1001;  // bit 3 is a spare bit of 3 rows
    EXPECT_EQ(failure_of([&] { state.add(wide_rows, cols); }),
              "bits de réserve non nuls dans la tuile candidate");
    // A failed call changes nothing.
    EXPECT_EQ(state.rank(), 2U);
    EXPECT_EQ(state.error(), 0U);
}

TEST(TileState, CostsRefuseXTooLargeForSixtyFourBits) {
    // Views of 2^16 x 2^15 cells over one row of words (stride 0): the check
    // comes before any plane is allocated.
    const std::vector<boolmat::Word> words(512, 0);
    const boolmat::BitView x(words.data(), 1U << 16, 1U << 15, 0);
    const boolmat::BitView w(words.data(), 1U << 16, 1, 0);
    const boolmat::BitView h(words.data(), 1, 1U << 15, 512);
    EXPECT_EQ(failure_of([&] { TileState(x, w, h, Costs::from_below()); }),
              "X a 65536x32768 cellules : avec un cout infini il en faut moins de 2^31");
    EXPECT_EQ(failure_of([&] { TileState(x, x, w, h, *Costs::of(1, kInfiniteCost)); }),
              "X a 65536x32768 cellules : avec un cout infini il en faut moins de 2^31");
    EXPECT_EQ(failure_of([] {
                  check_weighted_cells(std::size_t{1} << 20, std::size_t{1} << 19,
                                       *Costs::of(1, 4));
              }),
              "X a 1048576x524288 cellules : avec ces couts il en faut moins de 2^39");
    EXPECT_EQ(failure_of([] {
                  check_weighted_cells(~std::size_t{0}, ~std::size_t{0}, Costs::from_below());
              }),
              boolmat::cat("X a ", ~std::size_t{0}, "x", ~std::size_t{0},
                           " cellules : avec un cout infini il en faut moins de 2^31"));
    // Just below the limits, and any size at unit costs.
    EXPECT_EQ(failure_of([] {
                  check_weighted_cells(std::size_t{1} << 16, (std::size_t{1} << 15) - 1,
                                       Costs::from_below());
              }),
              "<no failure>");
    EXPECT_EQ(failure_of([] {
                  check_weighted_cells(std::size_t{1} << 20, (std::size_t{1} << 19) - 1,
                                       *Costs::of(1, 4));
              }),
              "<no failure>");
    EXPECT_EQ(failure_of([] { check_weighted_cells(~std::size_t{0}, ~std::size_t{0}, Costs{}); }),
              "<no failure>");
}

}  // namespace
}  // namespace bmf
