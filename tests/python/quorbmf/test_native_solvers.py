"""quorbmf._native solvers beyond the table: masked half-steps against a
brute force over every combination, "exact" against "zeta" and above rank
26, the heuristics at any rank, block refits, the classic covers, and the
checks at the door."""
import os
import re
import subprocess
import sys
import sysconfig
import threading

import numpy as np
import pytest

import QuorBMF
import quorbmf
from QuorBMF import BitMatrix
from quorbmf import _native


def pack(cells):
    cells = np.asarray(cells, dtype=bool)
    padded = np.zeros((cells.shape[0], -(-cells.shape[1] // 64) * 64), dtype=bool)
    padded[:, :cells.shape[1]] = cells
    return np.packbits(padded, axis=1, bitorder="little").view("<u8").copy()


def unpack(words, cols):
    return np.unpackbits(words.view(np.uint8), axis=1, bitorder="little")[:, :cols].astype(bool)


def out_for(rows, r):
    return np.zeros((rows, -(-r // 64)), np.uint64)


def row_errors(w, x, combos, mask=True):
    """Per vector, the (observed) cells where x and W∘h differ, in NumPy."""
    rebuilt = (unpack(combos, w.shape[1]).astype(np.float32) @ w.T.astype(np.float32)) > 0
    return ((rebuilt != x) & mask).sum(axis=1)


def brute_force(w, x, mask):
    """The lowest optimal combination of every row under its mask, and its error."""
    r = w.shape[1]
    selected = ((np.arange(2**r)[:, None] >> np.arange(r)) & 1).astype(np.float32)
    rebuilt = (selected @ w.T.astype(np.float32)) > 0
    errors = ((rebuilt[None] != x[:, None]) & mask[:, None]).sum(axis=2)
    best = errors.argmin(axis=1)  # the first minimum is the lowest combination
    return best, errors[np.arange(len(x)), best]


def data(rng, m, r, n, distinct=None):
    """A factor with a duplicated and an empty column (ties), or with only
    `distinct` row patterns, and vectors with repeats."""
    if distinct is None:
        w = rng.random((m, r)) < min(0.25, 4 / r)
        if r >= 3:
            w[:, 1], w[:, 2] = w[:, 0], False
    else:
        w = (rng.random((distinct, r)) < 0.2)[rng.integers(0, distinct, m)]
    x = rng.random((n, m)) < 0.35
    x[n // 2:] = x[: n - n // 2]
    return w, x


def step(solver, x, method, seed=3, mask=None):
    block = _native.VectorBlock(pack(x), x.shape[1], mask=None if mask is None else pack(mask))
    out = out_for(len(x), solver.r)
    return (out, *solver.half_step_counted(block, method, seed, out))


@pytest.mark.parametrize("m, r", [(1, 1), (63, 6), (64, 8), (65, 5), (130, 7)])
@pytest.mark.parametrize("method", ["naive", "zeta", "exact", "greedy", "greedy-ls"])
def test_masked_half_steps_against_the_brute_force(m, r, method):
    rng = np.random.default_rng(m * 31 + r)
    w, x = data(rng, m, r, 40)
    mask = rng.random((40, m)) < 0.6
    mask[3], mask[5], mask[7, : m // 2] = False, True, False
    x[9], mask[9] = x[3], mask[3]
    out, error, fallbacks = step(_native.Solver(pack(w), r), x, method, mask=mask)
    best, best_errors = brute_force(w, x, mask)
    per_row = row_errors(w, x, out, mask)
    assert error == per_row.sum() and fallbacks == 0 and out[3, 0] == 0
    if method in ("naive", "zeta", "exact"):
        assert out[:, 0].tolist() == best.tolist() and per_row.tolist() == best_errors.tolist()
    assert (per_row >= best_errors).all()


@pytest.mark.parametrize("method", ["naive", "zeta", "greedy", "greedy-ls", "exact"])
def test_an_all_ones_mask_gives_the_unmasked_result(method):
    rng = np.random.default_rng(5)
    w, x = data(rng, 129, 8, 60)
    solver = _native.Solver(pack(w), 8)
    masked, plain = step(solver, x, method, mask=np.ones_like(x)), step(solver, x, method)
    np.testing.assert_array_equal(masked[0], plain[0])
    assert masked[1:] == plain[1:]
    assert _native.VectorBlock(pack(x), 129,
                               mask=pack(x)).masked and not _native.VectorBlock(pack(x), 129).masked


@pytest.mark.parametrize("r", [1, 5, 12, 16, 20])
@pytest.mark.parametrize("distinct", [None, 12])
def test_exact_equals_zeta_bit_for_bit(r, distinct):
    w, x = data(np.random.default_rng(r), 300, r, 80, distinct)
    solver = _native.Solver(pack(w), r)
    exact, zeta = step(solver, x, "exact"), step(solver, x, "zeta")
    np.testing.assert_array_equal(exact[0], zeta[0])
    assert exact[1:] == zeta[1:] and exact[2] == 0


def test_exact_from_threads_on_a_fresh_solver_equals_zeta():
    w, x = data(np.random.default_rng(17), 400, 18, 256, 20)
    expected, total, _ = step(_native.Solver(pack(w), 18), x, "zeta")
    solver, words, out, errors = _native.Solver(pack(w), 18), pack(x), out_for(256, 18), {}

    def solve(b):  # the first calls build the table together
        errors[b] = solver.half_step(_native.VectorBlock(words[b:b + 32], 400), "exact", 0,
                                     out[b:b + 32])

    threads = [threading.Thread(target=solve, args=(b,)) for b in range(0, 256, 32)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    np.testing.assert_array_equal(out, expected)
    assert sum(errors.values()) == total


@pytest.mark.parametrize("copies, r", [(3, 30), (6, 64)])
def test_exact_above_the_table_finds_the_lowest_optimum(copies, r):
    # The later columns repeat the first r0: the lowest optimum uses the first
    # copies only, so it is the table's answer at rank r0.
    r0 = r // copies
    w0, x = data(np.random.default_rng(r), 200, r0, 60, 15)
    w = np.concatenate([w0] * copies + [np.zeros((200, r - r0 * copies), bool)], axis=1)
    out, error, fallbacks = step(_native.Solver(pack(w), r), x, "exact")
    expected, expected_error, _ = step(_native.Solver(pack(w0), r0), x, "zeta")
    np.testing.assert_array_equal(out, expected)
    assert (error, fallbacks) == (expected_error, 0)


def test_exact_falls_back_per_row_never_worse_than_greedy_ls():
    rng = np.random.default_rng(2)
    w = rng.random((200, 64)) < 0.1  # dense random: the search runs out
    _, x = data(rng, 200, 64, 24)
    solver = _native.Solver(pack(w), 64)
    out, error, fallbacks = step(solver, x, "exact", seed=5)
    per_row = row_errors(w, x, out)
    assert (error == per_row.sum()
            and (per_row <= row_errors(w, x, step(solver, x, "greedy-ls", seed=5)[0])).all())
    # Rows are counted, not classes: the second half repeats the first.
    assert fallbacks > 0 and fallbacks == 2 * step(solver, x[:12], "exact", seed=5)[2]


@pytest.mark.parametrize("m, r",
                         [(63, 1), (65, 9), (129, 26), (64, 27), (100, 64), (70, 65), (90, 300),
                          (30, 1024)])
@pytest.mark.parametrize("method", ["greedy", "greedy-ls"])
def test_heuristics_at_every_rank(m, r, method):
    w, x = data(np.random.default_rng(m + r), m, r, 12)
    seed = 2**64 - 7
    out, error, fallbacks = step(_native.Solver(pack(w), r), x, method, seed=seed)
    per_row = row_errors(w, x, out)
    assert (error, fallbacks) == (per_row.sum(), 0)
    assert (per_row <= row_errors(w, x, step(_native.Solver(pack(w), r), x, "greedy")[0])).all()
    if r <= 26:  # the table solver gives the same
        h, total = QuorBMF.BoolLs(BitMatrix.from_numpy(w)).solve_all(
            BitMatrix.from_numpy(x.T), method, seed)
        np.testing.assert_array_equal(out, pack(h.to_numpy().T))
        assert total == error


def test_wide_greedy_equals_the_table_on_a_padded_factor():
    w, x = data(np.random.default_rng(4), 120, 10, 40)
    padded = np.concatenate([w, np.zeros((120, 20), bool)], axis=1)
    table, wide = (step(_native.Solver(pack(w), 10), x, "greedy"),
                   step(_native.Solver(pack(padded), 30), x, "greedy"))
    np.testing.assert_array_equal(wide[0], table[0])
    assert wide[1] == table[1]


def model_refit(w, x, h, width, mask=True):
    """Each group of columns in turn set, row by row, to its lowest best
    combination with the other columns fixed (counting the cells under
    `mask`), by trying them all."""
    h = h.copy()
    for begin in range(0, w.shape[1], width):
        group = np.arange(begin, min(w.shape[1], begin + width))
        best, best_errors = h[:, group].copy(), np.full(len(x), np.inf)
        for g in range(2 ** len(group)):
            h[:, group] = (g >> np.arange(len(group))) & 1
            errors = ((((h.astype(np.float32) @ w.T.astype(np.float32)) > 0) != x)
                      & mask).sum(axis=1)
            better = errors < best_errors
            best[better], best_errors[better] = h[better][:, group], errors[better]
        h[:, group] = best
    return h


@pytest.mark.parametrize("m, r, width", [(63, 5, 1), (65, 30, 7), (130, 70, 24), (64, 129, 3)])
def test_refit_blocks_never_raises_a_row_error(m, r, width):
    rng = np.random.default_rng(m * r + width)
    w, x = data(rng, m, r, 50)
    start = rng.random((50, r)) < 0.2
    out = pack(start)
    before = row_errors(w, x, out)
    total = _native.Solver(pack(w), r).refit_blocks(_native.VectorBlock(pack(x), m), width, out)
    after = row_errors(w, x, out)
    assert (after <= before).all() and total == after.sum() < before.sum()
    if width <= 7:
        np.testing.assert_array_equal(out, pack(model_refit(w, x, start, width)))


@pytest.mark.parametrize("m, r, width", [(63, 5, 2), (65, 26, 7)])
def test_a_masked_refit_counts_the_observed_cells(m, r, width):
    rng = np.random.default_rng(m + r)
    w, x = data(rng, m, r, 40)
    mask = rng.random(x.shape) < 0.7
    mask[3] = False
    start = rng.random((40, r)) < 0.2
    out = pack(start)
    before = row_errors(w, x, out, mask)
    block = _native.VectorBlock(pack(x), m, mask=pack(mask))
    total = _native.Solver(pack(w), r).refit_blocks(block, width, out)
    after = row_errors(w, x, out, mask)
    assert (after <= before).all() and total == after.sum() and after[3] == 0
    np.testing.assert_array_equal(out, pack(model_refit(w, x, start, width, mask)))
    # Every cell observed: the unmasked refit, bit for bit.
    plain, masked = pack(start), pack(start)
    solver = _native.Solver(pack(w), r)
    full = _native.VectorBlock(pack(x), m, mask=pack(np.ones_like(mask)))
    assert (solver.refit_blocks(full, width, masked)
            == solver.refit_blocks(_native.VectorBlock(pack(x), m), width, plain))
    np.testing.assert_array_equal(masked, plain)


@pytest.mark.parametrize("r", [1, 4, 12])
def test_a_refit_over_every_column_is_the_exact_optimum(r):
    rng = np.random.default_rng(r + 40)
    w, x = data(rng, 100, r, 60)
    solver, out = _native.Solver(pack(w), r), pack(rng.random((60, r)) < 0.5)
    total = solver.refit_blocks(_native.VectorBlock(pack(x), 100), r, out)
    zeta, zeta_error, _ = step(solver, x, "zeta")
    np.testing.assert_array_equal(out, zeta)
    assert total == zeta_error


def check_cover(result, x, k):
    """The shapes, the empty factors beyond the errors, and the errors of
    every prefix of the factors recomputed in NumPy; returns W and H."""
    (m, n), (w_words, h_words, errors) = x.shape, result
    assert w_words.shape == (m, -(-k // 64)) and h_words.shape == (k, -(-n // 64))
    w, h, found = (unpack(w_words, k).astype(np.float32), unpack(h_words, n).astype(np.float32),
                   len(errors))
    assert errors == [int((((w[:, :p] @ h[:p]) > 0) != x).sum()) for p in range(1, found + 1)]
    assert (found <= k and (found > 0 or not x.any()) and not w[:, found:].any()
            and not h[found:].any())
    return (w @ h) > 0


@pytest.mark.parametrize("m, n, k",
                         [(1, 1, 1), (63, 65, 5), (64, 129, 12), (129, 64, 70), (70, 3, 2)])
@pytest.mark.parametrize("params",
                         [None, {}, {"tau": 0.8}, {"tau": 0.3, "w_plus": 2, "w_minus": 0.5}])
def test_cover_error_curves(m, n, k, params):
    rng = np.random.default_rng(m + n + k)
    _, x = data(rng, n, 6, m, 8)
    x &= rng.random((m, n)) < (0 if n == 3 else 0.9)  # 70 x 3: no ones at all
    if params is None:  # GreConD covers from below
        assert not (check_cover(_native.grecond(pack(x), n, k), x, k) & ~x).any()
    else:
        check_cover(_native.asso(pack(x), n, k, **params), x, k)


@pytest.mark.parametrize("k, expected", [(5, 109036), (10, 81378), (20, 54078)])
def test_grecond_on_mushroom(k, expected):
    x = np.asarray(quorbmf.load_mushroom().data, dtype=bool)
    result = _native.grecond(pack(x), 118, k)
    check_cover(result, x, k)
    assert x.shape == (8124, 118) and len(result[2]) == k and result[2][-1] == expected


F3, F30, F65, B = (pack(np.eye(6, 3, dtype=bool)), pack(np.eye(6, 30, dtype=bool)),
                   pack(np.eye(6, 65, dtype=bool)), pack(np.ones((4, 6), dtype=bool)))


def call(r, name, *args, mask=None, words=B, **kwargs):
    solver = _native.Solver({3: F3, 30: F30, 65: F65}[r], r)
    return getattr(solver, name)(_native.VectorBlock(words, 6, mask=mask), *args, **kwargs)


@pytest.mark.parametrize("bad, error, message", [
    (lambda: _native.VectorBlock(B, 6, mask=B[:3]), ValueError,
     "mask must have the 4 rows of words, not 3"),
    (lambda: _native.VectorBlock(B, 6, mask=pack(np.ones((4, 7)))), ValueError,
     "mask: row 0 has bits set beyond"),
    (lambda: _native.VectorBlock(B, 6, mask=[[1]]), TypeError,
     "mask must be a numpy.ndarray, not list"),
    (lambda: call(30, "half_step", "zeta", 0, out_for(4, 30), mask=B), ValueError,
     r"method 'zeta' needs a table of 2\^r counters and works up to rank 26; "
     r"at r = 30 use greedy, greedy-ls or exact$"),
    (lambda: call(3, "half_step", "zeta", 0, out_for(4, 3), costs=(0, 0)), ValueError,
     "costs: les deux couts sont nuls"),
    (lambda: call(3, "half_step", "zeta", 0, out_for(4, 3), costs=(1,)), TypeError,
     r"costs must be a tuple \(false_one, false_zero\) or None"),
    (lambda: call(3, "refit_blocks", 2, out_for(4, 3), costs=(None, None)), ValueError,
     "costs: les deux couts sont infinis"),
    (lambda: call(3, "half_step", "zeta", 0, out_for(4, 3), costs=(2**24 + 1, 1)), ValueError,
     "costs: les couts vont de 0 a 16777216"),
    (lambda: call(30, "half_step", "zeta", 0, out_for(4, 30)), ValueError,
     r"method 'zeta' needs a table of 2\^r counters and works up to rank 26; "
     r"at r = 30 use greedy, greedy-ls or exact$"),
    (lambda: call(65, "half_step", "naive", 0, out_for(4, 65)), ValueError,
     "method 'naive' .* use greedy or greedy-ls$"),
    (lambda: call(65, "half_step_counted", "exact", 0, out_for(4, 65)), ValueError,
     r"method 'exact' works up to rank 64 \(a combination of one word\); "
     r"at r = 65 use greedy or greedy-ls$"),
    (lambda: call(65, "half_step", "greedy", 0, out_for(4, 64)), ValueError,
     r"out must have ceil\(cols / 64\) = 2 words per row for 65 columns, not 1"),
    (lambda: call(3, "half_step", "exactly", 0, out_for(4, 3)), ValueError,
     "method must be one of naive, zeta, greedy, greedy-ls, exact, not 'exactly'"),
    (lambda: call(3, "refit_blocks", 0, out_for(4, 3)), ValueError,
     "width must be at least 1, got 0"),
    (lambda: call(3, "refit_blocks", 25, out_for(4, 3)), ValueError,
     r"width must be at most 24 \(a refit"),
    (lambda: call(3, "refit_blocks", 2, out_for(4, 3) + 8), ValueError,
     "out: row 0 has bits set beyond column 2"),
    (lambda: call(3, "refit_blocks", 2, out_for(3, 3)), ValueError, "out must have 4 rows, not 3"),
    (lambda: call(3, "refit_blocks", 2), TypeError,
     r"Solver.refit_blocks\(\) missing 1 required positional"),
    (lambda: _native.grecond(B, 6, 0), ValueError, "k must be at least 1, got 0"),
    (lambda: _native.grecond(B, 5, 1), ValueError, "x: row 0 has bits set beyond column 4"),
    (lambda: _native.asso(B, 6, 2, tau=float("nan")), ValueError,
     "tau must be between 0 and 1, not nan"),
    (lambda: _native.asso(B, 6, 2, tau="0.5"), TypeError,
     "argument 'tau': must be real number, not str"),
    (lambda: _native.asso(B, 6, 2, w_plus=float("inf")), ValueError,
     "w_plus must be a finite number at least 0, not inf"),
    (lambda: _native.asso(B, 6, 2, w_minus=-1), ValueError,
     "w_minus must be a finite number at least 0, not -1"),
])
def test_bad_arguments(bad, error, message):
    with pytest.raises(error, match="^" + message):
        bad()


def test_exact_is_spelled_as_the_other_names_and_refits_refuse_shared_words():
    for name in (" Exact\t", "EXACT", "\u3000exact"):
        assert call(3, "half_step", name, 0, out_for(4, 3)) == 12
    words = np.zeros((6, 1), np.uint64)
    with pytest.raises(ValueError, match="^out must not share memory with the block's words$"):
        _native.Solver(F3, 3).refit_blocks(_native.VectorBlock(words, 6), 2, words)


@pytest.mark.parametrize("masked", [False, True])
def test_rank_limit_opens_the_solvers_refusal(masked):
    # Beyond a limit the solver's message starts with rank_limit's clause;
    # within one the solver runs. At rank 26 every method is within.
    block = _native.VectorBlock(B, 6, mask=B if masked else None)
    for r in (27, 64, 65):
        solver = _native.Solver(pack(np.eye(6, r, dtype=bool)), r)
        for method in ("naive", "zeta", "greedy", "greedy-ls", " Exact"):
            limit = _native.rank_limit(method, r, masked=masked)
            if limit is None:
                assert solver.half_step(block, method, 0, out_for(4, r)) == 0  # W covers every row
            else:
                with pytest.raises(ValueError, match="^" + re.escape(limit) + "[,;] "):
                    solver.half_step(block, method, 0, out_for(4, r))
    assert all(_native.rank_limit(method, 26, masked) is None
               for method in ("naive", "zeta", "exact"))
    with pytest.raises(ValueError, match="^method must be one of naive, zeta, greedy, greedy-ls, "
                                         "exact, not 'exactly'$"):
        _native.rank_limit("exactly", 3)


def test_stub_agrees_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    root, env = os.path.dirname(os.path.dirname(_native.__file__)), dict(os.environ)
    if root not in {sysconfig.get_paths()["purelib"],
                    sysconfig.get_paths()["platlib"]}:  # a build tree
        env.update(MYPYPATH=root, PYTHONPATH=os.pathsep.join([root, env.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quorbmf._native",
                           "--mypy-config-file", os.devnull],
                          capture_output=True, text=True, cwd=tmp_path, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
