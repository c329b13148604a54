"""quorbmf: Boolean matrix factorisation for the Python data stack.

A scikit-learn-style estimator, :class:`BooleanMF`, over the packed C++
core of ``QuorBMF``: it takes NumPy arrays of any 0/1 dtype, scipy.sparse
matrices, pandas DataFrames, nested lists and ``QuorBMF.BitMatrix``, runs
on every core, and reproduces ``QuorBMF.ao_bmf`` exactly where the
parameters agree.

    >>> from quorbmf import BooleanMF, load_mushroom
    >>> X = load_mushroom().data
    >>> model = BooleanMF(n_components=5, random_state=0).fit(X)
    >>> model.components_.shape
    (5, 118)
"""
from ._estimator import BooleanMF
from ._input import as_packed, as_packed_observed
from ._packed import PackedMatrix
from ._rank import RankSelection, choose_rank, description_length
from .datasets import load_mushroom
from .plotting import plot_factors, plot_history, plot_tiles

__all__ = ["BooleanMF", "PackedMatrix", "RankSelection", "as_packed", "as_packed_observed",
           "choose_rank", "description_length", "load_mushroom", "plot_factors", "plot_history",
           "plot_tiles", "__version__"]
# The distribution's version: QuorBMF and quorbmf ship together.
from QuorBMF import __version__
