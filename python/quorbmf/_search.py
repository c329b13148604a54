"""The search after the alternating runs: chains of moves over the best
fit, in the core (``_native.Search``).

Alternating refits stop at the first factor pair that neither half-step
improves. The search changes a few rank-one tiles of such a pair at a time
(re-solving them against what the others leave uncovered, swapping in a
tile from a pool collected from every polished solution, or re-seeding one
from a row or column of X), polishes the result with the fit's own
alternating refits and moves on when it is no worse. ``CHAINS`` chains
start from the best run, share the pool and run ``EPOCH`` moves at a time,
side by side on the fit's threads (GreConD's concepts are in the pool
from the start); their tiles go to the pool between
epochs in chain order, so the factors depend on the seed and the number of
moves only, never on ``n_jobs``, the block size or the machine. A time
limit is the one setting that makes them depend on the machine.

With costs (``(false_one, false_zero)``, None for an infinite cost, as
``_native`` takes them) every refit and move minimises the weighted error,
and the errors the search compares and returns are the weighted errors of
the whole matrix (a false one weighs m·n + 1 when its cost is infinite), so
the fits it starts from must carry that error too. From below (false ones
infinite) the chains keep no solution with a false one.

The search runs in this process on the whole of X: with the Dask backend
X is gathered to the client first (as the GreConD start does), and the
default search is skipped when X is too large to gather.
"""
from __future__ import annotations

import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple

from . import _native
from ._costs import NativeCosts
from ._fit import Fit
from ._plan import Step
from ._stoppable import call_stoppable
from .backends.base import Backend, FitData

__all__ = ["CHAINS", "EPOCH", "auto_moves", "SearchOutcome", "search"]

CHAINS = 2
EPOCH = 4
# The default number of moves: the moves that fill about
# clamp(sqrt(cells / 10^6), 0.05, 1) seconds, a move estimated at
# MOVE_SECONDS x cells^0.64 x (1 + min((r / 12)^4, 15)) seconds (measured on
# tables from 10^3 to 10^6 cells: its cost grows more slowly than X, and
# steeply with the rank where the exact search takes over); a formula of
# the shape and the rank, so the same data always gets the same moves. At
# least AUTO_MIN, at most AUTO_MAX.
MOVE_SECONDS = 2.2e-6
AUTO_MIN = 4
AUTO_MAX = 400
# Above this many cells the default search costs no more than the runs did:
# its two chains polish their starts once each (an iteration each) and a
# move polishes for about three iterations (none when the runs were shorter).
LARGE_CELLS = 1 << 22
# The most cells the search takes with costs: below these its weighted
# totals fit 63 bits (an infinite cost weighs cells + 1; finite ones at most
# 2^24). Unit costs take any size.
MAX_CELLS_INFINITE = 1 << 31
MAX_CELLS_WEIGHTED = 1 << 39

Say = Callable[[str], None]
Report = Callable[[int, int], None]


def auto_moves(shape: Tuple[int, int], r: int, run_iterations: int) -> int:
    """The default number of moves for X of ``shape`` at rank r, after runs
    that took ``run_iterations`` iterations in all."""
    cells = max(1, shape[0] * shape[1])
    seconds = min(1.0, max(0.05, (cells / 1e6) ** 0.5))
    per_move = MOVE_SECONDS * cells ** 0.64 * (1 + min((r / 12) ** 4, 15.0))
    moves = max(AUTO_MIN, min(AUTO_MAX, int(seconds / per_move)))
    if cells > LARGE_CELLS:
        moves = min(moves, max(0, (run_iterations - CHAINS) // 3))
    return moves


@dataclass
class SearchOutcome:
    """The best solution the chains found, the moves they ran and the
    improvements of the best error (total moves so far, error, move, seconds
    since the search began)."""

    fit: Fit
    moves: int
    history: List[Tuple[int, int, str, float]] = field(default_factory=list)
    seconds: float = 0.0


def cells_limit(costs: NativeCosts) -> Optional[int]:
    """The cells below which the search takes ``costs``; None: any number."""
    if costs is None:
        return None
    return MAX_CELLS_INFINITE if None in costs else MAX_CELLS_WEIGHTED


def _seed_of(seed: int, chain: int) -> int:
    return (seed * 0x9E3779B97F4A7C15 + chain * 0xBF58476D1CE4E5B9 + 1) % 2**64


def search(backend: Backend, data: FitData, r: int, step: Step, fits: Sequence[Fit],
           moves: int, seconds: Optional[float], seed: int, threads: int, say: Say,
           report: Optional[Report] = None, costs: NativeCosts = None) -> SearchOutcome:
    """Runs ``moves`` moves in all (fewer once ``seconds`` have passed) from
    the best of ``fits``, with the tiles of all of them in the pool; returns
    the best solution, never worse than the best fit. ``costs``: the
    weights of the two kinds of error (None: 1 and 1), the fits' errors
    being weighted alike."""
    start = time.perf_counter()
    # With costs the totals are in the solvers' integer units.
    what = "error" if costs is None else "weighted error"
    best_fit = min(fits, key=lambda f: f.error)
    x, mask = backend.gather(data)
    engine = _native.Search(x.words, x.cols, step.method, step.refit_width,
                            None if mask is None else mask.words, costs=costs)
    for fit in fits:
        engine.add_tiles(fit.w, fit.ht, r)
    if data.shape[0] * data.shape[1] <= LARGE_CELLS:
        # GreConD's concepts as they come, before any refit: tiles that fit
        # inside the ones of X, which the refits rarely reach.
        w, h, _ = call_stoppable(lambda flag: _native.grecond(x.words, x.cols, r, flag),
                                 backend.stop)
        engine.add_tiles(w, _native.transpose(h, x.cols), r)
    # Chain c starts from the c-th best run, so that one basin does not
    # decide the result.
    ordered = sorted(fits, key=lambda f: f.error)
    for c in range(CHAINS):
        start_fit = ordered[c % len(ordered)]
        call_stoppable(lambda flag, c=c, f=start_fit: engine.add_chain(  # type: ignore[misc]
            f.w, f.ht, r, _seed_of(seed, c), flag), backend.stop)
    left = [moves // CHAINS + (1 if c < moves % CHAINS else 0) for c in range(CHAINS)]
    deadline = None if seconds is None else start + seconds
    best = best_fit.error
    history: List[Tuple[int, int, str, float]] = []
    # A run stopped by max_iter goes on improving in its chain's first polish.
    polished_start = min(int(engine.best(c)[2]) for c in range(CHAINS))
    if polished_start < best:
        best = polished_start
        history.append((0, best, "polish", time.perf_counter() - start))
        say(f"search: {what} {best} by polishing the runs, {time.perf_counter() - start:.3g} s")
        if report is not None:
            report(0, best)
    ran = [0] * CHAINS  # moves each chain has run
    with ThreadPoolExecutor(max_workers=max(1, min(threads, CHAINS)),
                            thread_name_prefix="quorbmf-search") as pool:
        while any(left) and (deadline is None or time.perf_counter() < deadline):
            batch = [(c, min(EPOCH, left[c])) for c in range(CHAINS) if left[c]]
            remaining = None if deadline is None else max(0.0, deadline - time.perf_counter())

            def epoch(flag: _native.StopFlag, batch: List[Tuple[int, int]] = batch,
                      remaining: Optional[float] = remaining
                      ) -> List[List[Tuple[int, int, str, int]]]:
                runs = [pool.submit(engine.run, c, k, flag, remaining) for c, k in batch]
                try:
                    return [f.result() for f in runs]
                finally:
                    flag.set()  # nothing should still run; set for safety
            events = call_stoppable(epoch, backend.stop)
            before = list(ran)
            for (c, k), found in zip(batch, events):
                left[c] -= k
                engine.hand_over(c)
                ran[c] = int(engine.best(c)[3])
                for move, error, kind, tiles in found:
                    if error < best:
                        best = int(error)
                        history.append((sum(before) + int(move) - before[c], best, str(kind),
                                        time.perf_counter() - start))
                        say(f"search: {what} {best} by {kind} of {tiles} tile(s), chain "
                            f"{c + 1}, {time.perf_counter() - start:.3g} s")
                        if report is not None:
                            report(history[-1][0], best)
    done = sum(ran)
    results = [engine.best(c) for c in range(CHAINS)]
    k = min(range(CHAINS), key=lambda c: (results[c][2], c))
    w, ht, error, _, _ = results[k]
    polished = sum(int(res[4]) for res in results)
    seconds_taken = time.perf_counter() - start
    say(f"search: {done} move(s), {polished} polish iteration(s), {what} {best_fit.error} -> "
        f"{error}, {seconds_taken:.3g} s")
    if error >= best_fit.error:
        return SearchOutcome(best_fit, done, history, seconds_taken)
    fit = Fit(w, ht, int(error), best_fit.iterations, list(best_fit.history),
              best_fit.seconds + seconds_taken, best_fit.converged, best_fit.fallbacks)
    return SearchOutcome(fit, done, history, seconds_taken)
