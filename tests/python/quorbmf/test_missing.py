"""Unobserved cells: every way of marking them gives the same fit, they are
never read, the errors count observed cells only, and a fit with nothing
masked is exactly the unmasked fit."""
import numpy as np
import pytest
import scipy.sparse as sp

from quorbmf import BooleanMF
from quorbmf.datasets import make_planted

METHODS = ["zeta", "greedy", "greedy-ls", "naive"]


def exact_model(r, method="zeta", **params):
    return BooleanMF(n_components=r, method=method, init="random-columns", n_init=1,
                     random_state=3, **params)


def observed_error(model, w, x, seen):
    return int(((model.inverse_transform(w) != x) & seen).sum())


class TestNothingMasked:
    @pytest.mark.parametrize("method", METHODS)
    def test_all_true_mask_is_the_unmasked_fit(self, method):
        rng = np.random.default_rng(METHODS.index(method))
        for _ in range(4):
            m, n, r = int(rng.integers(5, 120)), int(rng.integers(5, 90)), int(rng.integers(1, 6))
            x = make_planted(m, n, r, noise=0.03, random_state=rng)
            plain = exact_model(r, method)
            w0 = plain.fit_transform(x)
            masked = exact_model(r, method, n_jobs=2, block_size=17)
            w1 = masked.fit_transform(x, mask=np.ones(x.shape, dtype=bool))
            assert np.array_equal(w0, w1)
            assert np.array_equal(plain.components_, masked.components_)
            assert plain.error_history_ == masked.error_history_


class TestMarkingCells:
    def test_nan_na_masked_array_and_mask_agree(self):
        pd = pytest.importorskip("pandas")
        rng = np.random.default_rng(1)
        x = make_planted(150, 40, 3, noise=0.03, random_state=rng)
        hidden = rng.random(x.shape) < 0.15
        garbage = np.where(hidden, 7, x).astype(np.int64)   # never read
        fits = []
        for kwargs, data in [
            ({}, np.where(hidden, np.nan, x.astype(float))),
            ({}, np.ma.masked_array(garbage, mask=hidden)),
            ({"mask": ~hidden}, garbage.astype(float)),
            ({}, pd.DataFrame(np.where(hidden, np.nan, x.astype(float))).astype("Int8")),
            ({}, np.where(hidden, pd.NA, x.astype(object))),
            ({}, np.where(hidden, None, x.astype(object))),
        ]:
            model = exact_model(3)
            w = model.fit_transform(data, **kwargs)
            fits.append((w, model.components_, model.reconstruction_err_))
            assert model.reconstruction_err_ == observed_error(model, w, x, ~hidden)
        for w, h, err in fits[1:]:
            assert np.array_equal(w, fits[0][0]) and np.array_equal(h, fits[0][1])
            assert err == fits[0][2]

    def test_sparse_absent_cells_as_missing(self):
        rng = np.random.default_rng(2)
        x = make_planted(90, 70, 3, density=0.2, noise=0.03, random_state=rng)
        stored = x | (rng.random(x.shape) < 0.3)          # some stored zeros too
        csr = sp.csr_matrix((x[stored].astype(np.float64), np.nonzero(stored)), shape=x.shape)
        dense = np.where(stored, x.astype(float), np.nan)
        a = exact_model(3, sparse_absent="missing").fit(csr)
        b = exact_model(3).fit(dense)
        assert np.array_equal(a.components_, b.components_)
        assert a.reconstruction_err_ == b.reconstruction_err_
        zero = exact_model(3).fit(csr)                    # absent = 0: the complete x
        assert np.array_equal(zero.components_, exact_model(3).fit(x).components_)


class TestHiddenCellsAreNeverRead:
    def test_inf_and_bad_values_behind_a_mask(self):
        rng = np.random.default_rng(3)
        x = make_planted(60, 30, 3, noise=0.03, random_state=rng).astype(float)
        hidden = rng.random(x.shape) < 0.1
        junk = np.where(hidden, rng.choice([np.inf, -np.inf, 7.0], size=x.shape), x)
        ref = exact_model(3).fit(x, mask=~hidden)
        fits = [exact_model(3).fit(junk, mask=np.isfinite(junk) & ~hidden),
                exact_model(3).fit(np.ma.masked_array(junk, mask=hidden)),
                exact_model(3).fit(sp.csr_matrix(junk), mask=~hidden),
                exact_model(3, binarize=0.5).fit(junk, mask=~hidden),
                exact_model(3, binarize=0.5).fit(sp.csc_matrix(junk), mask=~hidden)]
        for model in fits:
            assert np.array_equal(model.components_, ref.components_)
            assert model.reconstruction_err_ == ref.reconstruction_err_
        assert ref.score(junk, mask=~hidden) == ref.score(x, mask=~hidden)

    def test_inf_in_an_observed_cell_is_named(self):
        x = np.array([[1.0, 0.0], [np.inf, 1.0], [0.0, np.nan]])
        fitted = exact_model(1).fit(np.eye(3, 2))
        for call in (exact_model(1).fit, exact_model(1, binarize=0.5).fit,
                     lambda a: exact_model(1).fit(sp.csr_matrix(a)),
                     lambda a: exact_model(1, binarize=0.5).fit(sp.coo_matrix(a)),
                     fitted.transform, fitted.score):
            with pytest.raises(ValueError, match=r"cell \(1, 0\) holds inf"):
                call(x)


class TestErrorsCountObservedCells:
    def test_score_and_history_count_observed_cells(self):
        rng = np.random.default_rng(4)
        x = make_planted(200, 50, 4, noise=0.03, random_state=rng)
        seen = rng.random(x.shape) > 0.2
        model = exact_model(4)
        w = model.fit_transform(np.where(seen, x, np.nan))
        assert model.error_history_[-1] >= model.reconstruction_err_
        assert model.reconstruction_err_ == observed_error(model, w, x, seen)
        w_new = model.transform(x, mask=seen)
        err = observed_error(model, w_new, x, seen)
        assert model.score(x, mask=seen) == pytest.approx(1 - err / seen.sum())

    def test_imputation_beats_guessing_on_planted_data(self):
        rng = np.random.default_rng(5)
        x = make_planted(400, 60, 4, random_state=rng)
        hidden = rng.random(x.shape) < 0.1
        model = BooleanMF(n_components=4, random_state=0)
        filled = model.inverse_transform(model.fit_transform(np.where(hidden, np.nan, x * 1.0)))
        accuracy = (filled[hidden] == x[hidden]).mean()
        majority = max(x[hidden].mean(), 1 - x[hidden].mean())
        assert accuracy > majority + 0.05


class TestEdgeCases:
    def test_unobserved_row_and_column_get_zero_factors(self):
        x = make_planted(30, 20, 2, noise=0.03, random_state=6).astype(float)
        x[4, :] = np.nan
        x[:, 7] = np.nan
        model = exact_model(2)
        with pytest.warns(UserWarning, match="no observed cell"):
            w = model.fit_transform(x)
        assert not w[4].any() and not model.components_[:, 7].any()

    def test_everything_masked(self):
        x = np.full((5, 4), np.nan)
        with pytest.warns(UserWarning):
            model = exact_model(2).fit(x)
        assert model.reconstruction_err_ == 0 and not model.components_.any()

    @pytest.mark.parametrize("mask, error, words", [
        (np.ones((3, 3), dtype=bool), ValueError, "shape"),
        (np.ones((4, 3), dtype=int), TypeError, "bool"),
    ])
    def test_bad_masks_are_named(self, mask, error, words):
        model = BooleanMF(n_components=1)
        for x in (np.ones((4, 3)), np.ma.masked_array(np.ones((4, 3)))):
            with pytest.raises(error, match=words):
                model.fit(x, mask=mask)
        assert not any(k.endswith("_") for k in vars(model))

    def test_masks_go_past_rank_26(self):
        # The diagonal unobserved: 27 patterns cover the 1s exactly.
        x = np.where(np.eye(30, dtype=bool), np.nan, 1.0)
        model = BooleanMF(n_components=27, random_state=0).fit(x)
        assert model.reconstruction_err_ == 0 and model.method_ == "exact-blocks"


def same_fit(a, wa, b, wb):
    assert np.array_equal(wa, wb) and np.array_equal(a.components_, b.components_)
    assert (a.reconstruction_err_, a.n_iter_, a.error_history_, a.method_) == \
        (b.reconstruction_err_, b.n_iter_, b.error_history_, b.method_)


class TestMaskHidingNothing:
    """A fit is masked when some cell is unobserved, not when a mask exists:
    every way of observing every cell gives the unmasked fit, at any rank."""

    @pytest.mark.parametrize("r", [13, 30])
    def test_every_all_observed_form_is_the_unmasked_fit(self, r):
        pd = pytest.importorskip("pandas")
        x = np.random.default_rng(1811990391).random((27, 32)) < 0.9
        params = dict(n_components=r, n_init=1, max_iter=1, random_state=1811990391)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        ones = np.ones(x.shape, dtype=bool)
        stored = sp.csr_matrix((x.ravel().astype(float),
                                (np.repeat(np.arange(27), 32), np.tile(np.arange(32), 27))),
                               shape=x.shape)
        for source, extra in [(x, dict(mask=ones)),
                              (np.ma.masked_array(x.astype(float), mask=False), {}),
                              (np.ma.masked_array(x.astype(float)), dict(mask=ones)),
                              (pd.DataFrame(x.astype(float)), dict(mask=ones)),
                              (x.astype(float), dict(mask=sp.csr_matrix(ones)))]:
            model = BooleanMF(**params)
            same_fit(ref, w_ref, model, model.fit_transform(source, **extra))
        model = BooleanMF(sparse_absent="missing", **params)
        assert stored.nnz == x.size
        same_fit(ref, w_ref, model, model.fit_transform(stored))
        # transform and score of a model take an all-observed mask as no mask.
        assert np.array_equal(ref.transform(x, mask=ones), ref.transform(x))
        assert ref.score(np.ma.masked_array(x, mask=False)) == ref.score(x)


class TestExactBlocksAndUnobservedCells:
    def test_fit_transform_and_score_count_the_observed_cells(self):
        x = make_planted(40, 30, 14, noise=0.03, random_state=2).astype(float)
        rng = np.random.default_rng(3)
        seen = rng.random(x.shape) > 0.2
        seen[5] = False  # a row with no observed cell
        gaps = np.where(seen, x, np.nan)
        for r in (3, 14):
            model = BooleanMF(n_components=r, method="exact-blocks", random_state=0)
            for source, extra in [(gaps, {}), (x, dict(mask=seen)),
                                  (np.ma.masked_invalid(gaps), {})]:
                with pytest.warns(UserWarning, match="all zero"):
                    w = model.fit_transform(source, **extra)
                wrong = ((w.astype(int) @ model.components_.astype(int) > 0) != (x > 0)) & seen
                assert model.method_ == "exact-blocks"
                assert model.reconstruction_err_ == int(wrong.sum())
                # Each refit starts from the greedy combinations and never
                # makes the observed error worse.
                history = model.error_history_
                assert all(a >= b for a, b in zip(history, history[1:]))
            solved = model.transform(gaps)
            assert not solved[5].any()
            wrong = ((solved.astype(int) @ model.components_.astype(int) > 0) != (x > 0)) & seen
            assert model.score(gaps) == pytest.approx(1 - wrong.sum() / seen.sum())
            assert np.array_equal(model.transform(x, mask=seen), solved)
            # A mask that hides nothing is no mask.
            assert np.array_equal(model.transform(x, mask=np.ones(x.shape, dtype=bool)),
                                  model.transform(x))


class TestCustomStartOnUnobservedCells:
    def test_rows_and_columns_with_nothing_observed_are_zero(self):
        x = np.array([[1, np.nan], [np.nan, np.nan]])
        model = BooleanMF(1, init="custom")
        with pytest.warns(UserWarning, match="all zero"):
            w = model.fit_transform(x, W=[[1], [1]], H=[[1, 1]])
        assert w.tolist() == [[True], [False]]
        assert model.components_.tolist() == [[True, False]]
        assert model.reconstruction_err_ == 0
