"""ao_bmf and BmfResult: argument checks and their order, the factorisation
against a plain Python model, the result object's contract, and running with
the interpreter lock released while x stays borrowed."""
import threading

import pytest

import QuorBMF
from QuorBMF import BitMatrix, BmfResult, ao_bmf
from quorbmf.datasets import make_planted
from test_boolls import METHODS, UNKNOWN, columns_of, lcg_draw, model_solve, run_long_with_counter

RANK_27 = "rang 27 trop grand : le tableau interne ferait 2^27 entrees"


def model_ao_bmf(rows, r, method, max_iter, seed):
    """The alternating factorisation on Python ints; returns (w, h, error,
    iterations) with w and h as lists of lists."""
    m, n = len(rows), len(rows[0])
    x_cols = columns_of(rows)
    x_rows = [sum(v << j for j, v in enumerate(row)) for row in rows]
    candidates = [j for j in range(n) if x_cols[j]]
    state, k = seed, len(candidates)
    for i in range(min(r, k)):
        state, v = lcg_draw(state)
        p = i + v % (k - i)
        candidates[i], candidates[p] = candidates[p], candidates[i]
    w_cols = [x_cols[candidates[j]] if j < min(r, k) else 0 for j in range(r)]
    h_rows = [0] * r
    best = (w_cols, h_rows, sum(map(sum, rows)))
    completed = 0
    while True:
        h_words = [model_solve(w_cols, x_cols[j], method)[0] for j in range(n)]
        h_rows = [sum((h_words[j] >> c & 1) << j for j in range(n)) for c in range(r)]
        solved = [model_solve(h_rows, x_rows[i], method) for i in range(m)]
        w_cols = [sum((s[0] >> c & 1) << i for i, s in enumerate(solved)) for c in range(r)]
        total = sum(s[1] for s in solved)
        if total >= best[2]:
            iterations = completed + 1
            break
        best, completed = (w_cols, h_rows, total), completed + 1
        if completed == max_iter:
            iterations = completed
            break
    w_cols, h_rows, error = best
    w = [[w_cols[c] >> i & 1 for c in range(r)] for i in range(m)]
    h = [[h_rows[c] >> j & 1 for j in range(n)] for c in range(r)]
    return w, h, error, iterations


def planted(seed, m=40, n=30, r=3, noise=0.05):
    return BitMatrix.from_numpy(make_planted(m, n, r, noise=noise, random_state=seed))


# ---------------------------------------------------------------------------
# Arguments

X = BitMatrix.from_list([[1, 0, 1], [0, 1, 1]])


def test_function_surface():
    assert ao_bmf.__module__ == "QuorBMF" and ao_bmf.__doc__ is None
    assert ao_bmf.__text_signature__ == '(x, r, method="zeta", max_iter=50, seed=0)'
    assert QuorBMF.boolls.__text_signature__ == '(w, x, method="zeta", seed=0)'


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "ao_bmf() missing 2 required positional arguments: 'x' and 'r'"),
        ((X,), {}, TypeError, "ao_bmf() missing 1 required positional argument: 'r'"),
        ((X, 1, "zeta", 5, 0, 1), {}, TypeError,
         "ao_bmf() takes from 2 to 5 positional arguments but 6 were given"),
        ((X, 1), {"x": X}, TypeError, "ao_bmf() got multiple values for argument 'x'"),
        ((X, 1), {"rank": 2}, TypeError, "ao_bmf() got an unexpected keyword argument 'rank'"),
        (([[1, 0]], 1), {}, TypeError,
         "argument 'x': 'list' object cannot be converted to 'BitMatrix'"),
        ((X, 2.0), {}, TypeError,
         "argument 'r': 'float' object cannot be interpreted as an integer"),
        ((X, 1, 3), {}, TypeError,
         "argument 'method': 'int' object cannot be converted to 'PyString'"),
        ((X, 1), {"method": None}, TypeError,
         "argument 'method': 'NoneType' object cannot be converted to 'PyString'"),
        ((X, 1), {"max_iter": "3"}, TypeError,
         "argument 'max_iter': 'str' object cannot be interpreted as an integer"),
        ((X, 1), {"seed": None}, TypeError,
         "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
        ((X, -1), {}, OverflowError, None),
        ((X, 1), {"max_iter": -1}, OverflowError, None),
        ((X, 1), {"seed": -1}, OverflowError, None),
        ((X, 1), {"seed": 2**64}, OverflowError, None),
        # Conversions run in parameter order, then the checks: method, r = 0,
        # r > 26, max_iter = 0.
        (([1], 2.0, 3), {}, TypeError,
         "argument 'x': 'list' object cannot be converted to 'BitMatrix'"),
        ((X, 2.0, 3), {}, TypeError,
         "argument 'r': 'float' object cannot be interpreted as an integer"),
        ((X, 0, "greedy_ls", -1), {}, OverflowError, None),
        ((X, 0, "greedy_ls", 0), {}, ValueError, UNKNOWN),
        ((X, 0), {"max_iter": 0}, ValueError, "r doit valoir au moins 1"),
        ((X, 27), {"max_iter": 0}, ValueError, RANK_27),
        ((X, 2), {"max_iter": 0}, ValueError, "max_iter doit valoir au moins 1"),
        ((X, 2**63), {}, ValueError,
         f"rang {2**63} trop grand : le tableau interne ferait 2^{2**63} entrees"),
    ],
)
def test_argument_failures(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        ao_bmf(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_accepted_edge_arguments():
    assert ao_bmf(X, True).w.shape == (2, 1)
    assert ao_bmf(X, 1, seed=2**64 - 1).error <= X.count_ones()
    wide = ao_bmf(X, 26, "greedy", max_iter=2)
    assert (wide.w.shape, wide.h.shape) == ((2, 26), (26, 3))
    small = ao_bmf(BitMatrix.from_list([[1, 1], [0, 1]]), 5)
    assert (small.w.shape, small.h.shape) == ((2, 5), (5, 2))


# ---------------------------------------------------------------------------
# The factorisation


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("seed, r, max_iter",
                         [(0, 2, 50), (7, 3, 50), (2**64 - 1, 3, 2), (123, 1, 1)])
def test_matches_the_model(method, seed, r, max_iter):
    x = planted(seed % 1000, m=12, n=9, r=2, noise=0.1)
    res = ao_bmf(x, r, method, max_iter, seed)
    w, h, error, iterations = model_ao_bmf(x.to_list(), r, method, max_iter, seed)
    assert ((res.w.to_list(), res.h.to_list(), res.error, res.iterations)
            == (w, h, error, iterations))


def test_defaults():
    x = planted(59, m=12, n=10, r=3, noise=0.1)
    rows = x.to_list()
    expected = model_ao_bmf(rows, 3, "zeta", 50, 0)
    # The instance tells each default apart from another value.
    for other in [("greedy", 50, 0), ("zeta", 2, 0), ("zeta", 50, 1)]:
        assert model_ao_bmf(rows, 3, *other) != expected
    res = ao_bmf(x, 3)
    assert (res.w.to_list(), res.h.to_list(), res.error, res.iterations) == expected


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("shape, r", [((40, 30), 3), ((1, 1), 1), ((70, 130), 5), ((65, 2), 4)])
def test_result_contract(method, shape, r):
    x = planted(shape[0] + r, *shape, r=min(r, 3))
    res = ao_bmf(x, r, method, max_iter=20, seed=4)
    assert res.w.shape == (shape[0], r) and res.h.shape == (r, shape[1])
    rebuilt = res.reconstruct()
    assert rebuilt == res.w @ res.h
    assert rebuilt.hamming(x) == res.error <= x.count_ones()
    assert 1 <= res.iterations <= 20
    assert repr(res) == str(res) == (
        f"<BmfResult error={res.error} iterations={res.iterations} rank={r}>")
    again = ao_bmf(x, r, method, max_iter=20, seed=4)
    assert ((again.w, again.h, again.error, again.iterations)
            == (res.w, res.h, res.error, res.iterations))


def test_all_zero_input():
    res = ao_bmf(BitMatrix(3, 4), 2)
    assert (res.error, res.iterations, res.w.count_ones(), res.h.count_ones()) == (0, 1, 0, 0)


# ---------------------------------------------------------------------------
# The result object


def test_result_is_read_only_and_has_no_constructor():
    res = ao_bmf(X, 2)
    assert BmfResult.__module__ == "QuorBMF" and BmfResult.__doc__ is None
    assert type(res) is BmfResult
    assert BmfResult.reconstruct.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        BmfResult()
    with pytest.raises(TypeError):
        type("Sub", (BmfResult,), {})
    for name in ("w", "h", "error", "iterations", "extra"):
        with pytest.raises(AttributeError):
            setattr(res, name, 0)
    with pytest.raises(TypeError) as info:
        res.reconstruct(1)
    assert str(info.value) == "BmfResult.reconstruct() takes 0 positional arguments but 1 was given"
    assert res == res and res != ao_bmf(X, 2)


def test_factors_are_fresh_independent_copies():
    res = ao_bmf(planted(1), 3)
    w, h, rebuilt = res.w, res.h, res.reconstruct()
    assert res.w is not res.w and res.w == w
    w ^= w
    h |= ~h
    assert res.w != w and res.h != h
    assert res.reconstruct() == rebuilt == res.w @ res.h


# ---------------------------------------------------------------------------
# The interpreter lock and the use flag


def big_input():
    return planted(21, m=1000, n=600, r=6, noise=0.03)


def test_ao_bmf_releases_the_lock():
    x = big_input()
    res, middle, duration = run_long_with_counter(
        [lambda: ao_bmf(x, 14, max_iter=6)]
        + [lambda r=r: ao_bmf(x, r, "naive", max_iter=6) for r in (10, 12, 14, 16)])
    assert duration > 0.1 and len(middle) > 5
    assert res.iterations >= 1


def test_x_stays_borrowed_and_the_result_is_unaffected():
    x = big_input()
    expected = ao_bmf(x, 14, max_iter=6)
    outcome, refusals = [], []
    thread = threading.Thread(target=lambda: outcome.append(ao_bmf(x, 14, max_iter=6)))
    thread.start()
    while thread.is_alive():
        try:
            x[3, 4] = x[3, 4]
        except RuntimeError as e:
            refusals.append(str(e))
    thread.join()
    assert refusals and set(refusals) == {"Already borrowed"}
    res = outcome[0]
    assert (res.w, res.h, res.error, res.iterations) == (expected.w, expected.h, expected.error,
                                                         expected.iterations)
    x[3, 4] = not x[3, 4]  # free again once the call has returned
