"""Sizes at and beyond what fits, the largest solver table, and leaks.

Huge requests fail with MemoryError, or with the internal-error exception
"capacity overflow" past the largest representable word count, through
every path that builds a matrix; nothing aborts the process and the operands
of a failed call keep their cells. Children whose address space is capped
run the cases that would otherwise be allowed to allocate for real.
Repeated calls of every entry point, failing and succeeding, leak neither
Python objects nor memory."""
import gc
import sys

import numpy as np
import pytest

import QuorBMF
from oracle import memory_sizes, run_child, sanitizer_active
from QuorBMF import BitMatrix, BmfResult, BoolLs, ao_bmf, boolls

MIB = 2**20
needs_real_memory = pytest.mark.skipif(sanitizer_active(),
                                       reason="address-space caps and resident sizes "
                                                                  "mean nothing under a sanitizer")


def capacity_overflow(call):
    with pytest.raises(BaseException) as info:
        call()
    err = info.value
    assert str(err) == "capacity overflow" and not isinstance(err, Exception), repr(err)
    return type(err)


def zero_stride_bools(rows, cols):
    """A rows x cols bool array over a single byte (no memory of its own)."""
    return np.lib.stride_tricks.as_strided(np.ones(1, bool), shape=(rows, cols), strides=(0, 0))


# rows x ceil(cols / 64) words against the largest count, 2**60 - 1.
BOUNDARY = [
    ((2**60, 64), True), ((2**60 - 1, 64), False), ((2**59, 65), True), ((2**59 - 1, 128), False),
    ((1, 2**64 - 1), False), ((4, 2**64 - 1), True), ((2**64 - 1, 1), True), ((2**62, 2**62), True),
]


@pytest.mark.parametrize("shape, overflow", BOUNDARY)
def test_zeros_at_the_largest_word_count(shape, overflow):
    if overflow:
        capacity_overflow(lambda: BitMatrix.zeros(*shape))
        capacity_overflow(lambda: BitMatrix(*shape, fill=False))
    else:
        pytest.raises(MemoryError, BitMatrix.zeros, *shape)
    assert BitMatrix.zeros(2, 3).shape == (2, 3)  # the module carries on


@pytest.mark.parametrize("shape, overflow",
                         [((2**60, 1), True), ((2**60, 7), True), ((2**61, 3), True),
                                             ((2**60 - 1, 7), False), ((2**57 - 1, 64), False),
                                             ((2**31, 2**31), False)])
def test_from_numpy_of_huge_views(shape, overflow):
    # NumPy can describe these without memory; the matrix cannot be built,
    # and the array must not be walked before that is known.
    view = zero_stride_bools(*shape)
    if overflow:
        kind = capacity_overflow(lambda: BitMatrix.from_numpy(view))
        assert kind.__bases__ == (BaseException,)
    else:
        pytest.raises(MemoryError, BitMatrix.from_numpy, view)
    # A vector of that length is refused on its length, before any copy.
    solver = BoolLs(BitMatrix(3, 2))
    with pytest.raises(ValueError) as info:
        solver.solve(view[:, 0])
    assert str(info.value) == f"x a {shape[0]} elements, W a 3 lignes"


@needs_real_memory
def test_results_too_large_for_memory_fail_cleanly():
    # Two 1 x (2**31 - 64) matrices take 256 MiB each; every operation that
    # would need another copy is refused by the cap and must say MemoryError,
    # including those that allocate with the interpreter lock released.
    proc = run_child("""
        n = 2**31 - 64
        big, other = BitMatrix(1, n), BitMatrix(1, n)
        for j in (0, 5, n - 1):
            big[0, j] = True
        other[0, 5] = True
        tall, wide = BitMatrix(2**20, 1, True), BitMatrix(1, 2**20, True)
        attempts = {
            "invert": lambda: ~big, "and": lambda: big & other, "or": lambda: big | other,
            "xor": lambda: big ^ other, "sub": lambda: big - other, "copy": big.copy,
            "transpose": big.transpose, "to_numpy": big.to_numpy, "to_list": big.to_list,
            "product": lambda: tall @ wide,
            "solve_all": lambda: BoolLs(BitMatrix(1, 1)).solve_all(big),
            "ao_bmf": lambda: ao_bmf(big, 1), "ones": lambda: BitMatrix.ones(4, n),
        }
        for name, attempt in attempts.items():
            try:
                attempt()
                print(name, "succeeded")
            except MemoryError:
                pass
            except BaseException as e:
                print(name, type(e).__name__, e)
        print("cells", big.count_ones(), big[0, 0], big[0, 5], big[0, n - 1], other.count_ones())
        big ^= other  # in place: no allocation
        print("after", big.count_ones(), big[0, 5], big.hamming(other))
        print("done")
    """, address_space_headroom=640 * MIB)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["cells 3 True True True 1", "after 2 False 3", "done"]


@needs_real_memory
def test_more_rows_than_a_solver_counts_are_refused():
    # ao_bmf builds solvers on the transpose of H, one row per column of x;
    # 2**31 of them would overflow 32-bit counters.
    proc = run_child("""
        x = BitMatrix(1, 2**31)
        x[0, 2**31 - 1] = True
        for r in (1, 3):
            try:
                ao_bmf(x, r, "greedy", 1)
                print("accepted")
            except (ValueError, MemoryError) as e:
                print(type(e).__name__)
        print(x.count_ones(), x[0, 2**31 - 1])
    """, address_space_headroom=512 * MIB)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines()
    assert lines[-1] == "1 True" and set(lines[:2]) <= {"ValueError", "MemoryError"}


@needs_real_memory
def test_rank_26_solver_memory():
    # W: 26 unit rows then 4 random ones, so x = W∘h has h as its only exact
    # solution. The table (4 * 2**26 bytes = 256 MiB) and the copy "zeta"
    # transforms must fit in about two tables, and both must be returned.
    proc = run_child("""
        import resource
        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        def resident():
            return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        rng = np.random.default_rng(26)
        w = np.vstack([np.eye(26, dtype=bool), rng.random((4, 26)) < 0.5])
        h = int(rng.integers(1, 2**26))
        x = (w.astype(int) @ np.array([(h >> j) & 1 for j in range(26)]) > 0)
        start_peak, start = peak(), resident()
        solver = BoolLs(BitMatrix.from_numpy(w))
        built = resident()
        result = solver.solve(x, "zeta")
        solved = resident()
        greedy = solver.solve(x, "greedy-ls", 3)
        del solver
        print(result == (h, 0), greedy[1] >= 0)
        print((peak() - start_peak) // 2**20, (built - start) // 2**20, (solved - start) // 2**20,
              (resident() - start) // 2**20)
    """, address_space_headroom=1536 * MIB)
    assert proc.returncode == 0, proc.stderr[-2000:]
    first, sizes = proc.stdout.splitlines()
    assert first == "True True"
    peak_growth, after_build, after_solve, after_del = map(int, sizes.split())
    assert peak_growth <= 2 * 256 + 64, sizes
    assert after_build <= 256 + 32 and after_solve <= after_build + 32 and after_del <= 32, sizes


# ---------------------------------------------------------------------------
# Leaks


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __index__(self):
        raise KeyError("raised by the argument")


def workload():
    """(name, call) pairs covering every entry point, each succeeding or
    failing; matrices large enough that a leaked word array shows."""
    rng = np.random.default_rng(9)
    big = BitMatrix.from_numpy(rng.random((128, 2000)) < 0.5)
    big2 = ~big
    small = BitMatrix.from_list([[1, 0, 1], [0, 1, 1]])
    other_shape = BitMatrix(2000, 128)
    w = BitMatrix.from_numpy(rng.random((128, 14)) < 0.3)
    solver = BoolLs(w)
    x = rng.random(128) < 0.5
    x_all = BitMatrix.from_numpy(rng.random((128, 3)) < 0.5)
    data = [[1, 0, 1], [0, 1, 1]]
    bad_data = [[1, 0], [0, 2]]
    array = np.ones((20, 70), bool)
    res = ao_bmf(small, 2)
    idx, bad_idx, raising = (Index(1), Index(2)), (5, 5), Raising()
    calls = [
        ("BitMatrix", lambda: BitMatrix(Index(64), 700, True)),
        ("BitMatrix bad", lambda: BitMatrix(0, 2)),
        ("zeros", lambda: BitMatrix.zeros(64, 700)),
        ("ones raising", lambda: BitMatrix.ones(raising, 2)),
        ("overflow", lambda: BitMatrix(2**62, 2**62)), ("memory", lambda: BitMatrix(2**50, 64)),
        ("from_list", lambda: BitMatrix.from_list(data)),
        ("from_list bad", lambda: BitMatrix.from_list(bad_data)),
        ("from_list type", lambda: BitMatrix.from_list([[1], "1"])),
        ("from_numpy", lambda: BitMatrix.from_numpy(array)),
        ("from_numpy bad", lambda: BitMatrix.from_numpy(x)),
        ("to_list", small.to_list), ("to_numpy", big.to_numpy), ("copy", big.copy),
        ("transpose", big.transpose),
        ("count_ones", big.count_ones), ("hamming", lambda: big.hamming(big2)),
        ("hamming bad", lambda: big.hamming(other_shape)),
        ("count_andnot", lambda: big.count_andnot(big2)),
        ("row_count_ones", lambda: big.row_count_ones(idx[0])),
        ("row bad", lambda: big.row_count_ones(500)),
        ("get", lambda: big[idx]), ("get bad", lambda: big[bad_idx]),
        ("set", lambda: big.__setitem__(idx, True)),
        ("set bad", lambda: big.__setitem__(idx, 1)), ("del", lambda: big.__delitem__(idx)),
        ("and", lambda: big & big2), ("or", lambda: big | big2), ("xor", lambda: big ^ big2),
        ("sub", lambda: big - big2), ("invert", lambda: ~big),
        ("matmul", lambda: big @ other_shape),
        ("matmul bad", lambda: big @ big), ("and bad", lambda: big & other_shape),
        ("and foreign", lambda: big & 1),
        ("ior", lambda: big.__ior__(big2)), ("iand", lambda: big.__iand__(~big2)),
        ("ixor", lambda: big.__ixor__(big2)),
        ("ior bad", lambda: big.__ior__(other_shape)), ("ior self", lambda: big.__ior__(big)),
        ("eq", lambda: big == big2), ("ne", lambda: big != 5), ("hash", lambda: hash(big)),
        ("repr", lambda: repr(big)), ("str", lambda: str(small)), ("len", lambda: len(big)),
        ("iterate", lambda: list(small)),
        ("BoolLs", lambda: BoolLs(w)), ("BoolLs bad", lambda: BoolLs(BitMatrix(2, 27))),
        ("solve", lambda: solver.solve(x, "zeta", 3)),
        ("solve greedy-ls", lambda: solver.solve(x, "greedy-ls", 3)),
        ("solve bad", lambda: solver.solve(x[:5])),
        ("solve method", lambda: solver.solve(x, "nope")),
        ("solve_all", lambda: solver.solve_all(x_all, "greedy")),
        ("solve_all bad", lambda: solver.solve_all(small)),
        ("boolls", lambda: boolls(w, x, "greedy-ls")),
        ("boolls bad", lambda: boolls(w, x, seed=-1)),
        ("ao_bmf", lambda: ao_bmf(small, 2, "zeta", 5, 1)),
        ("ao_bmf bad", lambda: ao_bmf(small, 27)),
        ("ao_bmf raising", lambda: ao_bmf(small, raising)),
        ("result", lambda: (res.w, res.h, res.error, res.iterations, res.reconstruct(), repr(res))),
        ("result bad", lambda: res.reconstruct(1)), ("BmfResult", lambda: BmfResult()),
        ("methods", QuorBMF.methods), ("kwargs bad", lambda: BitMatrix(1, 1, bogus=1)),
    ]
    kept = [big, big2, small, other_shape, w, solver, x, x_all, data, bad_data, array, res, idx,
            raising]
    return calls, kept


def run_all(calls, times):
    for _ in range(times):
        for _, call in calls:
            try:
                call()
            except (TypeError, ValueError, IndexError, OverflowError, NotImplementedError,
                    MemoryError, KeyError):
                pass
            except BaseException as e:  # noqa: B036 - the internal error derives from BaseException
                if str(e) != "capacity overflow":
                    raise


def test_repeated_calls_leak_no_objects_or_references():
    calls, kept = workload()
    types = (BitMatrix, BoolLs, BmfResult)
    run_all(calls, 20)  # warm caches (NumPy's API, exception classes)
    gc.collect()
    objects = len(gc.get_objects())
    type_refs = [sys.getrefcount(t) for t in types]
    kept_refs = [sys.getrefcount(k) for k in kept]
    run_all(calls, 1500)
    gc.collect()
    # Every instance holds a reference to its class: a leaked or doubly
    # released matrix, solver or result shows in the class's count.
    assert [sys.getrefcount(t) for t in types] == type_refs
    assert [sys.getrefcount(k) for k in kept] == kept_refs
    assert len(gc.get_objects()) - objects < 100


@needs_real_memory
def test_repeated_calls_do_not_grow_memory():
    calls, kept = workload()
    run_all(calls, 100)
    gc.collect()
    virtual, resident = memory_sizes()
    run_all(calls, 1500)
    gc.collect()
    grown_virtual, grown_resident = (after - before for after, before
                                     in zip(memory_sizes(), (virtual, resident)))
    assert grown_resident < 20 * MIB and grown_virtual < 20 * MIB, (
        grown_resident // MIB, grown_virtual // MIB)
    assert len(kept) == 14
