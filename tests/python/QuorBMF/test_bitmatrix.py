"""BitMatrix: construction, argument binding, indexing, operators against a
NumPy shadow model, equality and hashing, the use flag and failure modes."""
import ctypes
import inspect
import os
import struct
import subprocess
import sys
import weakref

import numpy as np
import pytest

import QuorBMF
from QuorBMF import BitMatrix

WIDTHS = [1, 7, 63, 64, 65, 128, 129, 200]


def random_pair(rows, cols, seed):
    a = np.random.default_rng(seed).random((rows, cols)) < 0.5
    return a, BitMatrix.from_numpy(a)


def raises(exc, message, fn, *args):
    """Checks type and text; None stands for the interpreter's own (never prefixed) text."""
    with pytest.raises(exc) as info:
        fn(*args)
    assert (str(info.value) == message if message is not None
            else not str(info.value).startswith("argument"))


def test_class_shape():
    assert BitMatrix.__module__ == "QuorBMF" and BitMatrix.__qualname__ == "BitMatrix"
    assert BitMatrix.__text_signature__ == "(rows, cols, fill=False)" and BitMatrix.__doc__ is None
    m = BitMatrix(2, 3)
    signatures = {"zeros": "(rows, cols)", "from_list": "(data)", "from_numpy": "(a)",
                  "hamming": "(other)",
                  "count_andnot": "(other)", "row_count_ones": "(i)", "to_numpy": "()",
                  "copy": "()"}
    assert {name: str(inspect.signature(getattr(m, name))) for name in signatures} == signatures
    assert m.zeros(1, 2).shape == (1, 2)  # static methods work on instances too
    with pytest.raises(TypeError):
        type("Sub", (BitMatrix,), {})
    for attempt in (lambda: setattr(m, "rows", 5), lambda: setattr(m, "extra", 1)):
        pytest.raises(AttributeError, attempt)
    pytest.raises(TypeError, weakref.ref, m)
    assert m.shape == (2, 3) and (m.rows, m.cols, len(m)) == (2, 3, 2)


@pytest.mark.parametrize("make", [lambda r, c: BitMatrix(r, c, True), BitMatrix.ones,
                                  lambda r, c: BitMatrix(rows=r, cols=c, fill=np.True_)])
@pytest.mark.parametrize("cols", WIDTHS)
def test_ones_keep_spare_bits_clear(make, cols):
    m = make(3, cols)
    assert m.count_ones() == 3 * cols and (~m).count_ones() == 0 and ~~m == m
    assert m == BitMatrix.from_list([[1] * cols] * 3)
    assert BitMatrix(3, cols) == BitMatrix.zeros(rows=3, cols=cols) == ~m


@pytest.mark.parametrize("call, exc, message", [
    (lambda: BitMatrix(0, 5), ValueError,
     "dimensions invalides 0x5 : rows et cols doivent valoir au moins 1"),
    (lambda: BitMatrix.ones(5, 0), ValueError,
     "dimensions invalides 5x0 : rows et cols doivent valoir au moins 1"),
    (lambda: BitMatrix.zeros(0, 0), ValueError,
     "dimensions invalides 0x0 : rows et cols doivent valoir au moins 1"),
    (lambda: BitMatrix(0, 0, fill=1), TypeError,
     "argument 'fill': 'int' object cannot be converted to 'PyBool'"),
    (lambda: BitMatrix(2.0, 3), TypeError,
     "argument 'rows': 'float' object cannot be interpreted as an integer"),
    (lambda: BitMatrix(2, "3"), TypeError,
     "argument 'cols': 'str' object cannot be interpreted as an integer"),
    (lambda: BitMatrix(), TypeError,
     "BitMatrix.__new__() missing 2 required positional arguments: 'rows' and 'cols'"),
    (lambda: BitMatrix(fill=True, rows=1), TypeError,
     "BitMatrix.__new__() missing 1 required positional argument: 'cols'"),
    (lambda: BitMatrix(1, 2, True, 4), TypeError,
     "BitMatrix.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: BitMatrix(1, 2, rows=1), TypeError,
     "BitMatrix.__new__() got multiple values for argument 'rows'"),
    (lambda: BitMatrix(1, 2, size=1), TypeError,
     "BitMatrix.__new__() got an unexpected keyword argument 'size'"),
    (lambda: BitMatrix.zeros(1, 2, True), TypeError,
     "BitMatrix.zeros() takes 2 positional arguments but 3 were given"),
    (lambda: BitMatrix.ones(1, fill=True), TypeError,
     "BitMatrix.ones() got an unexpected keyword argument 'fill'"),
    (lambda: BitMatrix(1, 1).hamming(), TypeError,
     "BitMatrix.hamming() missing 1 required positional argument: 'other'"),
    (lambda: BitMatrix(1, 1).count_ones(1), TypeError,
     "BitMatrix.count_ones() takes 0 positional arguments but 1 was given"),
    (lambda: BitMatrix(1, 1).copy(deep=True), TypeError,
     "BitMatrix.copy() got an unexpected keyword argument 'deep'"),
    (lambda: BitMatrix(1, 1).hamming([[0]]), TypeError,
     "argument 'other': 'list' object cannot be converted to 'BitMatrix'"),
    (lambda: BitMatrix(1, 1).row_count_ones(i=None), TypeError,
     "argument 'i': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: BitMatrix(2, 3).row_count_ones(2), IndexError, "ligne 2 hors limites (rows = 2)"),
    (lambda: BitMatrix(2, 3).hamming(BitMatrix(3, 2)), ValueError,
     "hamming : dimensions incompatibles 2x3 et 3x2"),
    (lambda: BitMatrix(2, 3).count_andnot(other=BitMatrix(2, 4)), ValueError,
     "count_andnot : dimensions incompatibles 2x3 et 2x4"),
    (lambda: BitMatrix(-1, 3), OverflowError, None),
    (lambda: BitMatrix(2**64, 1), OverflowError, None),
    (lambda: BitMatrix(1, 1).row_count_ones(-1), OverflowError, None),
])
def test_call_failures(call, exc, message):
    raises(exc, message, call)


@pytest.mark.parametrize("rows, cols, overflow", [
    (2**61, 64, True), (2**60, 64, True), (2**60 - 1, 64, False), (2**59, 65, True),
    (2**59 - 1, 128, False),
    (4, 2**64 - 1, True), (3, 2**64 - 1, False), (2**64 - 1, 2**64 - 1, True),
    (10**6, 10**6, False),
])
def test_too_large_matrices(rows, cols, overflow):
    if not overflow:
        pytest.raises(MemoryError, BitMatrix, rows, cols)
        # ones writes every word, so only sizes no address space can hold are tried.
        if rows * cols >= 2**64:
            pytest.raises(MemoryError, BitMatrix.ones, rows, cols)
        return
    for make in (BitMatrix, BitMatrix.ones):
        with pytest.raises(BaseException) as info:
            make(rows, cols)
        err = info.value
        assert str(err) == "capacity overflow" and type(err).__bases__ == (BaseException,)
        assert not isinstance(err, Exception)
        assert all(getattr(QuorBMF, name) is not type(err) for name in dir(QuorBMF))


def test_cells_read_and_write():
    m = BitMatrix(2, 3)
    m[1, 2] = True
    m[True, np.int64(0)] = np.True_
    assert [m[1, 2], m[1, 0], m[0, 2]] == [True, True, False]
    assert type(m[0, 0]) is bool and m.to_list() == [[0, 0, 0], [1, 0, 1]]
    m[1, 2] = False
    assert m.to_list() == [[0, 0, 0], [1, 0, 0]] and m.row_count_ones(1) == 1


@pytest.mark.parametrize("key, exc, message", [
    ((2, 0), IndexError, "indice (2, 0) hors limites pour une matrice 2x3"),
    ((0, 3), IndexError, "indice (0, 3) hors limites pour une matrice 2x3"),
    (0, TypeError, "argument 'idx': 'int' object cannot be converted to 'PyTuple'"),
    ([0, 0], TypeError, "argument 'idx': 'list' object cannot be converted to 'PyTuple'"),
    (slice(0, 1), TypeError, "argument 'idx': 'slice' object cannot be converted to 'PyTuple'"),
    ((0, 0, 0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ((0.0, 0), TypeError, "argument 'idx': 'float' object cannot be interpreted as an integer"),
    ((-1, 0), OverflowError, None),
])
def test_index_failures_leave_matrix_unchanged(key, exc, message):
    m = BitMatrix(2, 3, True)
    raises(exc, message, lambda: m[key])
    raises(exc, message, m.__setitem__, key, False)
    raises(NotImplementedError, "can't delete item", m.__delitem__, key)
    assert m.count_ones() == 6


def test_assignment_checks_index_then_value_then_bounds():
    m = BitMatrix(2, 3)
    raises(TypeError, "argument 'value': 'int' object cannot be converted to 'PyBool'",
           m.__setitem__, (5, 5), 1)
    raises(ValueError, "expected tuple of length 2, but got tuple of length 1", m.__setitem__, (5,),
           1)
    raises(NotImplementedError, "can't delete item", m.__delitem__, (0, 0))
    assert m.count_ones() == 0


def test_sequence_protocol_refuses_integer_positions():
    m = BitMatrix(3, 2, True)
    assert len(m) == 3
    for attempt in (lambda: list(m), lambda: 0 in m, lambda: [x for x in m]):
        raises(TypeError, "argument 'idx': 'int' object cannot be converted to 'PyTuple'", attempt)
    api = ctypes.pythonapi
    api.PySequence_SetItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t, ctypes.py_object]
    api.PySequence_DelItem.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    pytest.raises(TypeError, api.PySequence_SetItem, m, 0, False)
    raises(NotImplementedError, "can't delete item", api.PySequence_DelItem, m, 0)
    assert m.count_ones() == 6


@pytest.mark.parametrize("rows", [1, 3, 70])
@pytest.mark.parametrize("cols", WIDTHS)
def test_operations_match_shadow_model(rows, cols):
    a, ma = random_pair(rows, cols, 1)
    b, mb = random_pair(rows, cols, 2)
    for result, expected in [(ma & mb, a & b), (ma | mb, a | b), (ma ^ mb, a ^ b),
                             (ma - mb, a & ~b),
                             (~ma, ~a), (ma.transpose(), a.T), (ma.copy(), a)]:
        assert np.array_equal(result.to_numpy(), expected)
    assert ma.count_ones() == a.sum() and ma.hamming(mb) == (a ^ b).sum() == mb.hamming(ma)
    assert ma.count_andnot(mb) == (a & ~b).sum() and mb.count_andnot(ma) == (b & ~a).sum()
    assert [ma.row_count_ones(i) for i in range(rows)] == list(a.sum(axis=1))
    c, mc = random_pair(cols, 5, 3)
    assert np.array_equal((ma @ mc).to_numpy(), (a.astype(int) @ c.astype(int)) > 0)
    assert (ma @ mc).transpose() == mc.transpose() @ ma.transpose()
    for op, expected in [("__ior__", a | b), ("__iand__", a & b), ("__ixor__", a ^ b)]:
        target = ma.copy()
        assert getattr(target, op)(mb) is target and np.array_equal(target.to_numpy(), expected)
    assert np.array_equal(ma.to_numpy(), a) and np.array_equal(mb.to_numpy(), b)


@pytest.mark.parametrize("op, label",
                         [("__and__", "&"), ("__or__", "|"), ("__xor__", "^"), ("__sub__", "-"),
                                       ("__ior__", "|="), ("__iand__", "&="), ("__ixor__", "^=")])
def test_operator_shape_mismatch(op, label):
    m = BitMatrix(2, 3, True)
    raises(ValueError, f"{label} : dimensions incompatibles 2x3 et 3x2", getattr(m, op),
           BitMatrix(3, 2))
    assert m.count_ones() == 6
    raises(ValueError, "@ : dimensions incompatibles 2x3 et 2x3", lambda: m @ m)


def test_operators_decline_foreign_operands():
    m = BitMatrix(2, 2, True)
    for expr in ("m & 1", "1 & m", "m | None", "m ^ 1.5", "m - 1", "1 - m", "m @ 1", "m < m",
                 "m >= m"):
        pytest.raises(TypeError, eval, expr, {"m": m})
    alias = m
    with pytest.raises(TypeError):
        m |= 1
    assert alias is m and m.count_ones() == 4


def test_inplace_with_itself_rebinds():
    m = BitMatrix.from_list([[1, 0], [1, 1]])
    original = m
    m |= m
    assert m is not original and m == original and original.count_ones() == 3
    m &= m
    assert m == original
    m ^= m
    assert m.count_ones() == 0 and m.shape == (2, 2) and original.count_ones() == 3
    m = original
    m @= m  # no @=: falls back to the product and rebinds
    assert m is not original and m.to_list() == [[1, 0], [1, 1]]


def test_equality():
    wide = BitMatrix.from_list([[1] + [0] * 64 + [1] + [0] * 62])
    tall = BitMatrix.from_list([[1] + [0] * 63, [1] + [0] * 63])
    assert wide != tall and not wide == tall and wide.count_ones() == tall.count_ones()
    m = BitMatrix(2, 2)
    assert (m == 5) is False and (m != 5) is True and (5 != m) is True and (m == m.copy()) is True
    assert (m != m.copy()) is False and m != BitMatrix(2, 3) and m != BitMatrix(2, 2, True)


def byte_hashes(sequences):
    """Python's own SipHash-1-3 of the byte strings, with the all-zero key."""
    code = f"import sys; print([hash(b) for b in {sequences!r}])"
    env = dict(os.environ, PYTHONHASHSEED="0")
    return eval(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               env=env).stdout)


def hash_input(cells):
    rows, cols = len(cells), len(cells[0])
    stride = (cols + 63) // 64
    words = [sum(bit << (j % 64) for j, bit in enumerate(row) if j // 64 == k)
             for row in cells for k in range(stride)]
    return struct.pack(f"<{len(words) + 4}Q", len(words), *words, rows, cols, stride)


def test_hash_is_siphash13_of_words_and_shape():
    assert sys.hash_info.algorithm == "siphash13"
    rng = np.random.default_rng(7)
    cases = [[[0]], [[1]], [[1, 0, 1], [0, 1, 1]]] + [
        (rng.random((r, c)) < 0.5).astype(int).tolist()
        for r, c in [(1, 64), (2, 65), (3, 129), (1, 200)]]
    expected = byte_hashes([hash_input(c) for c in cases])
    assert [hash(BitMatrix.from_list(c)) for c in cases] == expected


def test_hash_follows_contents():
    m = BitMatrix.from_list([[1, 0], [0, 1]])
    table = {m: "x"}
    assert table[m.copy()] == "x" and hash(m) == hash(m.copy())
    h = hash(m)
    m[0, 1] = True
    assert hash(m) != h
    m[0, 1] = False
    assert hash(m) == h
    m |= BitMatrix(2, 2, True)
    assert hash(m) != h and hash(BitMatrix(1, 128)) != hash(BitMatrix(2, 64))


def test_text_forms():
    m = BitMatrix(2, 10)
    assert (repr(m) == "<BitMatrix 2x10, 0 bits a 1>"
            and repr(BitMatrix(3, 65, True)) == "<BitMatrix 3x65, 195 bits a 1>")
    assert str(m) == "2x10 (0 bits a 1)\n00000000_00\n00000000_00"
    m[1, 9] = True
    assert str(m) == "2x10 (1 bits a 1)\n00000000_00\n00000000_01"


class Probe:
    """An index whose __index__ runs `action` while the matrix is in use."""

    def __init__(self, action):
        self.action, self.seen = action, []

    def __index__(self):
        self.seen.append(self.action())
        return 0


def outcome(fn):
    try:
        return fn()
    except (RuntimeError, TypeError) as e:
        return type(e), str(e)


def test_use_flag_while_writing():
    m, other = BitMatrix(2, 2), BitMatrix(2, 2, True)
    checks = {"get": lambda: m[0, 0], "count": m.count_ones, "len": lambda: len(m),
              "hash": lambda: hash(m),
              "set": lambda: m.__setitem__((1, 1), True), "or": lambda: m.__or__(other),
              "ior": lambda: other.__ior__(m),
              "hamming": lambda: other.hamming(m), "to_list": m.to_list}
    probes = {k: Probe(lambda f=f: outcome(f)) for k, f in checks.items()}
    for probe in probes.values():
        m[probe, 1] = True
    mutably = (RuntimeError, "Already mutably borrowed")
    assert {k: p.seen[0] for k, p in probes.items()} == {
        "get": mutably, "count": mutably, "len": mutably, "hash": mutably,
        "set": (RuntimeError, "Already borrowed"),
        "or": NotImplemented, "ior": NotImplemented, "hamming": mutably, "to_list": mutably}
    assert m.to_list() == [[0, 1], [0, 0]] and other.count_ones() == 4


def test_use_flag_while_reading():
    m = BitMatrix(2, 2)
    probe = Probe(lambda: (outcome(lambda: m.__setitem__((0, 0), True)), m.__ior__(m),
                           m.count_ones(), m[1, 1]))
    assert m.row_count_ones(probe) == 0 and m[probe, 0] is False
    assert probe.seen == [((RuntimeError, "Already borrowed"), NotImplemented, 0, False)] * 2
    # The flag is released on every path, errors included.
    pytest.raises(ZeroDivisionError, m.__setitem__, (Probe(lambda: 1 / 0), 0), True)
    m[0, 0] = True
    assert m.count_ones() == 1


def test_failing_calls_leak_no_references():
    m, other, idx, bad = BitMatrix(2, 3), BitMatrix(3, 2), (5, 5), object()
    before = [sys.getrefcount(x) for x in (m, other, idx, bad)]
    for _ in range(1000):
        for attempt in (lambda: m[idx], lambda: m.__setitem__(idx, bad), lambda: m.hamming(other),
                        lambda: m | other,
                        lambda: m & bad, lambda: m.__ior__(bad), lambda: m.hamming(bad),
                        lambda: m @ m,
                        lambda: BitMatrix(bad, 1), lambda: m == bad, lambda: m.__delitem__(idx)):
            try:
                attempt()
            except (TypeError, ValueError, IndexError, NotImplementedError):
                pass
    assert [sys.getrefcount(x) for x in (m, other, idx, bad)] == before
