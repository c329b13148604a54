"""Costs of the two kinds of wrong cell and fits from below: what the
solvers minimise, checked by brute force over every combination on small
cases; the reported counts; equal costs giving the default fit; masks above
rank 26."""
import numpy as np
import pytest

from quorbmf import BooleanMF
from quorbmf._costs import MAX_COST, Objective
from quorbmf.datasets import make_planted

EXACT = ["zeta", "exact", "naive"]
EVERY = EXACT + ["greedy", "greedy-ls", "exact-blocks"]
COSTS = [(1.0, 4.0), (4.0, 1.0), (0.0, 1.0), (1.0, 0.0), (3.0, 2.0), (1e9, 1.0), (1.0, 1e9)]


def model(r, method, **params):
    params.setdefault("random_state", 5)
    return BooleanMF(n_components=r, method=method, init="random-columns", n_init=1,
                     **params)


def counts(product, x, seen):
    false_pos = int((product & ~x & seen).sum())
    false_neg = int((~product & x & seen).sum())
    return false_pos, false_neg


def best_rows(x, seen, h, cost):
    """The lowest-cost combination of every row of X against H by brute
    force (the lowest combination value on ties: bit j is component j)."""
    r = h.shape[0]
    combos = np.array([[(v >> j) & 1 for j in range(r)] for v in range(2**r)], dtype=bool)
    products = (combos[:, :, None] & h[None, :, :]).any(axis=1)
    best = []
    for i in range(x.shape[0]):
        fp = (products & ~x[i] & seen[i]).sum(axis=1)
        fn = (~products & x[i] & seen[i]).sum(axis=1)
        best.append(cost(fp, fn).min())
    return np.array(best)


class TestObjective:
    @pytest.mark.parametrize("given, native", [
        ((1.0, 1.0), None), ((2.5, 2.5), None), ((1, 4), (1, 4)), ((0.1, 1.0), (1, 10)),
        ((6.0, 4.0), (3, 2)), ((0, 3), (0, 1)), ((3, 0), (1, 0)),
        ((1e12, 1.0), (MAX_COST, 1)), ((1.0, 1e12), (1, MAX_COST)),
    ])
    def test_integer_costs_keep_the_ratio(self, given, native):
        objective = Objective.of(*given, False)
        assert objective.native == native
        if native is not None and 0 < native[0] < MAX_COST and 0 < native[1] < MAX_COST:
            assert native[0] / native[1] == pytest.approx(given[0] / given[1])
            # One integer unit of a solver's total in the user's units.
            assert objective.user(native[0]) == pytest.approx(given[0])

    def test_from_below(self):
        objective = Objective.of(7.0, 2.0, True)
        assert objective.native == (None, 1) and objective.cost(0, 5) == 10.0

    @pytest.mark.parametrize("params, error, words", [
        (dict(false_positive_cost=0, false_negative_cost=0), ValueError, "both 0"),
        (dict(false_positive_cost=-1.0), ValueError, "at least 0"),
        (dict(false_negative_cost=float("nan")), ValueError, "finite"),
        (dict(false_negative_cost=float("inf")), ValueError, "finite"),
        (dict(false_positive_cost="1"), TypeError, "number"),
        (dict(false_positive_cost=True), TypeError, "number"),
        (dict(from_below="yes"), TypeError, "True or False"),
        (dict(from_below=True, false_negative_cost=0.0), ValueError, "above 0"),
    ])
    def test_refused_before_any_work(self, params, error, words):
        estimator = BooleanMF(2, **params)
        with pytest.raises(error, match=words):
            estimator.fit(np.eye(4))
        assert not any(k.endswith("_") for k in vars(estimator))


class TestWhatIsMinimised:
    @pytest.mark.parametrize("method", EXACT)
    @pytest.mark.parametrize("costs", COSTS + ["below"])
    def test_exact_methods_leave_w_optimal_by_the_costs(self, method, costs):
        rng = np.random.default_rng(EXACT.index(method) * 31 + len(str(costs)))
        for trial in range(3):
            m, n, r = int(rng.integers(4, 30)), int(rng.integers(4, 25)), int(rng.integers(1, 5))
            x = rng.random((m, n)) < rng.uniform(0.2, 0.6)
            seen = rng.random((m, n)) < 0.85 if trial == 2 else np.ones((m, n), bool)
            if costs == "below":
                params = dict(from_below=True)
                cost = lambda fp, fn, n=n: fp * (n + 1.0) + fn  # noqa: E731
            else:
                params = dict(false_positive_cost=costs[0], false_negative_cost=costs[1])
                cost = lambda fp, fn, c=costs: c[0] * fp + c[1] * fn  # noqa: E731
            est = model(r, method, **params)
            w = est.fit_transform(x, mask=seen)
            product = est.inverse_transform(w)
            fp, fn = counts(product, x, seen)
            assert (est.n_false_positives_, est.n_false_negatives_) == (fp, fn)
            assert est.reconstruction_err_ == fp + fn
            # The kept W was solved against the kept H: row by row the least
            # cost of all 2^r combinations.
            rows_fp = (product & ~x & seen).sum(axis=1)
            rows_fn = (~product & x & seen).sum(axis=1)
            got = cost(rows_fp, rows_fn)
            assert np.allclose(got, best_rows(x, seen, est.components_, cost))
            if costs == "below":
                assert fp == 0 and est.cost_ == fn
            else:
                assert est.cost_ == pytest.approx(costs[0] * fp + costs[1] * fn)

    @pytest.mark.parametrize("method", EVERY)
    def test_from_below_never_covers_a_zero(self, method):
        rng = np.random.default_rng(7)
        for r in (3, 30):
            x = make_planted(80, 60, 5, noise=0.1, random_state=rng)
            seen = rng.random(x.shape) < 0.9
            if method in ("zeta", "naive") and r > 26:
                continue
            est = model(r, method, from_below=True)
            w = est.fit_transform(x, mask=seen)
            product = est.inverse_transform(w)
            assert not (product & ~x & seen).any()
            assert est.n_false_positives_ == 0
            assert est.n_false_negatives_ == int((~product & x & seen).sum())
            assert est.cost_ == est.n_false_negatives_
            # transform keeps the objective: new rows from below too.
            again = est.transform(x, mask=seen)
            assert not (est.inverse_transform(again) & ~x & seen).any()

    @pytest.mark.parametrize("method", EVERY)
    def test_a_heavier_cost_trades_one_kind_for_the_other(self, method):
        x = make_planted(120, 50, 4, noise=0.12, random_state=11)
        fits = [model(4, method, false_positive_cost=fp, false_negative_cost=fn).fit(x)
                for fp, fn in [(1.0, 4.0), (1.0, 1.0), (4.0, 1.0)]]
        fps = [f.n_false_positives_ for f in fits]
        fns = [f.n_false_negatives_ for f in fits]
        # Dearer false positives: fewer of them, more false negatives.
        assert fps[0] >= fps[1] >= fps[2] and fns[0] <= fns[1] <= fns[2]
        assert fps[0] > fps[2]


class TestEqualCosts:
    @pytest.mark.parametrize("method", EVERY)
    def test_equal_costs_give_the_default_fit(self, method):
        rng = np.random.default_rng(EVERY.index(method))
        for _ in range(3):
            m, n, r = int(rng.integers(5, 90)), int(rng.integers(5, 70)), int(rng.integers(1, 7))
            x = make_planted(m, n, r, noise=0.05, random_state=rng)
            seen = rng.random((m, n)) < 0.9
            plain = model(r, method)
            w0 = plain.fit_transform(x, mask=seen)
            scaled = model(r, method, false_positive_cost=2.5, false_negative_cost=2.5)
            w1 = scaled.fit_transform(x, mask=seen)
            assert np.array_equal(w0, w1)
            assert np.array_equal(plain.components_, scaled.components_)
            assert plain.n_iter_ == scaled.n_iter_
            assert [2.5 * e for e in plain.error_history_] == scaled.error_history_
            assert scaled.cost_ == 2.5 * plain.reconstruction_err_ == 2.5 * plain.cost_


class TestMasksAboveRank26:
    @pytest.mark.parametrize("method", ["greedy", "greedy-ls", "exact-blocks", "exact", "auto"])
    def test_masked_fits_at_high_rank(self, method):
        rng = np.random.default_rng(3)
        x = make_planted(150, 90, 30, noise=0.02, random_state=rng)
        seen = rng.random(x.shape) < 0.9
        est = BooleanMF(n_components=30, method=method, random_state=1, n_init=1,
                        init="random-columns")
        w = est.fit_transform(np.where(seen, x, np.nan))
        wrong = (est.inverse_transform(w) != x) & seen
        assert est.reconstruction_err_ == int(wrong.sum())
        assert est.reconstruction_err_ <= int((x & seen).sum())
        # Nothing hidden: the unmasked fit, bit for bit.
        plain = BooleanMF(n_components=30, method=method, random_state=1, n_init=1,
                          init="random-columns")
        w0 = plain.fit_transform(x)
        w1 = est.fit_transform(x, mask=np.ones(x.shape, dtype=bool))
        assert np.array_equal(w0, w1) and plain.error_history_ == est.error_history_


def test_verbose_reports_both_counts(capsys):
    x = make_planted(40, 30, 3, noise=0.1, random_state=2)
    BooleanMF(3, false_positive_cost=1, false_negative_cost=4, verbose=1, random_state=0).fit(x)
    out = capsys.readouterr().out
    assert "false positives cost 1, false negatives 4" in out
    assert "false positive(s)" in out and "cost" in out


def test_the_search_stays_within_the_cells_its_costs_allow(monkeypatch, capsys):
    import quorbmf._search as search_module

    x = make_planted(60, 40, 4, noise=0.1, random_state=8)
    # Below the limit the default search runs.
    assert BooleanMF(4, from_below=True, random_state=0).fit(x).n_search_moves_ > 0
    monkeypatch.setattr(search_module, "MAX_CELLS_INFINITE", 60 * 40)
    model = BooleanMF(4, from_below=True, random_state=0, verbose=1).fit(x)
    assert model.n_search_moves_ == 0 and model.n_false_positives_ == 0
    assert "search skipped: with these costs" in capsys.readouterr().out
    with pytest.raises(ValueError, match="use search=0"):
        BooleanMF(4, from_below=True, random_state=0, search=5).fit(x)
    # Finite costs have their own, larger limit; unit costs none.
    assert BooleanMF(4, false_negative_cost=2, random_state=0).fit(x).n_search_moves_ > 0
    monkeypatch.setattr(search_module, "MAX_CELLS_WEIGHTED", 10)
    assert BooleanMF(4, false_negative_cost=2, random_state=0).fit(x).n_search_moves_ == 0
    assert BooleanMF(4, random_state=0).fit(x).n_search_moves_ > 0
