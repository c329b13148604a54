"""Hostile inputs: every entry point called with generated wrong arguments.

Whatever is passed, a call either succeeds or raises one of the module's
documented exception types (or the exception a hostile argument raised
itself); a failed call leaves its receiver and operands unchanged, and no
call leaves a matrix in use afterwards.

The fuzzer is deterministic: case k of batch b is drawn from
random.Random(f"{QUORBMF_FUZZ_SEED}/{b}/{k}"). Each batch runs in a child
interpreter whose address space is capped, so a crash or an allocation gone
wild shows up as a failed batch that names the last case started instead of
taking pytest (or the machine) down. Longer runs:

    QUORBMF_FUZZ_CASES=200000 QUORBMF_FUZZ_SEED=11 \
        python3 -m pytest tests/python/QuorBMF/test_hostile.py

QUORBMF_FUZZ_CASES is the total over all batches (default 4000).
"""
import operator
import os
import random
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import QuorBMF
from hostile import cap_address_space, merge_tallies, run_batches, split_cases
from oracle import sanitizer_active, snapshot
from QuorBMF import BitMatrix, BmfResult, BoolLs, ao_bmf, boolls

CASES = int(os.environ.get("QUORBMF_FUZZ_CASES", "4000"))
SEED = os.environ.get("QUORBMF_FUZZ_SEED", "2718")
BATCHES = 4

DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError, NotImplementedError, RuntimeError,
              MemoryError)


class HostileError(Exception):
    """Raised by the hostile objects themselves; must come out unchanged."""


def internal_error_type():
    try:
        BitMatrix(2**62, 2**62)
    except BaseException as e:  # the class is not a module attribute
        return type(e)


INTERNAL_ERROR = internal_error_type()

# ---------------------------------------------------------------------------
# Hostile objects


class Index:
    """__index__ returns `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class TypeErrorKind(TypeError):
    pass


class Meddler:
    """An index that, while the call converts it, reads and tries to rewrite
    the matrix it was given (with the values it already holds, so a write
    that gets through changes nothing), then returns a valid index."""

    def __init__(self, matrix, value=0):
        self.matrix, self.value = matrix, value

    def __index__(self):
        m = self.matrix
        for attempt in (lambda: m.__setitem__((0, 0), m[0, 0]), lambda: m.__ior__(m.copy()),
                        m.to_list,
                        lambda: hash(m), lambda: m.__iand__(m.copy())):
            try:
                attempt()
            except RuntimeError:
                pass
        return self.value

    def __repr__(self):
        return "Meddler()"


class LenRaises:
    """Passes the sequence check; its length, items and iteration fail."""

    def __getitem__(self, *args):
        raise HostileError("sequence protocol")

    __len__ = __iter__ = __getitem__


class HalfwayRows(list):
    """Yields its first row, then its iteration raises."""

    def __iter__(self):
        yield from self[:1]
        raise HostileError("iteration")


class GrowingList(list):
    """Appends to itself while being iterated (up to 8 rows)."""

    def __iter__(self):
        for row in list.__iter__(self):
            if len(self) < 8:
                self.append(list(row))
            yield row


class ShrinkingList(list):
    def __iter__(self):
        for row in list.__iter__(self):
            if len(self) > 1:
                self.pop()
            yield row


class LyingRows:
    """Claims five rows, has two."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return [1, 0]


class EqRaises:
    __hash__ = None

    def __eq__(self, other):
        raise HostileError("__eq__")


def odd_offset_bools(shape, fill):
    """A bool array starting one byte into a buffer."""
    raw = bytearray(int(np.prod(shape)) + 1)
    view = np.frombuffer(raw, dtype=bool, offset=1).reshape(shape)
    view[...] = fill
    return view


def arrays(rng):
    """One generated NumPy array: any dtype, dimension, layout, size."""
    dtype = rng.choice([bool, bool, bool, np.int8, np.uint8, np.int64, np.float64, object,
                        np.complex128,
                        [("a", "?")], "U1", "S1", "M8[s]", np.float16])
    ndim = rng.choice([0, 1, 1, 2, 2, 2, 3])
    shape = tuple(rng.choice([0, 1, 2, 3, 5, 65]) if rng.random() < 0.15
                  else rng.choice([1, 2, 3, 5, 65])
                  for _ in range(ndim))
    try:
        a = np.zeros(shape, dtype=dtype)
        if a.dtype == bool and a.size:
            a.flat[rng.randrange(a.size)] = True
    except (TypeError, ValueError):
        return np.zeros(2, bool)
    layout = rng.choice(["C", "F", "strided", "reversed", "read-only", "odd offset", "masked",
                         "matrix",
                         "broadcast", "bytes 2"])
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "strided" and ndim:
        return np.repeat(a, 2, axis=0)[::2]
    if layout == "reversed" and ndim:
        return a[::-1]
    if layout == "read-only":
        a.flags.writeable = False
        return a
    if layout == "odd offset" and a.dtype == bool:
        return odd_offset_bools(shape, a)
    if layout == "masked":
        return np.ma.masked_array(a)
    if layout == "matrix" and ndim == 2:
        return np.asmatrix(a)
    if layout == "broadcast" and ndim and shape[0]:
        return np.broadcast_to(a[:1], (3,) + shape[1:])
    if layout == "bytes 2" and a.dtype == bool:
        return (a.view(np.uint8) * 2 + 1).view(bool)  # bytes other than 0 and 1
    return a


def scalars(rng, matrices):
    return rng.choice([
        None, 0.0, -0.0, 1.5, float("nan"), float("inf"), -float("inf"), 0, 1, 2, 3, 5, -1, 27, 63,
        64, 65,
        2**31 - 1, 2**31, 2**40, 2**59, 2**60, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63,
        -2**64, 10**30, True, False, np.True_, np.False_, np.int8(-1), np.uint8(1), np.int64(2),
        np.uint64(2**64 - 1), np.float64(1.0), np.float32("nan"), 1j, Decimal(1), Fraction(1, 1),
        "", "zeta",
        "1", " GREEDY-LS\t", "greedy_ls", "a\0b", "\u3000naive\u3000", b"\x01",
        bytearray(b"\x00\x01"),
        memoryview(b"\x01"), object(), [], [[]], [[1]], [[1, 0], [0, 1]], [[2]], [[1], [1, 1]],
        ((1,),),
        [range(3)], range(0), {}, {1}, [{1}], [[1.0]], [["1"]], ["01"], iter([[1]]),
        (x for x in [[1]]),
        int, BitMatrix, len, Ellipsis, slice(0, 1), (), (0,), (0, 0), (1, 1), (0, 0, 0), (-1, 0),
        (0, 2**64),
        (np.int64(1), True), (1.0, 0), (None, None), ([0], 0), Index(HostileError()),
        Index(TypeErrorKind()), Index("1"), Index(1.0), Index(2**70), Index(-1), Index(1),
        Index(True),
        (Index(HostileError()), 0), (0, Index(1)), LenRaises(), HalfwayRows([[1, 0], [0, 1]]),
        GrowingList([[1, 0], [0, 1]]), ShrinkingList([[1], [0], [1]]), LyingRows(),
        [[1, 0], HalfwayRows([1, 0])], [[1, Index(HostileError())]], EqRaises(),
        np.eye(2, dtype=np.int64), [np.array([1, 0]), np.array([0, 1])],
    ] + matrices)


def hostile(rng, ctx):
    roll = rng.random()
    if roll < 0.3:
        return arrays(rng)
    if roll < 0.38:
        return Meddler(rng.choice(ctx.all_matrices()), rng.choice([0, 1, 2**64]))
    return scalars(rng, ctx.foreign_matrices())


SIZES = [0, 1, 2, 3, 5, 27, 64, 65, 69, 70, 2**31 - 1, 2**31, 2**40, 2**59, 2**60 - 1, 2**60, 2**63,
         2**64 - 1,
         2**64, -1, -2**63, True, False, np.int64(2), np.uint64(3), np.uint8(1), np.int8(-1)]


def near_size(rng, ctx):
    pick = rng.choice(SIZES + ["wrapped", "meddler"])
    if pick == "wrapped":
        return Index(rng.choice(SIZES[:12]))
    if pick == "meddler":
        return Meddler(rng.choice(ctx.all_matrices()), rng.choice([0, 1, 2, 70]))
    return pick


def near_vector(rng, ctx):
    n = rng.choice([0, 1, 2, 3, 3, 3, 4, 65])
    v = np.array([rng.random() < 0.5 for _ in range(n)], dtype=bool)
    return rng.choice([v, v[::-1], np.repeat(v, 3)[::3], odd_offset_bools((n,), v),
                       v.astype(np.uint8), v[None, :],
                       list(v)])


def near_data(rng, ctx):
    rows, cols = rng.choice([0, 1, 2, 3]), rng.choice([0, 1, 2, 65])

    def cell():
        return rng.choice([0, 1, 0, 1, True, np.uint8(1), np.int64(0), 2, -1, 2**63, Index(1)])

    data = [[cell() for _ in range(cols)] for _ in range(rows)]
    if data and rng.random() < 0.2:
        data[rng.randrange(rows)].append(0)  # ragged
    return rng.choice([data, tuple(map(tuple, data)), GrowingList(data),
                       np.array(data, dtype=object)])


NEAR = {
    "size": near_size,
    "bool": lambda rng, ctx: rng.choice([True, False, np.True_, np.False_, 0, 1, None, "True",
                                         np.array(True), np.int8(1), 1.0]),
    "idx": lambda rng, ctx: rng.choice([
        (near_size(rng, ctx), near_size(rng, ctx)), (rng.randrange(4), rng.randrange(71)), (0,),
        (0, 0, 0), [0, 0], np.array([0, 0])]),
    "matrix": lambda rng, ctx: rng.choice(ctx.foreign_matrices()),
    "vector": near_vector,
    "data": near_data,
    "array": lambda rng, ctx: rng.choice([arrays(rng),
                                          np.zeros((rng.randrange(3), rng.randrange(3)), bool)]),
    "method": lambda rng, ctx: rng.choice(["naive", "ZETA", " greedy\n", "greedy-ls\u3000",
                                           "greedy_ls", "", "zeta\0", np.str_("zeta"), b"zeta",
                                           None, 0]),
    "name": lambda rng, ctx: rng.choice(["w", "h", "error", "iterations", "reconstruct", "",
                                         "nope", 1]),
}
KINDS = {"rows": "size", "cols": "size", "i": "size", "r": "size", "max_iter": "size",
         "seed": "size", "fill": "bool", "value": "bool", "idx": "idx", "other": "matrix",
         "w": "matrix", "x": "matrix",
         "data": "data", "a": "array", "method": "method", "name": "name"}


def argument(rng, ctx, entry, param):
    """A wrong (or barely right) value for one parameter: half the time one
    of its own kind, so that checks past the type conversion are reached."""
    kind = "vector" if (entry, param) in (("solve", "x"), ("boolls", "x")) else KINDS[param]
    return NEAR[kind](rng, ctx) if rng.random() < 0.55 else hostile(rng, ctx)


# ---------------------------------------------------------------------------
# Entry points


class Context:
    """Fresh receivers and valid arguments for one case."""

    def __init__(self, rng):
        self.m = BitMatrix.from_numpy(
            np.random.default_rng(rng.randrange(2**32)).random((3, 70)) < 0.5)
        self.same = ~self.m
        self.chain = BitMatrix(70, 2, True)
        self.w = BitMatrix.from_list([[1, 0], [0, 1], [1, 1]])
        self.solver = BoolLs(self.w)
        self.x3 = np.array([True, False, True])
        self.data = BitMatrix.from_list([[1, 1, 0, 0], [0, 1, 1, 0], [1, 0, 0, 1]])
        self.result = ao_bmf(self.data, 2, "greedy", 3)
        self.extra = [BitMatrix(1, 1), BitMatrix(3, 70, True), BitMatrix(70, 3), BitMatrix(4, 27),
                      BitMatrix(3, 1)]

    def all_matrices(self):
        return [self.m, self.same, self.chain, self.w, self.data]

    def foreign_matrices(self):
        return self.all_matrices() + self.extra + [self.solver, self.result]


def binary(op):
    return lambda ctx: (lambda other: op(ctx.m, other), ["other"], [ctx.same], 1)


def reflected(op):
    return lambda ctx: (lambda other: op(other, ctx.m), ["other"], [ctx.same], 1)


# name -> ctx -> (callable, parameter names, valid arguments, required count)
ENTRIES = {
    "BitMatrix": lambda ctx: (BitMatrix, ["rows", "cols", "fill"], [2, 3, True], 2),
    "zeros": lambda ctx: (BitMatrix.zeros, ["rows", "cols"], [2, 3], 2),
    "ones": lambda ctx: (BitMatrix.ones, ["rows", "cols"], [2, 3], 2),
    "from_list": lambda ctx: (BitMatrix.from_list, ["data"], [[[1, 0], [0, 1]]], 1),
    "from_numpy": lambda ctx: (BitMatrix.from_numpy, ["a"], [np.eye(3, dtype=bool)], 1),
    "to_list": lambda ctx: (ctx.m.to_list, [], [], 0),
    "to_numpy": lambda ctx: (ctx.m.to_numpy, [], [], 0),
    "count_ones": lambda ctx: (ctx.m.count_ones, [], [], 0),
    "transpose": lambda ctx: (ctx.m.transpose, [], [], 0),
    "copy": lambda ctx: (ctx.m.copy, [], [], 0),
    "hamming": lambda ctx: (ctx.m.hamming, ["other"], [ctx.same], 1),
    "count_andnot": lambda ctx: (ctx.m.count_andnot, ["other"], [ctx.same], 1),
    "row_count_ones": lambda ctx: (ctx.m.row_count_ones, ["i"], [2], 1),
    "getitem": lambda ctx: (lambda idx: ctx.m[idx], ["idx"], [(2, 69)], 1),
    "setitem": lambda ctx: (ctx.m.__setitem__, ["idx", "value"], [(2, 69), True], 2),
    "delitem": lambda ctx: (ctx.m.__delitem__, ["idx"], [(0, 0)], 1),
    "and": binary(operator.and_), "or": binary(operator.or_), "xor": binary(operator.xor),
    "sub": binary(operator.sub), "rand": reflected(operator.and_), "rsub": reflected(operator.sub),
    "matmul": lambda ctx: (lambda other: ctx.m @ other, ["other"], [ctx.chain], 1),
    "rmatmul": lambda ctx: (lambda other: other @ ctx.chain, ["other"], [ctx.m], 1),
    "ior": binary(operator.ior), "iand": binary(operator.iand), "ixor": binary(operator.ixor),
    "imatmul": binary(operator.imatmul),
    "eq": binary(operator.eq), "ne": binary(operator.ne), "lt": binary(operator.lt),
    "invert": lambda ctx: (ctx.m.__invert__, [], [], 0),
    "len": lambda ctx: (ctx.m.__len__, [], [], 0),
    "hash": lambda ctx: (ctx.m.__hash__, [], [], 0),
    "repr": lambda ctx: (ctx.m.__repr__, [], [], 0),
    "str": lambda ctx: (ctx.m.__str__, [], [], 0),
    "BoolLs": lambda ctx: (BoolLs, ["w"], [ctx.w], 1),
    "solve": lambda ctx: (ctx.solver.solve, ["x", "method", "seed"], [ctx.x3, "greedy-ls", 7], 1),
    "solve_all": lambda ctx: (ctx.solver.solve_all, ["x", "method", "seed"], [ctx.data, "zeta", 7],
                              1),
    "boolls": lambda ctx: (boolls, ["w", "x", "method", "seed"], [ctx.w, ctx.x3, "naive", 0], 2),
    "ao_bmf": lambda ctx: (ao_bmf, ["x", "r", "method", "max_iter", "seed"],
                           [ctx.data, 2, "zeta", 3, 5], 2),
    "methods": lambda ctx: (QuorBMF.methods, [], [], 0),
    "BmfResult": lambda ctx: (BmfResult, [], [], 0),
    "reconstruct": lambda ctx: (ctx.result.reconstruct, [], [], 0),
    "result attributes": lambda ctx: (lambda name: getattr(ctx.result, name), ["name"], ["w"], 1),
    "result setattr": lambda ctx: (lambda value: setattr(ctx.result, "error", value), ["value"],
                                   [0], 1),
}

# Entries whose wrappers take positional arguments only.
POSITIONAL_ONLY = {"getitem", "setitem", "delitem", "result attributes", "result setattr", "and",
                   "or", "xor",
                   "sub", "rand", "rsub", "matmul", "rmatmul", "ior", "iand", "ixor", "imatmul",
                   "eq", "ne", "lt"}
EXTRA_ALLOWED = {"result attributes": (AttributeError,), "result setattr": (AttributeError,)}
RESULT_TYPES = {
    "BitMatrix": BitMatrix, "zeros": BitMatrix, "ones": BitMatrix, "from_list": BitMatrix,
    "from_numpy": BitMatrix,
    "to_list": list, "to_numpy": np.ndarray, "count_ones": int, "transpose": BitMatrix,
    "copy": BitMatrix,
    "hamming": int, "count_andnot": int, "row_count_ones": int, "getitem": bool,
    "setitem": type(None),
    "and": BitMatrix, "or": BitMatrix, "xor": BitMatrix, "sub": BitMatrix, "rand": BitMatrix,
    "rsub": BitMatrix,
    "matmul": BitMatrix, "rmatmul": BitMatrix, "ior": BitMatrix, "iand": BitMatrix,
    "ixor": BitMatrix,
    "imatmul": BitMatrix, "eq": bool, "ne": bool, "invert": BitMatrix, "len": int, "hash": int,
    "repr": str,
    "str": str, "BoolLs": BoolLs, "solve": tuple, "solve_all": tuple, "boolls": tuple,
    "ao_bmf": BmfResult,
    "methods": list, "reconstruct": BitMatrix,
}
MUTATORS = {"setitem", "ior", "iand", "ixor"}


def frozen(value):
    """A comparable image of an argument, to check it was not modified."""
    if isinstance(value, BitMatrix):
        return ("matrix", snapshot(value))
    if isinstance(value, np.ndarray):
        return ("array", value.shape, value.dtype.str,
                value.tobytes() if value.dtype != object else value.tolist())
    if isinstance(value, list):
        return ("list", repr(value))
    return ("other", id(value))


def expected_after_mutation(name, before, args):
    """What the receiver must hold after a mutator succeeded in place."""
    shape, cells, _ = before
    if name == "setitem":
        i, j = (operator.index(k) for k in args[0])
        cells = [row[:] for row in cells]
        cells[i][j] = int(bool(args[1]))
        return cells
    other = np.array(args[0].to_list(), dtype=bool)
    combine = {"ior": np.logical_or, "iand": np.logical_and, "ixor": np.logical_xor}[name]
    return combine(np.array(cells, dtype=bool), other).astype(int).tolist()


def draw_case(rng):
    """Draws one case: (context, entry name, callable, args, kwargs, text)."""
    ctx = Context(rng)
    name = rng.choice(sorted(ENTRIES))
    fn, params, valid, required = ENTRIES[name](ctx)
    args = list(valid)
    replace = [k for k in range(len(args)) if rng.random() < 0.4]
    if args and not replace:
        replace = [rng.randrange(len(args))]
    for k in replace:
        args[k] = argument(rng, ctx, name, params[k])
    kwargs = {}
    shape_roll = rng.random()
    if name not in POSITIONAL_ONLY and shape_roll < 0.25 and args:
        split = rng.randrange(len(args) + 1)
        kwargs = dict(zip(params[split:], args[split:]))
        args = args[:split]
    elif shape_roll < 0.3:
        args.append(hostile(rng, ctx))  # one too many
    elif shape_roll < 0.35 and name not in POSITIONAL_ONLY:
        kwargs[rng.choice(["bogus", "self", "rows\0", params[0] if params else "x"])] = (
            hostile(rng, ctx))
    elif shape_roll < 0.4 and required:
        args = args[: rng.randrange(required)]  # missing arguments
    elif shape_roll < 0.45 and len(args) > required:
        args = args[: rng.randrange(required, len(args))]  # defaults
    return ctx, name, fn, args, kwargs, f"{name}(*{args!r}, **{kwargs!r})"


def run_case(rng, tally):
    """Draws and runs one case; returns a failure description or None."""
    ctx, name, fn, args, kwargs, described = draw_case(rng)
    # Self-modifying sequences are left out: changing is what they do.
    watched = ctx.all_matrices() + [a for a in args + list(kwargs.values())
                                    if isinstance(a, (BitMatrix, np.ndarray)) or type(a) is list]
    before = [frozen(v) for v in watched]
    receiver_before = snapshot(ctx.m)
    try:
        result = fn(*args, **kwargs)
        error = None
    except BaseException as e:  # the internal error derives from BaseException
        result, error = None, e
    outcome = "ok" if error is None else type(error).__name__
    tally.setdefault(name, {}).setdefault(outcome, 0)
    tally[name][outcome] += 1

    if error is not None:
        allowed = (type(error) in DOCUMENTED + EXTRA_ALLOWED.get(name, ())
                   or isinstance(error, HostileError))
        if type(error) is INTERNAL_ERROR and str(error) == "capacity overflow":
            allowed = True
        if not allowed:
            return f"{described} raised {type(error).__name__}: {error}"
    elif name in RESULT_TYPES and not isinstance(result, RESULT_TYPES[name]) and not (
            name in ("eq", "ne") and isinstance(args[0],
                                                np.ndarray)):  # NumPy's reflected comparison
        return f"{described} returned {result!r}"

    in_place = error is None and name in MUTATORS and (name == "setitem" or result is ctx.m)
    for value, image in zip(watched, before):
        if value is ctx.m and in_place:
            continue
        if frozen(value) != image:
            return f"{described} ({outcome}) modified {image[0]} {value!r}"
    if in_place:
        expected = expected_after_mutation(name, receiver_before, args)
        if ctx.m.to_list() != expected:
            return f"{described} modified the receiver wrongly"
    for m in ctx.all_matrices():
        try:
            m[0, 0] = m[0, 0]  # every use ended with the call
        except RuntimeError as e:
            return f"{described} ({outcome}) left a matrix in use: {e}"
    return None


def run_batch(batch, count, progress_path, headroom):
    """Runs one batch in this process (meant to be a child interpreter) and
    returns a JSON-able summary. headroom=None leaves the address space
    uncapped (for sanitizer runs, which reserve huge shadow regions)."""
    if headroom is not None:
        cap_address_space(headroom)
    tally, failures = {}, []
    with open(progress_path, "w") as progress:
        for k in range(count):
            progress.write(f"{k}\n")
            progress.flush()
            rng = random.Random(f"{SEED}/{batch}/{k}")
            failure = run_case(rng, tally)
            if failure:
                failures.append(f"case {batch}/{k}: {failure}")
    return {"cases": count, "tally": tally, "failures": failures[:20]}


def describe_case(batch, k):
    """The call made by case k of a batch, for crash reports."""
    return draw_case(random.Random(f"{SEED}/{batch}/{k}"))[-1]


def test_fuzz_entry_points():
    """Runs the batches side by side in child interpreters and merges them."""
    headroom = None if sanitizer_active() else 768 * 2**20
    env = dict(os.environ)
    if headroom is None:  # the sanitizer's allocator enforces the cap instead
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "")
                               + ":allocator_may_return_null=1:max_allocation_size_mb=768")
    summaries = run_batches(__file__, split_cases(CASES, BATCHES), headroom, describe_case, env)
    failures = [f for s in summaries for f in s["failures"]]
    assert not failures, "\n".join(failures)
    tally = merge_tallies(summaries)
    # The generator reaches success and failure on the entries that can do both.
    if CASES >= 2000:
        for name in ("BitMatrix", "from_list", "from_numpy", "solve", "ao_bmf", "setitem", "ior",
                     "matmul"):
            assert "ok" in tally[name] and len(tally[name]) > 2, (name, tally[name])


# ---------------------------------------------------------------------------
# Targeted cases


@pytest.mark.parametrize("data, expected", [
    (HalfwayRows([[1, 0], [0, 1]]), HostileError),
    ([[1, 0], HalfwayRows([0, 1])], HostileError),
    (LenRaises(), HostileError),
    ([[1, Index(HostileError())]], HostileError),
    ([[1, Index("1")]], TypeError),
    ([[1, Index(TypeErrorKind())]], TypeError),
    (LyingRows(), [[1, 0], [1, 0]]),
    (GrowingList([[1, 0], [0, 1]]), [[1, 0], [0, 1]] * 4),
    (ShrinkingList([[1], [0], [1]]), [[1], [0]]),
    ([[1, Index(1)], (True, np.uint64(0))], [[1, 1], [1, 0]]),
])
def test_from_list_reads_what_iteration_yields(data, expected):
    if isinstance(expected, type):
        with pytest.raises(expected) as info:
            BitMatrix.from_list(data)
        assert type(info.value) is expected or expected is HostileError
    else:
        assert BitMatrix.from_list(data).to_list() == expected


DTYPES = [bool, np.int8, np.uint8, np.int64, np.float64, object, np.complex128, [("a", "?")], "U1",
          "M8[s]"]


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
@pytest.mark.parametrize("ndim", [0, 1, 2, 3])
def test_array_entries_accept_only_bool_arrays_of_their_dimension(dtype, ndim):
    shape = (3, 2, 2)[:ndim]
    a = np.zeros(shape, dtype)
    accepted_by = {"from_numpy": ndim == 2, "solve": ndim == 1, "boolls": ndim == 1}
    calls = {"from_numpy": lambda v: BitMatrix.from_numpy(v),
             "solve": lambda v: BoolLs(BitMatrix(3, 2)).solve(v),
             "boolls": lambda v: boolls(BitMatrix(3, 2), v)}
    for layout in (a, np.array(a, order="F"), a[::-1] if ndim else a,
                   np.repeat(a, 2, 0)[::2] if ndim else a):
        for name, call in calls.items():
            if np.dtype(dtype) == bool and accepted_by[name]:
                assert call(layout) in (BitMatrix(3, 2), (0, 0))
            else:
                with pytest.raises(TypeError) as info:
                    call(layout)
                assert "cannot be converted to 'PyArray<T, D>'" in str(info.value)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("make", [
    lambda a: np.frombuffer(a.tobytes(), dtype=bool).reshape(a.shape),  # read-only bytes
    lambda a: odd_offset_bools(a.shape, a),
    lambda a: np.broadcast_to(a[:1], a.shape),  # zero row stride
    lambda a: np.ma.masked_array(a, mask=~a),  # the raw cells are read, not the mask
    lambda a: np.asmatrix(a),
    lambda a: np.lib.stride_tricks.as_strided(a, shape=(a.shape[0] - 1, 2),
                                              strides=(a.strides[0], 1)),
], ids=["frombuffer", "odd offset", "broadcast", "masked", "matrix", "overlapping"])
def test_unusual_bool_arrays_are_read_cell_by_cell(make):
    a = np.random.default_rng(3).random((5, 67)) < 0.5
    view = make(a)
    assert BitMatrix.from_numpy(view).to_list() == np.asarray(view).astype(int).tolist()


def test_callbacks_during_a_solve_cannot_swap_the_vector():
    # seed.__index__ runs after x was accepted; reallocating x's buffer then
    # must be seen (the length is read afterwards), not read from freed memory.
    w = BitMatrix.from_list([[1, 0], [0, 1], [1, 1], [0, 0], [1, 0]])
    for call in (lambda x, seed: BoolLs(w).solve(x, "zeta", seed),
                 lambda x, seed: boolls(w, x, "zeta", seed)):
        x = np.zeros(5, bool)

        class Grow:
            def __index__(self):
                x.resize(4000, refcheck=False)  # noqa: B023
                return 0

        with pytest.raises(ValueError) as info:
            call(x, Grow())
        assert str(info.value) == "x a 4000 elements, W a 5 lignes"

        y = np.zeros(5, bool)

        class Refill:
            def __index__(self):
                y.resize(10, refcheck=False)  # noqa: B023
                y.resize(5, refcheck=False)  # noqa: B023
                y[:] = [True, True, True, False, True]  # noqa: B023
                return 0

        assert call(y, Refill()) == (3, 0)


def test_callbacks_cannot_modify_matrices_a_solver_reads():
    x = BitMatrix.from_list([[1, 1, 0], [0, 1, 1], [1, 0, 1]])
    original = x.copy()
    seen = []

    class Meddle:
        def __index__(self):
            try:
                x[0, 0] = False
            except RuntimeError as e:
                seen.append(str(e))
            alias = x
            alias ^= x.copy()  # declines in place, rebinds the local name only
            seen.append(alias is x)
            return 2

    res = ao_bmf(x, Meddle(), "zeta", Meddle(), Meddle())
    solver = BoolLs(BitMatrix(3, 2, True))
    h, total = solver.solve_all(x, "greedy-ls", Meddle())
    assert boolls(x, np.ones(3, bool), "zeta", Meddle())[1] == 0
    assert seen == ["Already borrowed", False] * 5
    assert x == original
    assert (res.reconstruct().hamming(x) == res.error
            and total == (BitMatrix(3, 2, True) @ h).hamming(x))


# ---------------------------------------------------------------------------
# Text that cannot pass through UTF-8 or C strings unharmed


def test_a_method_name_that_is_not_utf8_is_a_value_error():
    with pytest.raises(ValueError):
        ao_bmf(BitMatrix(2, 2), 1, "zeta\udc80")


def test_messages_keep_text_after_a_nul():
    class Odd:
        pass

    Odd.__qualname__ = "O\0dd"
    for call, message in [
        (lambda: ao_bmf(BitMatrix(2, 2), 1, "gr\0eedy"),
         "methode inconnue : 'gr\0eedy'. Valeurs acceptees : naive, zeta, greedy, greedy-ls"),
        (lambda: BitMatrix(1, 1, **{"fi\0ll": True}),
         "BitMatrix.__new__() got an unexpected keyword argument 'fi\0ll'"),
        (lambda: BitMatrix(1, 1).hamming(Odd()),
         "argument 'other': 'O\0dd' object cannot be converted to 'BitMatrix'"),
    ]:
        with pytest.raises((ValueError, TypeError)) as info:
            call()
        assert str(info.value) == message


def test_unexpected_keyword_with_a_lone_surrogate_is_a_type_error():
    with pytest.raises(TypeError) as info:
        BitMatrix(1, 1, **{"ro\udc80ws": 1})
    assert type(info.value) is TypeError
    assert str(info.value) == "BitMatrix.__new__() got an unexpected keyword argument 'ro\udc80ws'"


def test_type_mismatch_names_any_type():
    class Odd:
        pass

    Odd.__qualname__ = "Odd\udc80"
    for call in (lambda: BitMatrix(1, 1).hamming(Odd()), lambda: BitMatrix.from_list(Odd()),
                 lambda: BitMatrix(1, 1, Odd()), lambda: BoolLs(Odd()), lambda: ao_bmf(Odd(), 1)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError and "cannot be converted to" in str(info.value)
