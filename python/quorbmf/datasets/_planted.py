"""Planted low-rank Boolean matrices: the synthetic data of the tests,
benchmarks and examples."""
from __future__ import annotations

from typing import Any, Literal, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

RandomState = Union[None, int, np.random.Generator]
Density = Union[float, Tuple[float, float]]


@overload
def make_planted(n_samples: int, n_features: int, n_components: int, *,
                 density: Density = ..., noise: float = ..., missing: float = ...,
                 return_factors: Literal[False] = ...,
                 random_state: RandomState = ...) -> npt.NDArray[Any]: ...


@overload
def make_planted(n_samples: int, n_features: int, n_components: int, *,
                 density: Density = ..., noise: float = ..., missing: float = ...,
                 return_factors: Literal[True],
                 random_state: RandomState = ...
                 ) -> Tuple[npt.NDArray[Any], npt.NDArray[np.bool_], npt.NDArray[np.bool_]]: ...


def make_planted(n_samples: int, n_features: int, n_components: int, *,
                 density: Density = 0.3, noise: float = 0.0, missing: float = 0.0,
                 return_factors: bool = False, random_state: RandomState = None) -> Any:
    """A Boolean matrix of planted rank: the Boolean product W∘H of two
    random factors, some cells flipped and, optionally, some unobserved.

    The generator draws, in this order: W (each cell 1 with probability
    ``density``), H, one number per cell of X for the noise (also when
    ``noise`` is 0) and, only when ``missing`` is above 0, one more per
    cell for the unobserved ones. A Generator passed as ``random_state``
    therefore advances the same way whatever the noise.

    Parameters
    ----------
    n_samples : int
        Rows of X and of W, at least 1.
    n_features : int
        Columns of X and of H, at least 1.
    n_components : int
        The planted rank: columns of W and rows of H, at least 0.
    density : float or (float, float), default=0.3
        The probability of a 1 in a cell of W and of H, or one for each.
    noise : float, default=0.0
        The probability that a cell of W∘H is flipped.
    missing : float, default=0.0
        The probability that a cell of X is unobserved (NaN).
    return_factors : bool, default=False
        Also return the planted factors.
    random_state : int, numpy.random.Generator or None, default=None
        The seed of ``numpy.random.default_rng``, or a generator to draw
        from (and advance).

    Returns
    -------
    X : ndarray of shape (n_samples, n_features)
        Of dtype bool when ``missing`` is 0; of dtype float64 otherwise,
        0.0 and 1.0 for the observed cells and NaN for the others.
    W : ndarray of bool, shape (n_samples, n_components)
        The planted left factor (only with ``return_factors``).
    H : ndarray of bool, shape (n_components, n_features)
        The planted right factor (only with ``return_factors``).

    Examples
    --------
    >>> from quorbmf.datasets import make_planted
    >>> X, W, H = make_planted(6, 5, 2, return_factors=True, random_state=0)
    >>> bool(((W.astype(int) @ H.astype(int) > 0) == X).all())
    True
    """
    if n_samples < 1 or n_features < 1 or n_components < 0:
        raise ValueError(f"make_planted makes at least one row and one column of rank 0 or "
                         f"more, not {n_samples} x {n_features} of rank {n_components}")
    w_density, h_density = density if isinstance(density, tuple) else (density, density)
    for name, p in (("density", w_density), ("density", h_density), ("noise", noise),
                    ("missing", missing)):
        if not 0.0 <= p <= 1.0:
            raise ValueError(f"{name} is a probability between 0 and 1, not {p!r}")
    rng = np.random.default_rng(random_state)
    w = rng.random((n_samples, n_components)) < w_density
    h = rng.random((n_components, n_features)) < h_density
    # A sum of 0/1 terms is positive exactly when one term is 1, in any
    # floating-point precision, so the fast float product serves.
    x = (w.astype(np.float32) @ h.astype(np.float32)) > 0
    x ^= rng.random((n_samples, n_features)) < noise
    out: npt.NDArray[Any] = x
    if missing > 0:
        out = np.where(rng.random((n_samples, n_features)) < missing, np.nan, x.astype(np.float64))
    if return_factors:
        return out, w, h
    return out
