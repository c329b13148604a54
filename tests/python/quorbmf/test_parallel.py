"""quorbmf's threads: fits identical for every thread count, the exact
search's fallbacks counted over every run however the runs are spread,
Ctrl-C answered within a block's time with no thread left running and
nothing fitted, and progress shown over the blocks of long half-steps."""
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from sklearn.base import clone

from quorbmf import BooleanMF
from quorbmf.datasets import make_planted

# A fit whose half-steps take seconds in blocks of a few milliseconds: the
# "naive" method at rank 10 on 4000 x 300 cells, 16 rows per block.
INTERRUPTED_FIT = textwrap.dedent("""
    import os, signal, threading, time
    import numpy as np
    from quorbmf import BooleanMF

    n_jobs = {n_jobs}
    x = np.random.default_rng(0).random((4000, 300)) < 0.3
    params = dict(n_components=10, method="naive", random_state=0, n_jobs=n_jobs,
                  block_size=16, init="random-columns", n_init={n_init})
    start = time.perf_counter()
    BooleanMF(max_iter=1, **params).fit(x[:, :100])
    iteration = time.perf_counter() - start  # a third of one full iteration

    seen = []
    model = BooleanMF(max_iter=50, callback=lambda i, e: seen.append(i), **params)
    fired = []
    def interrupt():
        fired.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.3, interrupt).start()
    try:
        model.fit(x)
        print("finished")
    except KeyboardInterrupt:
        reaction = time.perf_counter() - fired[0]
        print("interrupted", reaction < iteration / 3, len(seen))
    time.sleep(0.05)
    print("fitted", any(k.endswith("_") for k in vars(model)))
    print("threads", threading.active_count())
""")


class TestThreads:
    def test_thread_counts_give_identical_fits(self):
        rng = np.random.default_rng(1)
        x = rng.random((700, 300)) < 0.2
        fits = [BooleanMF(n_components=6, method="greedy-ls", random_state=4, n_jobs=n,
                          block_size=b, init="random-columns", n_init=1).fit(x)
                for n, b in [(1, None), (2, None), (2, 1), (4, 33)]]
        for fit in fits[1:]:
            assert np.array_equal(fit.components_, fits[0].components_)
            assert fit.error_history_ == fits[0].error_history_

    def test_fallbacks_of_runs_side_by_side_are_all_counted(self):
        # At rank 48 the exact search runs over its budget on some columns;
        # with two threads the three runs go side by side, each counting its own.
        rng = np.random.default_rng(8)
        w, h = rng.random((40, 48)) < 0.15, rng.random((48, 150)) < 0.15
        x = ((w.astype(int) @ h.astype(int)) > 0) ^ (rng.random((40, 150)) < 0.08)
        fits = [BooleanMF(n_components=48, method="exact", n_init=3, init="random-columns",
                          max_iter=1, random_state=3, n_jobs=n).fit(x) for n in (1, 2)]
        alone = [BooleanMF(n_components=48, method="exact", n_init=1, init="random-columns",
                           max_iter=1, random_state=3 + k).fit(x) for k in range(3)]
        assert fits[0].n_exact_fallbacks_ > max(f.n_exact_fallbacks_ for f in alone) > 0
        assert fits[0].n_exact_fallbacks_ == sum(f.n_exact_fallbacks_ for f in alone)
        assert fits[1].n_exact_fallbacks_ == fits[0].n_exact_fallbacks_
        assert np.array_equal(fits[1].components_, fits[0].components_)

    @pytest.mark.parametrize("n_jobs, n_init", [(1, 1), (2, 1), (2, 3)])
    def test_ctrl_c_stops_within_a_block_and_leaves_nothing_running(self, n_jobs, n_init):
        # With three runs on two threads the runs go side by side.
        code = INTERRUPTED_FIT.format(n_jobs=n_jobs, n_init=n_init)
        out = subprocess.run([sys.executable, "-c", code],
                             capture_output=True, text=True, timeout=300)
        lines = out.stdout.split("\n")
        assert lines[0] == "interrupted True 0", out.stdout + out.stderr
        assert "fitted False" in lines and "threads 1" in lines


# A callback that holds a fit after its first iteration until released;
# at module level so that an estimator holding it pickles.
INSIDE, RELEASE = threading.Event(), threading.Event()


def hold(iteration, error):
    INSIDE.set()
    RELEASE.wait(30)


class TestOneEstimatorTwoFits:
    """A fit replaces the fitted attributes whole at its end; a second fit
    of the same estimator while one runs is refused, whether it comes from
    that fit's callback or from another thread."""

    def test_a_fit_from_the_callback_is_refused_and_the_outer_fit_wins_whole(self):
        x = make_planted(40, 30, 3, noise=0.03, random_state=1)
        y = make_planted(20, 12, 2, noise=0.03, random_state=2)
        refused = []

        def again(iteration, error):
            try:
                model.fit(y)
            except RuntimeError as exc:
                refused.append(str(exc))

        model = BooleanMF(3, callback=again, random_state=0, n_init=1)
        model.fit(x)
        assert refused and "already running on this estimator" in refused[0]
        assert model.n_features_in_ == model.components_.shape[1] == 30
        alone = BooleanMF(3, random_state=0, n_init=1).fit(x)
        assert np.array_equal(model.components_, alone.components_)
        # The guard is gone with the fit, also when a callback interrupts it.
        model.set_params(callback=lambda i, e: (_ for _ in ()).throw(KeyboardInterrupt))
        with pytest.raises(KeyboardInterrupt):
            model.fit(y)
        assert model.n_features_in_ == 30 and np.array_equal(model.components_,
                                                                alone.components_)
        model.set_params(callback=None).fit(y)
        assert model.n_features_in_ == model.components_.shape[1] == 12

    def test_another_thread_sees_the_old_model_whole_until_the_new_one(self):
        x = make_planted(40, 30, 3, noise=0.03, random_state=1)
        y = make_planted(20, 12, 2, noise=0.03, random_state=2)
        INSIDE.clear()
        RELEASE.clear()
        model = BooleanMF(2, random_state=0, n_init=1).fit(y)
        before = model.transform(y)
        model.set_params(n_components=3, callback=hold)
        worker = threading.Thread(target=model.fit, args=(x,))
        worker.start()
        try:
            assert INSIDE.wait(30)
            with pytest.raises(RuntimeError, match="already running"):
                model.fit(y)
            # Mid-fit the estimator is the old model, every attribute of it.
            assert np.array_equal(model.transform(y), before)
            assert model.n_features_in_ == model.components_.shape[1] == 12
            copy = pickle.loads(pickle.dumps(model))
            assert repr(copy) == repr(model) and clone(model).get_params() == model.get_params()
            assert np.array_equal(copy.components_, model.components_)
        finally:
            RELEASE.set()
            worker.join(30)
        assert model.n_features_in_ == model.components_.shape[1] == 30
        assert model.transform(x).shape == (40, 3)


class TestProgress:
    def test_plain_progress_without_tqdm(self, monkeypatch, capsys):
        import quorbmf.backends.progress as progress

        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
        monkeypatch.setattr(progress, "_PROGRESS_AFTER_S", 0.0)
        x = np.random.default_rng(2).random((500, 40)) < 0.3
        BooleanMF(n_components=3, random_state=0, verbose=1, block_size=50, max_iter=1,
                  n_init=1, init="random-columns").fit(x)
        err = capsys.readouterr().err
        assert "W step: 10/10 blocks" in err and "H step: 1/1 blocks" in err

    def test_tqdm_bar_when_installed(self, monkeypatch, capsys):
        pytest.importorskip("tqdm")
        import quorbmf.backends.progress as progress

        monkeypatch.setattr(progress, "_PROGRESS_AFTER_S", 0.0)
        x = np.random.default_rng(2).random((500, 40)) < 0.3
        BooleanMF(n_components=3, random_state=0, verbose=1, block_size=50, max_iter=1,
                  n_jobs=2, n_init=1).fit(x)
        assert "W step" in capsys.readouterr().err
