"""scipy.sparse inputs, checked before anything reads them through their
index arrays, and their cells as scipy counts them.

scipy trusts the index arrays of a matrix it did not build; its own
conversions (``tocsr``, ``toarray``, ``sum_duplicates``) read out of bounds
or allocate what a corrupt index pointer asks for. So every format is read
here from its own arrays, checked in O(nnz) — index-pointer length, first
and last value, order, index range, lengths and dtypes — and turned into
:class:`SparseCells`: a compressed structure (rows of a CSR, or columns of
a CSC, never converted) in which every stored cell appears once, holding
the sum of its stored entries, as scipy's value of the cell is.
Duplicates are found in O(nnz) when the indices are sorted, and combined
after an O(nnz log nnz) sort when they are not.
"""
from __future__ import annotations

import itertools
import operator
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._packed import PackedMatrix

__all__ = ["SparseCells", "checked_sparse", "is_sparse"]


def is_sparse(x: Any) -> bool:
    """True for a scipy.sparse matrix or array of any format."""
    import scipy.sparse as sp

    return bool(sp.issparse(x))


class _Malformed(Exception):
    """What is wrong with a sparse structure, in a few words."""


@dataclass(frozen=True)
class SparseCells:
    """The checked cells of a sparse matrix: ``indptr`` (n_major + 1 entries,
    from 0, non-decreasing, ending at ``len(indices)``) and ``indices``
    (each below n_minor, each (major, minor) cell at most once) compress
    rows, or columns when ``by_columns``; ``data`` (1-D, a bool, integer or
    float dtype) holds one value per stored cell."""

    shape: Tuple[int, int]
    indptr: NDArray[Any]
    indices: NDArray[Any]
    data: NDArray[Any]
    by_columns: bool

    def with_data(self, data: NDArray[Any]) -> "SparseCells":
        """The same cells holding ``data``."""
        return SparseCells(self.shape, self.indptr, self.indices, data, self.by_columns)

    def coordinates(self) -> Tuple[NDArray[Any], NDArray[Any]]:
        """The row and the column of every stored entry."""
        major = np.repeat(np.arange(self.indptr.shape[0] - 1, dtype=np.int64),
                          np.diff(self.indptr))
        return (self.indices, major) if self.by_columns else (major, self.indices)

    def first_cell(self, entries: NDArray[Any]) -> Tuple[int, int, int]:
        """Of the stored entries at positions ``entries`` (not empty), the
        one first in row-major order: (row, col, position)."""
        major = np.searchsorted(self.indptr, entries, side="right") - 1
        minor = self.indices[entries]
        rows, cols = (minor, major) if self.by_columns else (major, minor)
        k = int(np.lexsort((cols, rows))[0])
        return int(rows[k]), int(cols[k]), int(entries[k])

    def pack(self) -> PackedMatrix:
        """1 in every cell holding 1, 0 elsewhere. Every value must be 0 or 1
        (the native packer refuses others; callers check the values first,
        to name the bad cell)."""
        return self._pack(self.data)

    def pack_stored(self) -> PackedMatrix:
        """1 in every stored cell, whatever it holds."""
        return self._pack(None)

    def _pack(self, data: Optional[NDArray[Any]]) -> PackedMatrix:
        rows, cols = self.shape
        if rows == 0:
            return PackedMatrix.zeros(0, cols)
        if not self.by_columns:
            return PackedMatrix._trusted(
                _native.pack_csr(self.indptr, self.indices, data, rows, cols), cols)
        # A CSC matrix is the CSR form of its transpose: pack that, transpose the words.
        words = _native.pack_csr(self.indptr, self.indices, data, cols, rows)
        return PackedMatrix._trusted(words, rows).transpose()


def _index(value: Any, what: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise _Malformed(f"{what} is {value!r}, not an integer") from None


def _shape(x: Any) -> Tuple[int, ...]:
    try:
        shape = tuple(x.shape)
    except (AttributeError, TypeError):
        raise _Malformed("it has no shape") from None
    dims = tuple(_index(n, "its shape") for n in shape)
    if any(n < 0 for n in dims):
        raise _Malformed(f"its shape {dims} is negative")
    return dims


def _vector(value: Any, what: str, integer: bool) -> NDArray[Any]:
    """``value`` as a 1-D array of native byte order (of an integer dtype
    when ``integer``, else of a bool, integer or float dtype)."""
    a = np.asarray(value)
    if a.ndim != 1:
        raise _Malformed(f"its {what} has {a.ndim} dimensions, not 1")
    kinds = "iu" if integer else "biuf"
    if a.dtype.kind not in kinds:
        raise _Malformed(f"its {what} have dtype {a.dtype}, not "
                         f"{'an integer' if integer else 'a bool, integer or float'} dtype")
    return a if a.dtype.isnative else a.astype(a.dtype.newbyteorder("="))


def _in_range(a: NDArray[Any], bound: int, what: str) -> None:
    """Every entry of the integer array ``a`` in 0..bound-1."""
    if a.size == 0:
        return
    low, high = int(a.min()), int(a.max())
    if low < 0 or high >= bound:
        bad = low if low < 0 else high
        span = f"0..{bound - 1}" if bound > 0 else "an empty range"
        raise _Malformed(f"its {what} hold {bad}, outside {span}")


def _compressed(indptr: Any, indices: Any, data: Any, n_major: int, n_minor: int,
                major: str) -> Tuple[NDArray[Any], NDArray[Any], NDArray[Any]]:
    """A CSR or CSC structure checked: (indptr, indices[:nnz], data[:nnz])."""
    indptr = _vector(indptr, "indptr", integer=True)
    indices = _vector(indices, "indices", integer=True)
    data = _vector(data, "data", integer=False)
    if indptr.shape[0] != n_major + 1:
        raise _Malformed(f"its indptr has {indptr.shape[0]} entries, but {n_major} {major} "
                         f"need {n_major + 1}")
    if int(indptr[0]) != 0:
        raise _Malformed(f"its indptr starts at {int(indptr[0])}, not 0")
    falls = np.flatnonzero(indptr[1:] < indptr[:-1])
    if falls.size:
        k = int(falls[0])
        raise _Malformed(f"its indptr falls from {int(indptr[k])} to {int(indptr[k + 1])} "
                         f"at entry {k + 1}")
    if indices.shape[0] != data.shape[0]:
        raise _Malformed(f"its indices have {indices.shape[0]} entries but its data "
                         f"{data.shape[0]}")
    nnz = int(indptr[-1])
    if nnz > indices.shape[0]:
        raise _Malformed(f"its indptr ends at {nnz}, beyond the {indices.shape[0]} entries "
                         "of its indices and data")
    indices, data = indices[:nnz], data[:nnz]
    _in_range(indices, n_minor, "indices")
    return indptr, indices, data


def _sums(indptr: NDArray[Any], indices: NDArray[Any], data: NDArray[Any], n_major: int,
          major_of: Optional[NDArray[Any]] = None
          ) -> Tuple[NDArray[Any], NDArray[Any], NDArray[Any]]:
    """A checked compressed structure with every cell once, holding the sum
    of its stored entries in the data's dtype, as scipy sums duplicates
    (``bool`` sums are ORs); the arrays themselves when no cell repeats."""
    nnz = indices.shape[0]
    if nnz < 2:
        return indptr, indices, data
    rising = indices[1:] > indices[:-1]
    # A step to the next non-empty major line may fall.
    starts = indptr[1:-1]
    rising[starts[(starts > 0) & (starts < nnz)] - 1] = True
    if rising.all():
        return indptr, indices, data
    if major_of is None:
        major_of = np.repeat(np.arange(n_major, dtype=np.int64), np.diff(indptr))
    order = np.lexsort((indices, major_of))
    major_sorted, minor_sorted = major_of[order], indices[order]
    repeats = (major_sorted[1:] == major_sorted[:-1]) & (minor_sorted[1:] == minor_sorted[:-1])
    if not repeats.any():
        return indptr, indices, data
    first = np.flatnonzero(np.concatenate(([True], ~repeats)))
    summed = np.add.reduceat(data[order], first, dtype=data.dtype)
    counts = np.bincount(major_sorted[first], minlength=n_major)
    new_indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    return new_indptr, minor_sorted[first], summed


def _from_coordinates(row: NDArray[Any], col: NDArray[Any], data: NDArray[Any],
                      shape: Tuple[int, int]) -> SparseCells:
    """Checked coordinates as CSR cells, duplicates summed."""
    rows, cols = shape
    _in_range(row, rows, "row indices")
    _in_range(col, cols, "column indices")
    row = row.astype(np.int64, copy=False)
    if row.shape[0] > 1 and not bool(np.all(row[1:] >= row[:-1])):
        order = np.argsort(row, kind="stable")
        row, col, data = row[order], col[order], data[order]
    counts = np.bincount(row, minlength=rows)
    indptr = np.concatenate(([0], np.cumsum(counts))).astype(np.int64)
    indptr, indices, data = _sums(indptr, col, data, rows, row)
    return SparseCells(shape, indptr, indices, data, by_columns=False)


def _csr(x: Any, shape: Tuple[int, int]) -> SparseCells:
    fmt = x.format
    n_major, n_minor = (shape[1], shape[0]) if fmt == "csc" else shape
    indptr, indices, data = _compressed(x.indptr, x.indices, x.data, n_major, n_minor,
                                        "columns" if fmt == "csc" else "rows")
    indptr, indices, data = _sums(indptr, indices, data, n_major)
    return SparseCells(shape, indptr, indices, data, by_columns=fmt == "csc")


def _coo(x: Any, shape: Tuple[int, int]) -> SparseCells:
    coords = getattr(x, "coords", None)
    if coords is None:
        coords = (x.row, x.col)
    if len(coords) != 2:
        raise _Malformed(f"it has {len(coords)} coordinate arrays, not 2")
    row = _vector(coords[0], "row indices", integer=True)
    col = _vector(coords[1], "column indices", integer=True)
    data = _vector(x.data, "data", integer=False)
    if not row.shape[0] == col.shape[0] == data.shape[0]:
        raise _Malformed(f"its row indices, column indices and data have {row.shape[0]}, "
                         f"{col.shape[0]} and {data.shape[0]} entries")
    return _from_coordinates(row, col, data, shape)


def _bsr(x: Any, shape: Tuple[int, int]) -> SparseCells:
    blocks = np.asarray(x.data)
    if blocks.ndim != 3:
        raise _Malformed(f"its data has {blocks.ndim} dimensions, not 3")
    r, c = int(blocks.shape[1]), int(blocks.shape[2])
    if r < 1 or c < 1 or shape[0] % r or shape[1] % c:
        raise _Malformed(f"its blocks of {r}x{c} do not tile its shape {shape}")
    # Check the structure of the blocks as a CSR of block positions.
    nb = blocks.shape[0]
    indptr, indices, _ = _compressed(x.indptr, x.indices, np.zeros(nb, dtype=bool),
                                     shape[0] // r, shape[1] // c, "block rows")
    blocks = blocks[:indices.shape[0]]
    data = _vector(blocks.reshape(-1), "data", integer=False)
    block_row = np.repeat(np.arange(shape[0] // r, dtype=np.int64), np.diff(indptr))
    full = (block_row.shape[0], r, c)
    row = np.broadcast_to(block_row[:, None, None] * r + np.arange(r)[None, :, None], full)
    col = np.broadcast_to(indices.astype(np.int64)[:, None, None] * c
                          + np.arange(c)[None, None, :], full)
    return _from_coordinates(row.reshape(-1), col.reshape(-1), data, shape)


def _dia(x: Any, shape: Tuple[int, int]) -> SparseCells:
    diagonals = np.asarray(x.data)
    offsets = _vector(x.offsets, "offsets", integer=True)
    if diagonals.ndim != 2 or diagonals.shape[0] != offsets.shape[0]:
        raise _Malformed(f"its data of shape {diagonals.shape} does not hold one row for "
                         f"each of its {offsets.shape[0]} offsets")
    rows, cols = shape
    width = diagonals.shape[1]
    parts: Dict[str, list[NDArray[Any]]] = {"row": [], "col": [], "data": []}
    for k, offset in enumerate(int(o) for o in offsets):
        # Diagonal k holds cell (j - offset, j) at data[k, j].
        begin, end = max(0, offset), min(cols, rows + offset, width)
        if begin >= end:
            continue
        j = np.arange(begin, end, dtype=np.int64)
        parts["row"].append(j - offset)
        parts["col"].append(j)
        parts["data"].append(diagonals[k, begin:end])
    if not parts["data"]:
        return _from_coordinates(np.zeros(0, np.int64), np.zeros(0, np.int64),
                                 _vector(diagonals.reshape(-1)[:0], "data", False), shape)
    # Every cell of a diagonal inside the matrix is stored, a zero too, as
    # the matrix's nnz counts it (and as LIL, DOK and BSR keep their zeros).
    data = _vector(np.concatenate(parts["data"]), "data", integer=False)
    return _from_coordinates(np.concatenate(parts["row"]), np.concatenate(parts["col"]), data,
                             shape)


def _values(items: Sequence[Any], dtype: Any) -> NDArray[Any]:
    values = np.asarray(items) if len(items) else np.zeros(0, dtype=dtype)
    values = _vector(values, "data", integer=False)
    return values.astype(dtype, copy=False) if np.dtype(dtype).kind in "biuf" else values


def _dok(x: Any, shape: Tuple[int, int]) -> SparseCells:
    pairs = list(x.items())
    keys = np.asarray([key for key, _ in pairs])
    if pairs and (keys.ndim != 2 or keys.shape[1] != 2):
        raise _Malformed("its keys are not all (row, column) pairs")
    keys = keys.reshape(-1, 2)
    if keys.dtype.kind not in "iu":
        keys = keys.astype(np.int64) if keys.size == 0 else keys
        if keys.dtype.kind not in "iu":
            raise _Malformed(f"its keys have dtype {keys.dtype}, not an integer dtype")
    data = _values([value for _, value in pairs], x.dtype)
    return _from_coordinates(keys[:, 0], keys[:, 1], data, shape)


def _lil(x: Any, shape: Tuple[int, int]) -> SparseCells:
    rows, data = np.asarray(x.rows, dtype=object), np.asarray(x.data, dtype=object)
    if rows.shape != (shape[0],) or data.shape != (shape[0],):
        raise _Malformed(f"its rows and data have shapes {rows.shape} and {data.shape}, "
                         f"not ({shape[0]},)")
    try:
        lengths = np.fromiter(map(len, rows), dtype=np.int64, count=shape[0])
        value_lengths = np.fromiter(map(len, data), dtype=np.int64, count=shape[0])
    except TypeError:
        raise _Malformed("its rows and data are not all lists") from None
    if not np.array_equal(lengths, value_lengths):
        i = int(np.argmax(lengths != value_lengths))
        raise _Malformed(f"its row {i} has {lengths[i]} indices but {value_lengths[i]} values")
    col = np.asarray(list(itertools.chain.from_iterable(rows)))
    if col.size == 0:
        col = col.astype(np.int64)
    col = _vector(col, "column indices", integer=True)
    values = _values(list(itertools.chain.from_iterable(data)), x.dtype)
    row = np.repeat(np.arange(shape[0], dtype=np.int64), lengths)
    return _from_coordinates(row, col, values, shape)


_READERS: Dict[str, Callable[[Any, Tuple[int, int]], SparseCells]] = {
    "csr": _csr, "csc": _csr, "coo": _coo, "bsr": _bsr, "dia": _dia, "dok": _dok, "lil": _lil,
}


def checked_sparse(x: Any, name: str = "X") -> SparseCells:
    """A scipy.sparse matrix or array of any format as checked cells, read
    from its own arrays in O(nnz) (O(nnz log nnz) when unsorted indices
    hide duplicates). A shape that is not 2-D is the ValueError of
    :func:`quorbmf._input.check_shape`; a bad structure is a ValueError
    that says what is wrong; data of a dtype other than bool, integer or
    float a TypeError."""
    from ._input import check_dtype, check_shape

    try:
        shape = _shape(x)
        if len(shape) != 2:
            check_shape(name, shape)
        reader = _READERS.get(getattr(x, "format", ""))
        if reader is None:
            raise TypeError(f"{name} is a sparse matrix of format {x.format!r}, which quorbmf "
                            "does not read")
        dtype = np.dtype(getattr(x, "dtype", np.float64))
        check_dtype(name, dtype)
        cells = reader(x, (shape[0], shape[1]))
    except _Malformed as exc:
        raise ValueError(f"{name} is a malformed sparse matrix: {exc}") from None
    except AttributeError as exc:
        raise ValueError(f"{name} is a malformed sparse matrix: it lacks {exc.name!r}") from None
    check_dtype(name, cells.data.dtype)
    return cells
