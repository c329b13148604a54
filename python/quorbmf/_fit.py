"""The alternating loop of the factorisation, its restarts and screening.

The same loop as ``QuorBMF.ao_bmf``: a starting factor W, then per
iteration every column of H refitted with W fixed (the rows of Xᵀ solved
against W) and every row of W refitted with H fixed (the rows of X solved
against Hᵀ), until an iteration fails to lower the error strictly or the
iteration limit is reached. Every solve uses seed 0, as ``ao_bmf`` does, so
the same arguments give the same factors, error and iteration count. The
half-steps run on a backend (:mod:`.backends.base`); what a run counts
(its exact-search fallbacks) comes back in its :class:`Fit`.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

from . import _native
from ._packed import Words
from ._plan import Custom, Plan, Start, Step, start_factors
from .backends.base import Backend, FitData

__all__ = ["StopRule", "Fit", "Outcome", "alternate", "resume", "starting_point", "run_starts"]

# The H of a start that has one: (Hᵀ packed, the error of W∘H).
StartH = Tuple[Words, int]
Monitor = Callable[[int, int, float], None]


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
class Fit:
    """One run's outcome: W (m x ceil(r/64) words), Hᵀ (n x ... words)."""

    w: Words
    ht: Words
    error: int
    iterations: int
    history: List[int] = field(default_factory=list)
    seconds: float = 0.0
    # True when the run stopped on an iteration that did not improve, False
    # when it reached its iteration limit (it could go on).
    converged: bool = False
    # Vector solves of the run whose exact search ran over its budget.
    fallbacks: int = 0


def alternate(backend: Backend, data: FitData, r: int, step: Step, max_iter: int, w: Words,
              monitor: Optional[Monitor] = None, start_h: Optional[StartH] = None) -> Fit:
    """Runs the alternating loop from the starting factor ``w`` (packed,
    modified in place) and returns the best factors seen.

    Without ``start_h`` the start is (W, 0), whose error is the number of
    ones of X (each a false negative); with ``start_h = (Hᵀ, error)`` it is
    (W, H) of that error, so the result is never worse than the start.
    Errors are the step's totals over the rows of X: weighted when the step
    has costs."""
    m, n = data.shape
    start = time.perf_counter()
    if start_h is None:
        ht = np.zeros((n, w.shape[1]), dtype=np.uint64)
        rule = StopRule(step.total(0, data.ones, n), max_iter)
    else:
        ht = np.array(start_h[0], dtype=np.uint64, copy=True)
        rule = StopRule(start_h[1], max_iter)
    best_w, best_ht = w.copy(), ht.copy()
    history: List[int] = []
    fallbacks = 0
    while True:
        began = time.perf_counter()
        fallbacks += backend.solve(w, r, data.cols, step, ht, label="H step").fallbacks
        total, more = backend.solve(ht, r, data.rows, step, w, label="W step")
        fallbacks += more
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
               time.perf_counter() - start, verdict == StopRule.DISCARD_AND_STOP, fallbacks)


def resume(backend: Backend, data: FitData, r: int, step: Step, max_iter: int, fit: Fit,
           monitor: Optional[Monitor] = None) -> Fit:
    """Runs a run that stopped at its iteration limit on to ``max_iter``
    iterations in all: the same factors, error and count as one uninterrupted
    run, since an improving iteration leaves W equal to the best W."""
    if fit.converged or fit.iterations >= max_iter:
        return fit
    more = alternate(backend, data, r, step, max_iter - fit.iterations, fit.w.copy(), monitor,
                     (fit.ht, fit.error))
    return Fit(more.w, more.ht, more.error, fit.iterations + more.iterations,
               fit.history + more.history, fit.seconds + more.seconds, more.converged,
               fit.fallbacks + more.fallbacks)


def starting_point(backend: Backend, data: FitData, start: Start, r: int, step: Step,
                   custom: Optional[Custom]) -> Tuple[Words, Optional[StartH]]:
    """The packed starting W of a run and, for a start with an H of its own
    (a classic cover, or the user's), (Hᵀ, the error of W∘H as ``step``
    counts it over the rows of X)."""
    if start.kind == "random-columns":
        return backend.initial_factor(data, r, start.seed), None
    w, h = start_factors(start, r, custom, lambda: backend.gather(data), backend.stop,
                         step.costs)
    # Weighed as over the whole of X: with false positives forbidden, a
    # start that has some costs more than any fit without, so the first
    # iteration replaces it.
    error = step.total(*backend.error_counts(data, w, r, h), data.shape[0] * data.shape[1])
    return w, (_native.transpose(h, data.shape[1]), error)


@dataclass
class Outcome:
    """The best run of a fit, its start, and the exact-search fallbacks of
    every run."""

    fit: Fit
    start: Start
    fallbacks: int
    # The final fit of every run that went to the end, in start order.
    fits: List[Fit] = field(default_factory=list)


Say = Callable[[str], None]


def run_starts(backend: Backend, data: FitData, r: int, plan: Plan, max_iter: int,
               custom: Optional[Custom], say: Say,
               monitor_for: Callable[[int], Monitor]) -> Outcome:
    """One run per start of the plan; the best one (the first on ties). With
    screening, every start runs a few iterations and the best few go on.
    The backend runs the runs side by side where it can."""
    def run(k: int, start: Start, inner: Backend, limit: int) -> Fit:
        w, start_h = starting_point(inner, data, start, r, plan.step, custom)
        fit = alternate(inner, data, r, plan.step, limit, w, monitor_for(k), start_h)
        say(f"run {k + 1} from {start.describe()}: error {fit.error} after "
            f"{fit.iterations} iteration(s), {fit.seconds:.3g} s")
        return fit

    starts = list(plan.starts)
    # Screening runs no more iterations than the fit may.
    limit = min(plan.screen_iters, max_iter) if plan.screen_iters else max_iter
    first = backend.map_runs(lambda inner, ks: run(ks[0], ks[1], inner, limit),
                             list(enumerate(starts)))
    fits: Dict[int, Fit] = dict(enumerate(first))
    fallbacks = sum(f.fallbacks for f in first)
    if plan.screen_iters:
        order = sorted(range(len(first)), key=lambda i: (first[i].error, i))[:plan.keep]
        say(f"screened {len(starts)} starts after {limit} iteration(s); "
            f"going on with runs {', '.join(str(i + 1) for i in order)}")
        rest = backend.map_runs(
            lambda inner, i: resume(inner, data, r, plan.step, max_iter, first[i],
                                    monitor_for(i)), order)
        fits = dict(zip(order, rest))
        fallbacks += sum(f.fallbacks - first[i].fallbacks for i, f in zip(order, rest))
    k = min(fits, key=lambda i: (fits[i].error, i))
    return Outcome(fits[k], starts[k], fallbacks, [fits[i] for i in sorted(fits)])
