"""The thread backend: half-steps over blocks of rows, on one thread or several.

X and Xᵀ stay packed in this process; each block of a half-step is one
native call that releases the interpreter lock. With ``n_jobs`` > 1 the
blocks run in a thread pool. The main thread only waits, so Ctrl-C
interrupts it within one block's time: the blocks not yet started are
cancelled, the running ones finish, and no thread is left behind.
"""
from __future__ import annotations

import os
import threading
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from functools import partial
from types import TracebackType
from typing import Any, Callable, List, Optional, Sequence, Tuple, Type, TypeVar

import numpy as np

from .. import _native
from .._packed import PackedMatrix, Words
from .._plan import Step
from .._plan import error_counts as counted_errors
from .base import Backend, FitData, FitInput
from .blocks import PackedRows, Solved, call_rows, hiding, solve_blocks
from .progress import Progress

__all__ = ["ThreadBackend", "resolve_n_jobs"]

T = TypeVar("T")
R = TypeVar("R")


def resolve_n_jobs(n_jobs: Optional[int]) -> int:
    """The number of threads for ``n_jobs``, as joblib counts it: None is 1,
    -1 all cores, -2 all but one, and so on."""
    if n_jobs is None:
        return 1
    cores = os.cpu_count() or 1
    if n_jobs < 0:
        return max(1, cores + 1 + n_jobs)
    return max(1, n_jobs)


class ThreadBackend:
    """Runs block calls inline (one thread) or in a pool of threads, blocks
    of ``block_size`` rows (None: sized by the method); a context manager
    that always leaves no thread running."""

    def __init__(self, n_jobs: int, verbose: int = 0, block_size: Optional[int] = None,
                 stop: Optional[threading.Event] = None) -> None:
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.block_size = block_size
        # Set when the caller gives up: inline runs stop at the next block.
        self.stop = stop if stop is not None else threading.Event()
        self.gather_limit: Optional[int] = None
        self.pool: Optional[ThreadPoolExecutor] = (
            ThreadPoolExecutor(max_workers=n_jobs, thread_name_prefix="quorbmf")
            if n_jobs > 1 else None)

    def __enter__(self) -> "ThreadBackend":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def close(self) -> None:
        """Cancels what has not started, waits for what runs, stops the pool."""
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None

    # -- running calls ----------------------------------------------------

    def map(self, fn: Callable[..., Any], args: Sequence[Tuple[Any, ...]],
            label: str = "") -> List[Any]:
        """``[fn(*a) for a in args]``, in parallel when there is a pool."""
        with Progress(len(args), label, self.verbose > 0) as progress:
            if self.pool is None:
                out = []
                for a in args:
                    if self.stop.is_set():
                        raise KeyboardInterrupt("stopped by the caller")
                    out.append(fn(*a))
                    progress.done(len(out))
                return out
            futures = [self.pool.submit(fn, *a) for a in args]
            try:
                self._wait(futures, progress)
            except BaseException:
                self.stop.set()
                for f in futures:
                    f.cancel()
                wait(futures)
                raise
            return [f.result() for f in futures]

    @staticmethod
    def _wait(futures: List["Future[Any]"], progress: Progress) -> None:
        pending = set(futures)
        while pending:
            # A timed wait keeps the main thread responsive to Ctrl-C.
            _, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
            progress.done(len(futures) - len(pending))

    def map_runs(self, fn: Callable[[Backend, T], R], items: Sequence[T]) -> List[R]:
        """With a pool and several runs, each run alone on one thread of it
        (its half-steps inline); otherwise one after the other, on the pool."""
        if self.pool is None or len(items) < 2:
            return [fn(self, item) for item in items]

        def alone(item: T) -> R:
            with ThreadBackend(1, 0, self.block_size, stop=self.stop) as inner:
                return fn(inner, item)
        return self.map(alone, [(item,) for item in items])

    # -- the backend protocol ---------------------------------------------

    def prepare(self, x: FitInput) -> FitData:
        """X and Xᵀ as rows to solve, with their observed cells when some
        are not; each is the other's transpose for a one-block half-step."""
        assert x.packed is not None
        packed, mask = x.packed, hiding(x.observed)
        m, n = packed.shape
        xt = packed.transpose()
        mt = None if mask is None else mask.transpose()
        rows = PackedRows(packed.words, n, None if mask is None else mask.words, xt.words)
        cols = PackedRows(xt.words, m, None if mt is None else mt.words, packed.words)
        data = FitData(packed.shape, rows, cols, packed.count_ones(), (packed, xt, mask),
                       masked=mask is not None)
        if mask is not None and mt is not None:
            data.see(~np.asarray(mask.words.any(axis=1)), ~np.asarray(mt.words.any(axis=1)))
        return data

    def initial_factor(self, data: FitData, r: int, seed: int) -> Words:
        return _native.initial_factor(data.source[1].words, data.shape[0], r, seed)

    def gather(self, data: FitData) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        x, _, mask = data.source
        return x, mask

    def error_counts(self, data: FitData, w: Words, r: int, h: Words) -> Tuple[int, int]:
        x, _, mask = data.source
        return counted_errors(x, mask, w, r, h)

    def solve(self, factor: Words, r: int, side: PackedRows, step: Step, out: Words,
              label: str = "") -> Solved:
        size = call_rows(side.rows, side.cols, self.n_jobs, self.block_size, step, r)
        bounds, blocks = side.natives(size, self.map)
        solver = _native.Solver(factor, r)
        return solve_blocks(solver, step, blocks, [out[b:e] for b, e in bounds],
                            partial(self.map, label=label))
