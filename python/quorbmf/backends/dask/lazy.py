"""Using a fitted model on a dask array: lazily, chunk by chunk.

Each chunk of rows is checked and packed by the same door as a local
input and solved by the same task as a fit's half-step, so ``transform``
and ``score`` give what they give on NumPy.
"""
from __future__ import annotations

from typing import Any, Callable, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from ... import _native
from ..._input import pack_array
from ..._packed import Cells, PackedMatrix, Words
from ..._plan import Step
from . import tasks
from .input import DaskRows, checked_array

__all__ = ["dask_transform", "dask_score", "dask_product"]


def _chunk_offset(block_info: Any) -> int:
    return int(block_info[0]["array-location"][0][0]) if block_info else 0


def _solve_chunk(chunk: Any, mask: Any, ht: Words, r: int, step: Step,
                 threshold: Optional[float], offset: int) -> Tuple[Words, int, int]:
    """One chunk's W (packed), its error and its number of observed cells."""
    block, observed = tasks.pack_rows(chunk, offset, threshold, mask)
    solved = tasks.solve(ht, r, step, block)
    if solved is None:
        raise RuntimeError("the task was cancelled")
    outs, error, _ = solved
    if step.costs is not None:
        # The solver's total is weighted; the error counts wrong cells.
        error = sum(tasks.error_counts(block, outs[0], r, _native.transpose(ht, r)))
    cells = block.rows * block.cols if observed is None else observed.count_ones()
    return outs[0], int(error), int(cells)


def _transform_chunk(chunk: Any, mask: Any, ht: Words, r: int, step: Step,
                     threshold: Optional[float], block_info: Any = None) -> Cells:
    w, _, _ = _solve_chunk(chunk, mask, ht, r, step, threshold, _chunk_offset(block_info))
    return PackedMatrix._trusted(w, r).to_numpy()


def _score_chunk(chunk: Any, mask: Any, ht: Words, r: int, step: Step,
                 threshold: Optional[float], block_info: Any = None) -> NDArray[np.int64]:
    _, error, cells = _solve_chunk(chunk, mask, ht, r, step, threshold,
                                   _chunk_offset(block_info))
    return np.array([[error, cells]], dtype=np.int64)


def _rows_map(fn: Callable[..., Any], rows: DaskRows, ht: Words, r: int, step: Step,
              chunks: Tuple[Any, Any], dtype: Any) -> Any:
    import dask.array as da

    return da.map_blocks(fn, rows.array, rows.mask, ht, r, step, rows.threshold, dtype=dtype,
                         chunks=chunks, token=f"quorbmf-{fn.__name__.strip('_')}")


def dask_transform(rows: DaskRows, ht: Words, r: int, step: Step) -> Any:
    """W for each chunk of rows, solved with Hᵀ fixed: a lazy dask array of
    bool, chunked by the rows of X."""
    return _rows_map(_transform_chunk, rows, ht, r, step, (rows.array.chunks[0], (r,)),
                     np.bool_)


def dask_score(rows: DaskRows, ht: Words, r: int, step: Step) -> Tuple[int, int]:
    """The wrong observed cells of the reconstruction of every chunk, and
    the observed cells, summed on the current Dask scheduler."""
    per_chunk = _rows_map(_score_chunk, rows, ht, r, step,
                          ((1,) * len(rows.array.chunks[0]), (2,)), np.int64)
    error, cells = per_chunk.sum(axis=0).compute()
    return int(error), int(cells)


def _product_chunk(chunk: Any, h: Words, r: int, n: int, block_info: Any = None) -> Cells:
    w = pack_array(np.asarray(chunk), "W", row_offset=_chunk_offset(block_info))
    return PackedMatrix._trusted(_native.product(w.words, r, h, n), n).to_numpy()


def dask_product(w: Any, h: Words, r: int, n: int) -> Any:
    """W∘H for a dask array W (r columns) and a packed H: a lazy dask array
    of bool with W's row chunks."""
    import contextlib

    import dask.array as da

    w = checked_array(w, "W", contextlib.nullcontext())
    if w.shape[1] != r:
        raise ValueError(f"W has {w.shape[1]} columns, but this model has {r} components")
    w = w.rechunk({1: -1})
    return da.map_blocks(_product_chunk, w, h, r, n, dtype=np.bool_,
                         chunks=(w.chunks[0], (n,)), token="quorbmf-product")
