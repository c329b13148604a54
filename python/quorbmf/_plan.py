"""What a fit runs: the refit of each half-step and the starting points.

The alternating loop never makes its start worse, so a start from a classic
cover (GreConD, Asso) gives at least that cover's quality, and restarts from
several starts keep the best. "auto" picks by rank: exact refits where they
are cheap, exact refits of groups of columns (the others held fixed) where a
full exact refit would cost 2^r per vector, and a mix of starts.
"""
from __future__ import annotations

import threading
from dataclasses import dataclass
from functools import partial
from math import gcd, inf
from typing import Any, Callable, List, Optional, Sequence, Tuple

from . import _native
from ._costs import NativeCosts, weighted_total
from ._packed import PackedMatrix, Words
from ._stoppable import call_stoppable

__all__ = ["Step", "Start", "Plan", "plan_fit", "start_factors", "check_custom", "describe_starts",
           "error_counts", "EXACT_BLOCK", "TABLE_RANK", "EXACT_RANK", "MAX_RANK"]

# The limits of the solvers, as the native module states them.
TABLE_RANK: int = _native.MAX_TABLE_RANK
EXACT_RANK: int = _native.MAX_EXACT_RANK
MAX_RANK: int = _native.MAX_RANK
# Columns per exact block refit: 2^12 counters a vector stay in L1.
EXACT_BLOCK = 12
# Largest rank of a full exact refit chosen by "auto".
AUTO_EXACT_RANK = 20
# Runs of "auto" by rank: where a run costs little, many random starts
# screened after SCREEN_ITERS iterations find far better optima (on the
# Mushroom table at rank 5, the best of 32 seeds is 5 % below the best of 5).
AUTO_SCREENED = {**{r: 40 for r in range(1, 7)}, **{r: 16 for r in range(7, 13)}}
SCREEN_ITERS = 2
SCREEN_KEEP = 4


@dataclass(frozen=True)
class Step:
    """What a half-step runs on every vector: ``method`` (a name the native
    solver takes) from scratch, then, when ``refit_width`` is not 0, exact
    refits of consecutive groups of that many columns, the others held
    fixed, which improve the combinations in place."""

    method: str
    refit_width: int = 0
    # What a false 1 and a false 0 cost, as the native solvers take them
    # (None: 1 and 1, the number of wrong cells).
    costs: NativeCosts = None

    def __post_init__(self) -> None:
        if self.method not in _native.METHODS:
            raise ValueError(f"a step runs one of {', '.join(_native.METHODS)}, "
                             f"not {self.method!r}")

    @classmethod
    def of(cls, method: str, r: int, costs: NativeCosts = None) -> "Step":
        """The step of an estimator method at rank r: "exact-blocks" is
        "greedy" followed by exact refits of groups of ``EXACT_BLOCK``."""
        if method == "exact-blocks":
            return cls("greedy", min(EXACT_BLOCK, r), costs)
        return cls(method, 0, costs)

    def total(self, false_positives: int, false_negatives: int, length: int) -> int:
        """What this step's half-step over vectors of ``length`` cells
        reports for these counts: their sum, or their weighted total."""
        return weighted_total(self.costs, false_positives, false_negatives, length)


@dataclass(frozen=True)
class Start:
    """One starting point: its kind and what it needs (a seed, a threshold)."""

    kind: str                  # "random-columns", "grecond", "asso", "custom"
    seed: int = 0
    tau: float = 0.5

    def describe(self) -> str:
        if self.kind == "random-columns":
            return f"random-columns (seed {self.seed})"
        if self.kind == "asso":
            return f"asso (tau {self.tau:g})"
        return self.kind


@dataclass(frozen=True)
class Plan:
    """The method name reported, the half-step run, and the starts."""

    method: str
    step: Step
    starts: Tuple[Start, ...]
    # Screening: every start runs this many iterations, then only the
    # ``keep`` best go on (0: every start runs to the end).
    screen_iters: int = 0
    keep: int = 0


def plan_fit(method: str, init: str, n_init: Any, r: int, seed: int, shape: Tuple[int, int],
             masked: bool, costs: NativeCosts = None) -> Plan:
    """Resolves "auto" for the method, the init and the number of runs."""
    if method == "auto":
        if r <= 12:
            method = "zeta"
        elif r <= AUTO_EXACT_RANK and not masked and costs is None:
            # With costs "exact" solves by the table alone, 2^r counters a
            # vector, where the block refits cost far less.
            method = "exact"
        elif r <= TABLE_RANK and masked:
            # Under a mask every distinct mask needs its own table of 2^r
            # counters (r·2^r adds), which above rank 12 outweighs the solve.
            method = "greedy-ls"
        else:
            method = "exact-blocks"
    if n_init == "auto":
        runs = AUTO_SCREENED.get(r, 1) if r <= max(AUTO_SCREENED) else 1
    else:
        runs = int(n_init)
    seeds = [(seed + k) % 2**64 for k in range(runs)]
    if init == "auto":
        # GreConD's cover first, then random columns from successive seeds;
        # at small ranks many of them, screened after a few iterations.
        starts: List[Start] = [Start("grecond")]
        starts += [Start("random-columns", s) for s in seeds[: max(0, runs - 1)]]
        if n_init == "auto" and len(starts) > SCREEN_KEEP:
            return Plan(method, Step.of(method, r, costs), tuple(starts), SCREEN_ITERS, SCREEN_KEEP)
    elif init == "random-columns":
        starts = [Start("random-columns", s) for s in seeds]
    else:
        # A deterministic start once, then random columns for the other runs.
        starts = [Start(init)] + [Start("random-columns", s) for s in seeds[1:]]
    return Plan(method, Step.of(method, r, costs), tuple(starts))


def error_counts(x: PackedMatrix, mask: Optional[PackedMatrix], w: Words, r: int,
                 h: Words) -> Tuple[int, int]:
    """The wrong observed cells of W∘H against X (``mask``: 1 = observed):
    (false positives, false negatives), W∘H 1 where X is 0 and the reverse."""
    product = _native.product(w, r, h, x.cols)
    ones = product & ~x.words
    zeros = x.words & ~product
    if mask is not None:
        ones &= mask.words
        zeros &= mask.words
    return int(_native.count_ones(ones)), int(_native.count_ones(zeros))


Custom = Tuple[PackedMatrix, PackedMatrix]
Whole = Callable[[], Tuple[PackedMatrix, Optional[PackedMatrix]]]


def asso_weights(costs: NativeCosts, cells: int) -> Tuple[float, float]:
    """Asso's ``(w_plus, w_minus)`` for ``costs`` over X of ``cells`` cells:
    w_plus rewards a one covered (it saves a false 0), w_minus penalises a
    zero covered (a false 1). Finite costs in lowest terms, so equal costs
    are 1 and 1; an infinite false-1 cost is ``inf`` (no row covers a zero);
    Asso takes no infinite w_plus, so an infinite false-0 cost becomes
    ``cells + 1`` times the false-1 cost (then 1), which outweighs every zero
    X holds, as the core weighs it."""
    if costs is None:
        return 1.0, 1.0
    false_one, false_zero = costs
    if false_one is None:
        return (1.0 if false_zero else 0.0), inf
    if false_zero is None:
        return (float(cells + 1) if false_one else 1.0), (1.0 if false_one else 0.0)
    common = gcd(false_one, false_zero) or 1
    return float(false_zero // common), float(false_one // common)


def start_factors(start: Start, r: int, custom: Optional[Custom], whole: Whole,
                  stop: Optional[threading.Event] = None,
                  costs: NativeCosts = None) -> Tuple[Words, Words]:
    """The packed W and H of a start with an H of its own: the user's
    factors, or a classic cover of X (``whole()`` gives X and its observed
    cells), which Ctrl-C or ``stop`` being set interrupts within a fraction
    of a second; Asso's cover weighs its errors by ``costs`` (None: 1 and
    1). W is a new array: the alternating loop refits it in place."""
    if start.kind == "custom":
        assert custom is not None
        return custom[0].words.copy(), custom[1].words
    x, _ = whole()
    if start.kind == "grecond":
        # GreConD's concepts never cover a zero, so its cover makes no false
        # 1 and the costs cannot change it: it is the same for every cost.
        cover = partial(_native.grecond, x.words, x.cols, r)
    elif start.kind == "asso":
        w_plus, w_minus = asso_weights(costs, x.shape[0] * x.shape[1])
        cover = partial(_native.asso, x.words, x.cols, r, start.tau, w_plus, w_minus)
    else:
        raise ValueError(f"no factors for a {start.kind} start")
    w, h, _ = call_stoppable(lambda flag: cover(stop=flag), stop)
    return w, h


def check_custom(w: Any, h: Any, shape: Tuple[int, int], r: int) -> Custom:
    """Checks user-given starting factors: W (samples x r), H (r x features),
    0/1 values; returns them packed."""
    from ._input import as_packed

    if w is None or h is None:
        raise ValueError("init='custom' needs both W and H: fit(X, W=..., H=...)")
    wp = as_packed(w, name="W")
    hp = as_packed(h, name="H")
    if wp.shape != (shape[0], r):
        raise ValueError(f"W must have shape {(shape[0], r)} (samples x n_components), "
                         f"got {wp.shape}")
    if hp.shape != (r, shape[1]):
        raise ValueError(f"H must have shape {(r, shape[1])} (n_components x features), "
                         f"got {hp.shape}")
    return wp, hp


def describe_starts(starts: Sequence[Start]) -> str:
    """The starts in words, for the verbose output."""
    return ", ".join(s.describe() for s in starts)
