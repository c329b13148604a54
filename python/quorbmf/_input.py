"""Turning the data users hold into packed words, checked once at the door.

Accepted: NumPy arrays of ``bool`` or any integer or float dtype holding
only 0 and 1, in any memory layout; scipy.sparse matrices and arrays in any
format (read from their own index arrays, checked first, by
:mod:`._sparse`; a cell holds the sum of its stored entries, as in scipy);
pandas DataFrames; nested lists; ``QuorBMF.BitMatrix``; and
:class:`~quorbmf.PackedMatrix`. Anything else, or any other value, is a
``TypeError`` or ``ValueError`` in plain English that names the argument
and, for a bad value, the first offending cell; text is a ``TypeError``
whatever it spells.

:func:`pack_observed` is the one door: the local fit, ``transform`` and
every chunk of a Dask array on a worker go through it, so a fix lands once.
"""
from __future__ import annotations

import sys
from typing import Any, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

from ._packed import Cells, PackedMatrix
from ._sparse import SparseCells, checked_sparse, is_sparse

__all__ = ["as_packed", "as_packed_observed", "pack_observed", "pack_array", "check_dtype",
           "check_shape", "check_mask", "all_ones", "is_dask_collection", "is_packed_input"]

# Cells validated and packed at a time: bounds the temporaries of a check.
_CHUNK_CELLS = 1 << 22

Observed = Tuple[PackedMatrix, Optional[PackedMatrix]]


def _bitmatrix_type() -> Optional[type]:
    module = sys.modules.get("QuorBMF")
    return getattr(module, "BitMatrix", None) if module is not None else None


def is_dask_collection(x: Any) -> bool:
    """True for a dask array, data frame or other lazy Dask collection."""
    return type(x).__module__.startswith(("dask.", "dask_expr")) and hasattr(x, "dask")


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


def _infinite(name: str, row: int, col: int, value: Any) -> ValueError:
    return ValueError(f"{name} must hold finite numbers to binarize (NaN for an unobserved "
                      f"cell); cell ({row}, {col}) holds {_describe(value)}")


def check_dtype(name: str, dtype: np.dtype[Any]) -> None:
    """TypeError unless ``dtype`` is bool, integer or float."""
    if dtype.kind not in "biuf":
        raise TypeError(
            f"{name} must hold 0/1 values of a bool, integer or float dtype, "
            f"got dtype {dtype}")


def check_shape(name: str, shape: Tuple[Any, ...]) -> None:
    """ValueError unless ``shape`` is 2-D with at least one row and one column."""
    if len(shape) != 2:
        raise ValueError(f"{name} must be 2-D (samples x features), got {len(shape)} "
                         f"dimension{'s' if len(shape) != 1 else ''} with shape {shape}")
    if shape[0] < 1 or shape[1] < 1:
        raise ValueError(f"{name} must have at least one row and one column, got shape {shape}")


def _first_bad(block: NDArray[Any], observed: Optional[Cells] = None) -> Optional[Tuple[int, int]]:
    if block.dtype == np.bool_:
        return None
    bad = block != 0
    bad &= block != 1
    if observed is not None:
        bad &= observed
    if not bad.any():
        return None
    i, j = np.unravel_index(int(np.argmax(bad)), bad.shape)
    return int(i), int(j)


def _is_text(value: Any) -> bool:
    return isinstance(value, (str, bytes, bytearray))


_text_cells = np.frompyfunc(_is_text, 1, 1)


def refuse_text(a: NDArray[Any], name: str = "X") -> None:
    """TypeError naming the first cell of an object array that holds a
    string: text is no number, whatever it spells."""
    if a.dtype != np.object_ or a.size == 0:
        return
    text = np.asarray(_text_cells(a), dtype=bool)
    if text.any():
        where = np.unravel_index(int(np.argmax(text)), text.shape)
        value = a[where]
        raise TypeError(f"{name} must hold numbers 0 and 1, not text; cell "
                        f"{tuple(int(i) for i in where)} holds the {type(value).__name__} "
                        f"{value!r}")


def as_numbers(a: NDArray[Any], name: str = "X") -> NDArray[Any]:
    """An object array as floats (None becomes NaN); any other array as it is."""
    if a.dtype != np.object_:
        return a
    refuse_text(a, name)
    return _objects_as_floats(a, name)


def _objects_as_floats(a: NDArray[Any], name: str) -> NDArray[Any]:
    try:
        return a.astype(np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must hold numbers 0 and 1, got objects that are not "
                        "numbers") from None


def pack_array(a: NDArray[Any], name: str = "X", observed: Optional[Cells] = None,
               row_offset: int = 0) -> PackedMatrix:
    """Checks that a 2-D array holds only 0 and 1 and packs it.

    Works through the rows in chunks, so the checks need little memory
    beyond the packed result, whatever the array's layout. With
    ``observed`` (bool, same shape), only the observed cells are checked
    and the others pack as 0. When ``a`` is the rows of a larger array that
    start at row ``row_offset``, a bad cell is named by its row in the
    larger array."""
    a = as_numbers(a, name)
    check_dtype(name, a.dtype)
    rows, cols = a.shape
    out = PackedMatrix.zeros(rows, cols)
    step = max(1, _CHUNK_CELLS // max(cols, 1))
    for begin in range(0, rows, step):
        block = a[begin:begin + step]
        seen = None if observed is None else observed[begin:begin + step]
        bad = _first_bad(block, seen)
        if bad is not None:
            i, j = bad
            raise _bad_value(name, row_offset + begin + i, j, block[i, j])
        cells = block if seen is None else (block != 0) & seen
        out.words[begin:begin + step] = PackedMatrix.from_dense(cells).words
    return out


def _check_sparse_values(cells: SparseCells, name: str, row_offset: int = 0) -> None:
    """ValueError naming the first cell, in row-major order, that holds
    neither 0 nor 1."""
    data = cells.data
    if data.dtype == np.bool_:
        return
    where = []
    for begin in range(0, data.shape[0], _CHUNK_CELLS):
        chunk = data[begin:begin + _CHUNK_CELLS]
        bad = chunk != 0
        bad &= chunk != 1
        where.append(begin + np.flatnonzero(bad))
    if where and sum(w.size for w in where):
        i, j, k = cells.first_cell(np.concatenate(where))
        raise _bad_value(name, row_offset + i, j, data[k])


def _pack_sparse(cells: SparseCells, name: str, row_offset: int = 0) -> PackedMatrix:
    _check_sparse_values(cells, name, row_offset)
    return cells.pack()


def _is_frame(x: Any) -> bool:
    return hasattr(x, "to_numpy") and hasattr(x, "columns")


def _check_array_like(name: str, x: Any) -> None:
    if isinstance(x, (str, bytes)) or x is None:
        raise TypeError(f"{name} must be a 2-D array-like of 0/1 values, got {type(x).__name__}")


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
        For a shape that is not 2-D and non-empty, a malformed sparse
        structure, or a value other than 0 and 1 (the message names the
        first such cell).
    """
    if isinstance(x, PackedMatrix):
        return x
    if is_packed_input(x):
        return PackedMatrix.from_bitmatrix(x)
    if is_sparse(x):
        check_shape(name, x.shape)
        return _pack_sparse(checked_sparse(x, name), name)
    if isinstance(x, np.ma.MaskedArray):
        raise TypeError(f"{name} is a masked array; quorbmf does not ignore masks silently: "
                        "pass mask= or fill the masked cells first")
    if _is_frame(x):
        x = x.to_numpy()
    _check_array_like(name, x)
    try:
        a = np.asarray(x)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a 2-D array-like of 0/1 values ({exc})") from None
    check_shape(name, a.shape)
    return pack_array(a, name)


def _missing_cells(a: NDArray[Any]) -> Optional[Cells]:
    """The cells holding NaN, None or pandas' NA, or None when there are none."""
    if a.dtype.kind == "f":
        nan = np.isnan(a)
        return nan if nan.any() else None
    if a.dtype == np.object_:
        try:
            import pandas as pd

            missing = np.asarray(pd.isna(a), dtype=bool)
        except ImportError:
            missing = np.frompyfunc(lambda v: v is None or (isinstance(v, float) and v != v),
                                    1, 1)(a).astype(bool)
        return missing if missing.any() else None
    return None


def _numeric_column(dtype: Any) -> bool:
    try:
        return np.dtype(getattr(dtype, "numpy_dtype", dtype)).kind in "biuf"
    except TypeError:
        return False


def _frame_to_array(frame: Any) -> NDArray[Any]:
    if not all(_numeric_column(d) for d in frame.dtypes):
        # Text columns stay objects, refused as text rather than parsed.
        return np.asarray(frame.to_numpy())
    # Nullable columns hold pandas' NA; as floats they become NaN.
    try:
        return np.asarray(frame.to_numpy(dtype=np.float64, na_value=np.nan))
    except (TypeError, ValueError):
        return np.asarray(frame.to_numpy())


def check_mask(mask: Any, shape: Tuple[int, ...]) -> Cells:
    """``mask`` (True = observed) as a bool array of X's shape, or the error
    that says what it should be."""
    if isinstance(mask, PackedMatrix):
        mask = mask.to_numpy()
    elif is_sparse(mask):
        return _sparse_mask(mask, shape)
    m = np.asarray(mask)
    if m.dtype != np.bool_:
        raise TypeError(f"mask must be a bool array (True = observed), got dtype {m.dtype}")
    if m.shape != tuple(shape):
        raise ValueError(f"mask must have the shape of X, {tuple(shape)}, got {m.shape}")
    return m


def _sparse_mask(mask: Any, shape: Tuple[int, ...]) -> Cells:
    dtype = getattr(mask, "dtype", None)
    if dtype != np.bool_:
        raise TypeError(f"mask must be a bool array (True = observed), got dtype {dtype}")
    cells = checked_sparse(mask, "mask")
    if cells.shape != tuple(shape):
        raise ValueError(f"mask must have the shape of X, {tuple(shape)}, got {cells.shape}")
    if cells.data.dtype != np.bool_:
        raise TypeError("mask must be a bool array (True = observed), got dtype "
                        f"{cells.data.dtype}")
    return cells.pack().to_numpy()


def check_sparse_absent(sparse_absent: str) -> None:
    """ValueError unless ``sparse_absent`` is "zero" or "missing"."""
    if sparse_absent not in ("zero", "missing"):
        raise ValueError(f"sparse_absent must be 'zero' or 'missing', got {sparse_absent!r}")


def as_packed_observed(x: Any, mask: Any = None, name: str = "X",
                       sparse_absent: str = "zero") -> Observed:
    """Checks a Boolean data matrix with unobserved cells and returns it
    packed, with its observed cells packed beside it.

    Unobserved are: NaN cells of float arrays, None and pandas' NA, masked
    cells of NumPy masked arrays, the False cells of ``mask``, and with
    ``sparse_absent="missing"`` every cell a sparse matrix does not store.
    Unobserved cells pack as 0 and are never checked.

    Parameters
    ----------
    x : array-like, sparse matrix, DataFrame, masked array, BitMatrix or PackedMatrix
        The data.
    mask : array-like of bool or None, default=None
        True where a cell is observed; same shape as ``x``.
    name : str, default="X"
        The argument's name, used in error messages.
    sparse_absent : {"zero", "missing"}, default="zero"
        What a cell a sparse matrix does not store means.

    Returns
    -------
    (PackedMatrix, PackedMatrix or None)
        X, and the observed cells (None when every cell is observed and no
        mask was given).
    """
    check_sparse_absent(sparse_absent)
    return pack_observed(x, mask, name=name, sparse_absent=sparse_absent)


def pack_observed(x: Any, mask: Any = None, *, threshold: Optional[float] = None,
                  sparse_absent: str = "zero", name: str = "X",
                  row_offset: Optional[int] = None) -> Observed:
    """Any input, or a chunk of rows of a larger one, checked and packed,
    with its observed cells packed beside it (None when every cell is
    observed and no mask was given).

    ``mask`` (True = observed) is combined with the input's own unobserved
    cells (see :func:`as_packed_observed`). With ``threshold`` every cell
    greater than it counts as 1 and the rest as 0, unobserved cells staying
    unobserved; already packed inputs are taken as they are. A chunk of the
    rows of a larger array, which starts at row ``row_offset`` of it (and
    may have no rows), names a bad cell by its row in the whole."""
    if is_sparse(x) or isinstance(x, SparseCells):
        if threshold is not None and threshold < 0:
            raise ValueError("binarize must be at least 0 for sparse X, whose absent cells "
                             "would otherwise all become 1")
        if not isinstance(x, SparseCells):
            if row_offset is None:
                check_shape(name, x.shape)
            x = checked_sparse(x, name)
        return _sparse_observed(x, mask, name, sparse_absent, threshold, row_offset or 0)
    if is_packed_input(x):
        packed = as_packed(x, name)
        if mask is None:
            return packed, None
        if isinstance(mask, PackedMatrix) and mask.shape == packed.shape:
            seen = mask  # already packed: no dense copy
        else:
            seen = PackedMatrix.from_dense(check_mask(mask, packed.shape))
        return PackedMatrix._trusted(packed.words & seen.words, packed.cols), seen
    observed: Optional[Cells] = None
    if isinstance(x, np.ma.MaskedArray):
        observed = ~np.ma.getmaskarray(x)
        x = np.ma.getdata(x)
    elif _is_frame(x):
        x = _frame_to_array(x)
    _check_array_like(name, x)
    a = np.asarray(x)
    if row_offset is None:
        check_shape(name, a.shape)
    refuse_text(a, name)
    missing = _missing_cells(a)
    if missing is not None:
        observed = ~missing if observed is None else observed & ~missing
        if a.dtype == np.object_:
            # pandas' NA is no number: unobserved cells are never read.
            a = np.where(missing, 0, a)
    if mask is not None:
        given = check_mask(mask, a.shape)
        observed = given if observed is None else observed & given
    if threshold is not None:
        # Objects go through NumPy's own conversion, whose error names the
        # object that is no number, as scikit-learn expects of a binarizer.
        a = a.astype(np.float64) if a.dtype == np.object_ else a
        _check_finite(a, name, observed, row_offset or 0)
        a = a > threshold
    elif a.dtype == np.object_:
        a = _objects_as_floats(a, name)
    packed = pack_array(a, name, observed, row_offset or 0)
    return packed, None if observed is None else PackedMatrix.from_dense(observed)


def _check_finite(a: NDArray[Any], name: str, observed: Optional[Cells],
                  row_offset: int) -> None:
    """ValueError naming the first observed cell of ``a`` that holds ±inf."""
    if a.dtype.kind != "f":
        return
    step = max(1, _CHUNK_CELLS // max(a.shape[1], 1))
    for begin in range(0, a.shape[0], step):
        block = a[begin:begin + step]
        inf = np.isinf(block)
        if observed is not None:
            inf &= observed[begin:begin + step]
        if inf.any():
            i, j = np.unravel_index(int(np.argmax(inf)), inf.shape)
            raise _infinite(name, row_offset + begin + int(i), int(j), block[i, j])


def _first_infinite(cells: SparseCells, data: NDArray[Any], name: str,
                    row_offset: int) -> None:
    if data.dtype.kind == "f":
        inf = np.flatnonzero(np.isinf(data))
        if inf.size:
            i, j, k = cells.first_cell(inf)
            raise _infinite(name, row_offset + i, j, data[k])


def _sparse_observed(cells: SparseCells, mask: Any, name: str, sparse_absent: str,
                     threshold: Optional[float], row_offset: int) -> Observed:
    """Checked sparse cells packed with their observed cells. Stored entries
    in cells that ``mask`` hides are never read."""
    shape = cells.shape
    given = None if mask is None else check_mask(mask, shape)
    data = cells.data
    if given is not None:
        rows, cols = cells.coordinates()
        data = np.where(given[rows, cols], data, data.dtype.type(0))
    nan = np.isnan(data) if data.dtype.kind == "f" else None
    if nan is not None and not nan.any():
        nan = None
    if threshold is not None:
        _first_infinite(cells, data, name, row_offset)
        values = data > threshold  # NaN, an unobserved cell, is not above it
    else:
        values = data if nan is None else np.where(nan, data.dtype.type(0), data)
    packed = _pack_sparse(cells.with_data(values), name, row_offset)
    observed: Optional[PackedMatrix] = None
    if sparse_absent == "missing":
        observed = cells.pack_stored()
        # A matrix that stores every cell has none unobserved.
        if cells.data.shape[0] >= shape[0] * shape[1] and np.array_equal(
                observed.words, all_ones(shape).words):
            observed = None
    if nan is not None:
        holes = cells.with_data(nan).pack()
        base = observed if observed is not None else all_ones(shape)
        observed = PackedMatrix._trusted(base.words & ~holes.words, shape[1])
    if given is not None:
        seen = PackedMatrix.from_dense(given)
        observed = seen if observed is None else PackedMatrix._trusted(
            observed.words & seen.words, shape[1])
    if observed is not None:
        packed = PackedMatrix._trusted(packed.words & observed.words, packed.cols)
    return packed, observed


def all_ones(shape: Tuple[int, int]) -> PackedMatrix:
    """A packed matrix of the given shape with every cell 1."""
    rows, cols = shape
    row = PackedMatrix.from_dense(np.ones((1, cols), dtype=bool)).words
    return PackedMatrix._trusted(np.repeat(row, rows, axis=0), cols)
