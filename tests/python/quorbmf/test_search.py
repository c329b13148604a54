"""The search after the alternating runs: never worse, errors true, the same
factors for a seed whatever the threads, and an interrupted search leaves
the estimator and the threads as they were; with costs the native search
weighs its errors and from below keeps W∘H under X, and the Asso start
takes the costs."""
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from quorbmf import BooleanMF, _native, as_packed
from quorbmf._plan import Start, asso_weights, start_factors
from quorbmf._search import auto_moves
from quorbmf.datasets import make_planted


def observed_error(model, w, x, mask=None):
    """Wrong observed cells of W∘H against X, counted with NumPy."""
    wrong = model.inverse_transform(w) != (np.nan_to_num(x) > 0)
    if mask is not None:
        wrong &= mask
    return int(wrong.sum())


@pytest.fixture(scope="module")
def noisy():
    # Twelve planted factors with noise fitted at rank 5: alternating refits
    # stop in a local minimum that the search leaves.
    return make_planted(150, 90, 12, density=0.2, noise=0.03, random_state=0)


class TestResults:
    def test_never_worse_than_the_runs_and_errors_are_true(self, noisy):
        runs = BooleanMF(5, random_state=0, search=0).fit(noisy)
        model = BooleanMF(5, random_state=0, search=60)
        w = model.fit_transform(noisy)
        assert model.reconstruction_err_ <= runs.reconstruction_err_
        assert model.reconstruction_err_ == observed_error(model, w, noisy)
        assert model.n_search_moves_ == 60
        errors = [e for _, e in model.search_history_]
        assert errors == sorted(errors, reverse=True) and len(set(errors)) == len(errors)
        assert errors and errors[-1] == model.reconstruction_err_ < runs.reconstruction_err_

    def test_search_improves_on_data_where_refits_stall(self):
        # Several seeds: the search must beat the runs on most of them.
        better = 0
        for seed in range(4):
            x = make_planted(150, 90, 12, density=0.2, noise=0.03, random_state=seed)
            runs = BooleanMF(8, random_state=0, search=0).fit(x).reconstruction_err_
            found = BooleanMF(8, random_state=0, search=80).fit(x).reconstruction_err_
            better += found < runs
        assert better >= 3

    def test_same_factors_for_a_seed_whatever_the_threads_and_blocks(self, noisy):
        fits = [BooleanMF(5, random_state=3, search=40, n_jobs=j, block_size=b)
                for j, b in [(1, None), (2, None), (2, 64), (1, 32)]]
        ws = [m.fit_transform(noisy) for m in fits]
        for m, w in zip(fits[1:], ws[1:]):
            assert np.array_equal(w, ws[0])
            assert np.array_equal(m.components_, fits[0].components_)
            assert m.search_history_ == fits[0].search_history_

    def test_unobserved_cells_count_nothing(self, noisy):
        rng = np.random.default_rng(1)
        mask = rng.random(noisy.shape) > 0.15
        x = np.where(mask, noisy, np.nan)
        model = BooleanMF(5, random_state=0, search=40)
        w = model.fit_transform(x)
        assert model.reconstruction_err_ == observed_error(model, w, x, mask)
        assert model.reconstruction_err_ <= BooleanMF(5, random_state=0, search=0).fit(
            x).reconstruction_err_

    def test_a_run_cut_short_by_max_iter_is_polished_on_and_reported(self, noisy):
        runs = BooleanMF(5, random_state=0, search=0, max_iter=1).fit(noisy)
        model = BooleanMF(5, random_state=0, search=1, max_iter=1)
        w = model.fit_transform(noisy)
        assert model.reconstruction_err_ == observed_error(model, w, noisy)
        assert model.search_history_[0] == (0, model.search_history_[0][1])
        assert model.search_history_[-1][1] == model.reconstruction_err_
        assert model.reconstruction_err_ < runs.reconstruction_err_

    def test_from_a_custom_start(self, noisy):
        rng = np.random.default_rng(2)
        w0, h0 = rng.random((150, 5)) < 0.2, rng.random((5, 90)) < 0.2
        start = int(((w0.astype(int) @ h0.astype(int) > 0) != noisy).sum())
        model = BooleanMF(5, init="custom", random_state=0, search=30)
        w = model.fit_transform(noisy, W=w0, H=h0)
        assert model.n_search_moves_ == 30
        assert model.reconstruction_err_ == observed_error(model, w, noisy) <= start

    def test_auto_searches_after_the_default_starts_only(self, noisy):
        assert BooleanMF(5, random_state=0).fit(noisy).n_search_moves_ > 0
        given = BooleanMF(5, init="random-columns", random_state=0).fit(noisy)
        assert given.n_search_moves_ == 0 and given.search_history_ == []
        exact = BooleanMF(2, random_state=0).fit(np.kron(np.eye(2), np.ones((3, 3))))
        assert exact.reconstruction_err_ == 0 and exact.n_search_moves_ == 0

    def test_a_time_limit_stops_the_moves(self):
        x = make_planted(2000, 400, 12, density=0.1, noise=0.05, random_state=1)
        # Without the limit this would run for hours.
        model = BooleanMF(12, random_state=0, search=100000, search_time=0.3).fit(x)
        assert model.n_search_moves_ < 100000

    def test_default_moves_grow_as_data_shrinks(self):
        tiny, mushroom = auto_moves((150, 19), 5, 10), auto_moves((8124, 118), 10, 40)
        assert tiny > 100 and 20 <= mushroom <= 100 < tiny
        assert auto_moves((8124, 118), 20, 40) < mushroom
        # Large data: no more moves than a third of the runs' iterations.
        assert auto_moves((100_000, 1000), 100, 30) <= 10

    def test_verbose_and_callback_report_improvements(self, noisy, capsys):
        seen = []
        model = BooleanMF(5, random_state=0, search=60, verbose=1,
                          callback=lambda i, e: seen.append((i, e)))
        model.fit(noisy)
        out = capsys.readouterr().out
        assert "search:" in out and f"error {model.reconstruction_err_}" in out
        assert model.search_history_
        assert seen[-len(model.search_history_):] == model.search_history_


class TestParameters:
    @pytest.mark.parametrize("value, match", [(-1, "at least 0"), ("much", "'auto'"),
                                              (1.5, "'auto'"), (True, "'auto'")])
    def test_search_must_be_moves_or_auto(self, value, match):
        with pytest.raises(ValueError, match=match):
            BooleanMF(2, search=value).fit(np.eye(3))

    @pytest.mark.parametrize("value", [0, -1, float("inf"), float("nan"), "1", True])
    def test_search_time_must_be_positive_seconds(self, value):
        with pytest.raises(ValueError, match="search_time"):
            BooleanMF(2, search_time=value).fit(np.eye(3))


class TestNative:
    def test_a_chain_run_from_two_threads_is_refused(self, noisy):
        x = as_packed(noisy)
        model = BooleanMF(5, random_state=0, search=0).fit(noisy)
        w = as_packed(model.transform(noisy)).words
        ht = as_packed(model.components_.T).words
        engine = _native.Search(x.words, x.cols, "zeta")
        engine.add_chain(w, ht, 5, 0)
        errors = []

        def run():
            try:
                engine.run(0, 300)
            except RuntimeError as e:
                errors.append(e)
        threads = [threading.Thread(target=run) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(errors) <= 1
        assert all("already running" in str(e) for e in errors)
        with pytest.raises(IndexError, match="chain 1"):
            engine.run(1, 1)
        with pytest.raises(ValueError, match="rows"):
            engine.add_chain(w[:5], ht, 5, 0)


def unpack(words, rows, cols):
    """The 0/1 matrix of packed words (rows x cols)."""
    bits = np.unpackbits(words[:rows].view(np.uint8), axis=1, bitorder="little")
    return bits[:, :cols].astype(bool)


def weighted_error(x, w, ht, r, costs):
    """The weighted error of W∘H against X over the whole matrix, an infinite
    cost weighing the matrix's cells + 1, counted with NumPy."""
    m, n = x.shape
    wb, hb = unpack(w, m, r), unpack(ht, n, r)
    wh = (wb.astype(int) @ hb.T.astype(int)) > 0
    ones, zeros = int((wh & ~x).sum()), int((~wh & x).sum())
    one, zero = costs
    if one is None:
        one, zero = (m * n + 1, 1) if zero else (1, 0)
    elif zero is None:
        one, zero = (1, m * n + 1) if one else (0, 1)
    return one * ones + zero * zeros, ones


@pytest.fixture(scope="module")
def start(noisy):
    """X packed, and the packed W and Hᵀ of a fit of rank 5 without search."""
    model = BooleanMF(5, random_state=0, search=0).fit(noisy)
    return (as_packed(noisy), as_packed(model.transform(noisy)).words,
            as_packed(model.components_.T).words)


class TestCosts:
    def search(self, start, costs, moves=12):
        x, w, ht = start
        engine = _native.Search(x.words, x.cols, "zeta", costs=costs)
        engine.add_tiles(w, ht, 5)
        engine.add_chain(w, ht, 5, 7)
        engine.run(0, moves)
        return engine.best(0)

    def test_equal_costs_are_the_plain_search(self, start):
        plain = self.search(start, None)
        for costs in [(1, 1), (3, 3)]:
            got = self.search(start, costs)
            assert all(np.array_equal(a, b) for a, b in zip(got[:2], plain[:2]))
            assert got[2:] == plain[2:]

    @pytest.mark.parametrize("costs, error, match", [
        ((None, None), ValueError, "costs: les deux couts sont infinis"),
        ((0, 0), ValueError, "costs: les deux couts sont nuls"),
        ((2**25, 1), ValueError, "costs: les couts vont de 0 a 16777216"),
        ((-1, 1), OverflowError, "false_one"),
        ("1:4", TypeError, "costs must be a tuple")])
    def test_bad_costs_are_refused(self, start, costs, error, match):
        x, _, _ = start
        with pytest.raises(error, match=match):
            _native.Search(x.words, x.cols, "zeta", costs=costs)

    # These run the engine's weighted half-steps.
    @pytest.mark.parametrize("costs", [(1, 4), (4, 1), (None, 1), (1, None)])
    def test_the_best_error_is_weighted_and_never_worse(self, start, noisy, costs):
        x, w, ht = start
        first = weighted_error(noisy > 0, w, ht, 5, costs)[0]
        bw, bht, error, moves, _ = self.search(start, costs)
        assert moves == 12
        assert error == weighted_error(noisy > 0, bw, bht, 5, costs)[0] <= first

    def test_from_below_the_product_stays_below_x(self, start, noisy):
        bw, bht, error, _, _ = self.search(start, (None, 1), moves=20)
        total, false_ones = weighted_error(noisy > 0, bw, bht, 5, (None, 1))
        assert false_ones == 0 and error == total == int((noisy > 0).sum()) - int(
            ((unpack(bw, 150, 5).astype(int) @ unpack(bht, 90, 5).T.astype(int)) > 0).sum())


class TestAssoStart:
    def test_the_costs_become_asso_weights(self):
        assert asso_weights(None, 10) == (1.0, 1.0)
        assert asso_weights((1, 1), 10) == asso_weights((7, 7), 10) == (1.0, 1.0)
        assert asso_weights((2, 6), 10) == (3.0, 1.0)
        assert asso_weights((None, 5), 10) == (1.0, float("inf"))
        assert asso_weights((None, 0), 10) == (0.0, float("inf"))
        assert asso_weights((3, None), 10) == (11.0, 1.0)
        assert asso_weights((0, None), 10) == (1.0, 0.0)

    def test_from_below_asso_covers_no_zero(self, noisy):
        x = as_packed(noisy)
        start = Start("asso", tau=0.7)
        plain_w, plain_h = start_factors(start, 6, None, lambda: (x, None))
        w, h = start_factors(start, 6, None, lambda: (x, None), costs=(None, 1))
        wh = unpack(_native.product(w, 6, h, x.cols), 150, 90)
        assert not (wh & ~(noisy > 0)).any() and wh.any()
        plain = unpack(_native.product(plain_w, 6, plain_h, x.cols), 150, 90)
        assert (plain & ~(noisy > 0)).any()  # the plain cover does cover zeros here
        same_w, same_h = start_factors(start, 6, None, lambda: (x, None), costs=(2, 2))
        assert np.array_equal(same_w, plain_w) and np.array_equal(same_h, plain_h)


# Ctrl-C 0.2 s after the search's threads appear; the estimator was fitted
# before.
INTERRUPTED_SEARCH = textwrap.dedent("""
    import os, pickle, signal, threading, time
    from quorbmf import BooleanMF
    from quorbmf.datasets import make_planted

    x = make_planted(3000, 300, 12, density=0.1, noise=0.05, random_state=1)
    model = BooleanMF(n_components=12, n_jobs={n_jobs}, random_state=0, search=0)
    model.fit(x[:40, :30])
    model.search = 10**6
    fired = []
    def watch():
        while not any(t.name.startswith("quorbmf-search") for t in threading.enumerate()):
            time.sleep(0.01)
        time.sleep(0.2)
        fired.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    before = pickle.dumps(model)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        model.fit(x)
        print("finished")
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - fired[0])
    watcher.join()
    time.sleep(0.05)
    print("unchanged", pickle.dumps(model) == before)
    print("threads", threading.active_count())
""")


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_ctrl_c_stops_the_search_quickly_and_leaves_nothing(n_jobs):
    out = subprocess.run([sys.executable, "-c", INTERRUPTED_SEARCH.format(n_jobs=n_jobs)],
                         capture_output=True, text=True, timeout=120)
    lines = out.stdout.split("\n")
    assert lines[0].startswith("interrupted after"), out.stdout + out.stderr
    assert float(lines[0].split()[-1]) < 0.5, out.stdout
    assert "unchanged True" in lines and "threads 1" in lines, out.stdout


def test_a_fitted_model_with_search_pickles(noisy):
    model = BooleanMF(5, random_state=0, search=10).fit(noisy)
    again = pickle.loads(pickle.dumps(model))
    assert again.search_history_ == model.search_history_
    assert np.array_equal(again.components_, model.components_)
