// The search beyond alternating refits: chains of moves over a solution,
// each move changing a few rank-one tiles (a column of W with the same row
// of H) and then polishing the whole solution with the fit's own exact
// refits (Polisher), which never makes it worse.
//
// A move picks k distinct tiles at random, k growing with the moves since
// the chain's last improvement (1, then 2, ... up to max_perturb; back to 1
// after an improvement), and replaces them:
//   re-solve  each tile in turn by a rank-one alternating fit against what
//             the other tiles leave uncovered, from a few starts at
//             uncovered ones of X (the row of the cell, or its column);
//   swap      each tile by the pool's tile that lowers the error most,
//             counted exactly from the coverage planes of a TileState;
//   re-seed   each tile by a random column of X (as rows) or row of X (as
//             columns).
// Then the k tiles are refitted together exactly (Polisher::refit_tiles)
// and the solution polished. The chain moves to the result when its error
// is not above the current one (so it walks plateaus), and keeps the best
// solution it has seen.
//
// Errors are those of the Polisher, weighted by its costs: swaps score the
// pool's tiles by the weighted deltas of a TileState under the same costs,
// and a move is kept when the weighted total does not grow. From below
// (false ones infinite) a polished start holds no false one, and a move
// whose result holds one is never kept: its error is above that of any
// solution without (and the chain checks it besides).
//
// Chains share a TilePool of distinct tiles taken from every polished
// solution. A chain reads the pool while it runs and keeps what it finds
// aside; hand_over adds that to a pool. A caller that runs chains side by
// side for a fixed number of moves each and then hands their tiles over in
// a fixed order gets the same results whatever the order in which the
// chains ran: a chain is deterministic for its seed, start, pool and moves.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bmf_core/cancel.hpp"
#include "bmf_core/search/polish.hpp"
#include "boolmat/view.hpp"
#include "boolmat/words.hpp"

namespace bmf {

// Distinct tiles (rows: m bits, columns: n bits), at most `capacity`; when
// full, the oldest make room. Tiles with no row or no column are not kept.
class TilePool {
public:
    // Fails with "capacité 0" for capacity 0 and "X n'a aucune cellule"
    // when m or n is 0.
    TilePool(std::size_t m, std::size_t n, std::size_t capacity);

    std::size_t size() const { return count_; }
    std::size_t capacity() const { return capacity_; }
    std::size_t rows() const { return m_; }
    std::size_t cols() const { return n_; }
    // Tile k (0 .. size() - 1, the oldest first); "tuile {} hors limites
    // (taille = {})" beyond.
    boolmat::VecView tile_rows(std::size_t k) const;
    boolmat::VecView tile_cols(std::size_t k) const;

    // Adds the tile unless it is in the pool or empty; returns whether it
    // was added. Fails as TileState::delta_add on the lengths and spare
    // bits. O(m/64 + n/64).
    bool add(boolmat::VecView rows, boolmat::VecView cols);
    // Adds every tile of W (m × r) and Hᵀ (n × r), in column order; "W est
    // {}x{}, il faut {}x{}" / "Hᵀ est {}x{}, il faut {}x{}" for other shapes.
    // O(r × (m + n)).
    void add_factors(boolmat::BitView w, boolmat::BitView ht);

private:
    std::size_t slot(std::size_t k) const { return (first_ + k) % capacity_; }

    std::size_t m_ = 0;
    std::size_t n_ = 0;
    std::size_t mw_ = 0;
    std::size_t nw_ = 0;
    std::size_t capacity_ = 0;
    std::size_t first_ = 0;  // slot of the oldest tile
    std::size_t count_ = 0;
    std::vector<boolmat::Word> rows_;    // capacity × mw words
    std::vector<boolmat::Word> cols_;    // capacity × nw words
    std::vector<std::uint64_t> hashes_;  // per slot
    std::unordered_set<std::uint64_t> known_;
};

enum class Move : std::uint8_t { Resolve, Swap, Reseed, Start };

// "re-solve", "swap", "re-seed", "start".
std::string_view move_name(Move move);

// The chain's best error fell to `error` at move `move` (1-based, counting
// every move the chain has run), by a move of `kind` over `tiles` tiles.
struct SearchEvent {
    std::uint64_t move = 0;
    std::uint64_t error = 0;
    Move kind = Move::Start;
    std::size_t tiles = 0;
};

struct ChainOptions {
    std::size_t max_perturb = 4;    // most tiles a move changes
    std::size_t patience = 8;       // moves without improvement per extra tile
    std::size_t polish_iters = 50;  // most iterations of a move's polish
    std::size_t starts = 2;         // rank-one starts per re-solved tile
    std::size_t rounds = 1;         // rounds of the exact refit of a move's tiles
    // How often each move is drawn, relative to the others (all 0: re-seed).
    std::size_t resolve_weight = 12;
    std::size_t swap_weight = 5;
    std::size_t reseed_weight = 3;
};

class SearchChain {
public:
    // A chain from `start` (its error must be right: Polisher::error_of),
    // which it polishes first, counting that as move 0. Keeps a reference
    // to `polisher`, which must outlive it, and works with its costs. Fails as Polisher::polish on
    // the shapes; rank 0 cannot occur (a BitMatrix has a column).
    SearchChain(const Polisher& polisher, Factors start, std::uint64_t seed,
                ChainOptions options = {}, const Cancel& cancel = {});

    // Runs up to `moves` moves, fewer when `deadline` passes (checked
    // before each move), and returns the improvements of the best solution
    // in order. Reads `pool` (built for X's shape: "le réservoir est {}x{},
    // X {}x{}" otherwise) and keeps the tiles of every polished solution for
    // hand_over. Throws Cancelled between moves and within a polish once
    // `cancel` is requested; the chain then holds the solutions it had
    // before the interrupted move. A move costs a polish plus O(k × (m + n)
    // × (r + 2^k)) word operations, a swap also a TileState over the
    // solution and O(pool × tile rows × n/64).
    std::vector<SearchEvent> run(
        std::size_t moves, const TilePool& pool, const Cancel& cancel = {},
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

    // Adds the tiles found since the last hand_over to `pool`, in the order
    // found, and forgets them. Fails on a pool of another shape as run.
    void hand_over(TilePool& pool);

    const Factors& best() const { return best_; }
    const Factors& current() const { return current_; }
    std::uint64_t moves() const { return moves_; }
    // Polish iterations run so far, the start's included.
    std::uint64_t polish_iterations() const { return polish_iterations_; }

private:
    using Word = boolmat::Word;
    Factors propose(Move kind, std::size_t k, const TilePool& pool, const Cancel& cancel);
    // Whether the chain moves to `candidate`: no worse than the current
    // solution, and from below without a false one.
    bool acceptable(const Factors& candidate) const;
    void resolve(Factors& f, std::size_t c);
    void swap_in(Factors& f, std::size_t begin, const TilePool& pool);
    void reseed(Factors& f, std::size_t c);
    // A random 1 of X that W∘H leaves at 0 (observed), or any random 1 of X
    // when there is none; nullopt when X has no observed 1.
    std::optional<std::pair<std::size_t, std::size_t>> uncovered_one(const Factors& f);
    void keep_tiles(const Factors& f);
    std::uint64_t draw(std::uint64_t bound);  // uniform in 0 .. bound - 1

    const Polisher* polisher_;
    ChainOptions options_;
    std::uint64_t state_;
    Factors current_;
    Factors best_;
    std::uint64_t moves_ = 0;
    std::uint64_t since_best_ = 0;
    std::uint64_t polish_iterations_ = 0;
    std::vector<Word> found_rows_;
    std::vector<Word> found_cols_;
    std::unordered_set<std::uint64_t> found_known_;
};

}  // namespace bmf
