"""quorbmf._native: packed-word functions against NumPy references on
word-boundary sizes, pack_csr on every kind of CSR structure, the words of a
BitMatrix, the checks at the door with their messages, the limits and
method names the module states against those its solver enforces, and
half-steps over blocks from several threads equal to QuorBMF's solve_all."""
import itertools
import re
import threading

import numpy as np
import pytest
import scipy.sparse as sp

import QuorBMF
from QuorBMF import BitMatrix
from quorbmf import _native

SIZES = (1, 63, 64, 65, 129)
METHODS = ("naive", "zeta", "greedy", "greedy-ls")
MASK64 = 2**64 - 1


def pack(cells):
    """The packed words of a 2-D bool array, through np.packbits."""
    cells = np.asarray(cells, dtype=bool)
    rows, cols = cells.shape
    width = -(-cols // 64)
    padded = np.zeros((rows, width * 64), dtype=bool)
    padded[:, :cols] = cells
    return np.packbits(padded, axis=1, bitorder="little").view("<u8").copy()


def unpack(words, cols):
    bits = np.unpackbits(np.ascontiguousarray(words).view(np.uint8), axis=1, bitorder="little")
    return bits[:, :cols].astype(bool)


def random_cells(rng, rows, cols, density=0.3):
    return rng.random((rows, cols)) < density


def assert_packed(words, cells):
    assert words.dtype == np.uint64 and words.flags.c_contiguous
    np.testing.assert_array_equal(words, pack(cells))


# ---------------------------------------------------------------------------
# Round trips on word-boundary sizes


@pytest.mark.parametrize("rows, cols", list(itertools.product(SIZES, SIZES)))
def test_transpose_and_count_ones(rows, cols):
    rng = np.random.default_rng(rows * 1000 + cols)
    cells = random_cells(rng, rows, cols)
    words = pack(cells)
    t = _native.transpose(words, cols)
    assert_packed(t, cells.T)
    assert_packed(_native.transpose(t, rows), cells)
    assert _native.count_ones(words) == cells.sum()
    assert _native.count_ones(t) == cells.sum()


@pytest.mark.parametrize("m, r, cols",
                         [(m, r, c) for m in SIZES for r in SIZES for c in (1, 64, 65)]
                         + [(129, 20, 129), (65, 129, 63)])
def test_product_against_integer_product(m, r, cols):
    rng = np.random.default_rng(m * 7 + r * 11 + cols)
    w = random_cells(rng, m, r, 0.1)
    h = random_cells(rng, r, cols, 0.2)
    expected = (w.astype(np.int64) @ h.astype(np.int64)) > 0
    assert_packed(_native.product(pack(w), r, pack(h), cols), expected)


def test_results_own_their_words():
    words = pack(np.eye(70, dtype=bool))
    t = _native.transpose(words, 70)
    t[0, 0] = 0
    assert words[0, 0] == 1  # the result is not a view of the input
    del words
    assert _native.count_ones(t) == 69


@pytest.mark.parametrize("rows, cols", list(itertools.product(SIZES, SIZES)))
def test_bitmatrix_words_are_its_cells_packed_and_copied(rows, cols):
    cells = random_cells(np.random.default_rng(rows * 31 + cols), rows, cols, 0.5)
    matrix = BitMatrix.from_numpy(cells)
    words = _native.bitmatrix_words(matrix)
    assert_packed(words, cells)
    matrix[rows - 1, cols - 1] = not cells[-1, -1]
    assert_packed(words, cells)  # a copy: the matrix changed, the words did not
    assert _native.count_ones(_native.bitmatrix_words(matrix)) == matrix.count_ones()


@pytest.mark.parametrize("value", [pack(np.eye(3, dtype=bool)), np.eye(3, dtype=bool), [[1]], None])
def test_bitmatrix_words_takes_only_a_bitmatrix(value):
    with pytest.raises(TypeError, match="^matrix must be a QuorBMF.BitMatrix, not "):
        _native.bitmatrix_words(value)


# ---------------------------------------------------------------------------
# Limits and method names


def test_methods_are_the_cores_and_exact():
    assert _native.METHODS == (*QuorBMF.methods(), "exact")
    factor = pack(np.eye(6, 3, dtype=bool))
    for method in _native.METHODS:
        _native.Solver(factor, 3).half_step(_native.VectorBlock(BLOCK_WORDS, 6), method, 0,
                                            np.zeros((4, 1), np.uint64))


@pytest.mark.parametrize("method, limit", [
    ("naive", "MAX_TABLE_RANK"), ("zeta", "MAX_TABLE_RANK"), ("exact", "MAX_EXACT_RANK"),
    ("greedy", "MAX_RANK"), ("greedy-ls", "MAX_RANK")])
def test_stated_limits_are_where_the_solver_stops(method, limit):
    assert (_native.MAX_TABLE_RANK, _native.MAX_EXACT_RANK, _native.MAX_RANK) == (26, 64, 1024)
    top = getattr(_native, limit)
    rng = np.random.default_rng(top)

    def solve(r):
        solver = _native.Solver(pack(random_cells(rng, 40, r, 0.05)), r)
        block = _native.VectorBlock(pack(random_cells(rng, 3, 40)), 40)
        return solver.half_step(block, method, 0, np.zeros((3, -(-r // 64)), np.uint64))

    if limit != "MAX_TABLE_RANK":  # a table of 2^26 counters is too large for a test
        solve(top)
    if limit != "MAX_RANK":  # the heuristics work beyond the rank a fit is offered at
        with pytest.raises(ValueError, match=f"up to rank {top}"):
            solve(top + 1)


# ---------------------------------------------------------------------------
# pack_csr


@pytest.mark.parametrize("rows, cols", [(1, 1), (63, 129), (64, 64), (65, 63), (129, 65)])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64, np.uint16])
@pytest.mark.parametrize("data_dtype",
                         [None, bool, np.uint8, np.int64, np.float16, np.float64, np.complex64])
def test_pack_csr_matches_toarray(rows, cols, index_dtype, data_dtype):
    rng = np.random.default_rng(rows + cols)
    dense = random_cells(rng, rows, cols, 0.2)
    csr = sp.csr_matrix(dense)
    data = None if data_dtype is None else csr.data.astype(data_dtype)
    words = _native.pack_csr(csr.indptr.astype(index_dtype), csr.indices.astype(index_dtype), data,
                             rows, cols)
    assert_packed(words, dense)


def test_pack_csr_unsorted_duplicates_and_explicit_zeros():
    # Row 0 lists column 70 twice (1 and 1), row 1 stores 0 then 1 for column
    # 3 (the cell is 1), row 2 only an explicit 0; indices are unsorted.
    indptr = np.array([0, 3, 5, 6])
    indices = np.array([70, 2, 70, 3, 3, 9])
    data = np.array([1.0, 1.0, 1.0, 0.0, 1.0, 0.0])
    expected = np.zeros((3, 71), dtype=bool)
    expected[0, [2, 70]] = True
    expected[1, 3] = True
    assert_packed(_native.pack_csr(indptr, indices, data, 3, 71), expected)
    # Strided and reversed index arrays are read in place.
    rev = indices[::-1].copy()[::-1]
    assert_packed(_native.pack_csr(indptr, rev, data[::-1].copy()[::-1], 3, 71), expected)


def test_pack_csr_of_a_csc_matrix_gives_the_transpose():
    rng = np.random.default_rng(5)
    dense = random_cells(rng, 40, 130)
    csc = sp.csc_matrix(dense)
    assert_packed(_native.pack_csr(csc.indptr, csc.indices, csc.data, 130, 40), dense.T)


@pytest.mark.parametrize("indptr, indices, data, message", [
    ([1, 2, 3], [0, 1, 2], None, "indptr must start at 0, not 1"),
    ([0, 2, 1], [0, 1], None, r"indptr must not decrease, but indptr\[1\] = 2 > indptr\[2\] = 1"),
    ([0, 1, 3], [0, 1], None, r"indptr\[2\] = 3 is beyond the 2 entries of indices"),
    ([0, 1, 3], [0, 1, 2], [1, 1], r"indptr\[2\] = 3 is beyond the 2 entries of data"),
    ([0, 1, 2], [0, 5], None, r"indices\[1\] = 5 \(row 1\) is not a column index below cols = 5"),
    ([0, 1, 2], [-1, 0], None, r"indices\[0\] = -1 \(row 0\) is not a column index below cols = 5"),
    ([0, 1, 2], [0, 4], [1, 2], r"data\[1\] = 2 at cell \(1, 4\) is neither 0 nor 1"),
    ([0, 1, 2], [0, 4], [1.0, np.nan], r"data\[1\] = nan at cell \(1, 4\) is neither 0 nor 1"),
    ([0, 1, 2], [0, 4], [1 + 1j, 1], r"data\[0\] = \(1\+1j\) at cell \(0, 0\) is neither 0 nor 1"),
    ([0, 1], [0], None, "indptr must have rows \\+ 1 = 3 entries, not 2"),
])
def test_pack_csr_refuses_bad_structures(indptr, indices, data, message):
    data = None if data is None else np.array(data)
    with pytest.raises(ValueError, match=f"^{message}$"):
        _native.pack_csr(np.array(indptr), np.array(indices), data, 2, 5)


@pytest.mark.parametrize("args, error, message", [
    (([0, 1], np.array([0]), None, 1, 1), TypeError, "indptr must be a numpy.ndarray, not list"),
    ((np.array([0.0, 1.0]), np.array([0]), None, 1, 1), TypeError,
     "indptr must have an integer dtype, not float64"),
    ((np.array([0, 1]), np.array([0], dtype=">i8"), None, 1, 1), TypeError,
     "indices must be in native byte order, not dtype >i8"),
    ((np.array([0, 1]), np.array([[0]]), None, 1, 1), ValueError,
     "indices must be one-dimensional, not 2-dimensional"),
    ((np.array([0, 1]), np.array([0]), np.array(["1"]), 1, 1), TypeError,
     "data must have a numeric dtype, not <U1"),
    ((np.array([0, 1]), np.array([0]), None, 1, 0), ValueError, "cols must be at least 1, got 0"),
    ((np.array([0, 1]), np.array([0]), None, -1, 1), OverflowError, "argument 'rows': "),
])
def test_pack_csr_argument_kinds(args, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        _native.pack_csr(*args)


def test_pack_csr_result_too_large_for_memory():
    with pytest.raises(MemoryError):
        _native.pack_csr(np.array([0, 0]), np.array([], dtype=np.int64), None, 1, 2**62)


# ---------------------------------------------------------------------------
# The door of the packed-matrix functions

GOOD = pack(np.ones((3, 70), dtype=bool))


@pytest.mark.parametrize("call, error, message", [
    (lambda: _native.transpose(GOOD.tolist(), 70), TypeError,
     "words must be a numpy.ndarray, not list"),
    (lambda: _native.transpose(GOOD.astype(np.int64), 70), TypeError,
     r"words must have dtype uint64 \(native byte order\), not int64"),
    (lambda: _native.transpose(GOOD.astype(">u8"), 70), TypeError,
     r"words must have dtype uint64 \(native byte order\)"),
    (lambda: _native.transpose(GOOD[0], 70), ValueError,
     r"words must be two-dimensional \(rows, words per row\)"),
    (lambda: _native.transpose(GOOD[:0], 70), ValueError,
     r"words must have at least one row and one word per row"),
    (lambda: _native.transpose(np.asfortranarray(GOOD), 70), ValueError,
     "words must be C-contiguous and aligned"),
    (lambda: _native.transpose(GOOD, 64), ValueError,
     r"words must have ceil\(cols / 64\) = 1 words per row for 64 columns, not 2"),
    (lambda: _native.transpose(GOOD, 69), ValueError,
     r"words: row 0 has bits set beyond column 68 \(the spare bits must be zero\)"),
    (lambda: _native.transpose(GOOD, 0), ValueError, "cols must be at least 1, got 0"),
    (lambda: _native.transpose(GOOD, 70.0), TypeError,
     "argument 'cols': 'float' object cannot be interpreted"),
    (lambda: _native.transpose(GOOD, -3), OverflowError, "argument 'cols': "),
    (lambda: _native.transpose(GOOD), TypeError,
     r"transpose\(\) missing 1 required positional argument: 'cols'"),
    (lambda: _native.product(GOOD, 70, GOOD, 70), ValueError, "h must have r = 70 rows, not 3"),
    (lambda: _native.count_ones(np.zeros((2, 0), np.uint64)), ValueError,
     "words must have at least one row"),
    (lambda: _native.initial_factor(GOOD, 70, 0, 1), ValueError, "r must be at least 1, got 0"),
    (lambda: _native.initial_factor(GOOD, 70, 2, 2**64), OverflowError, "argument 'seed': "),
])
def test_bad_packed_arguments(call, error, message):
    with pytest.raises(error, match="^" + message):
        call()


@pytest.mark.parametrize("call", [
    lambda: _native.initial_factor(GOOD, 70, 2**62, 0),
    lambda: _native.pack_csr(np.array([0] * 17), np.array([], dtype=np.int64), None, 16, 2**62),
])
def test_core_failures_arrive_by_their_kind(call):
    # Sizes no word array can have are the core's to refuse, as capacity.
    with pytest.raises(OverflowError, match="^capacity overflow$"):
        call()


def test_import_of_the_native_module_leaves_numpy_alone(fresh_python):
    proc = fresh_python(
        "import importlib.util, sys\n"
        f"spec = importlib.util.spec_from_file_location('quorbmf._native', {_native.__file__!r})\n"
        "module = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(module)\n"
        "print('numpy' in sys.modules, module.Solver.__module__)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "quorbmf._native"]


# ---------------------------------------------------------------------------
# initial_factor against the seeded partial Fisher-Yates shuffle


def model_initial_factor(cells, r, seed):
    candidates = [j for j in range(cells.shape[1]) if cells[:, j].any()]
    state = seed
    for i in range(min(r, len(candidates))):
        state = (state * 6364136223846793005 + 1442695040888963407) & MASK64
        p = i + (state >> 33) % (len(candidates) - i)
        candidates[i], candidates[p] = candidates[p], candidates[i]
    w = np.zeros((cells.shape[0], r), dtype=bool)
    for j, c in enumerate(candidates[:r]):
        w[:, j] = cells[:, c]
    return w


@pytest.mark.parametrize("m, n, r, seed",
                         [(1, 1, 1, 0), (65, 63, 5, 7), (64, 129, 26, 2**64 - 1), (129, 4, 9, 3)])
def test_initial_factor_follows_the_seeded_choice(m, n, r, seed):
    rng = np.random.default_rng(m + n + r)
    cells = random_cells(rng, m, n, 0.05)
    cells[:, 1::3] = False  # empty columns are never chosen
    assert_packed(_native.initial_factor(pack(cells.T), m, r, seed),
                  model_initial_factor(cells, r, seed))


# ---------------------------------------------------------------------------
# Solver, VectorBlock and half_step


def combos_of(h):
    """Column c of a bool r x n array H as the int whose bit l is H[l, c]."""
    weights = 2 ** np.arange(h.shape[0], dtype=np.uint64)
    return (h.astype(np.uint64) * weights[:, None]).sum(axis=0, dtype=np.uint64)


@pytest.mark.parametrize("m, r, n", [(63, 5, 129), (129, 12, 65), (64, 20, 64)])
@pytest.mark.parametrize("method", METHODS)
def test_half_steps_over_blocks_from_threads_equal_solve_all(m, r, n, method):
    if method == "naive" and r > 12:
        pytest.skip("naive is exhaustive")
    rng = np.random.default_rng(m * r + n)
    w = random_cells(rng, m, r, 0.2)
    x = random_cells(rng, m, n, 0.3)
    x[:, n // 2:] = x[:, : n - n // 2]  # equal vectors across blocks
    seed = 11
    h, total = QuorBMF.BoolLs(BitMatrix.from_numpy(w)).solve_all(
        BitMatrix.from_numpy(x), method, seed)
    expected = combos_of(h.to_numpy())

    solver = _native.Solver(pack(w), r)
    assert (solver.m, solver.r) == (m, r)
    xt = pack(x.T)  # the vectors of the step are the columns of X
    bounds = [0, 1, 64, 65, 128, n]
    bounds = sorted({b for b in bounds if b <= n})
    blocks = [(b, e, _native.VectorBlock(xt[b:e], m)) for b, e in zip(bounds, bounds[1:])]
    out = np.zeros((n, 1), dtype=np.uint64)
    errors = {}

    def solve(b, e, block):
        errors[b] = solver.half_step(block, method, seed, out[b:e])

    threads = [threading.Thread(target=solve, args=blk) for blk in blocks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    np.testing.assert_array_equal(out[:, 0], expected)
    assert sum(errors.values()) == total

    # One block of everything, with its transpose, gives the same again.
    whole = _native.VectorBlock(xt, m, pack(x))
    out2 = np.zeros((n, 1), dtype=np.uint64)
    assert solver.half_step(whole, method, seed, out2) == total
    np.testing.assert_array_equal(out2, out)


def test_block_words_changed_after_preparation_are_rechecked():
    words = pack(np.ones((4, 10), dtype=bool))
    block = _native.VectorBlock(words, 10)
    assert (block.rows, block.cols) == (4, 10)
    solver = _native.Solver(pack(np.eye(10, 3, dtype=bool)), 3)
    words[2, 0] |= np.uint64(1 << 40)
    with pytest.raises(ValueError, match=r"^block: row 2 has bits set beyond column 9"):
        solver.half_step(block, "zeta", 0, np.zeros((4, 1), np.uint64))


FACTOR = pack(np.eye(6, 3, dtype=bool))
BLOCK_WORDS = pack(np.ones((4, 6), dtype=bool))


@pytest.mark.parametrize("call, error, message", [
    (lambda: _native.Solver(pack(np.ones((3, 27), bool)), 65), ValueError,
     r"factor must have ceil\(cols / 64\) = 2 words per row for 65 columns, not 1"),
    (lambda: _native.Solver(pack(np.ones((3, 5), bool)), 4), ValueError,
     r"factor: row 0 has bits set beyond column 3 \(the spare bits must be zero\)"),
    (lambda: _native.Solver(FACTOR), TypeError,
     r"Solver.__new__\(\) missing 1 required positional argument: 'r'"),
    (lambda: _native.VectorBlock(BLOCK_WORDS, 6, pack(np.ones((5, 4), bool))), ValueError,
     "transposed must have cols = 6 rows, not 5"),
    (lambda: half_step(block=BLOCK_WORDS), TypeError,
     "block must be a quorbmf._native.VectorBlock, not ndarray"),
    (lambda: half_step(method="fast"), ValueError,
     "method must be one of naive, zeta, greedy, greedy-ls, exact, not 'fast'"),
    (lambda: half_step(method=1), TypeError, "argument 'method': 'int' object cannot be converted"),
    (lambda: half_step(seed=-1), OverflowError, "argument 'seed': "),
    (lambda: half_step(out=np.zeros((3, 1), np.uint64)), ValueError, "out must have 4 rows, not 3"),
    (lambda: half_step(out=np.zeros((4, 1), np.int64)), TypeError, "out must have dtype uint64"),
    (lambda: half_step(out=readonly_out()), ValueError, "out must be writable"),
    (lambda: half_step(block=_native.VectorBlock(pack(np.ones((4, 5), bool)), 5)), ValueError,
     "block has vectors of 5 bits, but the solver's factor has m = 6 rows"),
])
def test_bad_solver_arguments(call, error, message):
    with pytest.raises(error, match="^" + message):
        call()


def half_step(block=None, method="zeta", seed=0, out=None):
    solver = _native.Solver(FACTOR, 3)
    block = _native.VectorBlock(BLOCK_WORDS, 6) if block is None else block
    out = np.zeros((4, 1), np.uint64) if out is None else out
    return solver.half_step(block, method, seed, out)


def readonly_out():
    out = np.zeros((4, 1), np.uint64)
    out.flags.writeable = False
    return out


def test_out_sharing_the_block_words_is_refused():
    words = np.zeros((6, 1), np.uint64)
    block = _native.VectorBlock(words, 6)
    solver = _native.Solver(FACTOR, 3)
    with pytest.raises(ValueError, match="^out must not share memory with the block's words$"):
        solver.half_step(block, "zeta", 0, words)
