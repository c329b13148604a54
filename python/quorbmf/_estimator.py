"""``BooleanMF``: Boolean matrix factorisation as a scikit-learn estimator.

The estimator holds its parameters, declared in ``_parameter_constraints``
and checked before any data is read; ``fit`` checks X at the one door
(:mod:`._input`), hands the work to a backend (threads or Dask, through the
protocol of :mod:`.backends.base`) and the runs to :mod:`._fit`, then sets
its attributes.
"""
from __future__ import annotations

import contextlib
import sys
import threading
import warnings
from numbers import Integral
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import numpy as np
from sklearn.base import (
    BaseEstimator,
    ClassNamePrefixFeaturesOutMixin,
    TransformerMixin,
    _fit_context,
)
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import make_constraint
from sklearn.utils.validation import check_is_fitted, validate_data

from . import _native
from ._costs import Objective
from ._fit import Monitor, run_starts
from ._input import (
    as_packed,
    check_mask,
    is_dask_collection,
    is_packed_input,
    pack_observed,
)
from ._packed import Cells, PackedMatrix, Words, words_for
from ._params import PARAMETER_CONSTRAINTS, invalid
from ._plan import (
    Plan,
    Step,
    check_custom,
    describe_starts,
    error_counts,
    plan_fit,
)
from ._search import auto_moves, cells_limit, search
from ._sparse import checked_sparse, is_sparse
from .backends.base import Backend, FitInput
from .backends.blocks import PackedRows, hiding
from .backends.threads import ThreadBackend, resolve_n_jobs

__all__ = ["BooleanMF"]

# The estimators being fitted (by id; each alive while it is here), kept
# outside them so that they pickle, clone and compare as before.
_fitting: Dict[int, object] = {}
_fitting_lock = threading.Lock()


@contextlib.contextmanager
def _running(estimator: Any) -> Iterator[None]:
    """Marks ``estimator`` as being fitted for the duration; RuntimeError if
    it already is, from this thread (a callback) or another."""
    key, token = id(estimator), object()
    try:
        with _fitting_lock:
            if key in _fitting:
                raise RuntimeError(
                    f"{type(estimator).__name__}.fit is already running on this estimator "
                    "(from another thread, or from a callback of that fit); fit a clone "
                    "(sklearn.base.clone) instead, or wait for that fit to end")
            _fitting[key] = token
        yield
    finally:
        # Only the holder releases, whatever ends the fit.
        with _fitting_lock:
            if _fitting.get(key) is token:
                del _fitting[key]


def _is_fitted_name(name: str) -> bool:
    """True for the name of a fitted attribute (``components_``, ...)."""
    return name.endswith("_") and not name.startswith("_")

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
        (any rank). With missing values and with costs every method counts
        the observed cells only, at every rank it runs at. "auto" picks
        "zeta" up to rank 12, "exact" up to 20 and "exact-blocks" above
        (with missing values, "greedy-ls" from 13 to 26, where a table of 2^r
        counters per distinct mask costs too much; with costs other than
        equal, "exact-blocks" from 13, where "exact" would need the table).
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
        1 prints what "auto" chose, one line per iteration (error, time) and
        one per improvement of the search (error, move, time),
        with a progress bar over the blocks of half-steps longer than a
        second (tqdm when installed).
    callback : callable or None, default=None
        Called as ``callback(iteration, error)`` after every iteration of
        every run, then as ``callback(moves, error)`` at every improvement of
        the search; the error as ``error_history_`` counts it.
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
    search : int or "auto", default="auto"
        Moves of the search that follows the runs: it changes a few rank-one
        patterns of the best run at a time (re-solving them against what the
        others leave uncovered, swapping in patterns found earlier, or
        re-seeding them from a row or column of X), refits the whole with
        ``method`` and keeps what is no worse, in two chains that share what
        they find. It never makes the fit worse. "auto" runs it after the
        default starts only (``init="auto"``), with a number of moves set by
        the shape and the rank: tens of milliseconds on a small table, about
        a second on 10^6 cells, at most about the runs' own time on larger
        data. 0 turns it off. The factors depend on the seed and the moves,
        not on ``n_jobs`` or ``block_size``. With ``backend="dask"`` it runs
        on the client, X gathered there (skipped by default when X is over
        1 GiB packed).
    search_time : float or None, default=None
        A limit in seconds on the search: it stops at the first move after
        it. The one setting that makes the result depend on the machine.
    false_positive_cost : float, default=1.0
        What one false positive costs: an observed cell where W∘H is 1 and
        X is 0 (a permission granted that the user lacks). Every method, the
        starts and the search minimise ``false_positive_cost * false
        positives + false_negative_cost * false negatives`` over the observed
        cells; the exact methods give the lowest-cost combination. Costs are
        finite and at least 0, not both 0; only their ratio matters, used
        exactly when it is a fraction with terms up to 2^24 (1 : 4, 0.1 : 1)
        and as the nearest such fraction otherwise. Equal costs give the same
        factors as the default.
    false_negative_cost : float, default=1.0
        What one false negative costs: an observed cell where W∘H is 0 and
        X is 1 (a 1 of X left uncovered).
    from_below : bool, default=False
        Forbid false positives: W∘H stays below X on every observed cell
        (the factors cover 1s of X only), and the fit minimises the false
        negatives (times ``false_negative_cost``; ``false_positive_cost`` is
        not used). GreConD's covers are from below by construction; this
        keeps every refit and the search from below too.
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
        Number of observed cells in which X and W∘H differ, W the fitted
        factor, whatever the costs.
    cost_ : float
        What the fit minimised: ``false_positive_cost *
        n_false_positives_ + false_negative_cost * n_false_negatives_``
        (``reconstruction_err_`` with the default costs; the false negatives
        times their cost with ``from_below``).
    n_false_positives_ : int
        Observed cells where W∘H is 1 and X is 0 (0 with ``from_below``).
    n_false_negatives_ : int
        Observed cells where W∘H is 0 and X is 1.
    n_iter_ : int
        Iterations run by the kept run, counting a final one that did not
        improve.
    error_history_ : list of int or float
        What the fit minimises after every iteration of the kept run: the
        number of wrong cells with the default costs (ints), else the cost
        (floats, ``cost_``'s units).
    method_ : str
        The solving method used.
    init_ : str
        The start of the kept run.
    n_search_moves_ : int
        Moves the search ran (0 without a search).
    search_history_ : list of (int, int or float)
        Each improvement of the search: (moves so far, error), the error
        counted as ``error_history_`` counts it.
    search_times_ : list of float
        When each improvement of ``search_history_`` was found: seconds
        since the search began (the one attribute that depends on the
        machine).
    n_exact_fallbacks_ : int
        Vector solves in which the exact search ran over its budget (method
        "exact" above rank 26) and "greedy-ls" answered instead.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str, shape (n_features,)
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
    count observed cells only, and ``inverse_transform`` fills them in. A
    row or column with no observed cell gets an all-zero row of W or column
    of H (a warning says so). A fit replaces the fitted
    attributes all at once when it ends; a second fit of the same estimator
    while one runs (from another thread or a callback) raises RuntimeError.
    X may be a NumPy array of bool or any integer or float dtype holding
    only 0 and 1, a scipy.sparse matrix, a pandas DataFrame, a nested list,
    a ``QuorBMF.BitMatrix`` or a :class:`quorbmf.PackedMatrix`.

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
    """  # noqa: E501 (numpydoc keeps a type on one line)

    _parameter_constraints: Dict[str, List[Any]] = PARAMETER_CONSTRAINTS

    def __init__(self, n_components: Optional[int] = None, *, method: str = "auto",
                 init: str = "auto", n_init: Any = "auto", max_iter: int = 50,
                 random_state: Any = None, n_jobs: Optional[int] = None, verbose: int = 0,
                 callback: Optional[Callable[[int, float], Any]] = None,
                 block_size: Optional[int] = None, backend: str = "threads",
                 binarize: Optional[float] = None, sparse_absent: str = "zero",
                 search: Any = "auto", search_time: Optional[float] = None,
                 false_positive_cost: float = 1.0, false_negative_cost: float = 1.0,
                 from_below: bool = False) -> None:
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
        self.search = search
        self.search_time = search_time
        self.false_positive_cost = false_positive_cost
        self.false_negative_cost = false_negative_cost
        self.from_below = from_below

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = True
        tags.transformer_tags.preserves_dtype = []
        return tags

    # ------------------------------------------------------------------
    # Parameters, then data

    def _validate_params(self) -> None:
        """Every parameter against its constraints, then the rank against the
        method: all before any data is read."""
        self._check_params(*self._parameter_constraints)
        self._objective()
        r, method = self.n_components, self.method.strip().lower()
        if r is None or method not in _native.METHODS:
            return
        limit = _native.rank_limit(method, r)
        if limit is not None:
            # The core says what the method cannot do; the alternatives are
            # the estimator's methods that run at this rank.
            others = [m for m in ("greedy", "greedy-ls", "exact-blocks", "exact")
                      if m == "exact-blocks" or _native.rank_limit(m, r) is None]
            raise ValueError(f"{limit}; at rank {r} use {', '.join(map(repr, others))} "
                             "or 'auto'")

    def _check_params(self, *names: str) -> None:
        for name in names:
            value = getattr(self, name)
            if not any(make_constraint(c).is_satisfied_by(value)
                       for c in self._parameter_constraints[name]):
                raise invalid(name, value)

    def _validate_x(self, x: Any, reset: bool,
                    mask: Any = None) -> Tuple[PackedMatrix, Optional[PackedMatrix]]:
        """X packed, and its observed cells packed (None when all are)."""
        if is_packed_input(x):
            packed, observed = pack_observed(x, mask)
            if reset:
                self.n_features_in_ = packed.cols
                if hasattr(self, "feature_names_in_"):
                    del self.feature_names_in_
            elif packed.cols != self.n_features_in_:
                raise ValueError(f"X has {packed.cols} features, but {type(self).__name__} "
                                 f"is expecting {self.n_features_in_} features as input.")
            return packed, observed
        masked_cells = None
        if isinstance(x, np.ma.MaskedArray):
            masked_cells = np.ma.getmaskarray(x)
            x = np.ma.getdata(x)
        # A sparse structure is checked before scikit-learn touches it; the
        # values are checked by the door, which reads observed cells only.
        cells = checked_sparse(x) if is_sparse(x) else None
        x = validate_data(self, x, reset=reset, accept_sparse=True, dtype=None,
                          ensure_all_finite=False, ensure_2d=True, ensure_min_samples=1)
        if masked_cells is not None:
            given = masked_cells if mask is None else masked_cells | ~check_mask(mask, x.shape)
            mask = ~given
        return pack_observed(x if cells is None else cells, mask, threshold=self._threshold(),
                             sparse_absent=self.sparse_absent)

    def _objective(self) -> Objective:
        """The costs the fit minimises, checked together."""
        return Objective.of(self.false_positive_cost, self.false_negative_cost,
                            bool(self.from_below))

    def _threshold(self) -> Optional[float]:
        return None if self.binarize is None else float(self.binarize)

    def _seed(self) -> int:
        rs = self.random_state
        if isinstance(rs, Integral) and not isinstance(rs, bool):
            return int(rs)
        return int(check_random_state(rs).randint(0, 2**63 - 1, dtype=np.int64))

    def _say(self, text: str) -> None:
        if self.verbose:
            print(f"[BooleanMF] {text}", file=sys.stdout, flush=True)

    # ------------------------------------------------------------------
    # Fitting

    def _fit(self, x: Any, client: Any, mask: Any, custom: Tuple[Any, Any]) -> Cells:
        # The fit runs on a private copy and its attributes replace the
        # estimator's all at once at the end: a reader from another thread
        # sees the old model or the new one whole, and a fit that fails or
        # is interrupted leaves the estimator as it was.
        with _running(self):
            work = self._copy()
            w = work._fit_unguarded(x, client, mask, custom)
            fitted = {k: v for k, v in work.__dict__.items() if _is_fitted_name(k)}
            state = {k: v for k, v in self.__dict__.items() if not _is_fitted_name(k)}
            state.update(fitted)
            self.__dict__ = state
            return w

    def _copy(self) -> "BooleanMF":
        """A shallow copy: the parameters and fitted attributes as they are
        now, read in one step."""
        copy = object.__new__(type(self))
        copy.__dict__ = dict(self.__dict__)
        return copy

    def _fit_unguarded(self, x: Any, client: Any, mask: Any, custom: Tuple[Any, Any]) -> Cells:
        backend: Backend
        if self.backend == "dask" or is_dask_collection(x):
            from .backends.dask import DaskBackend, dask_input

            # A wrong client is reported by the backend, with its own message.
            given = dask_input(self, x, client=client if hasattr(client, "as_current") else None,
                               mask=mask)
            backend, where = DaskBackend(client, self.verbose, self.block_size), "a Dask cluster"
        else:
            packed, observed = self._validate_x(x, reset=True, mask=mask)
            observed = hiding(observed)
            given = FitInput(packed.shape, packed=packed, observed=observed)
            n_jobs = resolve_n_jobs(self.n_jobs)
            backend = ThreadBackend(n_jobs, self.verbose, self.block_size)
            where = f"{n_jobs} thread(s)"
        r = min(given.shape[1], 10) if self.n_components is None else int(self.n_components)
        custom_wh = check_custom(*custom, given.shape, r) if self.init == "custom" else None
        seed = self._seed()
        objective = self._goal = self._objective()
        with backend:
            data = backend.prepare(given)
            plan = self._plan(r, seed, given.shape, data.masked, where, objective)
            if data.masked:
                self._warn_unobserved(data.unseen)
            best = run_starts(backend, data, r, plan, int(self.max_iter), custom_wh, self._say,
                              self._monitor)
            moves = self._search_moves(backend, data, r, best.fits)
            self.n_search_moves_, self.search_history_, self.search_times_ = 0, [], []
            if moves:
                found = search(backend, data, r, plan.step, best.fits, moves,
                               None if self.search_time is None else float(self.search_time),
                               seed, resolve_n_jobs(self.n_jobs), self._say, self._report,
                               plan.step.costs)
                best.fit = found.fit
                self.n_search_moves_ = found.moves
                self.search_history_ = [(move, objective.user(error))
                                        for move, error, _, _ in found.history]
                self.search_times_ = [seconds for _, _, _, seconds in found.history]
            h = _native.transpose(best.fit.ht, r)
            false_positives, false_negatives = backend.error_counts(data, best.fit.w, r, h)
        # A row or column with no observed cell is refitted to zero, but a
        # start kept as it was keeps its own: zeroed, as the warning says.
        if data.unseen_rows is not None and data.unseen_cols is not None:
            best.fit.w[data.unseen_rows] = 0
            best.fit.ht[data.unseen_cols] = 0
        if best.fallbacks:
            self._say(f"the exact search ran over its budget for {best.fallbacks} "
                      "vector solve(s); 'greedy-ls' solved those instead")
        self.components_ = PackedMatrix._trusted(best.fit.ht, r).transpose().to_numpy()
        self.n_components_ = r
        self.reconstruction_err_ = false_positives + false_negatives
        self.n_false_positives_ = false_positives
        self.n_false_negatives_ = false_negatives
        self.cost_ = objective.cost(false_positives, false_negatives)
        self.n_iter_ = int(best.fit.iterations)
        self.error_history_ = [objective.user(e) for e in best.fit.history]
        if not objective.plain:
            self._say(f"{false_positives} false positive(s), {false_negatives} false "
                      f"negative(s): cost {self.cost_:g} ({objective.describe()})")
        self.method_ = plan.method
        self.init_ = best.start.kind
        self.n_exact_fallbacks_ = int(best.fallbacks)
        return PackedMatrix._trusted(best.fit.w, r).to_numpy()

    def _plan(self, r: int, seed: int, shape: Tuple[int, int], masked: bool, where: str,
              objective: Objective) -> Plan:
        plan = plan_fit(self.method.strip().lower(), self.init, self.n_init, r, seed, shape,
                        masked, objective.native)
        costs = "" if objective.plain else f"; {objective.describe()}"
        self._say(f"rank {r}, method {plan.method!r}, starts: {describe_starts(plan.starts)}; "
                  f"{where}{costs}")
        return plan

    def _search_moves(self, backend: Backend, data: Any, r: int, fits: List[Any]) -> int:
        """The moves of the search: ``search`` or its default; none when the
        best run is exact. With the Dask backend the search gathers X to
        the client: the default search is skipped when X is too large to
        gather, an explicit one refused."""
        if not fits or min(f.error for f in fits) == 0:
            return 0
        if self.search == "auto":
            # By default only after the default starts: a fit from a given
            # start stays the alternating fit from that start.
            if self.init != "auto":
                return 0
            moves = auto_moves(data.shape, r, sum(f.iterations for f in fits))
        else:
            moves = int(self.search)
        m, n = data.shape
        cells = cells_limit(self._goal.native)
        if moves and cells is not None and m * n >= cells:
            why = (f"with these costs the search takes fewer than {cells} cells, and X has "
                   f"{m * n}")
            if self.search == "auto":
                self._say(f"search skipped: {why}")
                return 0
            raise ValueError(f"search={self.search}: {why}; use search=0")
        limit = backend.gather_limit
        size = m * words_for(n) * 8 * (2 if data.masked else 1)
        if moves and limit is not None and size > limit:
            if self.search == "auto":
                self._say(f"search skipped: it runs on the client, and X packed is "
                          f"{size / 2**30:.1f} GiB, over the {limit / 2**30:g} GiB that "
                          "backend='dask' gathers")
                return 0
            raise ValueError(
                f"search={self.search} runs on the client, and X packed is {size / 2**30:.1f} "
                f"GiB, over the {limit / 2**30:g} GiB that backend='dask' gathers to the "
                "client: use search=0")
        return moves

    def _report(self, move: int, error: int) -> None:
        if self.callback is not None:
            self.callback(move, self._goal.user(error))

    def _warn_unobserved(self, unseen: Tuple[Tuple[int, int], Tuple[int, int]]) -> None:
        for (count, first), side, part in zip(unseen, ("row", "column"), ("W row", "H column")):
            if count:
                # Pointed at the caller of fit: through fit's wrapper, fit,
                # _fit and _fit_unguarded.
                warnings.warn(f"{count} {side}(s) of X have no observed cell (the first is "
                              f"{side} {first}); their {part} is all zero and they count no "
                              "error", UserWarning, stacklevel=6)

    def _monitor(self, run: int) -> Monitor:
        def monitor(iteration: int, error: int, seconds: float) -> None:
            value = self._goal.user(error)
            what = "error" if self._goal.plain else "cost"
            shown = value if self._goal.plain else f"{value:g}"
            self._say(f"run {run + 1}, iteration {iteration}: {what} {shown} "
                      f"({seconds:.3g} s)")
            if self.callback is not None:
                self.callback(iteration, value)
        return monitor

    @_fit_context(prefer_skip_nested_validation=True)
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
        """  # noqa: E501 (numpydoc keeps a type on one line)
        self._fit(X, client, mask, (W, H))
        return self

    @_fit_context(prefer_skip_nested_validation=True)
    def fit_transform(self, X: Any, y: Any = None, mask: Any = None, W: Any = None,
                      H: Any = None, client: Any = None) -> Cells:
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
        """  # noqa: E501 (numpydoc keeps a type on one line)
        return self._fit(X, client, mask, (W, H))

    @property
    def _n_features_out(self) -> int:
        return int(self.n_components_)

    # ------------------------------------------------------------------
    # Using a fitted model

    def _fitted_step(self) -> Tuple[Words, int, Step]:
        """Hᵀ packed, the rank and the half-step of the fitted model."""
        check_is_fitted(self)
        self._check_params("binarize", "sparse_absent")
        r = int(self.n_components_)
        step = Step.of(self.method_, r, self._objective().native)
        return PackedMatrix.from_dense(self.components_.T).words, r, step

    def _solve_rows(self, X: Any, mask: Any = None) -> Tuple[Cells, int, int]:
        ht, r, step = self._fitted_step()
        packed, observed = self._validate_x(X, reset=False, mask=mask)
        observed = hiding(observed)
        w = np.zeros((packed.rows, words_for(r)), dtype=np.uint64)
        with ThreadBackend(resolve_n_jobs(self.n_jobs), self.verbose, self.block_size) as threads:
            rows = PackedRows(packed.words, packed.cols,
                              None if observed is None else observed.words)
            error = threads.solve(ht, r, rows, step, w, label="transform").error
        if step.costs is not None:
            # The solver's total is weighted; the error counts wrong cells.
            error = sum(error_counts(packed, observed, w, r, _native.transpose(ht, r)))
        cells = packed.rows * packed.cols if observed is None else observed.count_ones()
        return PackedMatrix._trusted(w, r).to_numpy(), error, cells

    def transform(self, X: Any, mask: Any = None) -> Cells:
        """W for new rows, with the fitted H held fixed.

        Every row of X is refitted with the fitted method: the combination
        of patterns (rows of ``components_``) that reconstructs its observed
        cells best, by the costs (and ``from_below``) of the estimator.

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
        """  # noqa: E501 (numpydoc keeps a type on one line)
        # A snapshot: a fit from another thread replaces the model whole.
        model = self._copy()
        if is_dask_collection(X):
            from .backends.dask import dask_rows, dask_transform

            ht, r, step = model._fitted_step()
            return dask_transform(dask_rows(model, X, mask), ht, r, step)  # type: ignore[no-any-return]
        return model._solve_rows(X, mask)[0]

    def inverse_transform(self, X: Any) -> Cells:
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
        model = self._copy()
        h = PackedMatrix.from_dense(model.components_)
        r, n = model.n_components_, model.n_features_in_
        if is_dask_collection(X):
            from .backends.dask import dask_product

            return dask_product(X, h.words, r, n)  # type: ignore[no-any-return]
        w = as_packed(X, name="W")
        if w.cols != r:
            raise ValueError(f"W has {w.cols} columns, but this model has {r} components")
        return PackedMatrix._trusted(_native.product(w.words, r, h.words, n), n).to_numpy()

    def score(self, X: Any, y: Any = None, mask: Any = None) -> float:
        """The fraction of observed cells of X that the model reconstructs
        correctly.

        X is transformed with H fixed (minimising the costs, as ``fit``
        does), then compared cell by cell with its reconstruction W∘H; every
        wrong cell counts 1, whatever the costs. Higher is better, 1.0 is
        exact.

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
        """  # noqa: E501 (numpydoc keeps a type on one line)
        model = self._copy()
        if is_dask_collection(X):
            from .backends.dask import dask_rows, dask_score

            ht, r, step = model._fitted_step()
            error, cells = dask_score(dask_rows(model, X, mask), ht, r, step)
        else:
            _, error, cells = model._solve_rows(X, mask)
        return 1.0 - error / max(cells, 1)
