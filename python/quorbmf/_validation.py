"""Turning the data users hold into packed words, checked once at the door.

Accepted: NumPy arrays of ``bool`` or any integer or float dtype holding
only 0 and 1, in any memory layout; scipy.sparse matrices and arrays in any
format (CSR and CSC are packed straight from their index arrays, with no
dense intermediate); pandas DataFrames; nested lists; ``QuorBMF.BitMatrix``;
and :class:`~quorbmf.PackedMatrix`. Anything else, or any other value, is a
``TypeError`` or ``ValueError`` in plain English that names the argument
and, for a bad value, the first offending cell.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np

from . import _native
from ._packed import PackedMatrix

__all__ = ["as_packed", "is_packed_input", "pack_array"]

# Cells validated and packed at a time: bounds the temporaries of a check.
_CHUNK_CELLS = 1 << 22


def _bitmatrix_type() -> Optional[type]:
    import sys

    module = sys.modules.get("QuorBMF")
    return getattr(module, "BitMatrix", None) if module is not None else None


def is_packed_input(x: Any) -> bool:
    """True for inputs that are already packed (PackedMatrix, BitMatrix)."""
    bitmatrix = _bitmatrix_type()
    return isinstance(x, PackedMatrix) or (bitmatrix is not None and isinstance(x, bitmatrix))


def _describe(value: Any) -> str:
    if isinstance(value, (np.floating, float)) and np.isnan(value):
        return "NaN"
    return repr(value.item() if isinstance(value, np.generic) else value)


def _bad_value(name: str, row: int, col: int, value: Any) -> ValueError:
    return ValueError(
        f"{name} must hold only 0 and 1 (as bool, integer or float values); "
        f"cell ({row}, {col}) holds {_describe(value)}")


def _check_dtype(name: str, dtype: np.dtype) -> None:
    if dtype.kind not in "biuf":
        raise TypeError(
            f"{name} must hold 0/1 values of a bool, integer or float dtype, "
            f"got dtype {dtype}")


def _first_bad(block: np.ndarray) -> Optional[tuple]:
    if block.dtype == np.bool_:
        return None
    bad = block != 0
    bad &= block != 1
    if not bad.any():
        return None
    return np.unravel_index(int(np.argmax(bad)), bad.shape)


def pack_array(a: np.ndarray, name: str = "X") -> PackedMatrix:
    """Checks that a 2-D array holds only 0 and 1 and packs it.

    Works through the rows in chunks, so the checks need little memory
    beyond the packed result, whatever the array's layout."""
    if a.dtype == np.object_:
        try:
            a = a.astype(np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must hold numbers 0 and 1, got objects that are not "
                            "numbers") from None
    _check_dtype(name, a.dtype)
    rows, cols = a.shape
    out = PackedMatrix.zeros(rows, cols)
    step = max(1, _CHUNK_CELLS // max(cols, 1))
    for begin in range(0, rows, step):
        block = a[begin:begin + step]
        bad = _first_bad(block)
        if bad is not None:
            i, j = int(bad[0]), int(bad[1])
            raise _bad_value(name, begin + i, j, block[i, j])
        out.words[begin:begin + step] = PackedMatrix.from_dense(block).words
    return out


def _check_sparse_values(data: np.ndarray, indptr: np.ndarray, indices: np.ndarray,
                         name: str, by_columns: bool) -> None:
    if data.dtype == np.bool_:
        return
    _check_dtype(name, data.dtype)
    for begin in range(0, data.shape[0], _CHUNK_CELLS):
        chunk = data[begin:begin + _CHUNK_CELLS]
        bad = chunk != 0
        bad &= chunk != 1
        if not bad.any():
            continue
        # Name the first bad cell in row-major order among all bad entries.
        where = begin + np.flatnonzero(bad)
        for rest in range(begin + _CHUNK_CELLS, data.shape[0], _CHUNK_CELLS):
            tail = data[rest:rest + _CHUNK_CELLS]
            more = (tail != 0) & (tail != 1)
            where = np.concatenate([where, rest + np.flatnonzero(more)])
        major = np.searchsorted(indptr, where, side="right") - 1
        minor = indices[where]
        rows, cols = (minor, major) if by_columns else (major, minor)
        k = int(np.lexsort((cols, rows))[0])
        raise _bad_value(name, int(rows[k]), int(cols[k]), data[where[k]])


def _pack_sparse(x: Any, name: str) -> PackedMatrix:
    rows, cols = x.shape
    fmt = x.format
    if fmt not in ("csr", "csc"):
        x = x.tocsr()
        fmt = "csr"
    _check_sparse_values(x.data, x.indptr, x.indices, name, by_columns=fmt == "csc")
    if fmt == "csr":
        return PackedMatrix._trusted(_native.pack_csr(x.indptr, x.indices, x.data, rows, cols),
                                     cols)
    # A CSC matrix is the CSR form of its transpose.
    xt = PackedMatrix._trusted(_native.pack_csr(x.indptr, x.indices, x.data, cols, rows), rows)
    return xt.transpose()


def _check_shape(name: str, shape: tuple) -> None:
    if len(shape) != 2:
        raise ValueError(f"{name} must be 2-D (samples x features), got {len(shape)} "
                         f"dimension{'s' if len(shape) != 1 else ''} with shape {shape}")
    if shape[0] < 1 or shape[1] < 1:
        raise ValueError(f"{name} must have at least one row and one column, got shape {shape}")


def as_packed(x: Any, name: str = "X") -> PackedMatrix:
    """Checks a Boolean data matrix and returns it packed.

    Parameters
    ----------
    x : array-like, sparse matrix, DataFrame, BitMatrix or PackedMatrix
        The data: every cell 0 or 1 (``bool``, integer or float dtype).
    name : str, default="X"
        The argument's name, used in error messages.

    Returns
    -------
    PackedMatrix
        The packed matrix (``x`` itself when it already is one).

    Raises
    ------
    TypeError
        For an unsupported type or dtype.
    ValueError
        For a shape that is not 2-D and non-empty, or a value other than 0
        and 1 (the message names the first such cell).
    """
    if isinstance(x, PackedMatrix):
        return x
    if is_packed_input(x):
        return PackedMatrix.from_bitmatrix(x)
    try:
        import scipy.sparse as sp
    except ImportError:  # pragma: no cover - scipy is a dependency
        sp = None
    if sp is not None and sp.issparse(x):
        _check_shape(name, x.shape)
        return _pack_sparse(x, name)
    if isinstance(x, np.ma.MaskedArray):
        raise TypeError(f"{name} is a masked array; quorbmf does not ignore masks silently: "
                        "pass mask= or fill the masked cells first")
    if hasattr(x, "to_numpy") and hasattr(x, "columns"):
        x = x.to_numpy()
    if isinstance(x, (str, bytes)) or x is None:
        raise TypeError(f"{name} must be a 2-D array-like of 0/1 values, got {type(x).__name__}")
    try:
        a = np.asarray(x)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a 2-D array-like of 0/1 values ({exc})") from None
    _check_shape(name, a.shape)
    return pack_array(a, name)
