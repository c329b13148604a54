"""Running half-steps over blocks of rows, on one thread or several.

A half-step solves every row of a packed matrix against one solver; the
rows are cut into blocks prepared once per fit, and each block is one
native call that releases the interpreter lock. With ``n_jobs`` > 1 the
blocks run in a thread pool; results do not depend on the split, because a
row's solution depends only on that row. The main thread only waits, so
Ctrl-C interrupts it within one block's time: the blocks not yet started
are cancelled, the running ones finish, and no thread is left behind.
"""
from __future__ import annotations

import os
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy as np

from . import _native
from ._packed import PackedMatrix

__all__ = ["Blocks", "Runner", "resolve_n_jobs", "block_rows_for", "vector_cost", "parse_step"]

# Cells of X per block: large enough that a block call dwarfs its overhead,
# small enough that a block takes a fraction of a second.
_BLOCK_CELLS = 1 << 22
_BLOCK_WORK = float(1 << 24)
# A half-step that runs longer than this gets a progress bar (verbose only).
_PROGRESS_AFTER_S = 1.0


def resolve_n_jobs(n_jobs: Optional[int]) -> int:
    """The number of threads for ``n_jobs``, as joblib counts it: None is 1,
    -1 all cores, -2 all but one, and so on."""
    if n_jobs is None:
        return 1
    cores = os.cpu_count() or 1
    if n_jobs < 0:
        return max(1, cores + 1 + n_jobs)
    return max(1, n_jobs)


def vector_cost(method: str, r: int, bits: int) -> float:
    """Rough work of solving one vector of ``bits`` bits against a factor of
    ``bits`` rows and rank r, in word operations: what sizes the blocks."""
    words = (bits + 63) // 64
    if method == "naive":
        return float(2**r) * bits / 8
    if method in ("greedy", "greedy-ls"):
        return float(r * r) * words
    return r * 2.0**r / 8 + 2.0 * words


def block_rows_for(rows: int, cols: int, n_jobs: int, block_size: Optional[int],
                   cost: float = 0.0) -> int:
    """Rows per block: ``block_size`` when given; otherwise enough rows for
    about 2^24 word operations (``cost`` a row) or 2^22 cells a block,
    whichever is larger, so a block takes tens of milliseconds, and at least
    four blocks per thread when the rows allow; in multiples of 64 rows."""
    if block_size is not None:
        return max(1, int(block_size))
    per_block = max(64, _BLOCK_CELLS // max(cols, 1), int(_BLOCK_WORK // max(cost, 1.0)))
    if n_jobs > 1:
        per_block = min(per_block, max(64, -(-rows // (4 * n_jobs))))
    per_block = -(-per_block // 64) * 64
    return min(rows, per_block)


class Blocks:
    """The row blocks of one packed matrix, prepared once (the classes of
    equal rows of each block) and solved once per iteration.

    ``mask`` (packed, same shape, 1 = observed) makes every block masked.
    ``transposed``, the packed transpose of the whole matrix, is handed to
    the block when there is only one, which spares "zeta" half-steps a
    transposition."""

    def __init__(self, matrix: PackedMatrix, block_rows: int,
                 runner: Optional["Runner"] = None, mask: Optional[PackedMatrix] = None,
                 transposed: Optional[PackedMatrix] = None) -> None:
        self.rows = matrix.rows
        self.masked = mask is not None
        self.bounds: List[Tuple[int, int]] = [
            (b, min(b + block_rows, matrix.rows)) for b in range(0, matrix.rows, block_rows)]
        whole = transposed.words if transposed is not None and len(self.bounds) == 1 else None

        def make(b: int, e: int) -> Any:
            if mask is None:
                return _native.VectorBlock(matrix.words[b:e], matrix.cols, whole)
            return _native.VectorBlock(matrix.words[b:e], matrix.cols, whole,
                                       mask=mask.words[b:e])

        if runner is None:
            self.blocks = [make(b, e) for b, e in self.bounds]
        else:
            self.blocks = runner.map(make, self.bounds)

    def __len__(self) -> int:
        return len(self.bounds)


def parse_step(spec: str) -> Tuple[Optional[str], int]:
    """A half-step's spec, "<method>" or "<method>+refit<width>", as the
    solving method and the width of the exact block refits that follow it
    (0 for none)."""
    method, _, refit = spec.partition("+refit")
    return method, int(refit) if refit else 0


class _Progress:
    """A progress bar over the blocks of a long half-step: tqdm when it is
    installed, a plain line on stderr otherwise."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.done, self.label = total, 0, label
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self.bar: Any = None
        else:
            self.bar = tqdm(total=total, desc=label, unit="block", leave=False)

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        else:
            sys.stderr.write(f"\r{self.label}: {self.done}/{self.total} blocks")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            sys.stderr.write("\n")


class Runner:
    """Runs block calls inline (one thread) or in a pool of threads; a
    context manager that always leaves no thread running."""

    def __init__(self, n_jobs: int, verbose: int = 0,
                 stop: Optional[threading.Event] = None) -> None:
        self.n_jobs = n_jobs
        self.verbose = verbose
        # Set when the caller gives up: inline runs stop at the next block.
        self.stop = stop if stop is not None else threading.Event()
        # Vectors whose exact search ran over its budget, by half-step.
        self.fallbacks = 0
        self.pool: Optional[ThreadPoolExecutor] = (
            ThreadPoolExecutor(max_workers=n_jobs, thread_name_prefix="quorbmf")
            if n_jobs > 1 else None)

    def __enter__(self) -> "Runner":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Cancels what has not started, waits for what runs, stops the pool."""
        if self.pool is not None:
            self.pool.shutdown(wait=True, cancel_futures=True)
            self.pool = None

    def map(self, fn: Callable[..., Any], args: Sequence[Tuple[Any, ...]],
            label: str = "") -> List[Any]:
        """``[fn(*a) for a in args]``, in parallel when there is a pool."""
        if self.pool is None:
            return self._inline(fn, args, label)
        futures = [self.pool.submit(fn, *a) for a in args]
        try:
            self._wait(futures, label)
        except BaseException:
            self.stop.set()
            for f in futures:
                f.cancel()
            wait(futures)
            raise
        return [f.result() for f in futures]

    def _inline(self, fn: Callable[..., Any], args: Sequence[Tuple[Any, ...]],
                label: str) -> List[Any]:
        start, bar, out = time.perf_counter(), None, []
        try:
            for a in args:
                if self.stop.is_set():
                    raise KeyboardInterrupt("stopped by the caller")
                out.append(fn(*a))
                if self.verbose and label:
                    if bar is None and time.perf_counter() - start > _PROGRESS_AFTER_S:
                        bar = _Progress(len(args), label)
                        bar.update(len(out))
                    elif bar is not None:
                        bar.update(1)
        finally:
            if bar is not None:
                bar.close()
        return out

    def _wait(self, futures: List[Future], label: str) -> None:
        start, bar, pending = time.perf_counter(), None, set(futures)
        try:
            while pending:
                # A timed wait keeps the main thread responsive to Ctrl-C.
                done, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                if self.verbose and label:
                    if bar is None and time.perf_counter() - start > _PROGRESS_AFTER_S:
                        bar = _Progress(len(futures), label)
                        bar.update(len(futures) - len(pending))
                    elif bar is not None and done:
                        bar.update(len(done))
        finally:
            if bar is not None:
                bar.close()

    def half_step(self, solver: Any, blocks: Blocks, method: str, out: np.ndarray,
                  label: str = "") -> int:
        """Solves every block against ``solver``, writing the combinations
        into the matching rows of ``out``; returns the total error."""
        args = [(blk, method, 0, out[b:e]) for blk, (b, e) in zip(blocks.blocks, blocks.bounds)]
        return int(sum(self.map(solver.half_step, args, label)))

    def prepare(self, x: PackedMatrix, block_size: Optional[int], method: str = "zeta",
                r: int = 1, mask: Optional[PackedMatrix] = None) -> Any:
        """X as row blocks and its transpose as row blocks (X's columns),
        prepared once per fit; the blocks are sized for ``method`` at rank r.
        With ``mask`` (1 = observed) the blocks are masked."""
        from ._alternating import FitData, unseen_count

        m, n = x.shape
        xt = x.transpose()
        mt = None if mask is None else mask.transpose()
        method = parse_step(method)[0] or "greedy"
        rows = block_rows_for(m, n, self.n_jobs, block_size, vector_cost(method, r, n))
        cols = block_rows_for(n, m, self.n_jobs, block_size, vector_cost(method, r, m))
        data = FitData(x.shape, Blocks(x, rows, self, mask, xt), Blocks(xt, cols, self, mt, x),
                       x.count_ones(), (x, xt, mask), masked=mask is not None)
        if mask is not None and mt is not None:
            data.unseen = (unseen_count(mask.words.any(axis=1)),
                           unseen_count(mt.words.any(axis=1)))
        return data

    def initial_factor(self, data: Any, r: int, seed: int) -> np.ndarray:
        """The packed starting W: r non-empty columns of X chosen by ``seed``."""
        return _native.initial_factor(data.source[1].words, data.shape[0], r, seed)

    def start_factors(self, data: Any, start: Any, r: int,
                      custom: Any = None) -> Tuple[np.ndarray, Any]:
        """A start with an H of its own (a classic cover, or the user's):
        the packed W and (Hᵀ, its error on the observed cells)."""
        from ._plan import start_factors

        x, _, mask = data.source
        return start_factors(start, x, mask, r, custom)

    def solve(self, factor: np.ndarray, r: int, blocks: Blocks, method: str, out: np.ndarray,
              label: str = "") -> int:
        """One half-step: builds a solver on the packed ``factor`` (rank r)
        and solves every block against it; ``method`` is a step spec (see
        ``parse_step``): the method solves from scratch, then exact refits of
        groups of columns improve the combinations in place."""
        solver = _native.Solver(factor, r)
        name, width = parse_step(method)
        total = 0
        if name == "exact":
            args = [(blk, name, 0, out[b:e]) for blk, (b, e) in zip(blocks.blocks, blocks.bounds)]
            counted = self.map(solver.half_step_counted, args, label)
            total = int(sum(c[0] for c in counted))
            self.fallbacks += int(sum(c[1] for c in counted))
        elif name:
            total = self.half_step(solver, blocks, name, out, label)
        if width:
            args = [(blk, width, out[b:e]) for blk, (b, e) in zip(blocks.blocks, blocks.bounds)]
            total = int(sum(self.map(solver.refit_blocks, args, label)))
        return total
