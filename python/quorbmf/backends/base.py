"""The contract between a fit and the place its half-steps run.

A fit talks to its backend only through :class:`Backend`: it prepares X
once, draws or builds its starting points, solves half-steps over one side
of X (its rows, or its columns as the rows of Xᵀ) and runs its restarts;
it never asks which backend it holds. The thread backend and the Dask
backend implement it, and give the same results bit for bit.
"""
from __future__ import annotations

import threading
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Callable, List, Optional, Protocol, Sequence, Tuple, Type, TypeVar

import numpy as np
from numpy.typing import NDArray

from .._packed import PackedMatrix, Words
from .._plan import Step
from .blocks import Solved, unseen_count

__all__ = ["Backend", "FitInput", "FitData", "Solved"]

T = TypeVar("T")
R = TypeVar("R")


@dataclass
class FitInput:
    """X as a backend takes it: packed on the client, with its observed
    cells when some are not; or (Dask only) a dask array of raw 0/1 values,
    with a dask array of its observed cells from ``mask=``, checked and
    packed where it lies, every cell above ``threshold`` counting as 1."""

    shape: Tuple[int, int]
    packed: Optional[PackedMatrix] = None
    observed: Optional[PackedMatrix] = None
    array: Any = None
    mask: Any = None
    threshold: Optional[float] = None


@dataclass
class FitData:
    """X prepared for one fit: its shape, its number of ones, and its rows
    and columns (the rows of Xᵀ) as the backend keeps them."""

    shape: Tuple[int, int]
    rows: Any
    cols: Any
    ones: int
    # What the backend needs to draw a starting factor.
    source: Any = None
    # Whether some cells are unobserved, and then the rows and the columns
    # with no observed cell: (how many, the first or -1) for each, and
    # which they are (True: no observed cell).
    masked: bool = False
    unseen: Tuple[Tuple[int, int], Tuple[int, int]] = ((0, -1), (0, -1))
    unseen_rows: Optional[NDArray[np.bool_]] = None
    unseen_cols: Optional[NDArray[np.bool_]] = None

    def see(self, rows: NDArray[np.bool_], cols: NDArray[np.bool_]) -> None:
        """Records the rows and the columns with no observed cell."""
        self.unseen_rows, self.unseen_cols = rows, cols
        self.unseen = (unseen_count(~rows), unseen_count(~cols))


class Backend(Protocol):
    """Where a fit's half-steps run; a context manager that leaves nothing
    of the fit running when it exits, whether the fit ends, fails or is
    interrupted."""

    # Set when the caller gives up the fit (Ctrl-C): the long calls of its
    # runs, wherever they run, stop soon after.
    stop: threading.Event
    # The most packed bytes of X (and its observed cells) that ``gather``
    # brings to the client; None when X is there already.
    gather_limit: Optional[int]

    def __enter__(self) -> "Backend": ...

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

    def prepare(self, x: FitInput) -> FitData:
        """X laid out for the fit: its rows and columns, its number of ones
        and, when some cells are unobserved, the rows and columns with none."""
        ...

    def initial_factor(self, data: FitData, r: int, seed: int) -> Words:
        """The packed starting W of ``QuorBMF.ao_bmf``: r non-empty columns
        of X chosen by ``seed``."""
        ...

    def gather(self, data: FitData) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        """All of X on the client, with its observed cells when some are
        not (for a start built from the whole of X)."""
        ...

    def error_counts(self, data: FitData, w: Words, r: int, h: Words) -> Tuple[int, int]:
        """The wrong observed cells of W∘H (H packed, r x features): false
        positives (W∘H is 1, X is 0) and false negatives."""
        ...

    def solve(self, factor: Words, r: int, side: Any, step: Step, out: Words,
              label: str = "") -> Solved:
        """One half-step: every row of ``side`` (``data.rows`` or
        ``data.cols``) solved by ``step`` against the packed ``factor`` (rank
        r), its combination written into the same row of ``out``."""
        ...

    def map_runs(self, fn: Callable[["Backend", T], R], items: Sequence[T]) -> List[R]:
        """``[fn(backend, item) for item in items]``, side by side where the
        backend can; each call gets the backend its run should use."""
        ...
