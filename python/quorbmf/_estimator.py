"""``BooleanMF``: Boolean matrix factorisation as a scikit-learn estimator."""
from __future__ import annotations

import numbers
import sys
from typing import Any, Callable, List, Optional, Tuple

import numpy as np
from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

from . import _native
from ._alternating import Fit, alternate, resume
from ._plan import (TABLE_RANK, Plan, Start, check_custom, describe_starts, plan_fit,
                    step_spec)
from ._packed import PackedMatrix, _words_for
from ._runner import Blocks, Runner, block_rows_for, parse_step, resolve_n_jobs, vector_cost
from ._validation import (_check_mask, as_packed, as_packed_observed, is_dask_collection,
                          is_packed_input)

__all__ = ["BooleanMF"]

METHODS = ("auto", "exact", "zeta", "greedy", "greedy-ls", "naive", "exact-blocks")
INITS = ("auto", "random-columns", "grecond", "asso", "custom")
# Largest rank accepted.
MAX_RANK = 1024
# Largest rank of the exact search.
EXACT_RANK = 64


def _binarize_keeping_nan(x: Any, threshold: float) -> Any:
    """1 above the threshold, 0 elsewhere; NaN stays NaN (an unobserved cell)."""
    import scipy.sparse as sp

    if sp.issparse(x):
        if threshold < 0:
            raise ValueError("binarize must be at least 0 for sparse X, whose absent cells "
                             "would otherwise all become 1")
        x = x.tocsr(copy=True)
        data = x.data
        x.data = np.where(np.isnan(data), np.nan, data > threshold) if data.dtype.kind == "f" \
            else (data > threshold)
        return x
    a = np.asarray(x)
    if a.dtype == np.object_:
        a = a.astype(np.float64)
    if a.dtype.kind == "f":
        return np.where(np.isnan(a), np.nan, a > threshold)
    return a > threshold


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
        The rank r, from 1 to 1024. None means min(n_features, 10).
    method : {"auto", "exact", "zeta", "greedy", "greedy-ls", "naive", "exact-blocks"}, default="auto"
        How each row or column is refitted in a half-step. "exact" and "zeta"
        give the same exact answer (the lowest optimal combination): "zeta"
        through a table of 2^r counters (r <= 26), "exact" by a search that
        needs no table and falls back to the table where that is cheaper
        (r <= 26), or, above rank 26 (up to 64), to "greedy-ls" for the
        vectors whose search runs over its budget (reported by ``verbose`` and
        ``n_exact_fallbacks_``). "naive" is exact by brute force. "greedy"
        adds patterns while they strictly help; "greedy-ls" follows greedy
        with a seeded local search (any rank). "exact-blocks" follows greedy
        with exact refits of groups of 12 patterns, the others held fixed
        (any rank). "auto" picks "zeta" up to rank 12, "exact" up to 20 and
        "exact-blocks" above (with missing values, "greedy-ls" from 21 to 26).
    init : {"auto", "random-columns", "grecond", "asso", "custom"}, default="auto"
        The start. "random-columns" takes r distinct non-empty columns of X
        as W, chosen by the seed, as ``QuorBMF.ao_bmf`` does; "grecond" is
        the from-below concept cover of Belohlavek & Vychodil (2010); "asso"
        the association-based cover of Miettinen et al. (2008); "custom" the
        W and H given to ``fit``. The refits never make a start worse, so a
        fit is at least as good as its classic start. "auto" runs the
        GreConD and Asso starts and then random columns, keeping the best.
    n_init : int or "auto", default="auto"
        Number of runs; the run with the fewest wrong cells is kept (the first
        on ties). Random-columns runs use seeds ``s``, ``s + 1``, ...; a
        deterministic init runs once, the other runs start from random
        columns. "auto": 4 runs up to rank 12, 2 above. With several runs and
        ``n_jobs`` > 1 the runs go side by side.
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
        Called as ``callback(iteration, error)`` after every iteration of
        every run.
    block_size : int or None, default=None
        Rows per block of a half-step; None chooses about 2^22 cells a block.
        Smaller blocks answer Ctrl-C sooner. Results do not depend on it.
    backend : {"threads", "dask"}, default="threads"
        Where the half-steps run: threads of this process, or the workers of
        a Dask cluster (``fit(X, client=...)``, else the current client, else
        a LocalCluster started and closed by the fit). X may then be a
        ``dask.array``; it stays packed on the workers. Results are the same.
    sparse_absent : {"zero", "missing"}, default="zero"
        What a cell that a sparse X does not store means: 0, or unobserved.
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
        The start of the kept run.
    n_exact_fallbacks_ : int
        Vector solves in which the exact search ran over its budget (method
        "exact" above rank 26) and "greedy-ls" answered instead.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str, shape (n_features_in_,)
        Feature names seen during fit, when X had string column names.

    See Also
    --------
    QuorBMF.ao_bmf : the same alternating algorithm on a ``BitMatrix``.

    Notes
    -----
    Errors are counts of wrong cells, not norms. Unobserved cells — NaN,
    pandas' NA, the masked cells of a NumPy masked array, the False cells of
    ``mask=``, and with ``sparse_absent="missing"`` the cells a sparse X does
    not store — are ignored: the error, ``error_history_`` and ``score``
    count observed cells only, and ``inverse_transform`` fills them in (up to
    rank 26). A row or column with no observed cell gets an all-zero row of
    W or column of H (a warning says so). X may be a NumPy array of
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
                 init: str = "auto", n_init: Any = "auto", max_iter: int = 50,
                 random_state: Any = None, n_jobs: Optional[int] = None, verbose: int = 0,
                 callback: Optional[Callable[[int, int], Any]] = None,
                 block_size: Optional[int] = None, backend: str = "threads",
                 binarize: Optional[float] = None, sparse_absent: str = "zero") -> None:
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
        self.sparse_absent = sparse_absent

    # ------------------------------------------------------------------
    # Input and parameters

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = True
        tags.transformer_tags.preserves_dtype = []
        return tags

    def _validate_x(self, x: Any, reset: bool,
                    mask: Any = None) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        """X packed, and its observed cells packed (None when all are)."""
        if self.sparse_absent not in ("zero", "missing"):
            raise ValueError(f"sparse_absent must be 'zero' or 'missing', got "
                             f"{self.sparse_absent!r}")
        if is_packed_input(x):
            packed, observed = as_packed_observed(x, mask)
            if reset:
                self.n_features_in_ = packed.cols
                if hasattr(self, "feature_names_in_"):
                    del self.feature_names_in_
            elif packed.cols != self.n_features_in_:
                raise ValueError(f"X has {packed.cols} features, but {type(self).__name__} "
                                 f"is expecting {self.n_features_in_} features as input.")
            return packed, observed
        threshold = self.binarize
        if threshold is not None and (isinstance(threshold, bool)
                                      or not isinstance(threshold, numbers.Real)):
            raise TypeError(f"binarize must be a number or None, got {threshold!r}")
        masked_cells = None
        if isinstance(x, np.ma.MaskedArray):
            masked_cells = np.ma.getmaskarray(x)
            x = np.ma.getdata(x)
        x = validate_data(self, x, reset=reset, accept_sparse=True, dtype=None,
                          ensure_all_finite="allow-nan", ensure_2d=True, ensure_min_samples=1)
        if masked_cells is not None:
            given = masked_cells if mask is None else masked_cells | ~_check_mask(mask, x.shape)
            mask = ~given
        if threshold is not None:
            x = _binarize_keeping_nan(x, float(threshold))
        return as_packed_observed(x, mask, sparse_absent=self.sparse_absent)

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
        method = self.method.strip().lower()
        if r > TABLE_RANK and method in ("zeta", "naive"):
            raise ValueError(f"method {method!r} needs a table of 2^r counters and works up to "
                             f"rank {TABLE_RANK}; at rank {r} use 'greedy', 'greedy-ls', "
                             f"'exact-blocks'{', exact' if r <= EXACT_RANK else ''} or 'auto'")
        if r > EXACT_RANK and method == "exact":
            raise ValueError(f"method 'exact' works up to rank {EXACT_RANK}; at rank {r} use "
                             "'exact-blocks', 'greedy', 'greedy-ls' or 'auto'")
        if not isinstance(self.init, str) or self.init not in INITS:
            raise ValueError(f"init must be one of {', '.join(map(repr, INITS))}, "
                             f"got {self.init!r}")
        if isinstance(self.n_init, str) and self.n_init != "auto":
            raise ValueError(f"n_init must be an int or 'auto', got {self.n_init!r}")
        for name in ("n_init", "max_iter", "verbose"):
            value = getattr(self, name)
            if name == "n_init" and value == "auto":
                continue
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

    def _say(self, text: str) -> None:
        if self.verbose:
            print(f"[BooleanMF] {text}", file=sys.stdout, flush=True)

    # ------------------------------------------------------------------
    # Fitting

    def _fit(self, x: Any, client: Any = None, mask: Any = None, w: Any = None,
             h: Any = None) -> np.ndarray:
        # A fit that fails or is interrupted leaves the estimator as it was.
        before = dict(self.__dict__)
        try:
            return self._fit_unguarded(x, client, mask, (w, h))
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(before)
            raise

    def _fit_unguarded(self, x: Any, client: Any, mask: Any, custom: Tuple[Any, Any]) -> np.ndarray:
        if self.backend not in ("threads", "dask"):
            raise ValueError(f"backend must be 'threads' or 'dask', got {self.backend!r}")
        dask = self.backend == "dask" or is_dask_collection(x)
        observed: Optional[PackedMatrix] = None
        if dask:
            from ._dask import DaskRunner, validate_dask

            # A wrong client is reported by the runner, with its own message.
            x = validate_dask(self, x, client=client if hasattr(client, "as_current") else None,
                              mask=mask)
            r, n_jobs, max_iter = self._check_params(self.n_features_in_)
            runner_cm: Any = DaskRunner(client, self.verbose)
            where = "a Dask cluster"
            shape = (int(x.shape[0]), int(x.shape[1]))
        else:
            x, observed = self._validate_x(x, reset=True, mask=mask)
            r, n_jobs, max_iter = self._check_params(x.cols)
            runner_cm = Runner(n_jobs, self.verbose)
            where = f"{n_jobs} thread(s)"
            shape = x.shape
        custom_wh = check_custom(*custom, shape, r) if self.init == "custom" else None
        seed = self._seed()
        with runner_cm as runner:
            if dask:
                # Whether some cells are unobserved is known once X is on the workers.
                data = runner.prepare(x, self.block_size)
                plan = self._plan(r, seed, shape, data.masked, where)
            else:
                plan = self._plan(r, seed, shape, observed is not None, where)
                data = runner.prepare(x, self.block_size, plan.step, r, mask=observed)
            if data.masked:
                self._warn_unobserved(data.unseen)
            best, best_start = self._runs(data, runner, r, plan, max_iter, custom_wh, n_jobs)
            if runner.fallbacks:
                self._say(f"the exact search ran over its budget for {runner.fallbacks} "
                          "vector solve(s); 'greedy-ls' solved those instead")
        ht = PackedMatrix._trusted(best.ht, r)
        self.components_ = ht.transpose().to_numpy()
        self.n_components_ = r
        self.reconstruction_err_ = int(best.error)
        self.n_iter_ = int(best.iterations)
        self.error_history_ = list(best.history)
        self.method_ = plan.method
        self.init_ = best_start.kind
        self.n_exact_fallbacks_ = int(runner.fallbacks)
        return PackedMatrix._trusted(best.w, r).to_numpy()

    def _plan(self, r: int, seed: int, shape: Tuple[int, int], masked: bool, where: str) -> Plan:
        if masked and r > TABLE_RANK:
            raise ValueError(f"missing values are supported up to rank {TABLE_RANK}, "
                             f"got n_components={r}")
        plan = plan_fit(self.method.strip().lower(), self.init, self.n_init, r, seed, shape,
                        masked)
        self._say(f"rank {r}, method {plan.method!r}, starts: {describe_starts(plan.starts)}; "
                  f"{where}")
        return plan

    def _warn_unobserved(self, unseen: Tuple[Tuple[int, int], Tuple[int, int]]) -> None:
        import warnings

        for (count, first), side, part in zip(unseen, ("row", "column"), ("W row", "H column")):
            if count:
                warnings.warn(f"{count} {side}(s) of X have no observed cell (the first is "
                              f"{side} {first}); their {part} is all zero and they count no "
                              "error", UserWarning, stacklevel=5)

    def _runs(self, data: Any, runner: Any, r: int, plan: Plan, max_iter: int,
              custom: Optional[Tuple[np.ndarray, np.ndarray]], n_jobs: int) -> Tuple[Fit, Start]:
        """One run per start; the best one (the first on ties). With several
        starts and threads the runs go side by side, each on one thread."""
        def run(k: int, start: Start, inner: Any, limit: int) -> Fit:
            if start.kind == "random-columns":
                w, first = runner.initial_factor(data, r, start.seed), None
            else:
                w, first = runner.start_factors(data, start, r, custom)
            fit = alternate(data, r, plan.step, limit, w, inner, self._monitor(k), first)
            self._say(f"run {k + 1} from {start.describe()}: error {fit.error} after "
                      f"{fit.iterations} iteration(s), {fit.seconds:.3g} s")
            return fit

        starts = list(plan.starts)
        side_by_side = len(starts) > 1 and n_jobs > 1 and isinstance(runner, Runner)

        def each(fn: Callable[..., Fit], items: List[Tuple[int, Any]]) -> List[Fit]:
            if not side_by_side:
                return [fn(k, item, runner) for k, item in items]

            def alone(k: int, item: Any) -> Fit:
                inner = Runner(1, 0, stop=runner.stop)
                try:
                    return fn(k, item, inner)
                finally:
                    runner.fallbacks += inner.fallbacks
            return runner.map(alone, items)

        if plan.screen_iters:
            # Every start for a few iterations; the best few go on.
            first = each(lambda k, st, inner: run(k, st, inner, plan.screen_iters),
                         list(enumerate(starts)))
            order = sorted(range(len(first)), key=lambda i: (first[i].error, i))[:plan.keep]
            self._say(f"screened {len(starts)} starts after {plan.screen_iters} iterations; "
                      f"going on with runs {', '.join(str(i + 1) for i in order)}")
            rest = each(lambda k, fit, inner: resume(data, r, plan.step, max_iter, fit, inner,
                                                     self._monitor(k)),
                        [(i, first[i]) for i in order])
            fits = {i: f for i, f in zip(order, rest)}
        else:
            fits = dict(enumerate(each(lambda k, st, inner: run(k, st, inner, max_iter),
                                       list(enumerate(starts)))))
        k = min(fits, key=lambda i: (fits[i].error, i))
        return fits[k], starts[k]

    def _monitor(self, run: int) -> Callable[[int, int, float], None]:
        def monitor(iteration: int, error: int, seconds: float) -> None:
            self._say(f"run {run + 1}, iteration {iteration}: error {error} ({seconds:.3g} s)")
            if self.callback is not None:
                self.callback(iteration, error)
        return monitor

    def fit(self, X: Any, y: Any = None, mask: Any = None, W: Any = None, H: Any = None,
            client: Any = None) -> "BooleanMF":
        """Fits the factorisation to X.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data: every observed cell 0 or 1; NaN, pandas' NA and
            masked cells are unobserved.
        y : Ignored
            Not used, present for API consistency.
        mask : array-like of bool of shape (n_samples, n_features) or None, default=None
            True where a cell is observed; combined with X's own missing cells.
        W : array-like of shape (n_samples, n_components) or None, default=None
            With ``init="custom"``: the starting W.
        H : array-like of shape (n_components, n_features) or None, default=None
            With ``init="custom"``: the starting H.
        client : dask.distributed.Client or None, default=None
            With ``backend="dask"``: the cluster to use.

        Returns
        -------
        self : BooleanMF
            The fitted estimator.
        """
        self._fit(X, client, mask, W, H)
        return self

    def fit_transform(self, X: Any, y: Any = None, mask: Any = None, W: Any = None,
                      H: Any = None, client: Any = None) -> np.ndarray:
        """Fits the factorisation to X and returns W.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data: every observed cell 0 or 1.
        y : Ignored
            Not used, present for API consistency.
        mask : array-like of bool of shape (n_samples, n_features) or None, default=None
            True where a cell is observed.
        W : array-like of shape (n_samples, n_components) or None, default=None
            With ``init="custom"``: the starting W.
        H : array-like of shape (n_components, n_features) or None, default=None
            With ``init="custom"``: the starting H.
        client : dask.distributed.Client or None, default=None
            With ``backend="dask"``: the cluster to use.

        Returns
        -------
        W : ndarray of bool, shape (n_samples, n_components)
            The fitted left factor.
        """
        return self._fit(X, client, mask, W, H)

    @property
    def _n_features_out(self) -> int:
        return int(self.n_components_)

    # ------------------------------------------------------------------
    # Using a fitted model

    def _dask_rows(self, X: Any, mask: Any) -> Tuple[Any, np.ndarray, int, str]:
        from ._dask import dask_rows

        rows = dask_rows(self, X, mask)
        r = self.n_components_
        return rows, PackedMatrix.from_dense(self.components_.T).words, r, \
            step_spec(self.method_, r)

    def _solve_rows(self, X: Any, mask: Any = None) -> Tuple[np.ndarray, int, int]:
        check_is_fitted(self)
        packed, observed = self._validate_x(X, reset=False, mask=mask)
        r = self.n_components_
        ht = PackedMatrix.from_dense(self.components_.T)
        w = np.zeros((packed.rows, _words_for(r)), dtype=np.uint64)
        n_jobs = resolve_n_jobs(self.n_jobs)
        step = step_spec(self.method_, r)
        with Runner(n_jobs, self.verbose) as runner:
            cost = vector_cost(parse_step(step)[0] or "greedy", r, packed.cols)
            blocks = Blocks(packed, block_rows_for(packed.rows, packed.cols, n_jobs,
                                                   self.block_size, cost), runner, observed)
            error = runner.solve(ht.words, r, blocks, step, w, label="transform")
        cells = packed.rows * packed.cols if observed is None else observed.count_ones()
        return PackedMatrix._trusted(w, r).to_numpy(), error, cells

    def transform(self, X: Any, mask: Any = None) -> np.ndarray:
        """W for new rows, with the fitted H held fixed.

        Every row of X is refitted with the fitted method: the combination
        of patterns (rows of ``components_``) that reconstructs its observed
        cells best.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data with the features seen in fit; unobserved cells as in
            ``fit``.
        mask : array-like of bool or None, default=None
            True where a cell is observed.

        Returns
        -------
        W : ndarray of bool, shape (n_samples, n_components)
            A dask array, chunked by the rows of X and computed lazily on
            the workers, when X is a dask array or data frame.
        """
        if is_dask_collection(X):
            from ._dask import dask_transform

            check_is_fitted(self)
            return dask_transform(*self._dask_rows(X, mask))
        return self._solve_rows(X, mask)[0]

    def inverse_transform(self, X: Any) -> np.ndarray:
        """The Boolean product W∘H: the data that W reconstructs.

        Parameters
        ----------
        X : array-like or dask.array of shape (n_samples, n_components)
            W, binary.

        Returns
        -------
        X_reconstructed : ndarray of bool, shape (n_samples, n_features)
            A lazy dask array, chunked by the rows of W, when W is a dask array.
        """
        check_is_fitted(self)
        h = PackedMatrix.from_dense(self.components_)
        if is_dask_collection(X):
            from ._dask import dask_product

            return dask_product(X, h.words, self.n_components_, self.n_features_in_)
        w = as_packed(X, name="W")
        if w.cols != self.n_components_:
            raise ValueError(f"W has {w.cols} columns, but this model has "
                             f"{self.n_components_} components")
        product = _native.product(w.words, self.n_components_, h.words, self.n_features_in_)
        return PackedMatrix._trusted(product, self.n_features_in_).to_numpy()

    def score(self, X: Any, y: Any = None, mask: Any = None) -> float:
        """The fraction of observed cells of X that the model reconstructs
        correctly.

        X is transformed with H fixed, then compared cell by cell with its
        reconstruction W∘H; higher is better, 1.0 is exact.

        Parameters
        ----------
        X : array-like, sparse matrix, DataFrame, BitMatrix or dask.array of shape (n_samples, n_features)
            Binary data with the features seen in fit.
        y : Ignored
            Not used, present for API consistency.
        mask : array-like of bool or None, default=None
            True where a cell is observed.

        Returns
        -------
        score : float
            For a dask array or data frame, computed chunk by chunk on the
            current Dask scheduler.
        """
        if is_dask_collection(X):
            from ._dask import dask_score

            check_is_fitted(self)
            error, cells = dask_score(*self._dask_rows(X, mask))
        else:
            _, error, cells = self._solve_rows(X, mask)
        return 1.0 - error / max(cells, 1)
