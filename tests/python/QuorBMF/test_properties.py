"""Algebraic and round-trip properties of BitMatrix, BoolLs and ao_bmf on
generated matrices, checked against NumPy.

Shapes favour the word boundaries (1, 63, 64, 65, 128, 129 columns) and small
row counts; contents range from empty to full. The default profile keeps the
file to a few seconds; QUORBMF_LONG=1 selects a profile with many more
examples for soak runs:

    QUORBMF_LONG=1 python3 -m pytest tests/python/QuorBMF/test_properties.py
"""
import os

import numpy as np
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from oracle import EDGE_WIDTHS, bool_product, combination_error, combination_errors, layouts
from QuorBMF import BitMatrix, BoolLs, ao_bmf

settings.register_profile(
    "quorbmf-ci", max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile(
    "quorbmf-long", max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
LONG = os.environ.get("QUORBMF_LONG") == "1"
PROFILE = settings.get_profile("quorbmf-long" if LONG else "quorbmf-ci")
# For the cases that build large matrices: fewer examples, same switch.
LARGE = settings(PROFILE, max_examples=300 if LONG else 15)

METHODS = ("naive", "zeta", "greedy", "greedy-ls")

# ---------------------------------------------------------------------------
# Strategies

rows_st = st.one_of(st.sampled_from([1, 2, 3]), st.integers(1, 12))
cols_st = st.one_of(st.sampled_from(EDGE_WIDTHS), st.integers(1, 200))
seeds = st.integers(0, 2**64 - 1)


def cells(rows, cols):
    """bool arrays of the shape; sparse, dense, empty and full ones all occur."""
    dense = hnp.arrays(np.bool_, (rows, cols), elements=st.booleans(), fill=st.booleans())
    return st.one_of(dense, st.builds(lambda v: np.full((rows, cols), v), st.booleans()))


@st.composite
def matrices(draw, rows=None, cols=None):
    rows = draw(rows_st) if rows is None else rows
    cols = draw(cols_st) if cols is None else cols
    return draw(cells(rows, cols))


@st.composite
def same_shape_pairs(draw):
    rows, cols = draw(rows_st), draw(cols_st)
    return draw(cells(rows, cols)), draw(cells(rows, cols))


@st.composite
def chains(draw):
    """(a, b) with a.cols == b.rows, the inner dimension also near word edges."""
    inner = draw(cols_st)
    return draw(matrices(cols=inner)), draw(matrices(rows=inner))


def bm(a):
    return BitMatrix.from_numpy(a)


# ---------------------------------------------------------------------------
# Algebra


@PROFILE
@given(same_shape_pairs())
def test_boolean_laws(pair):
    a, b = pair
    ma, mb = bm(a), bm(b)
    cells_total = a.size
    assert ~(ma & mb) == ~ma | ~mb
    assert ~(ma | mb) == ~ma & ~mb
    assert ~~ma == ma and (~ma).count_ones() == cells_total - ma.count_ones()
    assert ma - mb == ma & ~mb
    assert ma ^ mb == (ma | mb) - (ma & mb)
    for result, expected in [(ma & mb, a & b), (ma | mb, a | b), (ma ^ mb, a ^ b),
                             (ma - mb, a & ~b), (~ma, ~a)]:
        assert np.array_equal(result.to_numpy(), expected) and result == bm(expected)
    assert (np.array_equal(ma.to_numpy(), a)
            and np.array_equal(mb.to_numpy(), b))  # operands untouched


@PROFILE
@given(same_shape_pairs())
def test_inplace_operators_agree_with_binary_ones(pair):
    a, b = pair
    ma, mb = bm(a), bm(b)
    for op, binary in [("__ior__", ma | mb), ("__iand__", ma & mb), ("__ixor__", ma ^ mb)]:
        target = ma.copy()
        assert getattr(target, op)(mb) is target
        assert target == binary and hash(target) == hash(binary)
    assert ma == bm(a) and mb == bm(b)


@PROFILE
@given(same_shape_pairs())
def test_counts(pair):
    a, b = pair
    ma, mb = bm(a), bm(b)
    assert ma.hamming(mb) == (ma ^ mb).count_ones() == mb.hamming(ma) == int((a != b).sum())
    assert ma.count_andnot(mb) == (ma - mb).count_ones() == int((a & ~b).sum())
    assert ma.count_andnot(mb) + mb.count_andnot(ma) == ma.hamming(mb)
    assert ma.hamming(ma) == 0 and ma.hamming(~ma) == a.size
    assert [ma.row_count_ones(i) for i in range(ma.rows)] == a.sum(axis=1).tolist()


@PROFILE
@given(chains())
def test_product(pair):
    a, b = pair
    ma, mb = bm(a), bm(b)
    product = ma @ mb
    assert np.array_equal(product.to_numpy(), bool_product(a, b))
    assert product == bm(bool_product(a, b))  # spare bits beyond the last column stay clear
    assert product.transpose() == mb.transpose() @ ma.transpose()
    assert ma.transpose().transpose() == ma and ma.transpose() == bm(a.T)


# ---------------------------------------------------------------------------
# Conversions, equality and hashing


@PROFILE
@given(matrices())
def test_round_trips_through_every_layout(a):
    m = BitMatrix.from_list(a.astype(int).tolist())
    assert m.to_list() == a.astype(int).tolist()
    assert np.array_equal(m.to_numpy(), a) and m.shape == a.shape
    for name, view in layouts(a):
        assert np.array_equal(view, a), name
        assert BitMatrix.from_numpy(view) == m, name
    assert BitMatrix.from_numpy(a.T) == m.transpose()
    assert BitMatrix.from_numpy(np.ascontiguousarray(a[::-1])).to_list() == m.to_list()[::-1]
    assert (BitMatrix.from_list(m.to_numpy().astype(np.uint8)) == m
            == BitMatrix.from_numpy(m.to_numpy()))


@PROFILE
@given(matrices(), st.data())
def test_equality_and_hash_follow_the_cells(a, data):
    m, same = bm(a), BitMatrix.from_list(a.astype(int).tolist())
    assert m == same and not m != same and hash(m) == hash(same) == hash(m.copy())
    assert {m: 1}[same] == 1
    i = data.draw(st.integers(0, a.shape[0] - 1))
    j = data.draw(st.integers(0, a.shape[1] - 1))
    changed = m.copy()
    changed[i, j] = not changed[i, j]
    assert changed != m and changed.hamming(m) == 1
    changed[i, j] = not changed[i, j]
    assert changed == m and hash(changed) == hash(m)
    # The same cells in another shape never compare equal.
    if a.shape[0] > 1:
        assert bm(a.reshape(1, -1)) != m and bm(a.T) != m or a.shape[0] == a.shape[1]


# ---------------------------------------------------------------------------
# Solvers


@st.composite
def solver_cases(draw, max_rank=8):
    m = draw(st.one_of(st.sampled_from(EDGE_WIDTHS), st.integers(1, 140)))
    r = draw(st.integers(1, max_rank))
    w = draw(cells(m, r))
    x = draw(hnp.arrays(np.bool_, m, elements=st.booleans(), fill=st.booleans()))
    return w, x


@PROFILE
@given(solver_cases(), seeds)
def test_exact_methods_find_the_lowest_optimal_combination(case, seed):
    w, x = case
    solver = BoolLs(bm(w))
    errors = combination_errors(w, x)
    best = int(errors.min())
    expected = (int(np.flatnonzero(errors == best)[0]), best)
    assert solver.solve(x, "zeta", seed) == solver.solve(x, "naive", seed) == expected


@PROFILE
@given(solver_cases(), seeds)
def test_heuristics_report_true_errors(case, seed):
    w, x = case
    solver = BoolLs(bm(w))
    r = w.shape[1]
    results = {method: solver.solve(x, method, seed) for method in METHODS}
    for method, (h, error) in results.items():
        assert 0 <= h < 2**r, method
        assert error == combination_error(w, x, h), method
    assert results["zeta"][1] <= results["greedy-ls"][1] <= results["greedy"][1] <= int(x.sum())
    assert solver.solve(x, "greedy-ls", seed) == results["greedy-ls"]


@PROFILE
@given(solver_cases(max_rank=6), st.integers(1, 70), st.sampled_from(METHODS), seeds, st.data())
def test_solve_all_is_column_by_column(case, n, method, seed, data):
    w, _ = case
    x = data.draw(cells(w.shape[0], n))
    solver = BoolLs(bm(w))
    h, total = solver.solve_all(bm(x), method, seed)
    assert h.shape == (w.shape[1], n)
    singles = [solver.solve(np.ascontiguousarray(x[:, c]), method, seed) for c in range(n)]
    hs = h.to_numpy()
    assert ([sum(int(v) << j for j, v in enumerate(hs[:, c])) for c in range(n)]
            == [s[0] for s in singles])
    assert total == sum(s[1] for s in singles) == (bm(w) @ h).hamming(bm(x))


@st.composite
def factorisation_cases(draw):
    rows = draw(st.integers(1, 24))
    cols = draw(st.one_of(st.sampled_from(EDGE_WIDTHS), st.integers(1, 80)))
    return draw(cells(rows, cols)), draw(st.integers(1, 6)), draw(st.sampled_from(METHODS))


@PROFILE
@given(factorisation_cases(), st.integers(1, 8), seeds)
def test_ao_bmf_error_is_the_reconstruction_distance(case, max_iter, seed):
    a, r, method = case
    x = bm(a)
    res = ao_bmf(x, r, method, max_iter, seed)
    rebuilt = res.reconstruct()
    assert rebuilt.hamming(x) == res.error <= x.count_ones()
    assert (rebuilt == res.w @ res.h
            and np.array_equal(rebuilt.to_numpy(),
                               bool_product(res.w.to_numpy(), res.h.to_numpy())))
    assert res.w.shape == (a.shape[0], r) and res.h.shape == (r, a.shape[1])
    assert 1 <= res.iterations <= max_iter
    again = ao_bmf(x.copy(), r, method, max_iter, seed)
    assert ((again.w, again.h, again.error, again.iterations)
            == (res.w, res.h, res.error, res.iterations))
    assert x == bm(a)


@PROFILE
@given(st.integers(1, 30), st.integers(1, 70), st.integers(1, 4), seeds)
def test_ao_bmf_recovers_exact_low_rank_products_it_can_reach(rows, cols, r, seed):
    # A single column repeated: rank one, so every start picks that column
    # and one refit of H reproduces x exactly.
    column = np.random.default_rng(seed % 2**32).random(rows) < 0.5
    assume(column.any())
    a = np.repeat(column[:, None], cols, axis=1)
    res = ao_bmf(bm(a), r, "zeta", 5, seed)
    assert res.error == 0 and res.reconstruct() == bm(a)


# ---------------------------------------------------------------------------
# Large shapes: the blocked and table-driven paths that only larger inputs
# reach (transposition tiles of 512 x 512 cells, products of many dense rows,
# solver ranks above 18). Contents come from a seeded generator.

big_dims = st.one_of(st.sampled_from([1, 7, 8, 9, 63, 64, 65, 127, 128, 129, 255, 256, 257, 511,
                                      512, 513, 1023,
                                      1024, 1025]), st.integers(1, 1100))
densities = st.sampled_from([0.0, 0.02, 0.3, 0.7, 0.97, 1.0])


def seeded(shape, density, seed):
    return np.random.default_rng(seed).random(shape) < density


@LARGE
@given(big_dims, big_dims, densities, st.integers(0, 2**32 - 1))
@example(512, 512, 0.5, 1).via("whole tiles")
@example(1025, 513, 0.3, 2).via("ragged tiles")
@example(3, 1100, 0.7, 3).via("one row of tiles")
def test_transpose_large(rows, cols, density, seed):
    a = seeded((rows, cols), density, seed)
    t = bm(a).transpose()
    assert t == bm(a.T) and t.count_ones() == int(a.sum())
    assert t.transpose() == bm(a)


def test_transpose_of_a_matrix_larger_than_the_caches():
    # 4 MiB of words either way, with ragged edges; the transpose has rows of
    # a whole number of cache lines (64 words), its inverse does not.
    a = np.random.default_rng(1).integers(0, 2, (4090, 8200), dtype=np.uint8).view(bool)
    m = bm(a)
    t = m.transpose()
    assert np.array_equal(t.to_numpy(), a.T) and t.count_ones() == m.count_ones()
    assert t.transpose() == m and (~t).count_ones() == a.size - m.count_ones()


@LARGE
@given(st.integers(1, 400), big_dims.filter(lambda n: n <= 700), big_dims, densities,
       st.sampled_from([0.0, 0.002, 0.01, 0.05, 0.3, 1.0]), st.integers(0, 2**32 - 1))
# Many dense rows of A: the table-driven path, over several column slices and
# groups of B's rows, with ragged ends. B is kept sparse enough that a cell of
# the product depends on a handful of B's rows, or an error would hide in ORs
# that come out 1 anyway.
@example(300, 64, 1100, 0.7, 0.05, 1).via("tables, wide B")
@example(200, 700, 600, 0.9, 0.002, 2).via("tables, many groups")
@example(129, 9, 513, 0.97, 0.05, 3).via("tables, ragged groups")
@example(400, 257, 65, 0.97, 0.01, 4).via("tables, narrow B")
@example(400, 640, 1024, 0.3, 0.01, 5).via("mixed dense and sparse rows")
@example(300, 700, 700, 0.7, 0.3, 6).via("saturated")
def test_product_large(rows, inner, cols, density_a, density_b, seed):
    a = seeded((rows, inner), density_a, seed)
    b = seeded((inner, cols), density_b, seed + 1)
    expected = bool_product(a, b)
    product = bm(a) @ bm(b)
    assert product == bm(expected) and product.count_ones() == int(expected.sum())


@LARGE
@given(st.integers(17, 20), st.integers(1, 90), densities, st.booleans(), st.integers(0, 2**32 - 1))
@example(20, 90, 0.02, False, 1).via("few ones: solved block by block")
@example(20, 90, 0.97, False, 2).via("many ones: one table-sized block")
@example(19, 64, 0.3, True, 3).via("planted optimum")
def test_exact_methods_agree_at_high_ranks(r, m, density, planted, seed):
    rng = np.random.default_rng(seed)
    w = rng.random((m, r)) < 0.2
    if planted:  # an optimum away from zero, with a little noise
        h = rng.random(r) < 0.3
        x = bool_product(w, h[:, None])[:, 0] ^ (rng.random(m) < 0.05)
    else:
        x = rng.random(m) < density
    solver = BoolLs(bm(w))
    zeta = solver.solve(x, "zeta")
    assert zeta == solver.solve(x, "naive")
    assert zeta[1] == combination_error(w, x, zeta[0])


@LARGE
@given(st.integers(1, 21), st.integers(1, 200), st.integers(1, 40), densities,
       st.integers(0, 2**32 - 1))
@example(21, 200, 40, 0.02, 1).via("high rank, sparse columns")
@example(21, 150, 12, 0.7, 2).via("high rank, dense columns")
@example(18, 65, 30, 0.3, 3).via("largest single block")
def test_solve_all_matches_column_solves_at_any_rank(r, m, n, density, seed):
    rng = np.random.default_rng(seed)
    w = rng.random((m, r)) < 0.2
    x = rng.random((m, n)) < density
    solver = BoolLs(bm(w))
    h, total = solver.solve_all(bm(x), "zeta")
    singles = [solver.solve(np.ascontiguousarray(x[:, c]), "zeta") for c in range(n)]
    hs = h.to_numpy()
    assert ([sum(int(v) << j for j, v in enumerate(hs[:, c])) for c in range(n)]
            == [s[0] for s in singles])
    assert total == sum(s[1] for s in singles) == (bm(w) @ h).hamming(bm(x))
