"""The alternating loop of the factorisation, over blocks of rows.

The same loop as ``QuorBMF.ao_bmf``: a starting factor W, then per
iteration every column of H refitted with W fixed (the rows of Xᵀ solved
against W) and every row of W refitted with H fixed (the rows of X solved
against Hᵀ), until an iteration fails to lower the error strictly or the
iteration limit is reached. Every solve uses seed 0, as ``ao_bmf`` does, so
the same arguments give the same factors, error and iteration count.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional, Tuple

import numpy as np


__all__ = ["StopRule", "FitData", "Fit", "alternate", "resume", "unseen_count"]


class StopRule:
    """When the alternating loop stops: at the first iteration whose error
    is not strictly below the best so far (its factors are discarded), or
    once ``max_iter`` improving iterations are done (0 counts as 1)."""

    CONTINUE, KEEP_AND_STOP, DISCARD_AND_STOP = "continue", "keep-and-stop", "discard-and-stop"

    def __init__(self, initial_error: int, max_iter: int) -> None:
        self.best_error = int(initial_error)
        self.limit = max(1, int(max_iter))
        self.iterations = 0
        self._completed = 0

    def record(self, error: int) -> str:
        """Records the error of the iteration just run; says what to do."""
        self.iterations = self._completed + 1
        if error >= self.best_error:
            return self.DISCARD_AND_STOP
        self.best_error = int(error)
        self._completed = self.iterations
        return self.KEEP_AND_STOP if self._completed == self.limit else self.CONTINUE


@dataclass
class FitData:
    """X prepared for one fit: its shape, its number of ones, and its rows
    and columns (the rows of Xᵀ) as blocks that the runner can solve."""

    shape: Tuple[int, int]
    rows: Any
    cols: Any
    ones: int
    # What the runner needs to draw a starting factor (locally, Xᵀ packed).
    source: Any = None
    # Whether some cells are unobserved, and then the rows and the columns
    # with no observed cell: (how many, the first or -1) for each.
    masked: bool = False
    unseen: Tuple[Tuple[int, int], Tuple[int, int]] = ((0, -1), (0, -1))


def unseen_count(seen: np.ndarray) -> Tuple[int, int]:
    """(how many entries of ``seen`` are False, the first of them or -1)."""
    unseen = ~np.asarray(seen, dtype=bool)
    return int(unseen.sum()), int(np.argmax(unseen)) if unseen.any() else -1


@dataclass
class Fit:
    """One run's outcome: W (m x ceil(r/64) words), Hᵀ (n x ... words)."""

    w: np.ndarray
    ht: np.ndarray
    error: int
    iterations: int
    history: List[int] = field(default_factory=list)
    seconds: float = 0.0
    # True when the run stopped on an iteration that did not improve, False
    # when it reached its iteration limit (it could go on).
    converged: bool = False


Monitor = Callable[[int, int, float], None]


def alternate(data: FitData, r: int, method: str, max_iter: int, w: np.ndarray,
              runner: Any, monitor: Optional[Monitor] = None,
              start_h: Optional[Tuple[np.ndarray, int]] = None) -> Fit:
    """Runs the alternating loop from the starting factor ``w`` (packed,
    modified in place) and returns the best factors seen. ``runner.solve``
    refits one side: a thread runner (``Runner``) or a cluster's.

    Without ``start_h`` the start is (W, 0), whose error is the number of
    ones of X; with ``start_h = (Hᵀ, error)`` it is (W, H) of that error, so
    the result is never worse than the start."""
    m, n = data.shape
    start = time.perf_counter()
    if start_h is None:
        ht = np.zeros((n, w.shape[1]), dtype=np.uint64)
        rule = StopRule(data.ones, max_iter)
    else:
        ht = np.array(start_h[0], dtype=np.uint64, copy=True)
        rule = StopRule(start_h[1], max_iter)
    best_w, best_ht = w.copy(), ht.copy()
    history: List[int] = []
    while True:
        began = time.perf_counter()
        runner.solve(w, r, data.cols, method, ht, label="H step")
        total = runner.solve(ht, r, data.rows, method, w, label="W step")
        verdict = rule.record(total)
        history.append(total)
        if monitor is not None:
            monitor(rule.iterations, total, time.perf_counter() - began)
        if verdict == StopRule.DISCARD_AND_STOP:
            break
        best_w[...] = w
        best_ht[...] = ht
        if verdict == StopRule.KEEP_AND_STOP:
            break
    return Fit(best_w, best_ht, rule.best_error, rule.iterations, history,
               time.perf_counter() - start, verdict == StopRule.DISCARD_AND_STOP)


def resume(data: FitData, r: int, method: str, max_iter: int, fit: Fit, runner: Any,
           monitor: Optional[Monitor] = None) -> Fit:
    """Runs a run that stopped at its iteration limit on to ``max_iter``
    iterations in all: the same factors, error and count as one uninterrupted
    run, since an improving iteration leaves W equal to the best W."""
    if fit.converged or fit.iterations >= max_iter:
        return fit
    more = alternate(data, r, method, max_iter - fit.iterations, fit.w.copy(), runner,
                     monitor, (fit.ht, fit.error))
    return Fit(more.w, more.ht, more.error, fit.iterations + more.iterations,
               fit.history + more.history, fit.seconds + more.seconds, more.converged)
