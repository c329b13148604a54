"""BitMatrix conversions: nested lists and NumPy bool arrays of every layout."""
import sys

import numpy as np
import pytest

from conftest import UNDER_SANITIZER
from QuorBMF import BitMatrix

WIDTHS = [1, 7, 8, 9, 63, 64, 65, 128, 129, 200]


def raises(exc, message, fn, *args):
    """Checks type and text; None stands for the interpreter's own (never prefixed) text."""
    with pytest.raises(exc) as info:
        fn(*args)
    assert (str(info.value) == message if message is not None
            else not str(info.value).startswith("argument"))


def cells(m):
    """The matrix as a bool array, read cell by cell."""
    return np.array([[m[i, j] for j in range(m.cols)] for i in range(m.rows)], dtype=bool)


@pytest.mark.parametrize("rows", [1, 2, 9])
@pytest.mark.parametrize("cols", WIDTHS)
def test_list_round_trip(rows, cols):
    data = (np.random.default_rng(cols).random((rows, cols)) < 0.5).astype(int).tolist()
    m = BitMatrix.from_list(data)
    out = m.to_list()
    assert out == data and m.shape == (rows, cols) and m.count_ones() == sum(map(sum, data))
    assert all(type(v) is int for row in out for v in row)
    out[0][0] ^= 1
    assert m.to_list() == data  # to_list hands out a new object


def test_from_list_accepts_any_integer_sequence():
    expected = BitMatrix.from_list([[1, 0], [0, 1]])
    for data in ([[True, False], [False, True]], ((1, 0), (0, 1)), [range(1, -1, -1), range(2)],
                 [b"\x01\x00", b"\x00\x01"], np.eye(2, dtype=np.int64),
                 [[np.uint8(1), 0], [0, np.int32(1)]]):
        assert BitMatrix.from_list(data) == expected
    assert BitMatrix.from_list(data=[[1]]).to_list() == [[1]]


@pytest.mark.parametrize("data, exc, message", [
    ([], ValueError, "from_list : aucune ligne fournie"),
    ([[]], ValueError, "from_list : les lignes sont vides"),
    ([[], [1]], ValueError, "from_list : les lignes sont vides"),
    ([[1, 0], [1]], ValueError, "from_list : la ligne 1 a 1 elements, la ligne 0 en a 2"),
    ([[1], [1], [1, 1, 1]], ValueError, "from_list : la ligne 2 a 3 elements, la ligne 0 en a 1"),
    ([[2], [1, 1]], ValueError, "from_list : valeur 2 en (0, 0) ; seuls 0 et 1 sont admis"),
    ([[0, 1], [0, 1, 1], [3, 3]], ValueError,
     "from_list : la ligne 1 a 3 elements, la ligne 0 en a 2"),
    ([[0, 1], [0, -1], [1]], ValueError,
     "from_list : valeur -1 en (1, 1) ; seuls 0 et 1 sont admis"),
    ([[0, -2**63]], ValueError,
     "from_list : valeur -9223372036854775808 en (0, 1) ; seuls 0 et 1 sont admis"),
    ("01", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (["01"], TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    ([[1], {1}], TypeError, "argument 'data': 'set' object cannot be converted to 'Sequence'"),
    ((iter([[1]])), TypeError,
     "argument 'data': 'list_iterator' object cannot be converted to 'Sequence'"),
    ([[0.0]], TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
    ([[5, 5], [0, "x"]], TypeError,
     "argument 'data': 'str' object cannot be interpreted as an integer"),
    ([[2**63]], OverflowError, None),
    ([[1, 0], [0, -2**63 - 1]], OverflowError, None),
    ([[2**70], "x"], OverflowError, None),
])
def test_from_list_failures(data, exc, message):
    raises(exc, message, BitMatrix.from_list, data)


def layouts(rows, cols, seed):
    """rows x cols bool arrays in many memory layouts."""
    n = max(rows, cols)
    base = np.random.default_rng(seed).random((n + 3, 2 * n + 3, 2)) < 0.5
    yield np.ascontiguousarray(base[:rows, :cols, 0])
    yield np.asfortranarray(base[:rows, :cols, 0])
    yield np.ascontiguousarray(base[:cols, :rows, 1]).T  # transposed C array
    yield base[:rows, :cols, 0]  # both strides non-unit
    yield base[rows - 1::-1, 2 * cols - 1::-2, 1]  # negative strides
    yield np.ascontiguousarray(base[:, :, 0])[1:rows + 1,
                                              2:cols + 2]  # sliced rows with unit column step
    yield np.broadcast_to(base[:1, :cols, 0], (rows, cols))  # zero row stride
    read_only = base[:rows, :cols, 1].copy()
    read_only.flags.writeable = False
    yield np.ma.masked_array(read_only)  # a read-only ndarray subclass


@pytest.mark.parametrize("rows", [1, 3, 17])
@pytest.mark.parametrize("cols", WIDTHS)
def test_from_numpy_reads_every_layout(rows, cols):
    for a in layouts(rows, cols, rows * 1000 + cols):
        assert a.shape == (rows, cols)
        m = BitMatrix.from_numpy(a=a)
        assert np.array_equal(cells(m), a)
        assert np.array_equal(m.to_numpy(), a)


@pytest.mark.parametrize("cols", WIDTHS)
def test_only_bytes_equal_to_one_set_cells(cols):
    raw = np.random.default_rng(cols).choice(np.array([0, 1, 2, 3, 127, 128, 129, 254, 255],
                                                      np.uint8), (5, cols))
    for view in (raw.view(bool), np.asfortranarray(raw).view(bool), raw.view(bool)[::-1, ::-1]):
        assert np.array_equal(cells(BitMatrix.from_numpy(view)), view.view(np.uint8) == 1)


@pytest.mark.parametrize("a, message", [
    (np.zeros((2, 2), np.int64),
     "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (np.zeros(2, bool), "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (np.zeros((2, 2, 2), bool),
     "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ([[True]], "argument 'a': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (5, "argument 'a': 'int' object cannot be converted to 'PyArray<T, D>'"),
])
def test_from_numpy_type_mismatch(a, message):
    raises(TypeError, message, BitMatrix.from_numpy, a)


@pytest.mark.parametrize("shape", [(0, 4), (3, 0), (0, 0)])
def test_from_numpy_zero_size(shape):
    message = f"dimensions invalides {shape[0]}x{shape[1]} : rows et cols doivent valoir au moins 1"
    raises(ValueError, message, BitMatrix.from_numpy, np.zeros(shape, bool))
    raises(ValueError, message, BitMatrix.from_numpy,
           np.ones((5, 5), bool)[: shape[0], 5 - shape[1]:])


def test_to_numpy_owns_an_independent_buffer():
    m = BitMatrix.from_list([[1, 0, 1], [0, 1, 0]])
    a = m.to_numpy()
    assert a.dtype == np.bool_ and a.shape == (2, 3) and a.strides == (3, 1)
    assert a.flags.c_contiguous and a.flags.writeable and a.base is not None
    a[0, 1] = True
    assert m.to_list() == [[1, 0, 1], [0, 1, 0]]
    m[1, 0] = True
    assert a.tolist() == [[True, True, True], [False, True, False]]
    del m
    b = BitMatrix(70, 70, True).to_numpy()
    assert a.sum() == 4 and b.all() and BitMatrix.from_numpy(b) == BitMatrix(70, 70, True)


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def test_conversions_release_what_they_take():
    m = BitMatrix(1000, 1000, True)
    a, data = np.ones((4, 4), bool), [[1, 0], [0, 1]]
    before = [sys.getrefcount(x) for x in (m, a, data, data[0])]
    for k in range(300):
        m.to_numpy()  # 1 MB each: a buffer that is never freed shows in the resident size
        BitMatrix.from_numpy(a)
        BitMatrix.from_list(data)
        for bad in (lambda: BitMatrix.from_numpy(a[:0]),
                    lambda: BitMatrix.from_list([data[0], [2, 2]])):
            pytest.raises(ValueError, bad)
        if k == 10:
            start = resident_kib()
    if not UNDER_SANITIZER:
        assert resident_kib() - start < 100_000
    assert [sys.getrefcount(x) for x in (m, a, data, data[0])] == before


def test_missing_numpy_is_an_internal_error(fresh_python):
    proc = fresh_python(
        "import sys; sys.modules['numpy'] = None\n"
        "import QuorBMF\n"
        "m = QuorBMF.BitMatrix(1, 1)\n"
        "for call in (m.to_numpy, lambda: QuorBMF.BitMatrix.from_numpy([[True]])):\n"
        "    try:\n"
        "        call()\n"
        "    except BaseException as e:\n"
        "        print(isinstance(e, Exception),\n"
        "              str(e).startswith('Failed to access NumPy array API capsule'))\n"
        "print(m.to_list())\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["False True", "False True", "[[0]]"]
