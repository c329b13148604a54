"""``BooleanMF``: Boolean matrix factorisation as a scikit-learn estimator."""
from __future__ import annotations

import numbers
import sys
import time
from typing import Any, Callable, List, Optional, Tuple

import numpy as np
from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.preprocessing import binarize
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

from . import _native
from ._alternating import Fit, alternate
from ._packed import PackedMatrix
from ._runner import Blocks, Runner, block_rows_for, resolve_n_jobs, vector_cost
from ._validation import as_packed, is_packed_input

__all__ = ["BooleanMF"]

METHODS = ("auto", "zeta", "greedy", "greedy-ls", "naive")
INITS = ("auto", "random-columns")
# Largest rank of the table-based solvers.
MAX_RANK = 26
# "auto" solves exactly up to this rank; above it the table costs r 2^r a vector.
AUTO_EXACT_RANK = 16


def _is_dask_collection(x: Any) -> bool:
    return type(x).__module__.startswith(("dask.", "dask_expr")) and hasattr(x, "dask")


def _words_for(bits: int) -> int:
    return (bits + 63) // 64


class BooleanMF(ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):
    """Boolean matrix factorisation: X ≈ W∘H with Boolean W and H.

    Finds a Boolean W (samples x ``n_components``) and H (``n_components`` x
    features) whose Boolean product, cell (i, j) = OR over l of W[i, l] AND
    H[l, j], differs from the binary data X in as few cells as possible.
    Each row of H (``components_``) is a pattern: a set of features that are
    1 together; each row of W says which patterns make up a sample. The fit
    alternates exact (or greedy) refits of H's columns with W fixed and of
    W's rows with H fixed until the number of wrong cells stops falling.

    Parameters
    ----------
    n_components : int or None, default=None
        The rank r, from 1 to 26. None means min(n_features, 10).
    method : {"auto", "zeta", "greedy", "greedy-ls", "naive"}, default="auto"
        How each row or column is refitted. "zeta" and "naive" are exact
        (the lowest optimal combination); "greedy" adds patterns while they
        strictly help; "greedy-ls" follows greedy with a seeded local search.
        "auto" picks "zeta" up to rank 16 and "greedy-ls" above.
    init : {"auto", "random-columns"}, default="auto"
        The starting W. "random-columns" takes r distinct non-empty columns
        of X chosen by the seed, as ``QuorBMF.ao_bmf`` does; "auto" is
        "random-columns".
    n_init : int, default=1
        Number of runs, from seeds ``s``, ``s + 1``, ...; the run with the
        fewest wrong cells is kept (the first on ties).
    max_iter : int, default=50
        Most iterations per run (one H step and one W step each), at least 1.
    random_state : int, RandomState instance or None, default=None
        The seed of the starting W. An int is used as it is, so that
        ``random_state=s`` reproduces ``QuorBMF.ao_bmf(..., seed=s)``.
    n_jobs : int or None, default=None
        Threads for the half-steps: None is 1, -1 all cores. Results are the
        same for every value.
    verbose : int, default=0
        1 prints what "auto" chose and one line per iteration (error, time),
        with a progress bar over the blocks of half-steps longer than a
        second (tqdm when installed).
    callback : callable or None, default=None
        Called as ``callback(iteration, error)`` after every iteration.
    block_size : int or None, default=None
        Rows per block of a half-step; None chooses about 2^22 cells a block.
        Smaller blocks answer Ctrl-C sooner. Results do not depend on it.
    backend : {"threads", "dask"}, default="threads"
        Where the half-steps run: threads of this process, or the workers of
        a Dask cluster (``fit(X, client=...)``, else the current client, else
        a LocalCluster started and closed by the fit). X may then be a
        ``dask.array``; it stays packed on the workers. Results are the same.
    binarize : float or None, default=None
        None: X must hold only 0 and 1, and any other value is an error.
        A number t: every cell greater than t counts as 1 and the rest as 0
        (as ``sklearn.preprocessing.binarize`` does; t must be at least 0 for
        sparse X, whose absent cells stay 0).

    Attributes
    ----------
    components_ : ndarray of bool, shape (n_components, n_features)
        H, the patterns.
    n_components_ : int
        The rank used.
    reconstruction_err_ : int
        Number of cells in which X and W∘H differ, W the fitted factor.
    n_iter_ : int
        Iterations run by the kept run, counting a final one that did not
        improve.
    error_history_ : list of int
        The error after every iteration of the kept run.
    method_ : str
        The solving method used.
    init_ : str
        The starting factor used.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str, shape (n_features_in_,)
        Feature names seen during fit, when X had string column names.

    See Also
    --------
    QuorBMF.ao_bmf : the same alternating algorithm on a ``BitMatrix``.

    Notes
    -----
    Errors are counts of wrong cells, not norms. X may be a NumPy array of
    bool or any integer or float dtype holding only 0 and 1, a scipy.sparse
    matrix, a pandas DataFrame, a nested list, a ``QuorBMF.BitMatrix`` or a
    :class:`quorbmf.PackedMatrix`.

    Examples
    --------
    >>> import numpy as np
    >>> from quorbmf import BooleanMF
    >>> X = np.array([[1, 1, 0, 0], [1, 1, 0, 0], [0, 0, 1, 1], [1, 1, 1, 1]])
    >>> model = BooleanMF(n_components=2, random_state=0)
    >>> W = model.fit_transform(X)
    >>> model.reconstruction_err_
    0
    >>> bool((model.inverse_transform(W) == X).all())
    True
    """

    def __init__(self, n_components: Optional[int] = None, *, method: str = "auto",
                 init: Any = "auto", n_init: int = 1, max_iter: int = 50,
                 random_state: Any = None, n_jobs: Optional[int] = None, verbose: int = 0,
                 callback: Optional[Callable[[int, int], Any]] = None,
                 block_size: Optional[int] = None, backend: str = "threads",
                 binarize: Optional[float] = None) -> None:
        self.n_components = n_components
        self.method = method
        self.init = init
        self.n_init = n_init
        self.max_iter = max_iter
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.callback = callback
        self.block_size = block_size
        self.backend = backend
        self.binarize = binarize

    # ------------------------------------------------------------------
    # Input and parameters

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.transformer_tags.preserves_dtype = []
        return tags

    def _validate_x(self, x: Any, reset: bool) -> PackedMatrix:
        if is_packed_input(x):
            packed = as_packed(x)
            if reset:
                self.n_features_in_ = packed.cols
                if hasattr(self, "feature_names_in_"):
                    del self.feature_names_in_
            elif packed.cols != self.n_features_in_:
                raise ValueError(f"X has {packed.cols} features, but {type(self).__name__} "
                                 f"is expecting {self.n_features_in_} features as input.")
            return packed
        threshold = self.binarize
        if threshold is not None and (isinstance(threshold, bool)
                                      or not isinstance(threshold, numbers.Real)):
            raise TypeError(f"binarize must be a number or None, got {threshold!r}")
        x = validate_data(self, x, reset=reset, accept_sparse=True, dtype=None,
                          ensure_all_finite=threshold is not None, ensure_2d=True,
                          ensure_min_samples=1)
        if threshold is not None:
            x = binarize(x, threshold=float(threshold))
        return as_packed(x)

    def _check_params(self, n_features: int) -> Tuple[int, int, int]:
        r = self.n_components
        if r is None:
            r = min(n_features, 10)
        if isinstance(r, bool) or not isinstance(r, numbers.Integral):
            raise TypeError(f"n_components must be an int or None, got {r!r}")
        if not 1 <= r <= MAX_RANK:
            raise ValueError(f"n_components must be between 1 and {MAX_RANK}, got {r}")
        if not isinstance(self.method, str) or self.method.strip().lower() not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, "
                             f"got {self.method!r}")
        if not isinstance(self.init, str) or self.init not in INITS:
            raise ValueError(f"init must be one of {', '.join(map(repr, INITS))}, "
                             f"got {self.init!r}")
        for name in ("n_init", "max_iter", "verbose"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise TypeError(f"{name} must be an int, got {value!r}")
            least = 0 if name == "verbose" else 1
            if value < least:
                raise ValueError(f"{name} must be at least {least}, got {value}")
        if self.n_jobs is not None and (isinstance(self.n_jobs, bool)
                                        or not isinstance(self.n_jobs, numbers.Integral)
                                        or self.n_jobs == 0):
            raise ValueError(f"n_jobs must be None or a non-zero int, got {self.n_jobs!r}")
        if self.block_size is not None and (isinstance(self.block_size, bool)
                                            or not isinstance(self.block_size, numbers.Integral)
                                            or self.block_size < 1):
            raise ValueError(f"block_size must be None or a positive int, got "
                             f"{self.block_size!r}")
        if self.callback is not None and not callable(self.callback):
            raise TypeError(f"callback must be callable or None, got {self.callback!r}")
        return int(r), resolve_n_jobs(self.n_jobs), int(self.max_iter)

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, numbers.Integral) and not isinstance(rs, bool):
            if not 0 <= rs < 2**64:
                raise ValueError(f"random_state must be between 0 and 2**64 - 1, got {rs}")
            return int(rs)
        return int(check_random_state(rs).randint(0, 2**63 - 1, dtype=np.int64))

    def _resolve_method(self, r: int) -> str:
        method = self.method.strip().lower()
        if method == "auto":
            return "zeta" if r <= AUTO_EXACT_RANK else "greedy-ls"
        return method

    def _say(self, text: str) -> None:
        if self.verbose:
            print(f"[BooleanMF] {text}", file=sys.stdout, flush=True)

    # ------------------------------------------------------------------
    # Fitting

    def _fit(self, x: Any, client: Any = None) -> np.ndarray:
        # A fit that fails or is interrupted leaves the estimator as it was.
        before = dict(self.__dict__)
        try:
            return self._fit_unguarded(x, client)
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(before)
            raise

    def _fit_unguarded(self, x: Any, client: Any) -> np.ndarray:
        if self.backend not in ("threads", "dask"):
            raise ValueError(f"backend must be 'threads' or 'dask', got {self.backend!r}")
        if self.backend == "dask" or _is_dask_collection(x):
            from ._dask import DaskRunner, validate_dask

            x = validate_dask(self, x)
            r, n_jobs, max_iter = self._check_params(self.n_features_in_)
            runner_cm: Any = DaskRunner(client, self.verbose)
            where = "a Dask cluster"
        else:
            x = self._validate_x(x, reset=True)
            r, n_jobs, max_iter = self._check_params(x.cols)
            runner_cm = Runner(n_jobs, self.verbose)
            where = f"{n_jobs} thread(s)"
        seed = self._seed()
        method = self._resolve_method(r)
        init = "random-columns"
        self._say(f"rank {r}, method {method!r}, init {init!r}, {self.n_init} run(s), {where}")
        with runner_cm as runner:
            data = runner.prepare(x, self.block_size, method, r)
            best = self._runs(data, runner, r, method, max_iter, seed)
        ht = PackedMatrix._trusted(best.ht, r)
        self.components_ = ht.transpose().to_numpy()
        self.n_components_ = r
        self.reconstruction_err_ = int(best.error)
        self.n_iter_ = int(best.iterations)
        self.error_history_ = list(best.history)
        self.method_ = method
        self.init_ = init
        return PackedMatrix._trusted(best.w, r).to_numpy()

    def _runs(self, data: Any, runner: Any, r: int, method: str, max_iter: int,
              seed: int) -> Fit:
        """The ``n_init`` runs from seeds seed, seed + 1, ...; the best one."""
        best: Optional[Fit] = None
        for run in range(self.n_init):
            w = runner.initial_factor(data, r, (seed + run) % 2**64)
            fit = alternate(data, r, method, max_iter, w, runner, self._monitor(run))
            self._say(f"run {run + 1}: error {fit.error} after {fit.iterations} "
                      f"iteration(s), {fit.seconds:.3g} s")
            if best is None or fit.error < best.error:
                best = fit
        assert best is not None
        return best

    def _monitor(self, run: int) -> Callable[[int, int, float], None]:
        def monitor(iteration: int, error: int, seconds: float) -> None:
            self._say(f"run {run + 1}, iteration {iteration}: error {error} ({seconds:.3g} s)")
            if self.callback is not None:
                self.callback(iteration, error)
        return monitor

    def fit(self, X: Any, y: Any = None, client: Any = None) -> "BooleanMF":
        """Fits the factorisation to X.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data: every cell 0 or 1.
        y : Ignored
            Not used, present for API consistency.
        client : dask.distributed.Client or None, default=None
            With ``backend="dask"``: the cluster to use.

        Returns
        -------
        self : BooleanMF
            The fitted estimator.
        """
        self._fit(X, client)
        return self

    def fit_transform(self, X: Any, y: Any = None, client: Any = None) -> np.ndarray:
        """Fits the factorisation to X and returns W.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data: every cell 0 or 1.
        y : Ignored
            Not used, present for API consistency.
        client : dask.distributed.Client or None, default=None
            With ``backend="dask"``: the cluster to use.

        Returns
        -------
        W : ndarray of bool, shape (n_samples, n_components)
            The fitted left factor.
        """
        return self._fit(X, client)

    @property
    def _n_features_out(self) -> int:
        return int(self.n_components_)

    # ------------------------------------------------------------------
    # Using a fitted model

    def _solve_rows(self, X: Any) -> Tuple[np.ndarray, int, int]:
        check_is_fitted(self)
        packed = self._validate_x(X, reset=False)
        r = self.n_components_
        ht = PackedMatrix.from_dense(self.components_.T)
        w = np.zeros((packed.rows, _words_for(r)), dtype=np.uint64)
        n_jobs = resolve_n_jobs(self.n_jobs)
        with Runner(n_jobs, self.verbose) as runner:
            cost = vector_cost(self.method_, r, packed.cols)
            blocks = Blocks(packed, block_rows_for(packed.rows, packed.cols, n_jobs,
                                                   self.block_size, cost), runner)
            solver = _native.Solver(ht.words, r)
            error = runner.half_step(solver, blocks, self.method_, w, label="transform")
        return PackedMatrix._trusted(w, r).to_numpy(), error, packed.rows * packed.cols

    def transform(self, X: Any) -> np.ndarray:
        """W for new rows, with the fitted H held fixed.

        Every row of X is refitted with the fitted method: the combination
        of patterns (rows of ``components_``) that reconstructs it best.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame or BitMatrix of shape (n_samples, n_features)
            Binary data with the features seen in fit.

        Returns
        -------
        W : ndarray of bool, shape (n_samples, n_components)
        """
        return self._solve_rows(X)[0]

    def inverse_transform(self, X: Any) -> np.ndarray:
        """The Boolean product W∘H: the data that W reconstructs.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_components)
            W, binary.

        Returns
        -------
        X_reconstructed : ndarray of bool, shape (n_samples, n_features)
        """
        check_is_fitted(self)
        w = as_packed(X, name="W")
        if w.cols != self.n_components_:
            raise ValueError(f"W has {w.cols} columns, but this model has "
                             f"{self.n_components_} components")
        h = PackedMatrix.from_dense(self.components_)
        product = _native.product(w.words, self.n_components_, h.words, self.n_features_in_)
        return PackedMatrix._trusted(product, self.n_features_in_).to_numpy()

    def score(self, X: Any, y: Any = None) -> float:
        """The fraction of cells of X that the model reconstructs correctly.

        X is transformed with H fixed, then compared cell by cell with its
        reconstruction W∘H; higher is better, 1.0 is exact.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame or BitMatrix of shape (n_samples, n_features)
            Binary data with the features seen in fit.
        y : Ignored
            Not used, present for API consistency.

        Returns
        -------
        score : float
        """
        _, error, cells = self._solve_rows(X)
        return 1.0 - error / cells
