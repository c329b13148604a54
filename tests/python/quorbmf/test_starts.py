"""Starts, restarts, methods and ranks of BooleanMF: classic starts are never
made worse, Ctrl-C stops a long classic start as fast as a half-step,
"exact" answers as "zeta" does, ranks far above 26 fit with correct errors,
every choice is deterministic, and the rank helper picks the planted rank."""
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import QuorBMF
from quorbmf import BooleanMF, _native, as_packed
from quorbmf._rank import choose_rank, description_length
from quorbmf.datasets import make_planted


def error_of(model, w, x):
    return int((model.inverse_transform(w) != x).sum())


class TestStarts:
    @pytest.mark.parametrize("init", ["grecond", "asso"])
    def test_classic_start_is_never_made_worse(self, init):
        rng = np.random.default_rng(1)
        x = make_planted(300, 80, 6, density=0.25, noise=0.05, random_state=rng)

        words = as_packed(x).words
        cover = _native.grecond(words, 80, 6) if init == "grecond" else \
            _native.asso(words, 80, 6, 0.5, 1.0, 1.0)
        classic = cover[2][-1] if cover[2] else int(x.sum())
        for method in ("zeta", "greedy", "exact-blocks"):
            model = BooleanMF(n_components=6, init=init, n_init=1, method=method)
            w = model.fit_transform(x)
            assert model.init_ == init
            assert model.reconstruction_err_ == error_of(model, w, x) <= classic

    def test_custom_start(self):
        rng = np.random.default_rng(2)
        x = make_planted(120, 40, 3, density=0.25, random_state=rng)
        w0 = rng.random((120, 3)) < 0.3
        h0 = rng.random((3, 40)) < 0.3
        start = int((((w0.astype(int) @ h0.astype(int)) > 0) != x).sum())
        model = BooleanMF(n_components=3, init="custom", n_init=1, method="zeta")
        w = model.fit_transform(x, W=w0, H=h0)
        assert model.reconstruction_err_ == error_of(model, w, x) <= start
        with pytest.raises(ValueError, match=r"W must have shape \(120, 3\)"):
            model.fit(x, W=w0[:, :2], H=h0)
        with pytest.raises(ValueError, match="needs both W and H"):
            model.fit(x, W=w0)

    def test_auto_screens_many_starts_and_keeps_the_best(self, capsys):
        x = make_planted(200, 60, 5, density=0.25, noise=0.04, random_state=3)
        model = BooleanMF(n_components=5, random_state=0, verbose=1).fit(x)
        out = capsys.readouterr().out
        assert "grecond" in out and "random-columns (seed 38)" in out and "screened 40" in out
        screened = [int(line.split("error ")[1].split()[0]) for line in out.splitlines()
                    if " from " in line and "run " in line]
        assert len(screened) == 40 and model.reconstruction_err_ <= min(screened)
        # The runs that go on end as they would alone, and the best is kept.
        survivors = [int(v) for v in out.split("going on with runs ")[1].split(";")[0]
                     .split("\n")[0].split(", ")]
        alone = {}
        for run in survivors:
            start = out.split(f"run {run} from ")[1].split(":")[0]
            params = dict(init="grecond") if start == "grecond" else dict(
                init="random-columns", random_state=int(start.split("seed ")[1].rstrip(")")))
            alone[run] = BooleanMF(n_components=5, n_init=1, method="zeta", **params).fit(x)
        kept = min(alone, key=lambda run: (alone[run].reconstruction_err_, run))
        assert model.reconstruction_err_ == alone[kept].reconstruction_err_
        assert np.array_equal(model.components_, alone[kept].components_)
        assert model.n_iter_ == alone[kept].n_iter_

    def test_restarts_are_the_same_on_any_number_of_threads(self):
        x = make_planted(250, 90, 8, density=0.25, noise=0.05, random_state=4)
        fits = [BooleanMF(n_components=8, random_state=5, n_jobs=j).fit(x) for j in (1, 2, 3)]
        for f in fits[1:]:
            assert np.array_equal(f.components_, fits[0].components_)
            assert f.error_history_ == fits[0].error_history_ and f.init_ == fits[0].init_


class TestExactMethod:
    def test_exact_equals_zeta(self):
        rng = np.random.default_rng(5)
        for r in (3, 9, 14, 18):
            x = make_planted(160, 70, r, density=0.15, noise=0.02, random_state=rng)
            zeta = QuorBMF.ao_bmf(QuorBMF.BitMatrix.from_numpy(x), r, "zeta", 50, 2)
            model = BooleanMF(n_components=r, method="exact", init="random-columns", n_init=1,
                              random_state=2, n_jobs=2)
            w = model.fit_transform(x)
            assert np.array_equal(w, zeta.w.to_numpy())
            assert np.array_equal(model.components_, zeta.h.to_numpy())
            assert model.n_iter_ == zeta.iterations and model.n_exact_fallbacks_ == 0


class TestWideRanks:
    @pytest.mark.parametrize("r, method", [(27, "greedy"), (40, "exact"), (64, "greedy-ls"),
                                           (65, "exact-blocks"), (300, "auto"), (1024, "greedy")])
    def test_errors_are_true_at_any_rank(self, r, method):
        x = make_planted(60, 90, 20, density=0.1, noise=0.05, random_state=r)
        model = BooleanMF(n_components=r, method=method, random_state=0, n_init=1)
        w = model.fit_transform(x)
        assert w.shape == (60, r) and model.components_.shape == (r, 90)
        assert model.reconstruction_err_ == error_of(model, w, x)

    def test_table_methods_refuse_wide_ranks(self):
        with pytest.raises(ValueError, match="works up to rank 26"):
            BooleanMF(n_components=27, method="zeta").fit(np.eye(30))
        with pytest.raises(ValueError, match="'exact' works up to rank 64"):
            BooleanMF(n_components=65, method="exact").fit(np.eye(70))


# A fit whose classic start is one native call of seconds (GreConD tests
# every column for every candidate; Asso pairs all 12,000 columns), Ctrl-C
# sent 0.5 s into it. The estimator was fitted before, on a small X.
INTERRUPTED_START = textwrap.dedent("""
    import os, pickle, signal, threading, time
    import numpy as np
    from quorbmf import BooleanMF

    x = np.random.default_rng(0).random((300, 12000)) < 0.5
    model = BooleanMF(n_components=8, init="{init}", n_init={n_init}, n_jobs={n_jobs},
                      max_iter=1, random_state=0)
    model.fit(x[:20, :30])
    before = pickle.dumps(model)
    fired = []
    def interrupt():
        fired.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.5, interrupt).start()
    try:
        model.fit(x)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - fired[0])
    time.sleep(0.05)
    print("unchanged", pickle.dumps(model) == before)
    print("threads", threading.active_count())
""")


class TestInterruptedStarts:
    # One run on the calling thread; three runs side by side on two threads,
    # the classic start on one of them.
    @pytest.mark.parametrize("init", ["grecond", "asso"])
    @pytest.mark.parametrize("n_jobs, n_init", [(1, 1), (2, 3)])
    def test_ctrl_c_stops_a_classic_start_quickly_and_leaves_nothing(self, init, n_jobs,
                                                                     n_init):
        code = INTERRUPTED_START.format(init=init, n_jobs=n_jobs, n_init=n_init)
        out = subprocess.run([sys.executable, "-c", code],
                             capture_output=True, text=True, timeout=300)
        lines = out.stdout.split("\n")
        assert lines[0].startswith("interrupted after"), out.stdout + out.stderr
        # Generous for a loaded machine: the start alone takes seconds.
        assert float(lines[0].split()[-1]) < 0.5, out.stdout
        assert "unchanged True" in lines and "threads 1" in lines, out.stdout

    def test_grecond_on_one_row_takes_time_linear_in_its_columns(self):
        # Every candidate of one row closes to the same concept, the row itself.
        x = np.random.default_rng(3).random((1, 60000)) < 0.5
        words = as_packed(x).words
        began = time.perf_counter()
        w, h, errors = _native.grecond(words, 60000, 4)
        assert time.perf_counter() - began < 0.5  # seconds when quadratic
        assert errors == [0] and w[0, 0] == 1
        assert np.array_equal(h[0], words[0]) and not h[1:].any()

    @pytest.mark.parametrize("cover", ["grecond", "asso"])
    def test_a_stop_flag_stops_a_cover_from_another_thread(self, cover):
        x = as_packed(np.random.default_rng(1).random((300, 12000)) < 0.5)
        run = getattr(_native, cover)
        flag = _native.StopFlag()
        timer = threading.Timer(0.2, flag.set)
        timer.start()
        began = time.perf_counter()
        with pytest.raises(KeyboardInterrupt, match="stopped by the caller"):
            run(x.words, x.cols, 8, stop=flag)
        timer.join()
        assert flag.is_set() and time.perf_counter() - began < 1.2  # seconds unstopped
        # A flag already set stops at once; no flag, or one never set, changes nothing.
        with pytest.raises(KeyboardInterrupt):
            run(x.words, x.cols, 8, stop=flag)
        small = as_packed(np.random.default_rng(2).random((60, 90)) < 0.4)
        plain = run(small.words, small.cols, 5)
        flagged = run(small.words, small.cols, 5, stop=_native.StopFlag())
        assert all(np.array_equal(a, b) for a, b in zip(plain[:2], flagged[:2]))
        assert plain[2] == flagged[2]
        with pytest.raises(TypeError, match="stop must be a StopFlag or None, not Event"):
            run(small.words, small.cols, 5, stop=threading.Event())


class TestChoosingTheRank:
    def test_description_length_picks_the_planted_rank(self, tmp_path):
        rng = np.random.default_rng(6)
        x = make_planted(400, 100, 5, density=0.2, noise=0.01, random_state=rng)
        sel = choose_rank(x, range(1, 10), random_state=0)
        assert sel.rank_ == 5
        assert sel.errors == sorted(sel.errors, reverse=True)
        assert min(sel.description_lengths) < sel.empty_description_length
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        ax = sel.plot()
        ax.figure.savefig(tmp_path / "rank.png")
        assert (tmp_path / "rank.png").read_bytes()[:4] == b"\x89PNG"

    def test_description_length_counts_both_error_kinds(self):
        x = np.zeros((10, 10), dtype=bool)
        x[:5, :5] = True
        w = np.zeros((10, 1), dtype=bool)
        w[:5] = True
        h = np.zeros((1, 10), dtype=bool)
        h[0, :5] = True
        exact = description_length(x, w, h)
        h_extra = h.copy()
        h_extra[0, 5] = True          # five extra ones
        w_short = w.copy()
        w_short[4] = False            # five missed ones
        assert description_length(x, w, h_extra) > exact
        assert description_length(x, w_short, h) > exact

    @pytest.mark.parametrize("w, h, words", [
        (np.ones((1, 2)), np.ones((2, 5)), r"w must have one row per sample of x, 6 rows"),
        (np.ones((6, 2)), np.ones((2, 3)), r"h must have one column per feature of x, 5"),
        (np.ones((6, 2)), np.ones((3, 5)), r"h must have one row per column of w, 2 rows"),
        (np.ones(6), np.ones((1, 5)), r"w must be 2-D"),
        (np.ones((6, 1)), np.ones((1, 5, 1)), r"h must be 2-D"),
        (np.full((6, 1), 2), np.ones((1, 5)), r"w must hold only 0 and 1.*cell \(0, 0\)"),
        (np.ones((6, 1)), np.full((1, 5), 0.5), r"h must hold only 0 and 1"),
    ])
    def test_description_length_refuses_factors_of_the_wrong_shape(self, w, h, words):
        x = np.eye(6, 5, dtype=bool)
        with pytest.raises(ValueError, match=words):
            description_length(x, w, h)
        # Rank 0 is a description too: X sent as errors only.
        assert description_length(x, np.zeros((6, 0)), np.zeros((0, 5))) > 0


class TestIterationLimit:
    @pytest.mark.parametrize("r", [3, 5, 9])
    def test_screening_runs_no_more_than_max_iter(self, r):
        x = make_planted(120, 40, r, density=0.25, noise=0.05, random_state=r)
        one = BooleanMF(r, max_iter=1, random_state=0).fit(x)
        assert one.n_iter_ == len(one.error_history_) == 1
