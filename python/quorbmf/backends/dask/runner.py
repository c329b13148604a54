"""The Dask backend: the half-steps of a fit on a Dask cluster.

X is checked and packed on the workers and stays there for the whole fit,
twice: as blocks of rows (solved in the W step) and as a few large blocks
of columns, the rows of Xᵀ (solved in the H step), built once from the
transposed row blocks. Each block is a persisted result that Dask can
recompute from its task graph when a worker is lost. A half-step sends
only the fixed factor to the workers and brings back only the refitted
rows of each block and their errors: one task per worker thread solves the
blocks that its worker holds, building the solver once.

The results are those of the thread backend, bit for bit: a row's solution
depends only on the row and the factor, not on the block it sits in, and
the starting factor is drawn by the same native routine.
"""
from __future__ import annotations

import asyncio
import contextlib
import itertools
import logging
import operator
import os
import socket
import threading
import time
import uuid
import warnings
from collections import defaultdict
from dataclasses import dataclass
from types import TracebackType
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    Optional,
    Sequence,
    Set,
    Tuple,
    Type,
    TypeVar,
)

import numpy as np

from ... import _native
from ..._input import all_ones
from ..._packed import PackedMatrix, Words, words_for
from ..._plan import Step
from ..base import Backend, FitData, FitInput
from ..blocks import PackedRows, Solved, block_rows, hiding
from ..progress import Progress
from . import tasks
from .input import require_dask

__all__ = ["DaskBackend", "SchedulerLost"]

T = TypeVar("T")
R = TypeVar("R")

# Cells per row block kept on a worker: large enough that the tasks of a
# half-step are few, small enough that the rows spread over the workers.
_ROW_BLOCK_CELLS = 1 << 26
# Largest packed X gathered to the client for a start that needs all of it.
_GATHER_LIMIT = 1 << 30
# Seconds the scheduler may go unanswered before a fit gives up.
_SCHEDULER_TIMEOUT = 30.0
# How often a waiting fit checks that the scheduler still answers.
_PROBE_EVERY = 5.0
# Seconds that closing waits for cancelled tasks to leave the cluster.
_QUIET_TIMEOUT = 60.0
_POLL = 0.1


@dataclass
class _BlockSet:
    """Persisted blocks of one side of X (rows of X or rows of Xᵀ)."""

    futures: List[Any]
    bounds: List[Tuple[int, int]]

    def __len__(self) -> int:
        return len(self.futures)


def _split(count: int, parts: int) -> List[Tuple[int, int]]:
    edges = [count * p // parts for p in range(parts + 1)]
    return [(edges[p], edges[p + 1]) for p in range(parts) if edges[p] < edges[p + 1]]



def _accepts_connections(address: str, timeout: float = 1.0) -> bool:
    """False when nothing listens any more at a TCP or TLS scheduler
    ``address`` (the connection is refused); True otherwise, also when the
    address is of another kind or the attempt itself times out."""
    scheme, _, rest = address.partition("://")
    host, _, port = rest.rpartition(":")
    if scheme not in ("tcp", "tls") or not port.isdigit():
        return True
    try:
        with socket.create_connection((host.strip("[]"), int(port)), timeout=timeout):
            return True
    except ConnectionRefusedError:
        return False
    except OSError:
        return True

class SchedulerLost(RuntimeError):
    """The Dask scheduler went away or stopped answering during a fit."""


class DaskBackend:
    """Runs the half-steps of a fit on a Dask cluster: the client given,
    else the current default client, else a LocalCluster that it starts and
    closes; row blocks of ``block_size`` rows (None: sized by the cluster).
    A context manager that leaves no task, future or cluster of its own
    behind, whether the fit ends, fails or is interrupted."""

    def __init__(self, client: Any = None, verbose: int = 0,
                 block_size: Optional[int] = None) -> None:
        require_dask()
        self._given = client
        self.verbose = verbose
        self.block_size = block_size
        self.client: Any = None
        self._cluster: Any = None
        self._owns_client = False
        self._live: Dict[Any, Any] = {}
        self._keys: Set[Any] = set()
        self._prefix = f"quorbmf-{uuid.uuid4().hex[:12]}"
        self._count = itertools.count()
        self._lost = False
        self._last_probe = 0.0
        self._gathered: Optional[Tuple[PackedMatrix, Optional[PackedMatrix]]] = None
        # The runs go one after the other on the calling thread, where
        # Ctrl-C stops a start itself; nothing sets this.
        self.stop = threading.Event()
        self.gather_limit: Optional[int] = _GATHER_LIMIT

    # -- connection -------------------------------------------------------

    def __enter__(self) -> "DaskBackend":
        try:
            self._connect()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def _connect(self) -> None:
        from distributed import Client, LocalCluster

        client = self._given
        if client is not None and not isinstance(client, Client):
            raise TypeError(f"client must be a dask.distributed.Client or None, "
                            f"got {type(client).__name__}")
        if client is None:
            try:
                from distributed import default_client

                client = default_client()
            except ValueError:
                client = None
        if client is None:
            self._cluster = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1,
                                         processes=True, dashboard_address=None,
                                         silence_logs=logging.ERROR)
            client = Client(self._cluster, timeout=_SCHEDULER_TIMEOUT, set_as_default=False)
            self._owns_client = True
        self.client = client
        if client.status != "running":
            raise SchedulerLost(f"the Dask client is not connected to a scheduler "
                                f"(status {client.status!r})")
        if not client.nthreads():
            client.wait_for_workers(1, timeout=_SCHEDULER_TIMEOUT)

    def close(self) -> None:
        """Releases every future of this runner, waits until the cluster has
        let go of them (running tasks stop after their current native call),
        then closes the client and cluster that it started."""
        try:
            if self.client is not None and self._live:
                futures = list(self._live.values())
                self._live.clear()
                # Releasing, not cancelling: once no client wants a key, the
                # scheduler forgets it and its workers drop or stop it.
                for f in futures:
                    f.release()
                del futures
                if not self._lost and self.client.status == "running":
                    self._wait_quiet()
        finally:
            self._keys.clear()
            self._gathered = None
            if self._owns_client and self.client is not None:
                try:
                    self.client.close(timeout=_SCHEDULER_TIMEOUT)
                finally:
                    self.client = None
            if self._cluster is not None:
                cluster, self._cluster = self._cluster, None
                cluster.close(timeout=_SCHEDULER_TIMEOUT)

    def _wait_quiet(self) -> None:
        keys = list(self._keys)
        if not keys:
            return
        deadline = time.monotonic() + _QUIET_TIMEOUT
        while time.monotonic() < deadline:
            try:
                known = self.client.run_on_scheduler(tasks.keys_known, keys)
                busy = self.client.run(tasks.keys_busy, keys)
            except Exception:  # the cluster is going away: nothing left to wait for
                return
            if not known and not any(busy.values()):
                return
            time.sleep(_POLL)

    def _check_connection(self) -> None:
        status = self.client.status
        if status != "running":
            self._lost = True
            raise SchedulerLost(
                f"lost the connection to the Dask scheduler at {self._address()} "
                f"(client status {status!r}); the fit was abandoned")
        now = time.monotonic()
        if now - self._last_probe >= _PROBE_EVERY:
            self._last_probe = now
            try:
                self.client.sync(self.client.scheduler.identity,
                                 callback_timeout=_SCHEDULER_TIMEOUT)
            except (TimeoutError, asyncio.TimeoutError, OSError) as exc:
                self._lost = True
                if not isinstance(exc, (TimeoutError, asyncio.TimeoutError)):
                    raise SchedulerLost(
                        f"lost the connection to the Dask scheduler at {self._address()} "
                        f"({type(exc).__name__}: {exc}); the fit was abandoned") from exc
                # A probe sent on a connection the client has not yet seen
                # closed times out as a hung scheduler would; a scheduler that
                # is gone refuses new connections, a hung one still accepts.
                if self.client.status != "running" or not _accepts_connections(self._address()):
                    raise SchedulerLost(
                        f"lost the connection to the Dask scheduler at {self._address()} "
                        "(it no longer accepts connections); the fit was abandoned") from exc
                raise SchedulerLost(
                    f"the Dask scheduler at {self._address()} did not answer within "
                    f"{_SCHEDULER_TIMEOUT:g} s; the fit was abandoned") from exc

    @contextlib.contextmanager
    def _guard(self) -> Iterator[None]:
        """Turns the failures of a call to a scheduler that went away into
        one clear error."""
        try:
            yield
        except SchedulerLost:
            raise
        except (OSError, TimeoutError, asyncio.TimeoutError, asyncio.CancelledError):
            if self._lost or self.client.status != "running":
                self._check_connection()
            raise
        except Exception as exc:
            if "Cancelled" in type(exc).__name__ and (
                    self._lost or self.client.status != "running"):
                self._check_connection()
            raise

    def _address(self) -> str:
        try:
            return str(self.client.scheduler.address)
        except Exception:
            return "(unknown address)"

    # -- tasks ------------------------------------------------------------

    def _track(self, future: Any) -> Any:
        self._live[future.key] = future
        self._keys.add(future.key)
        return future

    def _release(self, futures: Sequence[Any]) -> None:
        for f in futures:
            self._live.pop(f.key, None)
            f.release()

    def _submit(self, fn: Any, *args: Any, name: str, worker: Optional[str] = None) -> Any:
        key = f"{self._prefix}-{name}-{next(self._count)}"
        extra: Dict[str, Any] = {}
        if worker is not None:
            # A preference: if that worker is lost, the task runs elsewhere.
            extra = {"workers": [worker], "allow_other_workers": True}
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
            future = self.client.submit(fn, *args, key=key, pure=False, **extra)
        return self._track(future)

    def _wait(self, futures: Sequence[Any], label: str = "") -> None:
        from distributed import wait

        self._check_connection()
        with Progress(len(futures), label, self.verbose > 0) as progress:
            while True:
                try:
                    with self.client.as_current():
                        wait(list(futures), timeout=_POLL)
                    break
                except (TimeoutError, asyncio.TimeoutError):
                    pass
                except Exception:
                    # A lost scheduler cancels every future: say so plainly.
                    self._check_connection()
                    raise
                self._check_connection()
                progress.done(sum(f.done() for f in futures))
        self._check_connection()

    def _results(self, futures: Sequence[Any], label: str = "") -> List[Any]:
        """Waits for every future, then raises the error of the first one
        that failed (in order), else returns their results."""
        self._wait(futures, label)
        for f in futures:
            if f.status == "error":
                f.result()
            if f.status == "cancelled":
                self._check_connection()
                raise RuntimeError(f"a task of the fit was cancelled: {f.key}")
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
            return list(self.client.gather(list(futures)))

    def _threads(self) -> Dict[str, int]:
        return dict(self.client.sync(self.client.scheduler.ncores,
                                     callback_timeout=_SCHEDULER_TIMEOUT))

    # -- the backend protocol ---------------------------------------------

    def prepare(self, x: FitInput) -> FitData:
        """X as persisted row blocks and column blocks on the workers, its
        number of ones, which of its columns are non-empty and, when some
        cells are unobserved, its rows and columns with no observed cell.
        The blocks do not depend on the method or rank: each half-step
        builds the native blocks it needs over them once."""
        with self._guard():
            return self._prepare(x)

    def _row_block_rows(self, m: int, n: int, threads: int) -> int:
        """Rows per row block, a multiple of 64 unless one block holds all:
        ``block_size`` rounded up when given, otherwise about 2^26 cells and
        at least two blocks per thread when the rows allow it."""
        if self.block_size is not None:
            return min(m, -(-max(1, int(self.block_size)) // 64) * 64)
        return block_rows(m, n, 2 * threads, cells=_ROW_BLOCK_CELLS)

    def _prepare(self, x: FitInput) -> FitData:
        m, n = x.shape
        threads = self._threads()
        total_threads = max(1, sum(threads.values()))
        if x.packed is not None:
            rows_per = self._row_block_rows(m, n, total_threads)
            bounds = [(b, min(b + rows_per, m)) for b in range(0, m, rows_per)]
            words = x.packed.words
            observed = hiding(x.observed)
            seen = None if observed is None else observed.words
            row_futures = [self._submit(PackedRows, np.ascontiguousarray(words[b:e]), n,
                                        None if seen is None else np.ascontiguousarray(seen[b:e]),
                                        name="rows")
                           for b, e in bounds]
        else:
            row_futures, bounds = self._pack_on_workers(x, total_threads)
        row_stats = [self._submit(tasks.row_stats, f, name="stats") for f in row_futures]
        masks = self._results(row_stats, "prepare rows")
        self._release(row_stats)
        masked = any(s is not None for s in masks)

        # One column block per worker thread, each placed on its own thread.
        col_bounds = _split(n, min(n, total_threads))
        targets = [a for a, t in sorted(threads.items()) for _ in range(t)]
        transposed = [self._submit(tasks.transposed_pieces, f, col_bounds, masked,
                                   name="transpose")
                      for f in row_futures]
        pieces = [[self._submit(operator.getitem, t, j, name="piece") for t in transposed]
                  for j in range(len(col_bounds))]
        col_futures = [self._submit(tasks.column_block, m, *pieces[j], name="cols",
                                    worker=targets[j % len(targets)] if targets else None)
                       for j in range(len(col_bounds))]
        stat_futures = [self._submit(tasks.column_stats, f, name="stats") for f in col_futures]
        stats = self._results(stat_futures, "prepare columns")
        # The pieces are dropped once joined; Dask keeps their tasks to rebuild a lost block.
        self._release(transposed + [p for ps in pieces for p in ps] + stat_futures)
        ones = sum(s[0] for s in stats)
        nonempty = np.concatenate([s[1] for s in stats])
        data = FitData((m, n), _BlockSet(row_futures, bounds), _BlockSet(col_futures, col_bounds),
                       int(ones), nonempty, masked=masked)
        if masked:
            rows_unseen = np.concatenate([np.zeros(e - b, dtype=bool) if s is None else s
                                          for s, (b, e) in zip(masks, bounds)])
            cols_unseen = ~np.concatenate([s[2] for s in stats])
            data.see(rows_unseen, cols_unseen)
        return data

    def _pack_on_workers(self, x: FitInput,
                         threads: int) -> Tuple[List[Any], List[Tuple[int, int]]]:
        from dask.delayed import delayed

        m, n = x.shape
        arr = x.array
        row_chunks = arr.chunks[0]
        aligned = (len(arr.chunks[1]) == 1 and min(row_chunks) > 0
                   and all(c % 64 == 0 for c in row_chunks[:-1])
                   and max(row_chunks) * n <= 4 * _ROW_BLOCK_CELLS)
        if self.block_size is not None or not aligned:
            arr = arr.rechunk({0: self._row_block_rows(m, n, threads), 1: -1})
        starts = np.concatenate([[0], np.cumsum(arr.chunks[0])]).astype(int)
        bounds = [(int(starts[i]), int(starts[i + 1])) for i in range(len(arr.chunks[0]))]
        chunks = arr.to_delayed().ravel()
        masks: Sequence[Any] = [None] * len(chunks)
        if x.mask is not None:
            masks = x.mask.rechunk(arr.chunks).to_delayed().ravel()
        packing = [delayed(tasks.row_block, pure=True)(c, b, x.threshold, k)
                   for c, k, (b, _) in zip(chunks, masks, bounds)]
        graphs = {id(g): g for g in (t.__dask_graph__() for t in packing)}
        for graph in graphs.values():
            self._keys.update(graph.keys())
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
            futures = self.client.compute(packing)
        for f in futures:
            self._track(f)
        return futures, bounds

    def initial_factor(self, data: FitData, r: int, seed: int) -> Words:
        """The packed starting W: the columns of X that ``_native.initial_factor``
        picks, fetched from the column blocks. The pick depends only on which
        columns are non-empty, so it is drawn on a stand-in Xᵀ whose row j
        encodes j + 1 when column j of X is non-empty."""
        with self._guard():
            return self._initial_factor(data, r, seed)

    def _initial_factor(self, data: FitData, r: int, seed: int) -> Words:
        m, n = data.shape
        nonempty = np.flatnonzero(data.source)
        proxy = np.zeros((n, 1), dtype=np.uint64)
        proxy[nonempty, 0] = (nonempty + 1).astype(np.uint64)
        picked = PackedMatrix._trusted(_native.initial_factor(proxy, 64, r, seed), r).to_numpy()
        weights = np.left_shift(np.uint64(1), np.arange(64, dtype=np.uint64))
        codes = np.bitwise_or.reduce(np.where(picked, weights[:, None], np.uint64(0)), axis=0)
        chosen = codes.astype(np.int64) - 1

        wt = np.zeros((r, words_for(m)), dtype=np.uint64)
        requests = []
        for future, (c0, c1) in zip(data.cols.futures, data.cols.bounds):
            wanted = [(k, int(c) - c0) for k, c in enumerate(chosen) if c0 <= c < c1]
            if wanted:
                requests.append(([k for k, _ in wanted], self._submit(
                    tasks.take_rows, future, [c for _, c in wanted], name="columns")))
        try:
            rows = self._results([f for _, f in requests])
            for (factors, _), got in zip(requests, rows):
                wt[factors] = got
        finally:
            self._release([f for _, f in requests])
        return np.ascontiguousarray(_native.transpose(wt, m))

    def error_counts(self, data: FitData, w: Words, r: int, h: Words) -> Tuple[int, int]:
        """The wrong cells of W∘H, counted on the workers, block by block."""
        with self._guard():
            counts = [self._submit(tasks.error_counts, f, np.ascontiguousarray(w[b:e]), r, h,
                                   name="errors", worker=None)
                      for f, (b, e) in zip(data.rows.futures, data.rows.bounds)]
            try:
                done = self._results(counts)
                return sum(c[0] for c in done), sum(c[1] for c in done)
            finally:
                self._release(counts)

    def gather(self, data: FitData) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        """X gathered to the client once, with its observed cells when some
        are not: only a matrix up to ``_GATHER_LIMIT`` packed bytes may be."""
        with self._guard():
            return self._whole(data)

    def _whole(self, data: FitData) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        if self._gathered is None:
            m, n = data.shape
            size = m * words_for(n) * 8 * (2 if data.masked else 1)
            if size > _GATHER_LIMIT:
                raise ValueError(
                    f"init {self._start_kinds} builds its cover from the whole of X on one "
                    f"machine, and X packed is {size / 2**30:.1f} GiB, over the "
                    f"{_GATHER_LIMIT / 2**30:g} GiB that backend='dask' gathers to the client: "
                    "use init='random-columns' (or 'custom')")
            blocks = self.client.gather(data.rows.futures)
            x = PackedMatrix._trusted(np.concatenate([p.words for p in blocks]), n)
            mask = None
            if data.masked:
                mask = PackedMatrix._trusted(np.concatenate([
                    all_ones((p.rows, n)).words if p.mask is None else p.mask
                    for p in blocks]), n)
            self._gathered = (x, mask)
        return self._gathered

    _start_kinds = "'grecond' or 'asso' (and 'auto', which starts from both)"

    def map_runs(self, fn: Callable[[Backend, T], R], items: Sequence[T]) -> List[R]:
        """The runs one after the other, each spread over the cluster."""
        return [fn(self, item) for item in items]

    def _groups(self, blocks: _BlockSet) -> List[Tuple[Optional[str], List[int]]]:
        """The blocks by the worker that holds them, cut into one group per
        thread of that worker; blocks held nowhere yet are groups of one."""
        threads = self._threads()
        who = self.client.sync(self.client.scheduler.who_has,
                               keys=[f.key for f in blocks.futures],
                               callback_timeout=_SCHEDULER_TIMEOUT)
        by_worker: Dict[Optional[str], List[int]] = defaultdict(list)
        for i, f in enumerate(blocks.futures):
            holders = [a for a in who.get(f.key, ()) if a in threads]
            by_worker[holders[0] if holders else None].append(i)
        groups: List[Tuple[Optional[str], List[int]]] = []
        for worker, idx in by_worker.items():
            if worker is None:
                groups += [(None, [i]) for i in idx]
                continue
            for b, e in _split(len(idx), min(len(idx), threads[worker])):
                groups.append((worker, idx[b:e]))
        return groups

    def solve(self, factor: Words, r: int, side: _BlockSet, step: Step, out: Words,
              label: str = "") -> Solved:
        """One half-step on the cluster: sends ``factor`` to the workers,
        solves every block where it lies, writes each block's combinations
        into its rows of ``out``; returns the total error and fallbacks."""
        with self._guard():
            return self._solve_step(factor, r, side, step, out, label)

    def _solve_step(self, factor: Words, r: int, blocks: _BlockSet, step: Step, out: Words,
                    label: str) -> Solved:
        self._check_connection()
        # The factor travels inside its task, not scattered, so that Dask can
        # rebuild it when the workers holding it are lost; the workers that
        # need it fetch it from the first one.
        shared = self._submit(tasks.identity, np.ascontiguousarray(factor), name="factor")
        solving: List[Any] = []
        try:
            groups = self._groups(blocks)
            solving = [self._submit(tasks.solve, shared, r, step,
                                    *[blocks.futures[i] for i in idx], name="solve", worker=worker)
                       for worker, idx in groups]
            total, fallbacks = 0, 0
            for (_, idx), (outs, error, more) in zip(groups, self._results(solving, label)):
                total += int(error)
                fallbacks += int(more)
                for i, o in zip(idx, outs):
                    b, e = blocks.bounds[i]
                    out[b:e] = o
            return Solved(total, fallbacks)
        finally:
            self._release(solving + [shared])
