"""Several Python threads on shared solvers and matrices: results equal to
single-threaded ones, readers never see a torn matrix, writers are refused
while a solver reads, and a matrix held for writing is refused to solvers."""
import operator
import threading
import time

import numpy as np
import pytest

from QuorBMF import BitMatrix, BoolLs, ao_bmf, boolls
from quorbmf.datasets import make_planted

METHODS = ("naive", "zeta", "greedy", "greedy-ls")


def run_threads(targets, timeout=20):
    """Starts one thread per target at once (behind a barrier), joins them
    and re-raises the first exception a thread raised."""
    barrier = threading.Barrier(len(targets))
    errors = []

    def wrap(target):
        def body():
            barrier.wait()
            try:
                target()
            except BaseException as e:  # noqa: B036 - reported to the main thread
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if errors:
        raise errors[0]


def test_one_solver_shared_by_many_threads():
    rng = np.random.default_rng(1)
    w = BitMatrix.from_numpy(rng.random((150, 15)) < 0.25)
    solver = BoolLs(w)
    xs = [rng.random(150) < 0.4 for _ in range(6)]
    x_all = BitMatrix.from_numpy(np.stack(xs, axis=1))
    jobs = [(k, method, seed) for k in range(len(xs)) for method in METHODS
            for seed in (0, 5, 2**64 - 1)]
    expected = {job: solver.solve(xs[job[0]], job[1], job[2]) for job in jobs}
    expected_all = {(m, s): solver.solve_all(x_all, m, s) for m in METHODS for s in (0, 5)}
    results = [dict() for _ in range(4)]

    def worker(n):
        def body():
            order = jobs[n::2] + jobs[: n : 2]  # different orders per thread
            for _ in range(2):
                for job in order:
                    results[n][job] = solver.solve(xs[job[0]], job[1], job[2])
                for key, (h, total) in expected_all.items():
                    got = solver.solve_all(x_all, *key)
                    assert got[0] == h and got[1] == total, key
        return body

    run_threads([worker(n) for n in range(4)])
    for n in range(4):
        assert all(results[n][job] == expected[job] for job in results[n]) and results[n]
    assert x_all == BitMatrix.from_numpy(np.stack(xs, axis=1))


def test_one_high_rank_solver_shared_by_many_threads():
    # Ranks above 18 solve block by block, with scratch space per call.
    rng = np.random.default_rng(7)
    solver = BoolLs(BitMatrix.from_numpy(rng.random((200, 20)) < 0.15))
    xs = [rng.random(200) < density for density in (0.02, 0.1, 0.5, 0.9)]
    x_all = BitMatrix.from_numpy(np.stack(xs, axis=1))
    expected = [solver.solve(x, method, 9) for x in xs for method in ("zeta", "greedy-ls")]
    expected_all = solver.solve_all(x_all, "zeta")
    seen = [[] for _ in range(4)]

    def worker(n):
        def body():
            for _ in range(3):
                seen[n].append([solver.solve(x, method, 9)
                                for x in xs for method in ("zeta", "greedy-ls")])
                assert solver.solve_all(x_all, "zeta") == expected_all
        return body

    run_threads([worker(n) for n in range(4)])
    assert seen == [[expected] * 3] * 4


def test_one_shot_solves_on_a_shared_factor():
    rng = np.random.default_rng(2)
    w = BitMatrix.from_numpy(rng.random((300, 14)) < 0.2)
    before = w.copy()
    xs = [rng.random(300) < 0.5 for _ in range(4)]
    expected = [boolls(w, x, "zeta") for x in xs]
    seen = [[] for _ in range(3)]
    run_threads([lambda k=k: seen[k].extend(boolls(w, x, "zeta") for x in xs for _ in range(3))
                 for k in range(3)])
    assert all(s == [e for e in expected for _ in range(3)] for s in seen)
    assert w == before


def planted(seed, m, n, r):
    return BitMatrix.from_numpy(make_planted(m, n, r, noise=0.03, random_state=seed))


def test_factorisations_readers_and_writers_on_one_matrix():
    x = planted(3, 600, 400, 6)
    original, cells = x.copy(), x.to_list()
    runs = [("zeta", 14, 0), ("naive", 9, 7), ("greedy-ls", 16, 3)]
    expected = {run: ao_bmf(x, run[1], run[0], 4, run[2]) for run in runs}
    hash_x, ones_x = hash(original), original.count_ones()
    subset, superset = original & planted(4, 600, 400, 6), original | planted(5, 600, 400, 6)
    zeros = BitMatrix(600, 400)
    solving = threading.Event()
    finished = []
    stats = {"refused": 0, "written": 0, "fallbacks": 0, "in place": 0, "reads": 0}
    refusals = set()

    def factorise(run):
        def body():
            solving.set()
            for _ in range(2):
                res = ao_bmf(x, run[1], run[0], 4, run[2])
                want = expected[run]
                assert ((res.w, res.h, res.error, res.iterations)
                        == (want.w, want.h, want.error, want.iterations))
            finished.append(run)
        return body

    def busy():
        return len(finished) < len(runs)

    def reader():
        solving.wait()
        while busy():
            assert hash(x) == hash_x and x.count_ones() == ones_x
            assert x.hamming(original) == 0 and x == original
            assert x.row_count_ones(7) == sum(cells[7])
            stats["reads"] += 1
        assert x.to_list() == cells

    def cell_writer():
        solving.wait()
        k = 0
        while busy():
            i, j = k % 600, (k * 7) % 400
            k += 1
            try:
                x[i, j] = bool(cells[i][j])  # the value it already holds
                stats["written"] += 1
            except RuntimeError as e:
                refusals.add(str(e))
                stats["refused"] += 1

    def inplace_writer():
        # Each operand leaves x's cells as they are, so an in-place success
        # between two solver calls is harmless; during a call the operator
        # must decline and hand back a new matrix.
        solving.wait()
        while busy():
            for operand, op in ((subset, operator.ior), (superset, operator.iand),
                                (zeros, operator.ixor)):
                target = op(x, operand)  # `x |= operand` with a local name
                if target is x:
                    stats["in place"] += 1
                else:
                    stats["fallbacks"] += 1
                    assert target == original
            time.sleep(0)

    run_threads([factorise(run) for run in runs] + [reader, reader, cell_writer, inplace_writer])
    assert sorted(finished) == sorted(runs)
    assert x == original and x.to_list() == cells and hash(x) == hash_x
    assert stats["refused"] > 0 and refusals == {"Already borrowed"}
    assert stats["fallbacks"] > 0 and stats["reads"] > 0
    x[0, 0] = not cells[0][0]  # free again once every call returned
    assert x != original


def test_results_are_shared_read_only():
    x = planted(6, 120, 90, 4)
    res = ao_bmf(x, 4, "zeta", 10, 1)
    w, h, rebuilt = res.w, res.h, res.reconstruct()
    seen = []

    def reader():
        for _ in range(200):
            mine = res.w
            mine |= ~mine  # private copy: free to change
            assert res.w == w and res.h == h and res.reconstruct() == rebuilt
            assert res.error == rebuilt.hamming(x)
        seen.append(True)

    run_threads([reader] * 4)
    assert seen == [True] * 4 and res.w == w


@pytest.mark.parametrize("attempt, expected", [
    (lambda m: ao_bmf(m, 2), "Already mutably borrowed"),
    (lambda m: BoolLs(m), "Already mutably borrowed"),
    (lambda m: boolls(m, np.zeros(64, bool)), "Already mutably borrowed"),
    (lambda m: BoolLs(BitMatrix(64, 3)).solve_all(m), "Already mutably borrowed"),
    (lambda m: BitMatrix(64, 20).hamming(m), "Already mutably borrowed"),
    (lambda m: m.transpose(), "Already mutably borrowed"),
    (lambda m: m.to_numpy(), "Already mutably borrowed"),
    (lambda m: m.__setitem__((0, 0), False), "Already borrowed"),
    (lambda m: m.__ior__(BitMatrix(64, 20)), NotImplemented),
    (lambda m: m.__or__(BitMatrix(64, 20)), NotImplemented),
    (lambda m: m.__eq__(m), NotImplemented),
])
def test_a_matrix_held_for_writing_in_another_thread(attempt, expected):
    """While one thread is inside an item assignment (its index conversion
    waits on an event, lock released), the others are refused."""
    m = BitMatrix(64, 20)
    holding, release = threading.Event(), threading.Event()

    class Waiting:
        def __index__(self):
            holding.set()
            assert release.wait(10)
            return 3

    outcome = []

    def other():
        assert holding.wait(10)
        try:
            outcome.append(attempt(m))
        except RuntimeError as e:
            outcome.append(str(e))
        finally:
            release.set()

    thread = threading.Thread(target=other)
    thread.start()
    m[Waiting(), 5] = True
    thread.join(10)
    assert outcome == [expected]
    assert m.count_ones() == 1 and m[3, 5]
