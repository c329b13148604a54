"""What runs on the Dask workers: packing chunks, laying out the column
blocks, solving half-steps and scoring starts, on blocks of rows kept as
:class:`~quorbmf.backends.blocks.PackedRows`."""
from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from ... import _native
from ..._input import all_ones, pack_observed
from ..._packed import PackedMatrix, Words, words_for
from ..._plan import Step
from ..._plan import error_counts as counted_errors
from ..blocks import PackedRows, aligned, call_rows, hiding, solve_blocks

__all__ = ["pack_rows", "row_stats", "transposed_pieces", "column_block", "column_stats",
           "take_rows", "solve", "error_counts", "identity", "keys_known", "keys_busy"]

Pieces = Tuple[Tuple[Words, Optional[Words]], ...]


def pack_rows(chunk: Any, row_offset: int, threshold: Optional[float],
              mask: Any = None) -> Tuple[PackedRows, Optional[PackedMatrix]]:
    """One chunk of rows of X, checked and packed as the local fit does it,
    and its observed cells packed (None when the chunk leaves no cell
    unobserved). A bad cell is named by its position in the whole array."""
    packed, observed = pack_observed(chunk, mask, threshold=threshold, row_offset=row_offset)
    observed = hiding(observed)
    return PackedRows(packed.words, packed.cols,
                      None if observed is None else observed.words), observed


def row_block(chunk: Any, row_offset: int, threshold: Optional[float],
              mask: Any = None) -> PackedRows:
    """A chunk of rows of X packed into the block a worker keeps."""
    return pack_rows(chunk, row_offset, threshold, mask)[0]


def row_stats(block: PackedRows) -> Optional[NDArray[np.bool_]]:
    """Which rows of the block have no observed cell (None when the block has no mask)."""
    return None if block.mask is None else ~np.asarray(block.mask.any(axis=1))


def transposed_pieces(block: PackedRows, col_bounds: Sequence[Tuple[int, int]],
                      masked: bool) -> Pieces:
    """The block's columns, cut at ``col_bounds``, as packed rows, with their
    observed cells when the fit is ``masked`` (all observed when the block
    has no mask)."""
    t = _native.transpose(block.words, block.cols)
    mt = None
    if masked:
        mt = (all_ones((block.cols, block.rows)).words if block.mask is None
              else _native.transpose(block.mask, block.cols))
    return tuple((t[c0:c1], None if mt is None else mt[c0:c1]) for c0, c1 in col_bounds)


def column_block(rows: int, *pieces: Tuple[Words, Optional[Words]]) -> PackedRows:
    """The pieces of one column range from every row block, joined."""
    # Row blocks hold multiples of 64 rows, so their transposes join word by word.
    def join(parts: List[Any]) -> Words:
        return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=1)

    masks = [m for _, m in pieces]
    return PackedRows(join([w for w, _ in pieces]), rows,
                      None if masks[0] is None else join(masks))


def column_stats(block: PackedRows) -> Tuple[int, NDArray[np.bool_], Optional[NDArray[np.bool_]]]:
    """The block's ones, which of its rows (X's columns) hold a one, and
    which hold an observed cell (None when all cells are observed)."""
    seen = None if block.mask is None else np.asarray(block.mask.any(axis=1))
    return int(_native.count_ones(block.words)), np.asarray(block.words.any(axis=1)), seen


def take_rows(block: PackedRows, rows: List[int]) -> Words:
    return block.words[rows]


def _cancelled() -> bool:
    """True when the task running this thread has been cancelled."""
    try:
        from distributed import get_worker
        from distributed.utils import thread_state  # type: ignore[attr-defined]

        worker, key = get_worker(), thread_state.key
    except (ImportError, ValueError, AttributeError):
        return False
    ts = worker.state.tasks.get(key)
    return ts is None or ts.state in ("cancelled", "released", "forgotten")


class _Cancelled(Exception):
    pass


def _until_cancelled(fn: Any, args: Sequence[Tuple[Any, ...]]) -> List[Any]:
    # A cancelled task stops after the native call it is in.
    out = []
    for a in args:
        if _cancelled():
            raise _Cancelled
        out.append(fn(*a))
    return out


def solve(factor: Words, r: int, step: Step,
          *blocks: PackedRows) -> Optional[Tuple[List[Words], int, int]]:
    """Solves every row of ``blocks`` against one solver on ``factor``, as
    the thread backend does; returns each block's combinations, the total
    error and the number of exact-search fallbacks (None once cancelled)."""
    solver = _native.Solver(aligned(factor), r)
    outs, total, fallbacks = [], 0, 0
    for block in blocks:
        out = np.zeros((block.rows, words_for(r)), dtype=np.uint64)
        # Native calls as large as the thread backend's on one thread.
        size = call_rows(block.rows, block.cols, 1, None, step, r)
        try:
            bounds, natives = block.natives(size, _until_cancelled)
            error, more = solve_blocks(solver, step, natives, [out[b:e] for b, e in bounds],
                                       _until_cancelled)
        except _Cancelled:
            return None
        total += error
        fallbacks += more
        outs.append(out)
    return outs, total, fallbacks


def error_counts(block: PackedRows, w: Words, r: int, h: Words) -> Tuple[int, int]:
    """The wrong observed cells of W∘H on one row block (w: that block's
    rows of W): (false positives, false negatives)."""
    x = PackedMatrix._trusted(block.words, block.cols)
    mask = None if block.mask is None else PackedMatrix._trusted(block.mask, block.cols)
    return counted_errors(x, mask, aligned(w), r, aligned(h))


def identity(value: Any) -> Any:
    return value


def keys_known(keys: List[Any], dask_scheduler: Any = None) -> List[Any]:
    return [k for k in keys if k in dask_scheduler.tasks]


def keys_busy(keys: List[Any], dask_worker: Any = None) -> List[Any]:
    return [k for k in keys if k in dask_worker.state.tasks]
