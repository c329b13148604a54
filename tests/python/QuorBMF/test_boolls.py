"""BoolLs and boolls: construction, the four solving methods against a plain
Python model, argument checks and their order, array layouts, and solving
with the interpreter lock released."""
import threading
import time

import numpy as np
import pytest

from QuorBMF import BitMatrix, BoolLs, boolls

METHODS = ["naive", "zeta", "greedy", "greedy-ls"]
UNKNOWN = "methode inconnue : 'greedy_ls'. Valeurs acceptees : naive, zeta, greedy, greedy-ls"

# ---------------------------------------------------------------------------
# A deliberately plain model of the solver: columns and vectors are Python
# ints whose bit i is row i.

MASK64 = 2**64 - 1


def lcg_draw(state):
    state = (state * 6364136223846793005 + 1442695040888963407) & MASK64
    return state, state >> 33


def model_solve(cols, x, method, seed=0):
    r = len(cols)

    def err(h):
        acc = 0
        for j in range(r):
            if h >> j & 1:
                acc |= cols[j]
        return bin(x ^ acc).count("1")

    if method in ("naive", "zeta"):
        e, h = min((err(h), h) for h in range(2**r))
        return h, e
    h, e = 0, bin(x).count("1")
    while True:
        stage = [(err(h | 1 << j), j) for j in range(r) if not h >> j & 1]
        if not stage or min(stage)[0] >= e:
            break
        e, j = min(stage)
        h |= 1 << j
    if method == "greedy":
        return h, e
    k = min(r, max(2, (r - 1).bit_length()))
    state = seed

    def search(h, e, depth):
        nonlocal state
        if depth == 0 or k < 2:
            return h, e
        for _ in range(depth):
            for u in range(2, k + 1):
                drawn = 0
                while bin(drawn).count("1") < u:
                    state, v = lcg_draw(state)
                    drawn |= 1 << (v % r)
                cand = h ^ drawn
                if err(cand) < e:
                    h, e = search(cand, err(cand), depth - 1)
        return h, e

    return search(h, e, r)


def columns_of(rows):
    """Column j of a list-of-lists matrix as an int, bit i = row i."""
    return [sum(row[j] << i for i, row in enumerate(rows)) for j in range(len(rows[0]))]


def as_int(bits):
    return sum(int(b) << i for i, b in enumerate(bits))


def random_rows(rng, m, n, p=0.4):
    return (rng.random((m, n)) < p).astype(int).tolist()


# ---------------------------------------------------------------------------
# The class


def test_class_surface():
    assert BoolLs.__module__ == "QuorBMF"
    assert BoolLs.__text_signature__ == "(w)" and BoolLs.__doc__ is None
    for name in ("solve", "solve_all"):
        method = getattr(BoolLs, name)
        assert method.__text_signature__ == '($self, x, method="zeta", seed=0)'
        assert method.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (BoolLs,), {})


def test_properties_and_repr():
    solver = BoolLs(BitMatrix(5, 3))
    assert (solver.m, solver.r) == (5, 3)
    assert repr(solver) == "<BoolLs m=5 r=3>"
    with pytest.raises(AttributeError):
        solver.m = 4


def test_rank_limit():
    assert BoolLs(BitMatrix(2, 26)).r == 26
    for cols in (27, 65):
        with pytest.raises(ValueError) as info:
            BoolLs(BitMatrix(2, cols))
        assert str(info.value) == (
            f"rang {cols} trop grand : le tableau interne ferait 2^{cols} entrees")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "BoolLs.__new__() missing 1 required positional argument: 'w'"),
        ((BitMatrix(1, 1), 1), {}, TypeError,
         "BoolLs.__new__() takes 1 positional arguments but 2 were given"),
        ((BitMatrix(1, 1),), {"w": 1}, TypeError,
         "BoolLs.__new__() got multiple values for argument 'w'"),
        ((), {"v": 1}, TypeError, "BoolLs.__new__() got an unexpected keyword argument 'v'"),
        (([[1]],), {}, TypeError, "argument 'w': 'list' object cannot be converted to 'BitMatrix'"),
    ],
)
def test_constructor_arguments(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        BoolLs(*args, **kwargs)
    assert str(info.value) == message


def test_solver_keeps_no_link_to_w():
    w = BitMatrix.from_list([[1, 0], [0, 1], [1, 1]])
    solver = BoolLs(w)
    x = np.array([True, False, True])
    before = solver.solve(x)
    w[0, 0] = False
    w[2, 0] = False
    assert solver.solve(x) == before == (1, 0)


# ---------------------------------------------------------------------------
# Solving


@pytest.mark.parametrize("method", METHODS)
def test_worked_examples(method):
    three = BoolLs(BitMatrix.from_list([[1, 0], [0, 1], [1, 1]]))
    assert three.solve(np.ones(3, bool), method) == (3, 0)
    assert three.solve(np.zeros(3, bool), method) == (0, 0)
    seven = BoolLs(BitMatrix.from_list([[1, 0], [1, 0], [0, 1], [0, 1], [1, 1], [1, 1], [1, 1]]))
    x = np.array([1, 1, 1, 1, 0, 0, 0], bool)
    for seed in (0, 1, 12345, 2**64 - 1):
        assert seven.solve(x, method, seed) == ((0, 4) if method == "greedy" else (3, 3))


@pytest.mark.parametrize("m, r", [(1, 1), (7, 2), (63, 4), (64, 5), (65, 3), (130, 6)])
def test_methods_match_the_model(m, r):
    rng = np.random.default_rng(m * 100 + r)
    for trial in range(4):
        rows = random_rows(rng, m, r)
        solver = BoolLs(BitMatrix.from_list(rows))
        x = rng.random(m) < 0.5
        for method in METHODS:
            for seed in (0, trial + 1, 2**64 - 1):
                assert solver.solve(x, method, seed) == model_solve(
                    columns_of(rows), as_int(x), method, seed)


def test_seed_reaches_the_local_search_unchanged():
    rng = np.random.default_rng(9)
    rows, x = random_rows(rng, 30, 8, 0.3), rng.random(30) < 0.5
    solver = BoolLs(BitMatrix.from_list(rows))
    seeds = (0, 2**32 - 1, 2**64 - 1)
    expected = [model_solve(columns_of(rows), as_int(x), "greedy-ls", seed) for seed in seeds]
    assert len(set(expected)) == 3  # the instance tells the three seeds apart
    assert [solver.solve(x, "greedy-ls", seed) for seed in seeds] == expected


def test_defaults():
    w = BitMatrix.from_list([[1, 0], [1, 0], [0, 1], [0, 1], [1, 1], [1, 1], [1, 1]])
    x = np.array([1, 1, 1, 1, 0, 0, 0], bool)
    assert BoolLs(w).solve(x) == boolls(w, x) == (3, 3)  # "greedy" would give (0, 4)
    rng = np.random.default_rng(9)
    rows, x = random_rows(rng, 30, 8, 0.3), rng.random(30) < 0.5
    w = BitMatrix.from_list(rows)
    expected = model_solve(columns_of(rows), as_int(x), "greedy-ls", 0)
    assert BoolLs(w).solve(x, "greedy-ls") == boolls(w, x, "greedy-ls") == expected
    h, _ = BoolLs(w).solve_all(BitMatrix.from_numpy(x[:, None]), "greedy-ls")
    assert as_int(h.to_numpy()[:, 0]) == expected[0]


def test_array_layouts_are_read_through_strides():
    rng = np.random.default_rng(7)
    rows = random_rows(rng, 70, 5)
    solver = BoolLs(BitMatrix.from_list(rows))
    base = rng.random((70, 3)) < 0.5
    long = rng.random(140) < 0.5

    class Sub(np.ndarray):
        pass

    record = np.zeros(70, dtype=[("a", "i4"), ("b", "?")])
    record["b"] = base[:, 2]
    views = [base[::-1, 0], base[:, 1], record["b"], long[::2], long[::-2], long[1::2].view(Sub)]
    for view in views:
        expected = model_solve(columns_of(rows), as_int(view.tolist()), "zeta")
        assert solver.solve(view) == expected
        assert solver.solve(np.ascontiguousarray(view)) == expected


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("n", [1, 64, 70])
def test_solve_all_matches_column_solves(method, n):
    rng = np.random.default_rng(n)
    w = BitMatrix.from_list(random_rows(rng, 40, 5))
    x = BitMatrix.from_numpy(rng.random((40, n)) < 0.3)
    solver = BoolLs(w)
    columns = x.to_numpy().T
    for seed in (0, 99, 2**64 - 1):
        h, total = solver.solve_all(x, method, seed)
        assert h.shape == (5, n)
        hs = h.to_numpy()
        singles = [solver.solve(columns[c], method, seed) for c in range(n)]
        assert [as_int(hs[:, c]) for c in range(n)] == [s[0] for s in singles]
        assert total == sum(s[1] for s in singles) == (w @ h).hamming(x)


def test_boolls_equals_a_solver_solve():
    rng = np.random.default_rng(3)
    w = BitMatrix.from_list(random_rows(rng, 50, 6))
    for method in METHODS:
        x = rng.random(50) < 0.5
        assert boolls(w, x, method, 5) == BoolLs(w).solve(x, method, 5)
        assert (boolls(x=x, w=w, seed=5, method=method)
                == BoolLs(w).solve(seed=5, x=x, method=method))


# ---------------------------------------------------------------------------
# Argument failures and their order

W5 = BitMatrix(5, 3)
X5 = np.zeros(5, bool)


def solve_five(*args, **kwargs):
    return BoolLs(W5).solve(*args, **kwargs)


def solve_all_five(*args, **kwargs):
    return BoolLs(W5).solve_all(*args, **kwargs)


def boolls_five(*args, **kwargs):
    return boolls(W5, *args, **kwargs)


ARRAY_CASES = [
    (([1, 0, 1, 0, 1],), {}, TypeError,
     "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((np.zeros(5, np.int64),), {}, TypeError,
     "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ((np.zeros((5, 1), bool),), {}, TypeError,
     "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ((np.zeros(6, bool),), {}, ValueError, "x a 6 elements, W a 5 lignes"),
    ((np.zeros(0, bool),), {}, ValueError, "x a 0 elements, W a 5 lignes"),
    ((np.zeros(6, bool), "greedy_ls"), {}, ValueError, UNKNOWN),
    ((X5, 1), {}, TypeError, "argument 'method': 'int' object cannot be converted to 'PyString'"),
    ((X5, None), {}, TypeError,
     "argument 'method': 'NoneType' object cannot be converted to 'PyString'"),
    ((X5, "zeta", None), {}, TypeError,
     "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
    ((X5, "zeta", 1.0), {}, TypeError,
     "argument 'seed': 'float' object cannot be interpreted as an integer"),
    (([1], 1, -1), {}, TypeError,
     "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((X5, 1, -1), {}, TypeError,
     "argument 'method': 'int' object cannot be converted to 'PyString'"),
    ((X5, "nope", -1), {}, OverflowError, None),
    ((X5, "zeta", 2**64), {}, OverflowError, None),
    ((X5,), {"seed": 1, "y": 1}, TypeError, "{} got an unexpected keyword argument 'y'"),
    ((X5,), {"x": X5}, TypeError, "{} got multiple values for argument 'x'"),
]


@pytest.mark.parametrize("call, name", [(solve_five, "BoolLs.solve()"), (boolls_five, "boolls()")])
@pytest.mark.parametrize("args, kwargs, exc, message", ARRAY_CASES)
def test_vector_argument_failures(call, name, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        call(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message.format(name)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((X5,), TypeError, "argument 'x': 'ndarray' object cannot be converted to 'BitMatrix'"),
        ((BitMatrix(4, 2),), ValueError, "X a 4 lignes, W en a 5"),
        ((BitMatrix(4, 2), " Zeta\t"), ValueError, "X a 4 lignes, W en a 5"),
        ((BitMatrix(4, 2), "greedy_ls"), ValueError, UNKNOWN),
        ((BitMatrix(5, 2), "zeta", -1), OverflowError, None),
    ],
)
def test_solve_all_failures(args, exc, message):
    with pytest.raises(exc) as info:
        solve_all_five(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: BoolLs(W5).solve(), "BoolLs.solve() missing 1 required positional argument: 'x'"),
        (
            lambda: BoolLs(W5).solve(X5, "zeta", 0, 1),
            "BoolLs.solve() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (lambda: BoolLs(W5).solve_all(),
         "BoolLs.solve_all() missing 1 required positional argument: 'x'"),
        (lambda: boolls(), "boolls() missing 2 required positional arguments: 'w' and 'x'"),
        (lambda: boolls(x=X5), "boolls() missing 1 required positional argument: 'w'"),
        (lambda: boolls(W5, X5, "zeta", 0, 1),
         "boolls() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: boolls([[1]], [1]),
         "argument 'w': 'list' object cannot be converted to 'BitMatrix'"),
        # The rank is checked after every conversion and before the method name and the length.
        (lambda: boolls(BitMatrix(5, 27), [1]),
         "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (
            lambda: boolls(BitMatrix(5, 27), np.zeros(2, bool), "greedy_ls"),
            "rang 27 trop grand : le tableau interne ferait 2^27 entrees",
        ),
    ],
)
def test_binding_and_check_order(call, message):
    with pytest.raises((TypeError, ValueError)) as info:
        call()
    assert type(info.value) is (ValueError if message.startswith("rang") else TypeError)
    assert str(info.value) == message


def test_method_names_are_parsed_leniently():
    w = BitMatrix.from_list([[1, 0], [0, 1], [1, 1]])
    x = np.array([True, False, True])
    assert BoolLs(w).solve(x, " NAIVE\n") == boolls(w, x, "Zeta\u3000") == (1, 0)


# ---------------------------------------------------------------------------
# The interpreter lock and the use flag


def run_with_counter(work):
    """Runs work() (one long call) while another thread counts; returns
    (result, samples of the counting thread taken in the middle half of the
    call, duration)."""
    stamps, done = [], threading.Event()

    def count():
        n = 0
        while not done.is_set():
            n += 1
            if n % 200 == 0:
                stamps.append(time.perf_counter())

    thread = threading.Thread(target=count)
    thread.start()
    while not stamps:
        time.sleep(0.001)
    start = time.perf_counter()
    result = work()
    end = time.perf_counter()
    done.set()
    thread.join()
    # Holding the lock, the call would let the counter run only for about one
    # switch interval (5 ms) at either end; samples in the middle half of a
    # long call prove the release.
    quarter = (end - start) / 4
    middle = [t for t in stamps if start + quarter < t < end - quarter]
    return result, middle, end - start


def run_long_with_counter(works):
    """run_with_counter on the first of works (calls of growing cost) that
    lasts long enough for the counting thread to show: the kernels' speed
    varies from machine to machine."""
    for work in works:
        result, middle, duration = run_with_counter(work)
        if duration > 0.1:
            break
    return result, middle, duration


def test_solve_releases_the_lock():
    rng = np.random.default_rng(11)
    wide = rng.random((300, 24)) < 0.2
    w = BitMatrix.from_numpy(wide)
    x = rng.random(300) < 0.5
    solver = BoolLs(w)
    result, middle, duration = run_long_with_counter(
        [lambda: solver.solve(x, "zeta")]
        + [lambda r=r: BoolLs(BitMatrix.from_numpy(wide[:, :r])).solve(x, "naive")
           for r in (18, 20, 22, 24)])
    assert duration > 0.1 and len(middle) > 5
    assert result[1] <= solver.solve(x, "greedy-ls")[1]


@pytest.mark.parametrize("entry", ["solve_all", "boolls"])
def test_matrices_stay_borrowed_while_solving(entry):
    rng = np.random.default_rng(5)
    w = BitMatrix.from_numpy(rng.random((200, 21)) < 0.2)
    solver = BoolLs(w)
    x = BitMatrix.from_numpy(rng.random((200, 12)) < 0.3)
    vector = rng.random(200) < 0.5
    if entry == "solve_all":
        target, work = x, lambda: solver.solve_all(x, "zeta", 0)
    else:
        target, work = w, lambda: [boolls(w, vector, "zeta") for _ in range(4)]
    expected = work()
    outcome, refusals = [], []
    thread = threading.Thread(target=lambda: outcome.append(work()))
    thread.start()
    while thread.is_alive():
        try:
            target[0, 0] = target[0, 0]  # rewrites the same value
        except RuntimeError as e:
            refusals.append(str(e))
    thread.join()
    assert refusals and set(refusals) == {"Already borrowed"}
    assert outcome[0] == expected


def test_threads_share_one_solver():
    rng = np.random.default_rng(9)
    solver = BoolLs(BitMatrix.from_numpy(rng.random((120, 8)) < 0.3))
    xs = [rng.random(120) < 0.5 for _ in range(20)]
    expected = [solver.solve(x, "greedy-ls", i) for i, x in enumerate(xs)]
    results = [None] * 4

    def work(k):
        results[k] = [solver.solve(x, "greedy-ls", i) for i, x in enumerate(xs)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4
