"""quorbmf on Dask: the same factors, error and iterations as the threads,
whatever the input and its chunking; bad cells named by their place in the
whole array; a killed worker survived, a lost scheduler reported; and after
every fit, failed or interrupted, nothing of it left on the cluster."""
import _thread
import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

_native = pytest.importorskip("quorbmf._native")
if not hasattr(_native, "Solver"):
    pytest.skip("quorbmf._native has no Solver yet", allow_module_level=True)
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import scipy.sparse as sp  # noqa: E402
from dask import config as _dask_config  # noqa: E402

import quorbmf.backends.dask.runner as qdask  # noqa: E402
from conftest import UNDER_SANITIZER  # noqa: E402
from quorbmf import BooleanMF, PackedMatrix  # noqa: E402
from quorbmf.backends.base import FitInput  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402

METHODS = ["zeta", "greedy", "greedy-ls"]
# One run from random columns, unless a test says otherwise.
ONE = dict(init="random-columns", n_init=1)


def dask_config(**settings):
    return _dask_config.set(**settings)


@pytest.fixture(scope="module")
def client():
    # Under ASan a worker's resident size counts shadow memory: no limit there,
    # or Dask pauses the worker and moves its tasks to the other one.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None,
                                       memory_limit=0 if UNDER_SANITIZER else "768MiB",
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def cluster_tasks(client):
    on_scheduler = client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks))
    on_workers = client.run(lambda dask_worker: len(dask_worker.state.tasks))
    return on_scheduler, sum(on_workers.values())


@pytest.fixture
def clean(client):
    """The shared cluster, checked to hold no task before and after the test."""
    assert cluster_tasks(client) == (0, 0)
    yield client
    assert cluster_tasks(client) == (0, 0)


def assert_same_fit(a, wa, b, wb):
    assert np.array_equal(wa, wb)
    assert np.array_equal(a.components_, b.components_)
    assert a.reconstruction_err_ == b.reconstruction_err_
    assert a.n_iter_ == b.n_iter_
    assert a.error_history_ == b.error_history_
    assert a.search_history_ == b.search_history_


def uneven_chunks(rng, total, parts):
    cuts = np.sort(rng.choice(np.arange(1, total), size=min(parts, total) - 1, replace=False))
    sizes = np.diff(np.concatenate([[0], cuts, [total]]))
    return tuple(int(s) for s in sizes)


class TestSameAsThreads:
    @pytest.mark.parametrize("method", METHODS)
    def test_random_inputs_and_chunkings(self, clean, method):
        rng = np.random.default_rng(METHODS.index(method))
        for _ in range(2):
            m, n = int(rng.integers(60, 400)), int(rng.integers(1, 160))
            r = int(rng.integers(1, 9))
            x = make_planted(m, n, max(1, r - 1), noise=rng.uniform(0.0, 0.08), random_state=rng)
            params = dict(ONE, n_components=r, method=method, max_iter=int(rng.integers(1, 10)),
                          random_state=int(rng.integers(0, 2**63)))
            ref = BooleanMF(n_jobs=2, **params)
            w_ref = ref.fit_transform(x)
            chunks = (uneven_chunks(rng, m, 5), uneven_chunks(rng, n, 3))
            for source, block_size in [(da.from_array(x.astype(np.uint8), chunks=chunks), None),
                                       (da.from_array(x, chunks=(64, n)), 100),
                                       (x, int(rng.integers(1, 200)))]:
                model = BooleanMF(backend="dask", block_size=block_size, **params)
                assert_same_fit(ref, w_ref, model, model.fit_transform(source, client=clean))

    def test_every_input_kind(self, clean):
        pd = pytest.importorskip("pandas")
        dd = pytest.importorskip("dask.dataframe")
        rng = np.random.default_rng(7)
        x = make_planted(230, 45, 4, noise=0.04, random_state=rng)
        params = dict(n_components=4, method="zeta", random_state=5, init="random-columns",
                      n_init=2)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        frame = pd.DataFrame(x.astype(np.int64), columns=[f"f{j}" for j in range(45)])
        sources = [x.astype(np.float32), sp.csc_matrix(x), PackedMatrix.from_dense(x),
                   dd.from_pandas(frame, npartitions=3)]
        for source in sources:
            model = BooleanMF(backend="dask", **params)
            assert_same_fit(ref, w_ref, model, model.fit_transform(source, client=clean))
        assert list(model.feature_names_in_) == list(frame.columns)
        model.fit(da.from_array(x, chunks=50), client=clean)  # a dask array picks the backend
        assert not hasattr(model, "feature_names_in_") and model.n_features_in_ == 45
        assert np.array_equal(model.components_, ref.components_)

    def test_starts_and_steps_of_the_plan(self, clean):
        rng = np.random.default_rng(6)
        x = make_planted(260, 90, 5, noise=0.04, random_state=rng)
        w0, h0 = rng.random((260, 5)) < 0.3, rng.random((5, 90)) < 0.3
        # The default starts (GreConD, Asso, random columns); exact refits of
        # groups of columns; the exact search; the user's own factors.
        for params, factors in [(dict(n_components=5, random_state=4), {}),
                                (dict(n_components=14, method="exact-blocks", random_state=1,
                                      **ONE), {}),
                                (dict(n_components=5, method="exact", random_state=2, **ONE), {}),
                                (dict(n_components=5, init="custom", n_init=1), dict(W=w0, H=h0))]:
            ref = BooleanMF(**params)
            w_ref = ref.fit_transform(x, **factors)
            model = BooleanMF(backend="dask", **params)
            w = model.fit_transform(da.from_array(x, chunks=(70, 90)), client=clean, **factors)
            assert_same_fit(ref, w_ref, model, w)
            assert model.init_ == ref.init_ and model.method_ == ref.method_

    def test_zarr_store(self, clean, tmp_path):
        zarr = pytest.importorskip("zarr")
        rng = np.random.default_rng(8)
        x = make_planted(300, 70, 3, noise=0.04, random_state=rng)
        store = zarr.open_array(str(tmp_path / "x.zarr"), mode="w", shape=x.shape,
                                chunks=(90, 70), dtype="u1")
        store[:] = x
        ref = BooleanMF(n_components=3, method="greedy", random_state=2, **ONE).fit(x)
        for source in (store, str(tmp_path / "x.zarr")):
            model = BooleanMF(n_components=3, method="greedy", random_state=2, backend="dask",
                              **ONE)
            model.fit(source, client=clean)
            assert np.array_equal(model.components_, ref.components_)
            assert model.reconstruction_err_ == ref.reconstruction_err_

    def test_binarize_and_the_current_client(self, clean):
        rng = np.random.default_rng(9)
        values = rng.random((150, 40))
        params = dict(ONE, n_components=3, method="zeta", random_state=1, binarize=0.6)
        ref = BooleanMF(**params).fit(values)
        with clean.as_current():
            model = BooleanMF(backend="dask", **params).fit(da.from_array(values, chunks=70))
        assert np.array_equal(model.components_, ref.components_)
        # NaN stays unobserved through the threshold, as locally.
        gappy = values.copy()
        gappy[120, 7] = gappy[3, :5] = np.nan
        ref = BooleanMF(**params).fit(gappy)
        model = BooleanMF(backend="dask", **params).fit(da.from_array(gappy, chunks=70),
                                                          client=clean)
        assert np.array_equal(model.components_, ref.components_)
        assert model.reconstruction_err_ == ref.reconstruction_err_


def gappy(rng, m, n, r, missing=0.1, rows_free=()):
    """A planted matrix with a fraction of NaN cells, except in ``rows_free``."""
    x = make_planted(m, n, r, noise=0.04, random_state=rng).astype(float)
    gaps = rng.random((m, n)) < missing
    gaps[list(rows_free)] = False
    x[gaps] = np.nan
    return x


def test_the_search_runs_on_the_client_up_to_the_gather_limit(clean, monkeypatch):
    from quorbmf.backends.dask import runner

    x = make_planted(150, 90, 12, density=0.2, noise=0.03, random_state=0)
    params = dict(n_components=5, random_state=0, init="random-columns", search=30)
    ref = BooleanMF(**params)
    w_ref = ref.fit_transform(x)
    model = BooleanMF(backend="dask", **params)
    assert_same_fit(ref, w_ref, model, model.fit_transform(x, client=clean))
    assert model.n_search_moves_ == 30 and model.search_history_
    monkeypatch.setattr(runner, "_GATHER_LIMIT", 1024)
    with pytest.raises(ValueError, match="search=30 runs on the client.*use search=0"):
        BooleanMF(backend="dask", **params).fit(x, client=clean)


class TestMissing:
    """Unobserved cells on Dask: the same fit as the threads, whatever marks
    them and however X is cut, and they are never read."""

    @pytest.mark.parametrize("method, init", [
        ("zeta", "random-columns"), ("greedy", "grecond"), ("greedy-ls", "asso"),
        ("naive", "random-columns"), ("exact", "auto")])
    def test_methods_starts_and_chunkings(self, clean, method, init):
        rng = np.random.default_rng(len(method) * 7 + len(init))
        # Rows 0..127 have no gap: with 64-row chunks those blocks carry no
        # mask and are solved unmasked beside masked ones.
        x = gappy(rng, 330, 75, 4, rows_free=range(128))
        params = dict(n_components=5, method=method, init=init, random_state=3, max_iter=8,
                      n_init="auto" if init == "auto" else 1)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        for chunks in [(64, 75), (uneven_chunks(rng, 330, 4), uneven_chunks(rng, 75, 2))]:
            model = BooleanMF(backend="dask", **params)
            w = model.fit_transform(da.from_array(x, chunks=chunks), client=clean)
            assert_same_fit(ref, w_ref, model, w)
            assert model.init_ == ref.init_

    def test_every_way_of_marking_a_cell(self, clean):
        rng = np.random.default_rng(11)
        x = gappy(rng, 260, 50, 3)
        seen = ~np.isnan(x)
        # Garbage where unobserved: never read, never named.
        junk = np.where(seen, x, rng.choice([7.0, -3.0, 0.5], size=x.shape))
        w0, h0 = rng.random((260, 4)) < 0.3, rng.random((4, 50)) < 0.3
        params = dict(n_components=4, method="greedy-ls", random_state=8, **ONE)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        objects = x.astype(object)
        objects[~seen] = None
        sources = [
            (da.from_array(x, chunks=(100, 50)), {}),
            (da.from_array(objects, chunks=(90, 50)), {}),
            (da.from_array(np.ma.masked_array(junk, mask=~seen), chunks=(64, 50),
                           asarray=False), {}),
            (da.from_array(junk, chunks=(64, 25)), dict(mask=da.from_array(seen, chunks=77))),
            (da.from_array(junk, chunks=(70, 50)), dict(mask=seen)),
            (junk, dict(mask=seen)),
            (np.ma.masked_array(junk, mask=~seen), {}),
            (x, {}),
        ]
        for source, extra in sources:
            model = BooleanMF(backend="dask", **params)
            assert_same_fit(ref, w_ref, model, model.fit_transform(source, client=clean, **extra))
        # The user's own factors are scored on the observed cells only.
        custom = dict(n_components=4, init="custom", n_init=1, method="zeta")
        ref = BooleanMF(**custom)
        w_ref = ref.fit_transform(x, W=w0, H=h0)
        model = BooleanMF(backend="dask", **custom)
        assert_same_fit(ref, w_ref, model, model.fit_transform(
            da.from_array(junk, chunks=(64, 50)), mask=seen, W=w0, H=h0, client=clean))

    def test_sparse_and_frames(self, clean):
        pd = pytest.importorskip("pandas")
        dd = pytest.importorskip("dask.dataframe")
        rng = np.random.default_rng(12)
        x = make_planted(240, 30, 3, noise=0.04, random_state=rng)
        params = dict(n_components=3, method="zeta", random_state=1, **ONE)
        # Rows with no stored one are wholly unobserved, in both fits.
        with pytest.warns(UserWarning, match="no observed cell"):
            ref = BooleanMF(sparse_absent="missing", **params).fit(sp.csr_matrix(x))
        model = BooleanMF(backend="dask", sparse_absent="missing", **params)
        with pytest.warns(UserWarning, match="no observed cell"):
            model.fit(sp.csr_matrix(x), client=clean)
        assert np.array_equal(model.components_, ref.components_)
        assert model.reconstruction_err_ == ref.reconstruction_err_ == 0
        values = gappy(rng, 240, 30, 3)
        frame = pd.DataFrame(values, columns=[f"c{j}" for j in range(30)]).astype("Int8")
        ref = BooleanMF(**params).fit(frame)
        model = BooleanMF(backend="dask", **params).fit(dd.from_pandas(frame, npartitions=3),
                                                        client=clean)
        assert np.array_equal(model.components_, ref.components_)
        assert model.reconstruction_err_ == ref.reconstruction_err_
        assert list(model.feature_names_in_) == list(frame.columns)

    def test_unobserved_rows_columns_and_wrong_masks(self, clean):
        rng = np.random.default_rng(13)
        x = gappy(rng, 200, 40, 3)
        x[150] = np.nan
        x[:, [4, 9]] = np.nan
        with pytest.warns(UserWarning) as local:
            BooleanMF(n_components=3, random_state=0).fit(x)
        model = BooleanMF(n_components=3, random_state=0, backend="dask")
        with pytest.warns(UserWarning) as remote:
            model.fit(da.from_array(x, chunks=(64, 40)), client=clean)
        said = sorted(str(w.message) for w in remote if "no observed cell" in str(w.message))
        assert said == sorted(str(w.message) for w in local
                              if "no observed cell" in str(w.message))
        assert "2 column(s)" in " ".join(said) and "row 150" in " ".join(said)
        assert not model.components_[:, [4, 9]].any()
        fitted = dict(model.__dict__)
        lazy = da.from_array(np.nan_to_num(x), chunks=(64, 40))
        masked = np.ma.masked_invalid(x)
        for source, mask, error, words in [
                (lazy, np.ones((200, 40), dtype=np.uint8), TypeError, "bool array"),
                (masked, np.ones((200, 40), dtype=np.uint8), TypeError, "bool array"),
                (lazy, da.ones((200, 40), chunks=50, dtype=int), TypeError, "bool array"),
                (lazy, np.ones((200, 41), dtype=bool), ValueError, "shape of X"),
                (masked, np.ones((200, 41), dtype=bool), ValueError, "shape of X"),
                (lazy, da.ones((199, 40), chunks=50, dtype=bool), ValueError, "shape of X")]:
            with pytest.raises(error, match=words):
                model.fit(source, mask=mask, client=clean)
            assert model.__dict__.keys() == fitted.keys()
            assert np.array_equal(model.components_, fitted["components_"])
        # Masks above rank 26, with costs: the threads' fit.
        hidden = np.where(np.random.default_rng(4).random(x.shape) < 0.1, np.nan, x)
        params = dict(n_components=27, random_state=1, init="random-columns", n_init=1,
                      false_negative_cost=3.0)
        on_threads = BooleanMF(**params)
        w0 = on_threads.fit_transform(hidden)
        on_dask = BooleanMF(backend="dask", **params)
        w1 = on_dask.fit_transform(da.from_array(hidden, chunks=64), client=clean)
        assert_same_fit(on_threads, w0, on_dask, w1)
        assert (on_threads.cost_, on_threads.n_false_positives_) == \
            (on_dask.cost_, on_dask.n_false_positives_)


    def test_a_mask_hiding_nothing_and_a_custom_start_on_empty_rows(self, clean):
        x = np.random.default_rng(1811990391).random((130, 32)) < 0.9
        params = dict(n_components=13, n_init=1, max_iter=2, random_state=1811990391)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        ones = np.ones(x.shape, dtype=bool)
        for source, mask in [(da.from_array(x, chunks=(64, 32)), da.from_array(ones, chunks=64)),
                             (x, ones)]:
            model = BooleanMF(backend="dask", **params)
            assert_same_fit(ref, w_ref, model, model.fit_transform(source, mask=mask,
                                                                   client=clean))
            assert model.method_ == ref.method_ == "exact"
        # An exact start is kept, but not its rows and columns with no
        # observed cell: those are zero, as the warning says.
        w0, h0 = x[:, :2].copy(), x[:2].copy()
        gaps = (w0.astype(np.uint8) @ h0.astype(np.uint8) > 0).astype(float)
        gaps[70] = gaps[:, 3] = np.nan
        w0[70], h0[:, 3] = True, True
        model = BooleanMF(2, init="custom", backend="dask")
        with pytest.warns(UserWarning, match="all zero"):
            w = model.fit_transform(da.from_array(gaps, chunks=(64, 32)), client=clean,
                                    W=w0, H=h0)
        assert model.reconstruction_err_ == 0 and model.n_iter_ == 1
        assert not w[70].any() and not model.components_[:, 3].any()


class TestBadInput:
    def test_bad_cell_named_in_the_whole_array(self, clean):
        x = np.ones((300, 90))
        x[173, 57] = 2
        x[250, 3] = 0.5
        x[190, 80] = np.nan
        with pytest.raises(ValueError) as local:
            BooleanMF(n_components=2).fit(x)
        assert "(173, 57) holds 2" in str(local.value)
        model = BooleanMF(n_components=2, backend="dask", **ONE)
        for chunks in [(40, 30), (64, 90), (301, 17)]:
            with pytest.raises(ValueError) as remote:
                model.fit(da.from_array(x, chunks=chunks), client=clean)
            assert str(remote.value) == str(local.value)
        assert not hasattr(model, "components_") and not hasattr(model, "n_features_in_")
        x[173, 57] = 1
        with pytest.raises(ValueError, match=r"cell \(250, 3\) holds 0.5"):
            model.fit(da.from_array(x, chunks=(25, 45)), client=clean)
        x[250, 3] = 0
        # The NaN left is an unobserved cell; a bad value beside it is still named.
        x[17, 2] = 3
        x[190, 81] = -1
        with pytest.raises(ValueError) as local:
            BooleanMF(n_components=2).fit(x)
        with pytest.raises(ValueError) as remote:
            model.fit(da.from_array(x, chunks=(25, 45)), client=clean)
        assert str(remote.value) == str(local.value) and "(17, 2) holds 3" in str(local.value)

    def test_sparse_chunks_checked_on_the_workers(self, clean):
        import dask

        x = np.ones((192, 30))
        x[150, 7] = 2

        def chunk(i, spoil):
            part = sp.csr_matrix(x[64 * i:64 * (i + 1)])
            if spoil and i == 2:
                part.indices[5] = 10**7   # scipy itself would crash the worker on it
            return part

        def lazy(spoil):
            return da.concatenate([
                da.from_delayed(dask.delayed(chunk)(i, spoil), shape=(64, 30), dtype=float,
                                meta=sp.csr_matrix((0, 30))) for i in range(3)])

        model = BooleanMF(n_components=2, backend="dask", **ONE)
        with pytest.raises(ValueError, match=r"cell \(150, 7\) holds 2"):
            model.fit(lazy(False), client=clean)
        with pytest.raises(ValueError, match="X is a malformed sparse matrix: its indices hold"):
            model.fit(lazy(True), client=clean)

    @pytest.mark.parametrize("bad, error, words", [
        (np.zeros(5), ValueError, "must be 2-D"),
        (np.zeros((2, 2, 2)), ValueError, "must be 2-D"),
        (np.array([["a", "b"]]), TypeError, "bool, integer or float dtype"),
    ])
    def test_bad_shapes_and_dtypes(self, clean, bad, error, words):
        with pytest.raises(error, match=words):
            BooleanMF(n_components=1, backend="dask").fit(da.from_array(bad), client=clean)

    def test_client_must_be_a_client(self):
        with pytest.raises(TypeError, match="client must be a dask.distributed.Client"):
            BooleanMF(n_components=1, backend="dask").fit(np.eye(3), client="tcp://x:1")


def worker_bytes_in(client):
    """Bytes each worker fetched from other workers, by Dask's own log."""
    logs = client.run(
        lambda dask_worker: sum(e["total"] for e in dask_worker.transfer_incoming_log))
    return sum(logs.values())


class TestPlacement:
    def test_only_the_factors_move_between_workers(self, clean):
        rng = np.random.default_rng(3)
        m, n, r = 20000, 2048, 8
        x = make_planted(m, n, r, noise=0.06, random_state=rng)
        seen = []
        model = BooleanMF(n_components=r, method="greedy", max_iter=6, random_state=0, **ONE,
                          backend="dask", callback=lambda i, e: seen.append(worker_bytes_in(clean)))
        model.fit(da.from_array(x, chunks=(4096, n)), client=clean)
        assert len(seen) >= 3
        per_iteration = (seen[-1] - seen[0]) / (len(seen) - 1)
        # W and Hᵀ (one word a row) reach the one worker that lacks them; a
        # block of X (4096 rows of 256 bytes) would be four times W.
        factors = m * 8 + n * 8
        assert per_iteration <= factors + 16 * 1024

    def test_blocks_split_over_both_workers(self, clean):
        x = make_planted(3000, 200, 4, noise=0.04, random_state=4)
        with qdask.DaskBackend(clean, block_size=256) as runner:
            data = runner.prepare(FitInput(x.shape, packed=PackedMatrix.from_dense(x)))
            holders = {next(iter(v)) for v in clean.who_has(data.rows.futures).values()}
            col_holders = {next(iter(v)) for v in clean.who_has(data.cols.futures).values()}
            assert len(data.cols) == 2 and len(col_holders) == 2 and len(holders) == 2
            assert data.ones == int(x.sum())
            assert np.array_equal(data.source, x.any(axis=0))


def drained(client, seconds=10.0):
    """Waits until the cluster has forgotten the tasks of computes that ended."""
    deadline = time.monotonic() + seconds
    while cluster_tasks(client) != (0, 0) and time.monotonic() < deadline:
        time.sleep(0.05)
    return client


class TestUsingTheModel:
    """transform, score and inverse_transform take dask arrays lazily,
    chunk by chunk, and agree with the same calls on NumPy. (Dask forgets
    a finished compute's tasks a moment later: the tests wait for that.)"""

    @pytest.fixture(autouse=True)
    def settle(self, clean):
        yield
        drained(clean)

    @pytest.fixture(scope="class")
    @staticmethod
    def model():
        rng = np.random.default_rng(21)
        x = make_planted(400, 70, 5, noise=0.04, missing=0.08, random_state=rng)
        return BooleanMF(n_components=5, method="greedy-ls", random_state=2).fit(x), x

    @pytest.mark.parametrize("scheduler", ["threads", "cluster"])
    def test_same_as_in_memory(self, clean, model, scheduler):
        model, x = model
        rng = np.random.default_rng(3)
        new = make_planted(333, 70, 5, noise=0.04, missing=0.1, random_state=rng)
        chunks = (uneven_chunks(rng, 333, 4), uneven_chunks(rng, 70, 3))
        lazy = da.from_array(new, chunks=chunks)
        where = clean.as_current() if scheduler == "cluster" else dask_config(scheduler="threads")
        with where:
            w = model.transform(lazy)
            assert isinstance(w, da.Array) and w.chunks == (chunks[0], (5,))
            assert np.array_equal(w.compute(), model.transform(new))
            assert model.score(lazy) == model.score(new)
            back = model.inverse_transform(w)
            assert isinstance(back, da.Array) and back.chunks[0] == chunks[0]
            assert np.array_equal(back.compute(), model.inverse_transform(model.transform(new)))
            # A mask of other chunks, over cells holding garbage where unobserved.
            seen = ~np.isnan(new)
            junk = np.where(seen, new, 7.0)
            given = da.from_array(seen, chunks=(50, 70))
            assert np.array_equal(model.transform(da.from_array(junk, chunks=chunks),
                                                  mask=given).compute(), w.compute())
            assert model.score(da.from_array(junk, chunks=90), mask=seen) == model.score(new)

    def test_bad_input(self, clean, model):
        model, x = model
        bad = np.nan_to_num(x)
        bad[301, 9] = 3
        with pytest.raises(ValueError) as local:
            model.transform(bad)
        with clean.as_current():
            lazy = model.transform(da.from_array(bad, chunks=(64, 35)))
            with pytest.raises(ValueError) as remote:
                lazy.compute()
        assert str(remote.value) == str(local.value) and "(301, 9)" in str(local.value)
        with pytest.raises(ValueError, match="has 69 features, but BooleanMF is expecting 70"):
            model.transform(da.from_array(bad[:, 1:]))
        with pytest.raises(ValueError, match="W has 4 columns, but this model has 5"):
            model.inverse_transform(da.zeros((10, 4), dtype=bool))
        with pytest.raises(TypeError, match="mask must be a bool array"):
            model.score(da.from_array(bad), mask=da.ones(bad.shape, dtype=np.uint8))
        with pytest.raises(ValueError, match="mask must have the shape of X"):
            model.transform(da.from_array(bad), mask=np.ones((400, 69), dtype=bool))

    def test_data_frame_names_are_checked(self, clean):
        pd = pytest.importorskip("pandas")
        dd = pytest.importorskip("dask.dataframe")
        rng = np.random.default_rng(5)
        frame = pd.DataFrame(make_planted(200, 6, 2, noise=0.04, random_state=rng).astype(np.uint8),
                             columns=list("abcdef"))
        model = BooleanMF(n_components=2, random_state=0).fit(frame)
        lazy = dd.from_pandas(frame, npartitions=3)
        with clean.as_current():
            assert np.array_equal(model.transform(lazy).compute(), model.transform(frame))
            with pytest.raises(ValueError, match="feature names should match"):
                model.transform(lazy.rename(columns={"a": "z"}))


class TestFaults:
    @pytest.mark.parametrize("as_dask", [False, True])
    def test_killed_worker_is_recomputed(self, client, as_dask):
        rng = np.random.default_rng(12)
        x = make_planted(2000, 300, 6, noise=0.1, random_state=rng)
        params = dict(ONE, n_components=6, method="zeta", max_iter=8, random_state=3)
        ref = BooleanMF(**params)
        w_ref = ref.fit_transform(x)
        assert ref.n_iter_ >= 3
        before = client.run(os.getpid)
        victim = sorted(before.values())[0]

        def kill(iteration, error):
            if iteration == 1:
                os.kill(victim, signal.SIGKILL)

        model = BooleanMF(backend="dask", callback=kill, **params)
        source = da.from_array(x, chunks=(300, 300)) if as_dask else x
        w = model.fit_transform(source, client=client)
        assert_same_fit(ref, w_ref, model, w)
        client.wait_for_workers(2, timeout=60)
        assert victim not in client.run(os.getpid).values()
        assert cluster_tasks(client) == (0, 0)

    def test_interrupt_stops_the_tasks(self, clean):
        x = np.random.default_rng(0).random((4000, 300)) < 0.3
        timer = threading.Timer(0.3, _thread.interrupt_main)

        def first_iteration(iteration, error):
            if iteration == 1:
                timer.start()  # in the middle of the second iteration

        # "naive" at rank 10: half-steps of a second, native calls of milliseconds.
        model = BooleanMF(n_components=10, method="naive", max_iter=50, random_state=0,
                          backend="dask", callback=first_iteration, **ONE)
        try:
            with pytest.raises(KeyboardInterrupt):
                model.fit(x, client=clean)
        finally:
            timer.cancel()
        assert not hasattr(model, "components_")


OWN_CLUSTER = textwrap.dedent("""
    import signal, threading, time, psutil
    import numpy as np
    from quorbmf import BooleanMF

    if __name__ == "__main__":
        x = np.random.default_rng(0).random((3000, 200)) < 0.3
        def interrupt(iteration, error):
            if iteration == 1:
                threading.Timer(0.3, signal.raise_signal, (signal.SIGINT,)).start()
        model = BooleanMF(n_components=10, method="naive", max_iter=50, random_state=0,
                          backend="dask", callback=interrupt, init="random-columns", n_init=1)
        try:
            model.fit(x)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        print("fitted", hasattr(model, "components_"))
        # Python's own resource tracker outlives the cluster by design.
        left = [p for p in psutil.Process().children(recursive=True)
                if "resource_tracker" not in " ".join(p.cmdline())]
        print("children", len(left))
""")


def test_interrupt_closes_the_cluster_it_started(tmp_path):
    script = tmp_path / "own_cluster.py"
    script.write_text(OWN_CLUSTER)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=300)
    assert out.stdout.split("\n")[:3] == ["interrupted", "fitted False", "children 0"], out.stderr


@pytest.fixture
def lone_scheduler(tmp_path):
    """A scheduler and one worker in processes of their own, to be killed."""
    info = tmp_path / "scheduler.json"
    bin_dir = os.path.dirname(sys.executable)
    scheduler = subprocess.Popen(
        [os.path.join(bin_dir, "dask"), "scheduler", "--host", "127.0.0.1", "--port", "0",
         "--no-dashboard", "--scheduler-file", str(info)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    worker = None
    try:
        client = distributed.Client(scheduler_file=str(info), timeout="60s")
        worker = subprocess.Popen(
            [os.path.join(bin_dir, "dask"), "worker", client.scheduler.address, "--nthreads",
             "1", "--no-nanny", "--no-dashboard", "--death-timeout", "10"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        client.wait_for_workers(1, timeout=60)
        yield client, scheduler
    finally:
        for proc in (scheduler, worker):
            if proc is not None:
                proc.kill()
                proc.wait()
        client.close(timeout=5)


def test_a_gone_scheduler_is_told_from_a_hung_one():
    # A hung scheduler's port still accepts connections; a killed one's refuses.
    import socket

    with socket.socket() as listening:
        listening.bind(("127.0.0.1", 0))
        listening.listen()
        port = listening.getsockname()[1]
        assert qdask._accepts_connections(f"tcp://127.0.0.1:{port}")
    assert not qdask._accepts_connections(f"tcp://127.0.0.1:{port}")
    assert qdask._accepts_connections("inproc://somewhere/1/2")


@pytest.mark.parametrize("how, words", [(signal.SIGKILL, "lost the connection"),
                                         (signal.SIGSTOP, "did not answer within 2 s")])
def test_lost_scheduler_is_an_error(lone_scheduler, monkeypatch, how, words):
    client, scheduler = lone_scheduler
    monkeypatch.setattr(qdask, "_SCHEDULER_TIMEOUT", 2.0)
    # No probe before the scheduler is stopped: on a busy machine a healthy
    # scheduler may take longer than this short timeout to answer.
    monkeypatch.setattr(qdask, "_PROBE_EVERY", 1e9)
    x = np.random.default_rng(0).random((3000, 200)) < 0.3

    def stop(iteration, error):
        if iteration == 1:
            qdask._PROBE_EVERY = 0.2
            threading.Timer(0.2, scheduler.send_signal, (how,)).start()

    model = BooleanMF(n_components=10, method="naive", max_iter=50, random_state=0,
                      backend="dask", callback=stop, **ONE)
    if UNDER_SANITIZER and how == signal.SIGKILL:
        # So slowed, the probe's timeout may fire before the lost connection is seen.
        words = f"{words}|did not answer within 2 s"
    with pytest.raises(RuntimeError, match=words):
        model.fit(x, client=client)
    assert not hasattr(model, "components_")
