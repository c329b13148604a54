"""quorbmf.BooleanMF: equal to QuorBMF.ao_bmf where the parameters agree, for
every thread count and block size; the scikit-learn conventions (checks,
pipelines, pickling, feature names); parameter errors, declared once and
raised before any data is read, that change nothing; the one method
vocabulary shared with the native solver."""
import io
import pickle

import joblib
import numpy as np
import pytest
from sklearn.base import clone
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import check_estimator

import QuorBMF
from QuorBMF import BitMatrix
from quorbmf import BooleanMF
from quorbmf.datasets import make_planted

METHODS = ["zeta", "greedy", "greedy-ls", "naive"]


def core_result(x, r, method, max_iter, seed):
    return QuorBMF.ao_bmf(BitMatrix.from_numpy(np.ascontiguousarray(x, dtype=bool)), r, method,
                          max_iter, seed)


def assert_same_as_core(model, w, res):
    assert np.array_equal(w, res.w.to_numpy())
    assert np.array_equal(model.components_, res.h.to_numpy())
    assert model.reconstruction_err_ == res.error
    assert model.n_iter_ == res.iterations
    assert model.error_history_[-1] >= res.error and min(model.error_history_) == res.error


class TestSameAsCore:
    @pytest.mark.parametrize("method", METHODS)
    def test_random_inputs_blocks_and_threads(self, method):
        rng = np.random.default_rng(METHODS.index(method))
        for _ in range(12):
            m, n = int(rng.integers(1, 150)), int(rng.integers(1, 150))
            r = int(rng.integers(1, 7 if method == "naive" else 12))
            x = rng.random((m, n)) < rng.uniform(0.02, 0.7)
            max_iter, seed = int(rng.integers(1, 8)), int(rng.integers(0, 2**64, dtype=np.uint64))
            res = core_result(x, r, method, max_iter, seed)
            for n_jobs, block_size in [(1, None), (2, 1), (2, 63), (3, 64), (1, 65)]:
                model = BooleanMF(n_components=r, method=method, max_iter=max_iter,
                                  random_state=seed, init="random-columns", n_init=1,
                                  n_jobs=n_jobs, block_size=block_size)
                assert_same_as_core(model, model.fit_transform(x), res)

    def test_planted_matrix_word_boundary_shapes(self):
        rng = np.random.default_rng(5)
        for m, n in [(64, 63), (65, 129), (200, 64), (127, 1)]:
            x = make_planted(m, n, 4, noise=0.03, random_state=rng)
            res = core_result(x, 4, "zeta", 50, 9)
            model = BooleanMF(n_components=4, method="zeta", random_state=9, n_jobs=2,
                              block_size=16, init="random-columns", n_init=1)
            assert_same_as_core(model, model.fit_transform(x), res)

    def test_restarts_keep_the_best_seed(self):
        rng = np.random.default_rng(11)
        x = make_planted(120, 80, 5, noise=0.08, random_state=rng)
        errors = [core_result(x, 5, "greedy", 50, 3 + k).error for k in range(4)]
        model = BooleanMF(n_components=5, method="greedy", random_state=3, n_init=4,
                          init="random-columns").fit(x)
        assert model.reconstruction_err_ == min(errors)
        assert model.init_ == "random-columns"
        parallel = BooleanMF(n_components=5, method="greedy", random_state=3, n_init=4,
                             init="random-columns", n_jobs=3).fit(x)
        assert np.array_equal(parallel.components_, model.components_)

    def test_auto_method_is_exact_at_small_ranks(self):
        x = make_planted(90, 50, 3, noise=0.03, random_state=2)
        model = BooleanMF(n_components=3, random_state=1, init="random-columns", n_init=1).fit(x)
        assert model.method_ == "zeta"
        assert model.reconstruction_err_ == core_result(x, 3, "zeta", 50, 1).error


class TestUsingTheModel:
    def test_transform_inverse_and_score(self):
        x = make_planted(300, 40, 4, random_state=4)
        model = BooleanMF(n_components=4, method="zeta", random_state=0, n_init=5)
        w = model.fit_transform(x)
        assert w.dtype == bool and w.shape == (300, 4)
        recon = model.inverse_transform(w)
        assert recon.shape == x.shape and int((recon != x).sum()) == model.reconstruction_err_
        # New rows: each row's W is its best combination of the fitted patterns.
        new = x[:50]
        w_new = model.transform(new)
        err_new = int((model.inverse_transform(w_new) != new).sum())
        assert model.score(new) == pytest.approx(1 - err_new / new.size)
        assert err_new <= int((model.inverse_transform(w[:50]) != new).sum())

    def test_transform_checks_feature_count(self):
        model = BooleanMF(n_components=2, random_state=0).fit(np.eye(6, 5, dtype=bool))
        with pytest.raises(ValueError, match="5 features"):
            model.transform(np.eye(3, 4, dtype=bool))
        with pytest.raises(ValueError, match="2 components"):
            model.inverse_transform(np.ones((3, 3), dtype=bool))

    def test_unfitted_model_raises(self):
        from sklearn.exceptions import NotFittedError

        with pytest.raises(NotFittedError):
            BooleanMF().transform(np.eye(3, dtype=bool))

    def test_pickle_joblib_and_clone(self):
        x = make_planted(80, 30, 3, noise=0.03, random_state=8)
        model = BooleanMF(n_components=3, random_state=2).fit(x)
        for copy in (pickle.loads(pickle.dumps(model)), self._joblib_copy(model)):
            assert np.array_equal(copy.components_, model.components_)
            assert np.array_equal(copy.transform(x), model.transform(x))
        fresh = clone(model)
        assert not hasattr(fresh, "components_") and fresh.get_params() == model.get_params()

    @staticmethod
    def _joblib_copy(model):
        buffer = io.BytesIO()
        joblib.dump(model, buffer)
        buffer.seek(0)
        return joblib.load(buffer)

    def test_pipeline_and_feature_names(self):
        pd = pytest.importorskip("pandas")
        from sklearn.linear_model import LogisticRegression

        rng = np.random.default_rng(6)
        x = make_planted(200, 12, 3, noise=0.03, random_state=rng)
        frame = pd.DataFrame(x, columns=[f"item{j}" for j in range(12)])
        y = x[:, 0] | x[:, 1]
        pipe = make_pipeline(BooleanMF(n_components=3, random_state=0), LogisticRegression())
        pipe.fit(frame, y)
        assert pipe.score(frame, y) > 0.5
        model = pipe[0]
        assert list(model.feature_names_in_) == list(frame.columns)
        assert list(model.get_feature_names_out()) == ["booleanmf0", "booleanmf1", "booleanmf2"]


class TestScikitLearnChecks:
    def test_every_check_passes_with_binarize(self):
        check_estimator(BooleanMF(binarize=0.5))

    # The checks that feed real-valued data: the default BooleanMF rejects any
    # value other than 0 and 1, by design, instead of rounding it silently.
    NON_BINARY_DATA = (
        "check_dict_unchanged", "check_dont_overwrite_parameters", "check_dtype_object",
        "check_estimator_sparse_array", "check_estimator_sparse_matrix",
        "check_estimator_sparse_tag", "check_estimators_dtypes",
        "check_estimators_fit_returns_self",
        "check_estimators_overwrite_params", "check_estimators_pickle",
        "check_f_contiguous_array_estimator", "check_fit2d_1feature", "check_fit2d_1sample",
        "check_fit2d_predict1d", "check_fit_check_is_fitted", "check_fit_idempotent",
        "check_fit_score_takes_y", "check_methods_sample_order_invariance",
        "check_methods_subset_invariance", "check_n_features_in",
        "check_n_features_in_after_fitting", "check_pipeline_consistency",
        "check_positive_only_tag_during_fit", "check_readonly_memmap_input",
        "check_transformer_data_not_an_array", "check_transformer_general",
        "check_transformer_n_iter",
    )

    def test_default_fails_only_the_real_valued_checks(self):
        results = check_estimator(BooleanMF(), on_fail=None)
        failed = {r["check_name"] for r in results if r["status"] == "failed"}
        assert failed == set(self.NON_BINARY_DATA)


class TestParameters:
    @pytest.mark.parametrize("params, error, words", [
        ({"n_components": 0}, ValueError, "n_components must be between 1 and"),
        ({"n_components": 1025}, ValueError, "n_components must be between 1 and"),
        ({"n_components": 2.5}, TypeError, "n_components must be an int"),
        ({"method": "fast"}, ValueError, "method must be one of"),
        ({"init": "svd"}, ValueError, "init must be one of"),
        ({"n_init": 0}, ValueError, "n_init must be at least 1"),
        ({"max_iter": 0}, ValueError, "max_iter must be at least 1"),
        ({"max_iter": "10"}, TypeError, "max_iter must be an int"),
        ({"n_jobs": 0}, ValueError, "n_jobs must be None or a non-zero int"),
        ({"block_size": -3}, ValueError, "block_size must be None or a positive int"),
        ({"random_state": -1}, ValueError, "random_state must be between 0"),
        ({"callback": 3}, TypeError, "callback must be callable"),
        ({"binarize": "0.5"}, TypeError, "binarize must be a number"),
    ])
    def test_bad_parameter_is_named_and_changes_nothing(self, params, error, words):
        x = np.eye(5, dtype=bool)
        model = BooleanMF(n_components=2, random_state=0).fit(x)
        before = dict(model.__dict__)
        model.set_params(**params)
        with pytest.raises(error, match=words):
            model.fit(np.ones((4, 7), dtype=bool))
        after = {k: v for k, v in model.__dict__.items() if k not in params}
        assert after.keys() == {k for k in before if k not in params}
        assert (model.n_features_in_ == 5
                and np.array_equal(model.components_, before["components_"]))

    @pytest.mark.parametrize("fit", ["fit", "fit_transform"])
    def test_parameters_are_checked_before_the_data(self, fit):
        bad_data = [[0, 2], [1, "x"]]
        for params, words in [({"max_iter": 0}, "max_iter must be at least 1"),
                              ({"n_components": 30, "method": "zeta"}, "works up to rank 26"),
                              ({"sparse_absent": "nan"}, "sparse_absent must be")]:
            with pytest.raises(ValueError, match=words):
                getattr(BooleanMF(**params), fit)(bad_data)

    def test_every_parameter_is_declared(self):
        assert BooleanMF._parameter_constraints.keys() == BooleanMF().get_params().keys()

    def test_bad_data_leaves_unfitted_estimator_unfitted(self):
        model = BooleanMF(n_components=2)
        with pytest.raises(ValueError, match=r"cell \(1, 2\) holds 3"):
            model.fit([[0, 1, 1], [1, 0, 3]])
        assert not any(k.endswith("_") for k in vars(model))


class TestWatching:
    def test_callback_and_verbose_lines(self, capsys):
        x = make_planted(150, 60, 4, noise=0.05, random_state=3)
        seen = []
        model = BooleanMF(n_components=4, method="zeta", random_state=1, verbose=1,
                          init="random-columns", n_init=1,
                          callback=lambda it, err: seen.append((it, err))).fit(x)
        assert seen == list(enumerate(model.error_history_, start=1))
        out = capsys.readouterr().out
        assert "method 'zeta'" in out
        assert out.count("iteration ") == model.n_iter_


class TestVocabulary:
    def test_methods_are_the_solvers_and_two_of_the_estimators_own(self):
        from quorbmf import _native
        from quorbmf._params import METHODS as OFFERED

        assert set(OFFERED) - {"auto", "exact-blocks"} == set(_native.METHODS)
        assert len(OFFERED) == len(set(OFFERED))

    @pytest.mark.parametrize("r", [1, 11, 12, 13, 64, 200])
    def test_each_method_is_one_step(self, r):
        from quorbmf._plan import Step

        assert Step.of("exact-blocks", r) == Step("greedy", min(12, r))
        for method in ("exact", "zeta", "greedy", "greedy-ls", "naive"):
            assert Step.of(method, r) == Step(method, 0)
        with pytest.raises(ValueError, match="'exact-blocks'"):
            Step("exact-blocks")
