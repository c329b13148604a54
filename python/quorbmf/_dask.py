"""Running the factorisation on a Dask cluster.

X is checked and packed on the workers and stays there for the whole fit,
twice: as blocks of rows (solved in the W step) and as a few large blocks
of columns, the rows of Xᵀ (solved in the H step), built once from the
transposed row blocks. Each block is a persisted result that Dask can
recompute from its task graph when a worker is lost. A half-step sends
only the fixed factor to the workers and brings back only the refitted
rows of each block and their errors: one task per worker thread solves the
blocks that its worker holds, building the solver once.

The results are those of the thread runner, bit for bit: a row's solution
depends only on the row and the factor, not on the block it sits in, and
the starting factor is drawn by the same native routine.

Nothing here is imported unless the Dask backend is asked for.
"""
from __future__ import annotations

import asyncio
import contextlib
import itertools
import logging
import math
import numbers
import operator
import os
import time
import uuid
import warnings
from collections import defaultdict
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from . import _native
from ._alternating import FitData, unseen_count
from ._packed import PackedMatrix
from ._runner import _Progress, block_rows_for, parse_step, vector_cost
from ._validation import (_all_ones, _check_dtype, _check_mask, _check_shape, _missing_cells,
                          as_numbers, is_dask_collection, pack_array)

__all__ = ["DaskInput", "DaskRunner", "validate_dask", "DaskRows", "dask_rows", "dask_product"]

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
_PROGRESS_AFTER_S = 1.0


def _require_dask() -> None:
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
    except ImportError as exc:
        raise ImportError("backend='dask' needs dask[array] and distributed: "
                          "pip install 'dask[array]' distributed") from exc


def _words_for(bits: int) -> int:
    return (bits + 63) // 64


def _native_words(words: Any) -> np.ndarray:
    # Arrays rebuilt from a message may be unaligned; the core needs aligned words.
    return np.require(words, dtype=np.uint64, requirements=["C", "A"])


# ----------------------------------------------------------------------
# Input


@dataclass
class DaskInput:
    """X as the Dask runner takes it: a dask array of raw 0/1 values (and
    a dask array of its observed cells, from ``mask=``), checked and packed
    on the workers; or X already packed on the client, with its observed
    cells when some are not."""

    shape: Tuple[int, int]
    array: Any = None
    packed: Optional[PackedMatrix] = None
    threshold: Optional[float] = None
    mask: Any = None
    observed: Optional[PackedMatrix] = None


def _is_dask_dataframe(x: Any) -> bool:
    module = type(x).__module__
    return (module.startswith(("dask.dataframe", "dask_expr"))
            and hasattr(x, "to_dask_array") and hasattr(x, "columns"))


def _is_zarr(x: Any) -> bool:
    return type(x).__module__.startswith("zarr") and hasattr(x, "shape")


def _feature_names(frame: Any) -> Optional[np.ndarray]:
    from sklearn.utils.validation import _get_feature_names

    meta = getattr(frame, "_meta", None)
    return _get_feature_names(meta if meta is not None else frame.head(0))


def _threshold(value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"binarize must be a number or None, got {value!r}")
    return float(value)


def validate_dask(estimator: Any, x: Any, client: Any = None, mask: Any = None) -> DaskInput:
    """Checks what can be checked of X on the client (type, shape, dtype),
    sets the estimator's ``n_features_in_`` and ``feature_names_in_``, and
    returns what ``DaskRunner.prepare`` takes. The values of a dask array,
    data frame or zarr store are checked on the workers, and so are those
    of ``mask`` (True = observed) when X is one of them; any other input
    is checked and packed here as the local fit does it. The rows of a data
    frame, or of an array of unknown chunk sizes, are counted on ``client``
    (else on the current Dask scheduler)."""
    _require_dask()
    import dask.array as da

    names = None
    where = client.as_current() if client is not None else contextlib.nullcontext()
    if _is_dask_dataframe(x):
        names = _feature_names(x)
        with where:
            x = x.to_dask_array(lengths=True)
    elif _is_zarr(x) or isinstance(x, (str, os.PathLike)):
        x = da.from_zarr(x)
    if isinstance(x, da.Array):
        threshold = _threshold(estimator.binarize)
        if x.ndim != 2:
            _check_shape("X", x.shape)
        if any(math.isnan(c) for c in x.chunks[0]):
            with where:
                x = x.compute_chunk_sizes()
        _check_shape("X", x.shape)
        if x.dtype != np.object_:
            _check_dtype("X", x.dtype)
        if mask is not None:
            mask = _dask_mask(mask, x.shape, where)
        estimator.n_features_in_ = int(x.shape[1])
        if names is not None:
            estimator.feature_names_in_ = names
        elif hasattr(estimator, "feature_names_in_"):
            del estimator.feature_names_in_
        return DaskInput((int(x.shape[0]), int(x.shape[1])), array=x, threshold=threshold,
                         mask=mask)
    if mask is not None and is_dask_collection(mask):
        with where:
            mask = mask.compute()
    packed, observed = estimator._validate_x(x, reset=True, mask=mask)
    return DaskInput(packed.shape, packed=packed, observed=observed)


def _dask_mask(mask: Any, shape: Tuple[int, int], where: Any) -> Any:
    """``mask`` as a dask array of bool of X's shape; its values are read on the workers."""
    import dask.array as da

    if _is_dask_dataframe(mask):
        with where:
            mask = mask.to_dask_array(lengths=True)
    if not isinstance(mask, da.Array):
        mask = da.from_array(_check_mask(mask, shape))
    if any(math.isnan(c) for c in mask.chunks[0]):
        with where:
            mask = mask.compute_chunk_sizes()
    if mask.dtype != np.bool_:
        raise TypeError(f"mask must be a bool array (True = observed), got dtype {mask.dtype}")
    if tuple(mask.shape) != tuple(shape):
        raise ValueError(f"mask must have the shape of X, {tuple(shape)}, got {tuple(mask.shape)}")
    return mask


# ----------------------------------------------------------------------
# What runs on the workers


class _Packed:
    """Packed rows kept on a worker, with their observed cells when some
    are unobserved. The native blocks over them are built by the first
    half-step that solves them, in calls of the size it asks for, and kept.
    Pickles as its words, should Dask ever move it."""

    def __init__(self, words: np.ndarray, cols: int,
                 mask: Optional[np.ndarray] = None) -> None:
        self.words = _native_words(words)
        self.cols = int(cols)
        self.mask = None if mask is None else _native_words(mask)
        self._natives: Dict[int, Tuple[List[Tuple[int, int]], List[Any]]] = {}

    @property
    def rows(self) -> int:
        return int(self.words.shape[0])

    def natives(self, call_rows: int) -> Tuple[List[Tuple[int, int]], List[Any]]:
        """The native blocks of ``call_rows`` rows each (the last one may be
        shorter) and their row bounds; a cancelled task stops after the call
        it is in."""
        step = max(1, int(call_rows))
        got = self._natives.get(step)
        if got is None:
            bounds = [(b, min(b + step, self.rows)) for b in range(0, self.rows, step)]
            if self.mask is None:
                blocks = [_native.VectorBlock(self.words[b:e], self.cols) for b, e in bounds]
            else:
                blocks = [_native.VectorBlock(self.words[b:e], self.cols, mask=self.mask[b:e])
                          for b, e in bounds]
            # Only the last size asked for is kept.
            self._natives = {step: (bounds, blocks)}
            got = self._natives[step]
        return got

    def __reduce__(self) -> Any:
        return (_Packed, (self.words, self.cols, self.mask))

    def __sizeof__(self) -> int:
        # The words, the mask and, roughly, the native blocks' classes of equal rows.
        mask = 0 if self.mask is None else self.mask.nbytes
        return int(self.words.nbytes + mask + 16 * self.rows)


def _row_block(chunk: Any, row_offset: int, threshold: Optional[float],
               mask: Any = None) -> _Packed:
    packed, observed = pack_chunk(chunk, row_offset, threshold, mask)
    return _Packed(packed.words, packed.cols, None if observed is None else observed.words)


def _row_stats(block: _Packed) -> Tuple[bool, int, int]:
    """Whether the block has a mask, its rows with no observed cell and the first of them."""
    if block.mask is None:
        return False, 0, -1
    unseen = ~block.mask.any(axis=1)
    return True, int(unseen.sum()), int(np.argmax(unseen)) if unseen.any() else -1


def pack_chunk(chunk: Any, row_offset: int, threshold: Optional[float],
               mask: Any = None) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
    """One chunk of rows of X, checked and packed as the local fit does it,
    and its observed cells packed (None when the chunk leaves no cell
    unobserved: no NaN, None or pandas' NA, not a masked array, no ``mask``).
    A bad cell is named by its position in the whole array."""
    observed: Optional[np.ndarray] = None
    if isinstance(chunk, np.ma.MaskedArray):
        observed = ~np.ma.getmaskarray(chunk)
        chunk = np.ma.getdata(chunk)
    a = np.asarray(chunk)
    missing = _missing_cells(a)
    if missing is not None:
        observed = ~missing if observed is None else observed & ~missing
        # Unobserved cells are never read: whatever they hold becomes 0.
        a = np.where(missing, 0, a)
    a = as_numbers(a)
    if mask is not None:
        given = np.asarray(mask)
        if given.dtype != np.bool_:
            raise TypeError(f"mask must be a bool array (True = observed), got dtype "
                            f"{given.dtype}")
        observed = given if observed is None else observed & given
    if threshold is not None:
        a = a > threshold
    packed = pack_array(a, "X", observed, row_offset=row_offset)
    return packed, None if observed is None else PackedMatrix.from_dense(observed)


def _transposed_pieces(block: _Packed, col_bounds: Sequence[Tuple[int, int]],
                       masked: bool) -> Tuple[Tuple[np.ndarray, Optional[np.ndarray]], ...]:
    """The block's columns, cut at ``col_bounds``, as packed rows, with their
    observed cells when the fit is ``masked`` (all observed when the block
    has no mask)."""
    t = _native.transpose(block.words, block.cols)
    mt = None
    if masked:
        mt = (_all_ones((block.cols, block.rows)).words if block.mask is None
              else _native.transpose(block.mask, block.cols))
    return tuple((t[c0:c1], None if mt is None else mt[c0:c1]) for c0, c1 in col_bounds)


def _column_block(rows: int, *pieces: Tuple[np.ndarray, Optional[np.ndarray]]) -> _Packed:
    # Row blocks hold multiples of 64 rows, so their transposes join word by word.
    def join(parts: List[np.ndarray]) -> np.ndarray:
        return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=1)

    masks = [m for _, m in pieces]
    return _Packed(join([w for w, _ in pieces]), rows,
                   None if masks[0] is None else join(masks))  # type: ignore[arg-type]


def _column_stats(block: _Packed) -> Tuple[int, np.ndarray, Optional[np.ndarray]]:
    """The block's ones, which of its rows (X's columns) hold a one, and
    which hold an observed cell (None when all cells are observed)."""
    seen = None if block.mask is None else block.mask.any(axis=1)
    return int(_native.count_ones(block.words)), block.words.any(axis=1), seen


def _take_rows(block: _Packed, rows: List[int]) -> np.ndarray:
    return block.words[rows]


def _cancelled() -> bool:
    """True when the task running this thread has been cancelled."""
    try:
        from distributed import get_worker
        from distributed.utils import thread_state

        worker, key = get_worker(), thread_state.key
    except (ImportError, ValueError, AttributeError):
        return False
    ts = worker.state.tasks.get(key)
    return ts is None or ts.state in ("cancelled", "released", "forgotten")


def _solve(factor: np.ndarray, r: int, step: str, *blocks: _Packed) -> Any:
    """Solves every row of ``blocks`` against one solver on ``factor``, as
    the thread runner does for the step spec ``step`` (a method, then exact
    refits of groups of columns when it says so); returns each block's
    combinations, the total error and the number of exact-search fallbacks."""
    name, width = parse_step(step)
    solver = _native.Solver(_native_words(factor), r)
    outs, total, fallbacks = [], 0, 0
    for block in blocks:
        out = np.zeros((block.rows, _words_for(r)), dtype=np.uint64)
        # Native calls as large as the thread runner's single-thread blocks.
        call_rows = block_rows_for(block.rows, block.cols, 1, None,
                                   vector_cost(name or "greedy", r, block.cols))
        bounds, natives = block.natives(call_rows)
        for native, (b, e) in zip(natives, bounds):
            if _cancelled():
                return None
            part, error = out[b:e], 0
            if name == "exact":
                error, more = solver.half_step_counted(native, name, 0, part)
                fallbacks += int(more)
            elif name:
                error = solver.half_step(native, name, 0, part)
            if width:
                error = solver.refit_blocks(native, width, part)
            total += int(error)
        outs.append(out)
    return outs, total, fallbacks


def _start_error(block: _Packed, w: np.ndarray, r: int, h: np.ndarray) -> int:
    """Wrong observed cells of W∘H on one row block (w: that block's rows of W)."""
    wrong = _native.product(_native_words(w), r, _native_words(h), block.cols) ^ block.words
    if block.mask is not None:
        wrong &= block.mask
    return int(_native.count_ones(wrong))


def _identity(value: Any) -> Any:
    return value


def _keys_known(keys: List[Any], dask_scheduler: Any = None) -> List[Any]:
    return [k for k in keys if k in dask_scheduler.tasks]


def _keys_busy(keys: List[Any], dask_worker: Any = None) -> List[Any]:
    return [k for k in keys if k in dask_worker.state.tasks]


# ----------------------------------------------------------------------
# The runner


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


class SchedulerLost(RuntimeError):
    """The Dask scheduler went away or stopped answering during a fit."""


class DaskRunner:
    """Runs the half-steps of a fit on a Dask cluster: the client given,
    else the current default client, else a LocalCluster that it starts and
    closes. A context manager that leaves no task, future or cluster of its
    own behind, whether the fit ends, fails or is interrupted."""

    def __init__(self, client: Any = None, verbose: int = 0) -> None:
        _require_dask()
        self._given = client
        self.verbose = verbose
        self.client: Any = None
        self._cluster: Any = None
        self._owns_client = False
        self._live: Dict[Any, Any] = {}
        self._keys: set = set()
        self._prefix = f"quorbmf-{uuid.uuid4().hex[:12]}"
        self._count = itertools.count()
        self._lost = False
        self._last_probe = 0.0
        # Vectors whose exact search ran over its budget, over the fit.
        self.fallbacks = 0
        self._gathered: Optional[Tuple[PackedMatrix, Optional[PackedMatrix]]] = None

    # -- connection -------------------------------------------------------

    def __enter__(self) -> "DaskRunner":
        try:
            self._connect()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: Any) -> None:
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
                known = self.client.run_on_scheduler(_keys_known, keys)
                busy = self.client.run(_keys_busy, keys)
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
        except (OSError, TimeoutError, asyncio.TimeoutError, asyncio.CancelledError) as exc:
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
        start, bar = time.perf_counter(), None
        try:
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
                if self.verbose and label:
                    done = sum(f.done() for f in futures)
                    if bar is None and time.perf_counter() - start > _PROGRESS_AFTER_S:
                        bar = _Progress(len(futures), label)
                        bar.update(done)
                    elif bar is not None and done > bar.done:
                        bar.update(done - bar.done)
        finally:
            if bar is not None:
                bar.close()
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

    # -- the interface of the alternating loop ----------------------------

    def prepare(self, x: DaskInput, block_size: Optional[int]) -> FitData:
        """X as persisted row blocks and column blocks on the workers, its
        number of ones, which of its columns are non-empty and, when some
        cells are unobserved, its rows and columns with no observed cell.
        The blocks do not depend on the method or rank: each half-step
        builds the native blocks it needs over them once."""
        with self._guard():
            return self._prepare(x, block_size)

    def _prepare(self, x: DaskInput, block_size: Optional[int]) -> FitData:
        m, n = x.shape
        threads = self._threads()
        total_threads = max(1, sum(threads.values()))
        if x.packed is not None:
            rows_per = _block_rows(m, n, total_threads, block_size)
            bounds = [(b, min(b + rows_per, m)) for b in range(0, m, rows_per)]
            words = x.packed.words
            seen = None if x.observed is None else x.observed.words
            row_futures = [self._submit(_Packed, np.ascontiguousarray(words[b:e]), n,
                                        None if seen is None else np.ascontiguousarray(seen[b:e]),
                                        name="rows")
                           for b, e in bounds]
        else:
            row_futures, bounds = self._pack_on_workers(x, total_threads, block_size)
        row_stats = [self._submit(_row_stats, f, name="stats") for f in row_futures]
        masks = self._results(row_stats, "prepare rows")
        self._release(row_stats)
        masked = any(s[0] for s in masks)

        # One column block per worker thread, each placed on its own thread.
        col_bounds = _split(n, min(n, total_threads))
        targets = [a for a, t in sorted(threads.items()) for _ in range(t)]
        transposed = [self._submit(_transposed_pieces, f, col_bounds, masked, name="transpose")
                      for f in row_futures]
        pieces = [[self._submit(operator.getitem, t, j, name="piece") for t in transposed]
                  for j in range(len(col_bounds))]
        col_futures = [self._submit(_column_block, m, *pieces[j], name="cols",
                                    worker=targets[j % len(targets)] if targets else None)
                       for j in range(len(col_bounds))]
        stat_futures = [self._submit(_column_stats, f, name="stats") for f in col_futures]
        stats = self._results(stat_futures, "prepare columns")
        # The pieces are dropped once joined; Dask keeps their tasks to rebuild a lost block.
        self._release(transposed + [p for ps in pieces for p in ps] + stat_futures)
        ones = sum(s[0] for s in stats)
        nonempty = np.concatenate([s[1] for s in stats])
        data = FitData((m, n), _BlockSet(row_futures, bounds), _BlockSet(col_futures, col_bounds),
                       int(ones), nonempty, masked=masked)
        if masked:
            firsts = [b + s[2] for s, (b, _) in zip(masks, bounds) if s[2] >= 0]
            cols_seen = np.concatenate([s[2] for s in stats])
            data.unseen = ((sum(s[1] for s in masks), firsts[0] if firsts else -1),
                           unseen_count(cols_seen))
        return data

    def _pack_on_workers(self, x: DaskInput, threads: int,
                         block_size: Optional[int]) -> Tuple[List[Any], List[Tuple[int, int]]]:
        import dask

        m, n = x.shape
        arr = x.array
        row_chunks = arr.chunks[0]
        aligned = (len(arr.chunks[1]) == 1 and min(row_chunks) > 0
                   and all(c % 64 == 0 for c in row_chunks[:-1])
                   and max(row_chunks) * n <= 4 * _ROW_BLOCK_CELLS)
        if block_size is not None or not aligned:
            rows_per = _block_rows(m, n, threads, block_size)
            arr = arr.rechunk({0: rows_per, 1: -1})
        starts = np.concatenate([[0], np.cumsum(arr.chunks[0])]).astype(int)
        bounds = [(int(starts[i]), int(starts[i + 1])) for i in range(len(arr.chunks[0]))]
        chunks = arr.to_delayed().ravel()
        masks: Sequence[Any] = [None] * len(chunks)
        if x.mask is not None:
            masks = x.mask.rechunk(arr.chunks).to_delayed().ravel()
        tasks = [dask.delayed(_row_block, pure=True)(c, b, x.threshold, k)
                 for c, k, (b, _) in zip(chunks, masks, bounds)]
        graphs = {id(g): g for g in (t.__dask_graph__() for t in tasks)}
        for graph in graphs.values():
            self._keys.update(graph.keys())
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
            futures = self.client.compute(tasks)
        for f in futures:
            self._track(f)
        return futures, bounds

    def initial_factor(self, data: FitData, r: int, seed: int) -> np.ndarray:
        """The packed starting W: the columns of X that ``_native.initial_factor``
        picks, fetched from the column blocks. The pick depends only on which
        columns are non-empty, so it is drawn on a stand-in Xᵀ whose row j
        encodes j + 1 when column j of X is non-empty."""
        with self._guard():
            return self._initial_factor(data, r, seed)

    def _initial_factor(self, data: FitData, r: int, seed: int) -> np.ndarray:
        m, n = data.shape
        nonempty = np.flatnonzero(data.source)
        proxy = np.zeros((n, 1), dtype=np.uint64)
        proxy[nonempty, 0] = (nonempty + 1).astype(np.uint64)
        picked = PackedMatrix._trusted(_native.initial_factor(proxy, 64, r, seed), r).to_numpy()
        weights = np.left_shift(np.uint64(1), np.arange(64, dtype=np.uint64))
        codes = np.bitwise_or.reduce(np.where(picked, weights[:, None], np.uint64(0)), axis=0)
        chosen = codes.astype(np.int64) - 1

        wt = np.zeros((r, _words_for(m)), dtype=np.uint64)
        requests = []
        for future, (c0, c1) in zip(data.cols.futures, data.cols.bounds):
            wanted = [(l, int(c) - c0) for l, c in enumerate(chosen) if c0 <= c < c1]
            if wanted:
                requests.append(([l for l, _ in wanted], self._submit(
                    _take_rows, future, [c for _, c in wanted], name="columns")))
        try:
            rows = self._results([f for _, f in requests])
            for (factors, _), got in zip(requests, rows):
                wt[factors] = got
        finally:
            self._release([f for _, f in requests])
        return np.ascontiguousarray(_native.transpose(wt, m))

    def start_factors(self, data: FitData, start: Any, r: int,
                      custom: Any = None) -> Tuple[np.ndarray, Any]:
        """A start with an H of its own: the packed W and (Hᵀ, the error of
        W∘H). The user's factors are scored on the workers; a classic cover
        (GreConD, Asso) is built on the client from X gathered once, which
        only a matrix up to ``_GATHER_LIMIT`` packed bytes may be."""
        from ._plan import start_factors

        m, n = data.shape
        with self._guard():
            if start.kind == "custom":
                w = PackedMatrix.from_dense(custom[0]).words
                h = PackedMatrix.from_dense(custom[1]).words
                errors = [self._submit(_start_error, f, np.ascontiguousarray(w[b:e]), r, h,
                                       name="start", worker=None)
                          for f, (b, e) in zip(data.rows.futures, data.rows.bounds)]
                try:
                    error = sum(self._results(errors))
                finally:
                    self._release(errors)
                return w, (_native.transpose(h, n), int(error))
            x, mask = self._whole(data)
            return start_factors(start, x, mask, r, custom)

    def _whole(self, data: FitData) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        """X gathered to the client once, with its observed cells when some are not."""
        if self._gathered is None:
            m, n = data.shape
            size = m * _words_for(n) * 8 * (2 if data.masked else 1)
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
                    _all_ones((p.rows, n)).words if p.mask is None else p.mask
                    for p in blocks]), n)
            self._gathered = (x, mask)
        return self._gathered

    _start_kinds = "'grecond' or 'asso' (and 'auto', which starts from both)"

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

    def solve(self, factor: np.ndarray, r: int, blocks: _BlockSet, method: str, out: np.ndarray,
              label: str = "") -> int:
        """One half-step on the cluster: sends ``factor`` to the workers,
        solves every block where it lies, writes each block's combinations
        into its rows of ``out`` and returns the total error."""
        with self._guard():
            return self._solve_step(factor, r, blocks, method, out, label)

    def _solve_step(self, factor: np.ndarray, r: int, blocks: _BlockSet, method: str,
                    out: np.ndarray, label: str) -> int:
        self._check_connection()
        # The factor travels inside its task, not scattered, so that Dask can
        # rebuild it when the workers holding it are lost; the workers that
        # need it fetch it from the first one.
        shared = self._submit(_identity, np.ascontiguousarray(factor), name="factor")
        tasks: List[Any] = []
        try:
            groups = self._groups(blocks)
            tasks = [self._submit(_solve, shared, r, method, *[blocks.futures[i] for i in idx],
                                  name="solve", worker=worker)
                     for worker, idx in groups]
            total = 0
            for (_, idx), (outs, error, fallbacks) in zip(groups, self._results(tasks, label)):
                total += int(error)
                self.fallbacks += int(fallbacks)
                for i, o in zip(idx, outs):
                    b, e = blocks.bounds[i]
                    out[b:e] = o
            return total
        finally:
            self._release(tasks + [shared])


def _block_rows(m: int, n: int, threads: int, block_size: Optional[int]) -> int:
    """Rows per row block, a multiple of 64: ``block_size`` rounded up when
    given, otherwise about 2^26 cells and at least two blocks per thread
    when the rows allow it."""
    if block_size is not None:
        rows = max(1, int(block_size))
    else:
        rows = max(64, _ROW_BLOCK_CELLS // max(n, 1))
        rows = min(rows, max(64, -(-m // (2 * threads))))
    rows = -(-rows // 64) * 64
    return min(rows, -(-m // 64) * 64)


# ----------------------------------------------------------------------
# Using a fitted model on a dask array: lazy, chunk by chunk


@dataclass
class DaskRows:
    """New rows of X as a dask array with whole rows in each chunk, and
    their observed cells (a dask array of the same chunks) when ``mask=``
    was given."""

    array: Any
    mask: Any
    threshold: Optional[float]


def dask_rows(estimator: Any, x: Any, mask: Any = None) -> DaskRows:
    """Checks a dask array or data frame against a fitted estimator (its
    number of features and, for a data frame, their names), as ``transform``
    takes it; the values are checked chunk by chunk when computed."""
    _require_dask()
    import dask.array as da

    where = contextlib.nullcontext()
    if _is_dask_dataframe(x):
        names = _feature_names(x)
        fitted = getattr(estimator, "feature_names_in_", None)
        if names is not None and fitted is not None and not np.array_equal(names, fitted):
            raise ValueError("The feature names should match those that were passed during fit.")
        x = x.to_dask_array(lengths=True)
    if not isinstance(x, da.Array):
        raise TypeError(f"X must be a dask array or data frame here, got {type(x).__name__}")
    if x.ndim != 2:
        _check_shape("X", x.shape)
    if any(math.isnan(c) for c in x.chunks[0]):
        x = x.compute_chunk_sizes()
    _check_shape("X", x.shape)
    if x.dtype != np.object_:
        _check_dtype("X", x.dtype)
    if x.shape[1] != estimator.n_features_in_:
        raise ValueError(f"X has {x.shape[1]} features, but {type(estimator).__name__} is "
                         f"expecting {estimator.n_features_in_} features as input.")
    x = x.rechunk({1: -1})
    if mask is not None:
        mask = _dask_mask(mask, x.shape, where).rechunk(x.chunks)
    return DaskRows(x, mask, _threshold(estimator.binarize))


def _chunk_offset(block_info: Any) -> int:
    return int(block_info[0]["array-location"][0][0]) if block_info else 0


def _solve_chunk(chunk: Any, mask: Any, ht: np.ndarray, r: int, step: str,
                 threshold: Optional[float], offset: int) -> Tuple[np.ndarray, int, int]:
    """One chunk's W (packed), its error and its number of observed cells."""
    packed, observed = pack_chunk(chunk, offset, threshold, mask)
    block = _Packed(packed.words, packed.cols, None if observed is None else observed.words)
    solved = _solve(ht, r, step, block)
    if solved is None:
        raise RuntimeError("the task was cancelled")
    outs, error, _ = solved
    cells = packed.rows * packed.cols if observed is None else observed.count_ones()
    return outs[0], int(error), int(cells)


def _transform_chunk(chunk: Any, mask: Any, ht: np.ndarray, r: int, step: str,
                     threshold: Optional[float], block_info: Any = None) -> np.ndarray:
    w, _, _ = _solve_chunk(chunk, mask, ht, r, step, threshold, _chunk_offset(block_info))
    return PackedMatrix._trusted(w, r).to_numpy()


def _score_chunk(chunk: Any, mask: Any, ht: np.ndarray, r: int, step: str,
                 threshold: Optional[float], block_info: Any = None) -> np.ndarray:
    _, error, cells = _solve_chunk(chunk, mask, ht, r, step, threshold,
                                   _chunk_offset(block_info))
    return np.array([[error, cells]], dtype=np.int64)


def _rows_map(fn: Any, rows: DaskRows, ht: np.ndarray, r: int, step: str,
              chunks: Tuple[Any, Any], dtype: Any) -> Any:
    import dask.array as da

    return da.map_blocks(fn, rows.array, rows.mask, ht, r, step, rows.threshold, dtype=dtype,
                         chunks=chunks, token=f"quorbmf-{fn.__name__.strip('_')}")


def dask_transform(rows: DaskRows, ht: np.ndarray, r: int, step: str) -> Any:
    """W for each chunk of rows, solved with Hᵀ fixed: a lazy dask array of
    bool, chunked by the rows of X."""
    return _rows_map(_transform_chunk, rows, ht, r, step, (rows.array.chunks[0], (r,)),
                     np.bool_)


def dask_score(rows: DaskRows, ht: np.ndarray, r: int, step: str) -> Tuple[int, int]:
    """The wrong observed cells of the reconstruction of every chunk, and
    the observed cells, summed on the current Dask scheduler."""
    per_chunk = _rows_map(_score_chunk, rows, ht, r, step,
                          ((1,) * len(rows.array.chunks[0]), (2,)), np.int64)
    error, cells = per_chunk.sum(axis=0).compute()
    return int(error), int(cells)


def _product_chunk(chunk: Any, h: np.ndarray, r: int, n: int,
                   block_info: Any = None) -> np.ndarray:
    w = pack_array(np.asarray(chunk), "W", row_offset=_chunk_offset(block_info))
    return PackedMatrix._trusted(_native.product(w.words, r, h, n), n).to_numpy()


def dask_product(w: Any, h: np.ndarray, r: int, n: int) -> Any:
    """W∘H for a dask array W (r columns) and a packed H: a lazy dask array
    of bool with W's row chunks."""
    if w.ndim != 2:
        _check_shape("W", w.shape)
    if any(math.isnan(c) for c in w.chunks[0]):
        w = w.compute_chunk_sizes()
    if w.shape[1] != r:
        raise ValueError(f"W has {w.shape[1]} columns, but this model has {r} components")
    if w.dtype != np.object_:
        _check_dtype("W", w.dtype)
    w = w.rechunk({1: -1})
    import dask.array as da

    return da.map_blocks(_product_chunk, w, h, r, n, dtype=np.bool_,
                         chunks=(w.chunks[0], (n,)), token="quorbmf-product")
