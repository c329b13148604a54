"""Choosing the rank: the error-against-rank curve and a Minimum Description
Length choice in the manner of MDL4BMF (Miettinen & Vreeken, 2014).

The description length of a factorisation is the bits needed to send the
factors and then the data given the factors. The factors go column by
column of W and row by row of H, each as its number of ones and which ones
they are (data-to-model codes); the data go as the two kinds of error
("typed XOR"): the cells of W∘H that X does not have, chosen among the ones
of W∘H, and the ones of X that W∘H misses, chosen among its zeros. Extra
factors pay for themselves only while they save more error bits than they
cost, so the total is smallest at a rank that explains structure rather
than noise.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray
from scipy.special import gammaln

from . import _native
from ._estimator import BooleanMF
from ._input import _check_array_like, as_numbers, as_packed, pack_array
from ._packed import PackedMatrix

__all__ = ["RankSelection", "choose_rank", "description_length"]

_LOG2 = math.log(2.0)


def _log2_binomial(n: int, k: int) -> float:
    if k < 0 or k > n:
        return math.inf
    return float((gammaln(n + 1) - gammaln(k + 1) - gammaln(n - k + 1)) / _LOG2)


def _universal_integer_bits(k: int) -> float:
    """Rissanen's universal code length of a positive integer, in bits."""
    bits = math.log2(2.865064)
    value = float(k)
    while True:
        value = math.log2(value) if value > 1 else 0.0
        if value <= 0:
            return bits
        bits += value


def _factor(value: Any, name: str, rows: Tuple[int, str],
            cols: Optional[Tuple[int, str]] = None) -> NDArray[np.bool_]:
    """A factor checked as a 2-D array of 0/1 values with ``rows`` rows
    and, when given, ``cols`` columns (each a count and what it counts),
    returned as bool; every error names the factor."""
    _check_array_like(name, value)
    a = as_numbers(np.asarray(value), name)
    if a.ndim != 2:
        raise ValueError(f"{name} must be 2-D, got {a.ndim} dimension(s) with shape {a.shape}")
    for axis, (want, per) in enumerate([rows] + ([] if cols is None else [cols])):
        if a.shape[axis] != want:
            side = ("row", "rows") if axis == 0 else ("column", "columns")
            raise ValueError(f"{name} must have one {side[0]} per {per}, {want} {side[1]}, "
                             f"got shape {a.shape}")
    if a.size:
        pack_array(a, name)
    return np.asarray(a != 0, dtype=bool)


def description_length(x: Any, w: Any, h: Any) -> float:
    """Bits to describe X by the factors W and H and their errors.

    Parameters
    ----------
    x : array-like of shape (n_samples, n_features)
        The binary data.
    w : array-like of shape (n_samples, k)
        The left factor.
    h : array-like of shape (k, n_features)
        The right factor.

    Returns
    -------
    float
        L(k) + L(W) + L(H) + L(X | W, H) in bits (typed XOR, data-to-model
        codes for the factors).
    """
    packed = as_packed(x)
    m, n = packed.shape
    w = _factor(w, "w", (m, "sample of x"))
    h = _factor(h, "h", (w.shape[1], "column of w"), (n, "feature of x"))
    k = w.shape[1]
    bits = _universal_integer_bits(k + 1)
    for column in w.T:
        bits += math.log2(m + 1) + _log2_binomial(m, int(column.sum()))
    for pattern in h:
        bits += math.log2(n + 1) + _log2_binomial(n, int(pattern.sum()))
    cells = m * n
    covered = extra = 0
    if k:
        recon = _native.product(PackedMatrix.from_dense(w).words, k,
                                PackedMatrix.from_dense(h).words, n)
        covered = int(_native.count_ones(recon))
        extra = int(_native.count_ones(recon & ~packed.words))
    missed = packed.count_ones() - (covered - extra)
    bits += math.log2(covered + 1) + _log2_binomial(covered, extra)
    bits += math.log2(cells - covered + 1) + _log2_binomial(cells - covered, missed)
    return bits


@dataclass
class RankSelection:
    """The error and description length of a fit at each rank.

    Attributes
    ----------
    ranks : list of int
        The ranks tried, increasing.
    errors : list of int
        Wrong cells of the fit at each rank.
    description_lengths : list of float
        Bits of the description at each rank (see ``description_length``).
    rank_ : int
        The rank with the shortest description (the lowest on ties).
    estimators : dict of int to BooleanMF
        The fitted estimator of each rank.
    empty_description_length : float
        Bits of the rank-0 description (X sent as errors only).
    """

    ranks: List[int]
    errors: List[int]
    description_lengths: List[float]
    rank_: int
    estimators: Dict[int, BooleanMF] = field(repr=False)
    empty_description_length: float = 0.0

    def plot(self, ax: Optional[Any] = None) -> Any:
        """Draws the error and the description length against the rank,
        with the chosen rank marked, and returns the axes (needs matplotlib).

        Parameters
        ----------
        ax : matplotlib Axes or None
            Where to draw; a new figure when None.

        Returns
        -------
        matplotlib Axes
        """
        import matplotlib.pyplot as plt

        if ax is None:
            _, ax = plt.subplots(figsize=(6, 4))
        ax.plot(self.ranks, self.errors, "o-", color="tab:blue", label="wrong cells")
        ax.set_xlabel("rank")
        ax.set_ylabel("wrong cells", color="tab:blue")
        twin = ax.twinx()
        twin.plot(self.ranks, [d / 1000 for d in self.description_lengths], "s--",
                  color="tab:orange", label="description length")
        twin.set_ylabel("description length (kbit)", color="tab:orange")
        ax.axvline(self.rank_, color="gray", linestyle=":")
        ax.set_title(f"rank chosen by description length: {self.rank_}")
        return ax


def choose_rank(x: Any, ranks: Iterable[int] = range(1, 21), **params: Any) -> RankSelection:
    """Fits one ``BooleanMF`` per rank and picks the rank of the shortest
    description.

    Parameters
    ----------
    x : array-like, sparse matrix, DataFrame or BitMatrix
        The binary data.
    ranks : iterable of int, default=range(1, 21)
        The ranks to try.
    **params
        Further ``BooleanMF`` parameters (``method``, ``random_state``, ...).

    Returns
    -------
    RankSelection
        The curves, the chosen rank and the fitted estimators.
    """
    packed = as_packed(x)
    ranks = sorted(set(int(r) for r in ranks))
    if not ranks:
        raise ValueError("ranks must name at least one rank")
    errors, lengths, models = [], [], {}
    for r in ranks:
        model = BooleanMF(n_components=r, **params)
        w = model.fit_transform(packed)
        models[r] = model
        errors.append(model.reconstruction_err_)
        lengths.append(description_length(packed, w, model.components_))
    best = ranks[int(np.argmin(lengths))]
    empty = description_length(packed, np.zeros((packed.rows, 0), dtype=bool),
                               np.zeros((0, packed.cols), dtype=bool))
    return RankSelection(ranks, errors, lengths, best, models, empty)
