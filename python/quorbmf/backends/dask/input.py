"""X for the Dask backend, checked on the client as far as the client can.

A dask array, data frame or zarr store is checked here for its type,
shape and dtype; its values are checked chunk by chunk on the workers, by
the same door as a local fit (:func:`quorbmf._input.pack_observed`). Any
other input is checked and packed here, as the local fit does it.
"""
from __future__ import annotations

import contextlib
import math
import os
from dataclasses import dataclass
from typing import Any, ContextManager, Optional, Tuple

import numpy as np

from ..._input import check_dtype, check_mask, check_shape, is_dask_collection
from ..base import FitInput

__all__ = ["require_dask", "dask_input", "DaskRows", "dask_rows", "checked_array"]


def require_dask() -> None:
    """ImportError with the install line unless dask.array and distributed import."""
    try:
        import dask.array  # noqa: F401
        import distributed  # noqa: F401
    except ImportError as exc:
        raise ImportError("backend='dask' needs dask[array] and distributed: "
                          "pip install 'dask[array]' distributed") from exc


def _is_dask_dataframe(x: Any) -> bool:
    module = type(x).__module__
    return (module.startswith(("dask.dataframe", "dask_expr"))
            and hasattr(x, "to_dask_array") and hasattr(x, "columns"))


def _is_zarr(x: Any) -> bool:
    return type(x).__module__.startswith("zarr") and hasattr(x, "shape")


def _feature_names(frame: Any) -> Any:
    from sklearn.utils.validation import _get_feature_names

    meta = getattr(frame, "_meta", None)
    return _get_feature_names(meta if meta is not None else frame.head(0))


def _known_chunks(x: Any, where: ContextManager[Any]) -> Any:
    """``x`` with its row chunk sizes computed when they are unknown."""
    if any(math.isnan(c) for c in x.chunks[0]):
        with where:
            x = x.compute_chunk_sizes()
    return x


def checked_array(x: Any, name: str, where: ContextManager[Any]) -> Any:
    """A dask array checked for what the client can see: 2-D and not empty,
    its chunk sizes known, a bool, integer or float dtype (an object dtype
    is converted on the workers)."""
    if x.ndim != 2:
        check_shape(name, x.shape)
    x = _known_chunks(x, where)
    check_shape(name, x.shape)
    if x.dtype != np.object_:
        check_dtype(name, x.dtype)
    return x


def _dask_mask(mask: Any, shape: Tuple[int, int], where: ContextManager[Any]) -> Any:
    """``mask`` as a dask array of bool of X's shape; its values are read on the workers."""
    import dask.array as da

    if _is_dask_dataframe(mask):
        with where:
            mask = mask.to_dask_array(lengths=True)
    if not isinstance(mask, da.Array):
        mask = da.from_array(check_mask(mask, shape))
    mask = _known_chunks(mask, where)
    if mask.dtype != np.bool_:
        raise TypeError(f"mask must be a bool array (True = observed), got dtype {mask.dtype}")
    if tuple(mask.shape) != tuple(shape):
        raise ValueError(f"mask must have the shape of X, {tuple(shape)}, got {tuple(mask.shape)}")
    return mask


def dask_input(estimator: Any, x: Any, client: Any = None, mask: Any = None) -> FitInput:
    """Checks what can be checked of X on the client (type, shape, dtype),
    sets the estimator's ``n_features_in_`` and ``feature_names_in_``, and
    returns what ``DaskBackend.prepare`` takes. The values of a dask array,
    data frame or zarr store are checked on the workers, and so are those
    of ``mask`` (True = observed) when X is one of them; any other input
    is checked and packed here as the local fit does it. The rows of a data
    frame, or of an array of unknown chunk sizes, are counted on ``client``
    (else on the current Dask scheduler)."""
    require_dask()
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
        x = checked_array(x, "X", where)
        if mask is not None:
            mask = _dask_mask(mask, x.shape, where)
        estimator.n_features_in_ = int(x.shape[1])
        if names is not None:
            estimator.feature_names_in_ = names
        elif hasattr(estimator, "feature_names_in_"):
            del estimator.feature_names_in_
        return FitInput((int(x.shape[0]), int(x.shape[1])), array=x,
                        threshold=estimator._threshold(), mask=mask)
    if mask is not None and is_dask_collection(mask):
        with where:
            mask = mask.compute()
    packed, observed = estimator._validate_x(x, reset=True, mask=mask)
    return FitInput(packed.shape, packed=packed, observed=observed)


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
    require_dask()
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
    x = checked_array(x, "X", where)
    if x.shape[1] != estimator.n_features_in_:
        raise ValueError(f"X has {x.shape[1]} features, but {type(estimator).__name__} is "
                         f"expecting {estimator.n_features_in_} features as input.")
    x = x.rechunk({1: -1})
    if mask is not None:
        mask = _dask_mask(mask, x.shape, where).rechunk(x.chunks)
    return DaskRows(x, mask, estimator._threshold())
