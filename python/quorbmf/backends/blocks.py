"""Rows to solve, cut into native blocks, and the one half-step dispatch.

A half-step solves every row of a packed matrix against one solver; the
rows are cut into blocks, each one native call that releases the
interpreter lock. Both backends keep their rows as :class:`PackedRows`
(the threads the whole of X and Xᵀ, a Dask worker each block it holds),
size the native calls with :func:`call_rows` and run them with
:func:`solve_blocks`; they differ only in how the calls are mapped. A
row's solution depends only on the row and the factor, so the results do
not depend on the cut.
"""
from __future__ import annotations

import threading
from typing import Any, Callable, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _native
from .._packed import PackedMatrix, Words
from .._plan import Step

__all__ = ["PackedRows", "Solved", "solve_block", "solve_blocks", "block_rows", "call_rows",
           "vector_cost", "unseen_count", "aligned", "hiding"]

# Cells of X per native call: large enough that a call dwarfs its overhead,
# small enough that a call takes a fraction of a second.
_BLOCK_CELLS = 1 << 22
_BLOCK_WORK = float(1 << 24)

Bounds = List[Tuple[int, int]]
# Maps calls: run(fn, [args, ...]) -> [fn(*args), ...] (inline, on threads, ...).
Run = Callable[[Callable[..., Any], Sequence[Tuple[Any, ...]]], List[Any]]


def inline(fn: Callable[..., Any], args: Sequence[Tuple[Any, ...]]) -> List[Any]:
    """``[fn(*a) for a in args]``: the calls one after the other."""
    return [fn(*a) for a in args]


def aligned(words: NDArray[Any]) -> Words:
    """The words as an aligned C-contiguous uint64 array (arrays rebuilt
    from a message may be unaligned; the core needs aligned words)."""
    return np.require(words, dtype=np.uint64, requirements=["C", "A"])


def unseen_count(seen: ArrayLike) -> Tuple[int, int]:
    """(how many entries of ``seen`` are False, the first of them or -1)."""
    unseen = ~np.asarray(seen, dtype=bool)
    return int(unseen.sum()), int(np.argmax(unseen)) if unseen.any() else -1


def hiding(observed: Optional[PackedMatrix]) -> Optional[PackedMatrix]:
    """The observed cells when some cell is unobserved, else None: a mask
    that hides nothing is no mask, so such a fit is the unmasked one."""
    if observed is None or observed.count_ones() == observed.rows * observed.cols:
        return None
    return observed


def vector_cost(method: str, r: int, bits: int) -> float:
    """Rough work of solving one vector of ``bits`` bits against a factor of
    ``bits`` rows and rank r, in word operations: what sizes the blocks."""
    words = (bits + 63) // 64
    if method == "naive":
        return float(2**r) * bits / 8
    if method in ("greedy", "greedy-ls"):
        return float(r * r) * words
    return r * 2.0**r / 8 + 2.0 * words


def block_rows(rows: int, cols: int, min_blocks: int, *, cells: int = _BLOCK_CELLS,
               cost: Optional[float] = None) -> int:
    """Rows per block, a multiple of 64 unless one block takes every row:
    enough for ``cells`` cells, or with ``cost`` (work a row) for about
    2^24 word operations, whichever is more; but no more than a
    ``min_blocks``-th of the rows, when that is 64 rows or more."""
    per_block = max(64, cells // max(cols, 1))
    if cost is not None:
        per_block = max(per_block, int(_BLOCK_WORK // max(cost, 1.0)))
    per_block = min(per_block, max(64, -(-rows // max(min_blocks, 1))))
    per_block = -(-per_block // 64) * 64
    return min(rows, per_block)


def call_rows(rows: int, cols: int, threads: int, block_size: Optional[int], step: Step,
              r: int) -> int:
    """Rows per native call of a half-step: ``block_size`` when given;
    otherwise sized for the step's method at rank r, so a call takes tens of
    milliseconds, with at least four calls per thread when the rows allow."""
    if block_size is not None:
        return max(1, int(block_size))
    return block_rows(rows, cols, 4 * threads if threads > 1 else 1,
                      cost=vector_cost(step.method, r, cols))


class PackedRows:
    """Packed rows to solve (rows of X, or of Xᵀ), with their observed cells
    when some are not, and the packed transpose of all of them when its
    holder has it. The native blocks over them are built by the first
    half-step that solves them, in calls of the size it asks for, and kept
    (only the last size). Pickles as its words, should Dask move it."""

    def __init__(self, words: NDArray[Any], cols: int, mask: Optional[NDArray[Any]] = None,
                 transposed: Optional[NDArray[Any]] = None) -> None:
        self.words = aligned(words)
        self.cols = int(cols)
        self.mask = None if mask is None else aligned(mask)
        self.transposed = transposed
        self._natives: Tuple[int, Bounds, List[Any]] = (0, [], [])
        self._lock = threading.Lock()

    @property
    def rows(self) -> int:
        return int(self.words.shape[0])

    def natives(self, rows_per_call: int, run: Run = inline) -> Tuple[Bounds, List[Any]]:
        """The row bounds of the native blocks of ``rows_per_call`` rows each
        (the last may be shorter), and the blocks, built by ``run`` the first
        time (the classes of equal rows of each). A block that is all the
        rows gets the transpose, which spares "zeta" half-steps one each."""
        step = max(1, int(rows_per_call))
        with self._lock:
            if self._natives[0] != step:
                bounds = [(b, min(b + step, self.rows)) for b in range(0, self.rows, step)]
                whole = self.transposed if len(bounds) == 1 else None
                self._natives = (step, bounds, run(self._block, [(b, e, whole)
                                                                  for b, e in bounds]))
            return self._natives[1], self._natives[2]

    def _block(self, begin: int, end: int, whole: Optional[Words]) -> Any:
        if self.mask is None:
            return _native.VectorBlock(self.words[begin:end], self.cols, whole)
        return _native.VectorBlock(self.words[begin:end], self.cols, whole,
                                   mask=self.mask[begin:end])

    def __reduce__(self) -> Any:
        return (PackedRows, (self.words, self.cols, self.mask))

    def __sizeof__(self) -> int:
        # The words, the mask and, roughly, the native blocks' classes of equal rows.
        mask = 0 if self.mask is None else self.mask.nbytes
        return int(self.words.nbytes + mask + 16 * self.rows)


class Solved(NamedTuple):
    """A half-step's total error and its rows whose exact search ran over
    its budget (answered by "greedy-ls")."""

    error: int
    fallbacks: int


def solve_block(solver: Any, step: Step, block: Any, out: Words) -> Solved:
    """One native block solved by ``step`` against ``solver``: the method
    from scratch into ``out``, then the exact refits of groups of columns,
    in place."""
    error, fallbacks = 0, 0
    # The plain count calls the solver as it always has.
    costs = {} if step.costs is None else {"costs": step.costs}
    if step.method == "exact":
        error, fallbacks = solver.half_step_counted(block, step.method, 0, out, **costs)
    else:
        error = solver.half_step(block, step.method, 0, out, **costs)
    if step.refit_width:
        error = solver.refit_blocks(block, step.refit_width, out, **costs)
    return Solved(int(error), int(fallbacks))


def solve_blocks(solver: Any, step: Step, blocks: Sequence[Any], outs: Sequence[Words],
                 run: Run = inline) -> Solved:
    """Runs ``step`` against ``solver`` on every native block, writing each
    block's combinations into its view in ``outs``; ``run`` maps the calls
    (inline, on threads, between checks for cancellation). Returns the total
    error and fallbacks."""
    done = run(solve_block, [(solver, step, b, o) for b, o in zip(blocks, outs)])
    return Solved(sum(s.error for s in done), sum(s.fallbacks for s in done))
