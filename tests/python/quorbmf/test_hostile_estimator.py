"""Hostile use of quorbmf: every public entry called with generated data in
every dtype, layout, container and sparse format, with masks, hostile
parameters, callbacks that raise or re-enter, threads and Ctrl-C.

For every case: nothing crashes; an error is one of the documented types
(TypeError, ValueError, RuntimeError, MemoryError, scikit-learn's
NotFittedError, KeyboardInterrupt where one was sent, or what a hostile
object raised itself); the inputs are byte-identical afterwards; a failed
fit leaves the estimator as it was; a result agrees with NumPy (the error
of W∘H on the observed cells, transform, score, inverse_transform, the
iteration count and history); and the same 0/1 data with the same observed
cells gives the same fit whatever its dtype, layout, container or format.

The fuzzer is deterministic: case k of batch b is drawn from
random.Random(f"{QUORBMF_FUZZ_SEED}/{b}/{k}"). The batches run in child
interpreters with a capped address space (see hostile.py); the last batch
runs a few cases on a Dask LocalCluster. Longer runs:

    QUORBMF_FUZZ_CASES=20000 QUORBMF_FUZZ_SEED=11 \\
        python3 -m pytest tests/python/quorbmf/test_hostile_estimator.py

QUORBMF_FUZZ_CASES is the total over all batches (default 2000; 600 under
AddressSanitizer).
KNOWN below names the kinds of case that once reached a fault, now mended;
a failure names the kinds its case belongs to, so an old fault come back is
told from a new one at a glance. QUORBMF_FUZZ_KNOWN=skip leaves all those
cases out (a comma-separated list of KNOWN's names, those only), to see
whether the rest runs clean while one of them is broken.
"""
import _thread
import contextlib
import copy
import io
import math
import os
import pickle
import random
import re
import sys
import threading
import time
import traceback
import warnings

import numpy as np
import pandas as pd
import scipy.sparse as sp
from sklearn.exceptions import NotFittedError

from conftest import UNDER_SANITIZER, skip_under_sanitizer
from hostile import cap_address_space, merge_tallies, run_batches, split_cases
from QuorBMF import BitMatrix, ao_bmf
from quorbmf import (
    BooleanMF,
    PackedMatrix,
    as_packed,
    as_packed_observed,
    choose_rank,
    description_length,
    load_mushroom,
)

# Fewer by default under AddressSanitizer, where every case runs several times slower.
CASES = int(os.environ.get("QUORBMF_FUZZ_CASES", "600" if UNDER_SANITIZER else "2000"))
SEED = os.environ.get("QUORBMF_FUZZ_SEED", "2718")
TRACE = bool(os.environ.get("QUORBMF_FUZZ_TRACE"))
BATCHES = 2
DASK_CASES = 4
HEADROOM = 1536 * 2**20

# The kinds of case that once reached a fault, by the name their tag carries.
KNOWN = {
    "corrupt-sparse": "a corrupt sparse structure is read before it is checked",
    "duplicates": "duplicate sparse entries are ORed (CSR) or refused (COO), not summed",
    "empty-mask": "a mask that hides nothing changes the fit; auto's masked ranks",
    "hidden-inf": "inf in an unobserved cell is read",
    "reentrant": "a fit from a callback or a second thread leaves a mixed state",
    "custom-unobserved": "a custom start keeps rows/columns with no observed cell",
    "screen-iters": "screening runs more iterations than max_iter",
    "dl-shapes": "description_length checks no shapes",
    "object-strings": "numeric strings in object arrays are parsed",
    "inf-message": "the message for inf names no cell",
    "slow-interrupt": "Ctrl-C waits for a long start",
    # Found by this fuzzer, beyond the list:
    "transform-in-fit": "transform from a callback of a first fit: AttributeError",
    "dia-zeros": "the stored zeros of a DIA matrix count as absent",
}
_KNOWN_SETTING = os.environ.get("QUORBMF_FUZZ_KNOWN", "")
SKIPPED_TAGS = set(KNOWN) if _KNOWN_SETTING == "skip" else set(_KNOWN_SETTING.split(",")) - {""}


class HostileError(Exception):
    """Raised by hostile objects; must come out unchanged."""


class CaseFailure(AssertionError):
    pass


def fail(text):
    raise CaseFailure(text)


def allowed_error(e):
    """A documented exception type (KeyboardInterrupt is checked where sent)."""
    if isinstance(e, (HostileError, NotFittedError)):
        return True
    if isinstance(e, (AttributeError, LookupError, ArithmeticError)):
        return False
    return isinstance(e, (TypeError, ValueError, RuntimeError, MemoryError))


# ---------------------------------------------------------------------------
# NumPy references


def bool_product(w, h):
    return (np.asarray(w, np.float32) @ np.asarray(h, np.float32)) > 0


def wrong_cells(w, h, cells, observed):
    wrong = bool_product(w, h) != cells
    if observed is not None:
        wrong &= observed
    return int(wrong.sum())


def log2_binomial(n, k):
    if k < 0 or k > n:
        return math.inf
    return (math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1)) / math.log(2)


def universal_bits(k):
    bits, value = math.log2(2.865064), float(k)
    while True:
        value = math.log2(value) if value > 1 else 0.0
        if value <= 0:
            return bits
        bits += value


def description_bits(x, w, h):
    """The documented description length, from its definition."""
    m, n = x.shape
    k = w.shape[1]
    bits = universal_bits(k + 1)
    bits += sum(math.log2(m + 1) + log2_binomial(m, int(c.sum())) for c in w.T)
    bits += sum(math.log2(n + 1) + log2_binomial(n, int(p.sum())) for p in h)
    recon = bool_product(w, h) if k else np.zeros((m, n), bool)
    covered, extra = int(recon.sum()), int((recon & ~x).sum())
    missed = int(x.sum()) - (covered - extra)
    bits += math.log2(covered + 1) + log2_binomial(covered, extra)
    bits += math.log2(m * n - covered + 1) + log2_binomial(m * n - covered, missed)
    return bits


def documented_auto_method(r, masked, weighted=False):
    """What the docstring of BooleanMF says "auto" picks."""
    doc = BooleanMF.__doc__
    found = re.search(r'missing values, "greedy-ls" from (\d+) to (\d+)', doc)
    if r <= 12:
        return "zeta"
    if masked and found and int(found.group(1)) <= r <= int(found.group(2)):
        return "greedy-ls"
    if masked and not found:
        return None
    if weighted and 'with costs other than\n        equal, "exact-blocks" from 13' in doc:
        return "exact-blocks"
    return "exact" if r <= 20 else "exact-blocks"


# ---------------------------------------------------------------------------
# Snapshots: inputs and estimators


def frozen(v):
    """A comparable image of an input, to see that nothing modified it."""
    if isinstance(v, np.ma.MaskedArray):
        return ("masked", frozen(np.ma.getdata(v)), frozen(np.ma.getmaskarray(v)))
    if isinstance(v, np.ndarray):
        if v.nbytes > 2**26:  # a broadcast view: its few real bytes
            return ("view", v.shape, v.strides, frozen(v.base) if v.base is not None else None)
        body = repr(v.tolist()) if v.dtype == object else v.tobytes()
        return ("array", v.shape, v.dtype.str, v.flags.writeable, body)
    if sp.issparse(v):
        parts = [v.format, v.shape, v.dtype.str]
        if v.format == "dok":
            parts.append(sorted(v.items()))
        elif v.format == "lil":
            parts.append(repr(v.rows.tolist()) + repr(v.data.tolist()))
        elif v.format == "dia":
            parts += [v.data.tobytes(), v.offsets.tobytes()]
        elif v.format == "coo":
            parts += [v.data.tobytes(), *(c.tobytes() for c in v.coords)]
        else:
            parts += [v.data.tobytes(), v.indices.tobytes(), v.indptr.tobytes(),
                      v.indices.dtype.str, v.indptr.dtype.str]
        return tuple(parts)
    if isinstance(v, pd.DataFrame):
        return ("frame", [str(t) for t in v.dtypes], repr(list(v.columns)), repr(v.index),
                repr(v.astype(object).to_numpy().tolist()))
    if isinstance(v, list):
        return ("list", repr(v))
    if isinstance(v, PackedMatrix):
        return ("packed", v.shape, v.words.tobytes())
    if isinstance(v, BitMatrix):
        return ("bitmatrix", v.shape, v.to_list())
    return ("other", id(v))


def state(e):
    """Everything an estimator holds, comparable."""
    image = {}
    for k, v in e.__dict__.items():
        if isinstance(v, np.ndarray):
            image[k] = (v.dtype.str, v.shape, v.tobytes() if v.dtype != object else repr(v))
        elif isinstance(v, (int, float, str, list, tuple, type(None))):
            image[k] = repr(v)
        else:
            image[k] = id(v)
    return image


# ---------------------------------------------------------------------------
# Data: 0/1 cells, observed cells, and their renderings


def draw_cells(rng):
    nrng = np.random.default_rng(rng.randrange(2**32))
    rows = rng.choice([1, 1, 2, 3, 4, 5, 7, 9, 16])
    cols = rng.choice([1, 2, 3, 4, 6, 8, 13, 64, 65, 70])
    cells = nrng.random((rows, cols)) < rng.choice([0.0, 0.2, 0.5, 0.8, 1.0, 0.5])
    roll = rng.random()
    if roll < 0.45:
        observed = None
    elif roll < 0.55:
        observed = np.ones((rows, cols), bool)  # a mask that hides nothing
    else:
        observed = nrng.random((rows, cols)) < rng.choice([0.3, 0.7, 0.9])
        if rng.random() < 0.3:
            observed[rng.randrange(rows)] = False
        if rng.random() < 0.3:
            observed[:, rng.randrange(cols)] = False
    return cells, observed


def hides(observed):
    return observed is not None and not observed.all()


class Rendering:
    """One way to hand (cells, observed) to quorbmf: x, mask, sparse_absent,
    the error it must raise (None: accepted), a bad cell the message names,
    and the known faults it reaches."""

    def __init__(self, x, mask=None, sparse_absent="zero", expect=None, bad_cell=None,
                 tags=(), text=""):
        self.x, self.mask, self.sparse_absent = x, mask, sparse_absent
        self.expect, self.bad_cell, self.tags, self.text = expect, bad_cell, set(tags), text

    def inputs(self):
        return [self.x, self.mask]


def first_cell(where):
    i, j = np.unravel_index(int(np.argmax(where)), where.shape)
    return int(i), int(j)


def dense_layout(rng, a):
    layout = rng.choice(["C", "F", "strided", "reversed", "read-only", "transposed", "C"])
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "strided":
        big = np.zeros((a.shape[0] * 2, a.shape[1] * 3), a.dtype)
        big[::2, 1::3] = a
        a = big[::2, 1::3]
    elif layout == "reversed":
        a = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    elif layout == "transposed":
        a = np.ascontiguousarray(a.T).T
    elif layout == "read-only":
        a = a.copy()
        a.flags.writeable = False
    return a, layout


def corrupt_value(rng, a, cells, observed, tags):
    """Writes a value other than 0 and 1 into an observed cell (when a
    dtype can hold it); returns the rendering's expectation."""
    seen = np.ones(cells.shape, bool) if observed is None else observed
    if not seen.any():
        return None, None
    candidates = np.argwhere(seen)
    i, j = (int(v) for v in candidates[rng.randrange(len(candidates))])
    kind = a.dtype.kind
    values = {"b": [], "u": [2, 255], "i": [2, -1], "f": [2.0, -1.0, 0.5, np.inf, -np.inf],
              "O": [2, -1, 0.5, np.inf]}.get(kind, [])
    if kind == "f" and a.dtype.itemsize == 2:
        values.append(np.float16(65504))
    if not values:
        return None, None
    value = rng.choice(values)
    a[i, j] = value
    if np.isinf(float(value)):
        tags.add("inf-message")
    shown = np.where(seen, a, 0)  # hidden cells may hold pandas' NA
    bad = (shown != 0) & (shown != 1) & seen
    return ValueError, first_cell(bad)


def render_dense(rng, cells, observed):
    tags = set()
    dtype = rng.choice([bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                        np.int64, np.uint64, np.float16, np.float32, np.float64, object])
    a = cells.astype(dtype)
    how = rng.choice(["mask", "nan", "masked array", "mixed"]) if hides(observed) else (
        rng.choice(["none", "none", "mask", "masked array"]) if observed is not None else "none")
    mask = None
    hidden = None if observed is None else ~observed
    if how in ("nan", "mixed") and a.dtype.kind in "fO":
        pick = rng.choice([np.nan, None, pd.NA]) if a.dtype == object else np.nan
        a[hidden] = pick
        if how == "mixed":
            mask = observed.copy()
    elif how in ("mask", "nan", "mixed"):
        mask = observed.copy() if how != "none" else None
    if how in ("mask", "masked array", "mixed") and hides(observed) and rng.random() < 0.5:
        # Garbage in the hidden cells, never to be read.
        garbage = rng.choice([7, 2, 255] + ([np.inf, -np.inf, 0.5] if a.dtype.kind in "fO"
                                            else []))
        try:
            a[hidden] = garbage
            if a.dtype.kind in "fO" and np.isinf(float(garbage)):
                tags.add("hidden-inf")
        except (OverflowError, TypeError, ValueError):
            pass
    expect, bad = None, None
    if rng.random() < 0.12:
        expect, bad = corrupt_value(rng, a, cells, observed, tags)
    if a.dtype == object and rng.random() < 0.08 and cells.size:
        i, j = rng.randrange(cells.shape[0]), rng.randrange(cells.shape[1])
        a[i, j] = rng.choice(["1", " 0 ", "x", b"1"])
        expect, bad = (TypeError, ValueError) if expect else TypeError, None
        tags.add("object-strings")
    if observed is not None and how in ("mask", "masked array") and not hides(observed):
        tags.add("empty-mask")
    if how == "masked array":
        x = np.ma.masked_array(a, mask=~observed)
        text = f"masked {a.dtype}"
    else:
        x, layout = dense_layout(rng, a)
        text = f"{a.dtype} {layout}"
        if how == "mask" and mask is None:
            mask = observed.copy()
    if mask is not None and rng.random() < 0.2:
        mask = rng.choice([sp.csr_matrix(mask), PackedMatrix.from_dense(mask),
                           np.asfortranarray(mask)])
    return Rendering(x, mask, expect=expect, bad_cell=bad, tags=tags, text=f"dense {text} {how}")


def render_bad_dtype(rng, cells, observed):
    kind = rng.choice(["U1", "S1", "complex", "datetime", "timedelta", "void", "strings list"])
    if kind == "complex":
        x = cells.astype(np.complex128)
    elif kind == "datetime":
        x = cells.astype("M8[s]")
    elif kind == "timedelta":
        x = cells.astype("m8[s]")
    elif kind == "void":
        x = np.zeros(cells.shape, [("a", "?")])
    elif kind == "strings list":
        x = cells.astype(int).astype(str).tolist()
    else:
        x = cells.astype(int).astype(kind)
    return Rendering(x, None if observed is None else observed.copy(),
                     expect=(TypeError, ValueError), text=f"bad dtype {kind}")


def render_list(rng, cells, observed):
    rows = []
    for i, row in enumerate(cells):
        out = []
        for j, v in enumerate(row):
            if observed is not None and not observed[i, j]:
                out.append(rng.choice([float("nan"), None]))
            else:
                out.append(rng.choice([int(v), bool(v), float(v), np.uint8(v)]))
        rows.append(out if rng.random() < 0.7 else tuple(out))
    return Rendering(rows, text="nested list")


def render_frame(rng, cells, observed):
    dtype = rng.choice(["bool", "boolean", "Int8", "Int64", "UInt8", "Float64", "float64",
                        "int64", "object", "float32"])
    columns = rng.choice([None, "str", "int"])
    names = ([f"f{j}" for j in range(cells.shape[1])] if columns == "str"
             else list(range(cells.shape[1])) if columns == "int" else None)
    frame = pd.DataFrame(cells.astype(int), columns=names)
    mask, tags = None, set()
    if hides(observed):
        if dtype in ("boolean", "Int8", "Int64", "UInt8", "Float64", "object"):
            frame = frame.astype(dtype if dtype != "object" else object)
            frame = frame.mask(pd.DataFrame(~observed, columns=frame.columns))
        elif dtype in ("float64", "float32"):
            frame = frame.astype(dtype).mask(pd.DataFrame(~observed, columns=frame.columns))
        else:
            frame = frame.astype(dtype)
            mask = observed.copy()
    else:
        frame = frame.astype(dtype)
        if observed is not None:
            mask = observed.copy()
            tags.add("empty-mask")
    return Rendering(frame, mask, tags=tags, text=f"frame {dtype} columns {columns}")


SPARSE_FORMATS = ["csr", "csc", "coo", "lil", "dok", "bsr", "dia"]


def sparse_class(fmt, array):
    return getattr(sp, f"{fmt}_{'array' if array else 'matrix'}")


def render_sparse(rng, cells, observed):
    fmt = rng.choice(SPARSE_FORMATS + ["csr", "csc", "coo"])
    array = rng.random() < 0.5
    absent = "missing" if rng.random() < 0.3 else "zero"
    dtype = rng.choice([bool, np.int8, np.int64, np.uint8, np.float32, np.float64, np.float64])
    tags, mask = set(), None
    seen = np.ones(cells.shape, bool) if observed is None else observed
    stored = seen.copy() if absent == "missing" else cells & seen
    if absent == "zero" and rng.random() < 0.3:
        stored |= np.random.default_rng(rng.randrange(99)).random(cells.shape) < 0.2  # 0s
    nan_cells = np.zeros(cells.shape, bool)
    if hides(observed):
        if np.dtype(dtype).kind == "f" and rng.random() < 0.6:
            nan_cells = ~observed & (np.random.default_rng(rng.randrange(99)).random(
                cells.shape) < 0.6)
            stored |= nan_cells
        if absent == "zero" or (~observed & ~nan_cells & stored).any():
            mask = observed.copy()
        if absent == "missing":
            stored &= observed | nan_cells
            # hidden cells not stored are missing already; the rest need the mask
            if (~observed & ~nan_cells & stored).any():
                mask = observed.copy()
    elif observed is not None:
        mask = observed.copy()
        tags.add("empty-mask")
    if absent == "missing" and (~stored & seen).any():
        fail("internal: renders a stored cell as absent")
    rows_i, cols_i = np.nonzero(stored)
    truth = cells & seen
    values = np.where(nan_cells[rows_i, cols_i], np.nan, truth[rows_i, cols_i]).astype(
        np.float64)
    # Duplicates, only where the format keeps them: a value split into parts
    # that scipy sums.
    dup = fmt in ("csr", "csc", "coo") and rng.random() < 0.25 and len(values)
    if dup:
        extra_r, extra_c, extra_v = [], [], []
        for k in rng.sample(range(len(values)), min(3, len(values))):
            if np.isnan(values[k]) or np.dtype(dtype).kind == "b":
                continue
            if rng.random() < 0.3:
                part = values[k]  # stored twice: 1 + 1 is 2
            else:
                part = rng.choice([1.0, -1.0, 0.0, 2.0] if np.dtype(dtype).kind in "if"
                                  else [0.0])
                if np.dtype(dtype).kind == "u" and part < 0:
                    continue
                values[k] -= part
            extra_r.append(rows_i[k])
            extra_c.append(cols_i[k])
            extra_v.append(part)
        if extra_v:
            tags.add("duplicates")
        rows_i = np.concatenate([rows_i, extra_r]).astype(np.int64)
        cols_i = np.concatenate([cols_i, extra_c]).astype(np.int64)
        values = np.concatenate([values, extra_v])
    if np.dtype(dtype).kind in "biu" and np.isnan(values).any():
        values = np.nan_to_num(values)  # cannot hold NaN: those cells need the mask
        mask = seen.copy() if observed is not None else None
    order = list(range(len(values)))
    if fmt in ("csr", "csc", "coo") and rng.random() < 0.3:
        rng.shuffle(order)
    coo = sp.coo_matrix((values[order].astype(dtype), (rows_i[order], cols_i[order])),
                        shape=cells.shape)
    if fmt == "bsr":
        # Larger blocks store their zeros: only where absent cells are 0.
        size = (1, 1) if absent == "missing" else rng.choice([(1, 1), None])
        x = sparse_class(fmt, array)(coo, blocksize=size)
    else:
        x = sparse_class(fmt, array)(coo) if fmt != "coo" else (
            sp.coo_array(coo) if array else coo)
    if fmt == "dia" and absent == "missing" and (dia_cells(x) != stored).any():
        # A DIA stores every cell of its diagonals: absent cells off them only.
        fmt = "csr"
        x = sparse_class(fmt, array)(coo)
    if fmt in ("csr", "csc") and dup:
        # Built from its own index arrays: scipy's constructors sum duplicates.
        major, minor = (rows_i, cols_i) if fmt == "csr" else (cols_i, rows_i)
        by_major = np.argsort(major[order], kind="stable")
        picked = np.asarray(order)[by_major]
        indptr = np.concatenate([[0], np.cumsum(np.bincount(
            major, minlength=cells.shape[0] if fmt == "csr" else cells.shape[1]))])
        x = sparse_class(fmt, array)((values[picked].astype(dtype), minor[picked], indptr),
                                     shape=cells.shape)
        if "duplicates" in tags and x.has_canonical_format:
            fail("internal: the duplicates were summed")
    if fmt in ("csr", "csc", "bsr") and rng.random() < 0.4:
        x.indices = x.indices.astype(np.int64)
        x.indptr = x.indptr.astype(np.int64)
    expect, bad = None, None
    if absent == "missing" and not hides(observed):
        tags.add("empty-mask")
    sums = np.zeros(cells.shape)
    np.add.at(sums, (rows_i, cols_i), np.nan_to_num(values.astype(dtype).astype(np.float64),
                                                    nan=0.0))
    if fmt in ("csr", "csc", "coo") and ((sums != 0) & (sums != 1) & seen).any():
        expect, bad = ValueError, first_cell((sums != 0) & (sums != 1) & seen)
    elif (sums.astype(bool) != (cells & seen)).any() and not nan_cells.any():
        fail("internal: sparse rendering holds other cells")
    if fmt == "dia" and absent == "missing" and (stored & ~truth).any():
        tags.add("dia-zeros")
    text = f"sparse {fmt}_{'array' if array else 'matrix'} {np.dtype(dtype)} absent={absent}"
    return Rendering(x, mask, absent, expect, bad, tags, text)


def dia_cells(x):
    """The cells a DIA matrix stores: every cell of its diagonals inside it."""
    rows, cols = x.shape
    out = np.zeros(x.shape, bool)
    for offset in x.offsets:
        j = np.arange(max(0, offset), min(cols, rows + offset, x.data.shape[1]))
        out[j - offset, j] = True
    return out


def tqdm_monitor_type():
    try:
        from tqdm._monitor import TMonitor
    except ImportError:
        return ()
    return TMonitor


def render_corrupt_sparse(rng, cells, observed):
    fmt = rng.choice(["csr", "csc", "csr", "csc", "coo", "bsr"])
    x = sparse_class(fmt, rng.random() < 0.5)(cells.astype(rng.choice([bool, np.float64])))
    how = rng.choice(["index range", "negative index", "short indptr", "indptr end",
                      "indptr order", "data length", "huge indptr end"])
    if fmt == "coo":
        if x.nnz == 0:
            return render_sparse(rng, cells, observed)
        x.row[rng.randrange(x.nnz)] = rng.choice([10**7, cells.shape[0], -1])
        how = "coo row range"
    elif how in ("index range", "negative index"):
        if len(x.indices) == 0:
            return render_sparse(rng, cells, observed)
        x.indices[rng.randrange(len(x.indices))] = 10**7 if how == "index range" else -1
    elif how == "short indptr":
        x.indptr = x.indptr[:-1].copy()
    elif how in ("indptr end", "huge indptr end"):
        x.indptr[-1] = 2**31 - 1 if how == "huge indptr end" else x.indptr[-1] + 1
    elif how == "indptr order":
        if len(x.indptr) < 3 or x.nnz == 0:
            return render_sparse(rng, cells, observed)
        x.indptr[1] = x.indptr[-1]
        x.indptr[-1] = 0 if x.indptr[1] else x.indptr[-1]
        if (np.diff(x.indptr) >= 0).all():
            x.indptr[-2], x.indptr[-1] = x.indptr[-1] + 1, x.indptr[-1]
    else:
        x.data = x.data[:-1].copy() if x.nnz else np.ones(3, x.dtype)
    mask = None if observed is None else observed.copy()
    return Rendering(x, mask, expect=ValueError, tags={"corrupt-sparse"},
                     text=f"corrupt {fmt} ({how})")


def render_huge(rng, cells, observed):
    kind = rng.choice(["sparse", "broadcast"])
    n = rng.choice([2**36, 2**40, 2**62])
    if kind == "sparse":  # index arrays that fit, a declared size that does not
        x = rng.choice([sp.csr_matrix((3, n), dtype=bool), sp.csc_array((n, 2), dtype=bool),
                        sp.coo_matrix((np.ones(1), ([n - 1], [n - 1])), shape=(n, n))])
    else:
        x = np.broadcast_to(np.zeros((1, 1), bool), (2**20, 2**20))
    return Rendering(x, expect=(ValueError, MemoryError), text=f"huge {kind} {n}")


def render_packed(rng, cells, observed):
    x = rng.choice([PackedMatrix.from_dense(cells), BitMatrix.from_numpy(cells)])
    mask = None if observed is None else observed.copy()
    tags = {"empty-mask"} if observed is not None and not hides(observed) else set()
    return Rendering(x, mask, tags=tags, text=type(x).__name__)


def render(rng, cells, observed, hostile=True):
    roll = rng.random()
    if not hostile:
        roll = rng.random() * 0.85
    if roll < 0.35:
        return render_dense(rng, cells, observed)
    if roll < 0.45:
        return render_list(rng, cells, observed) if observed is None or rng.random() < 0.7 \
            else render_dense(rng, cells, observed)
    if roll < 0.55:
        return render_frame(rng, cells, observed)
    if roll < 0.8:
        return render_sparse(rng, cells, observed)
    if roll < 0.85:
        return render_packed(rng, cells, observed)
    if roll < 0.92:
        return render_corrupt_sparse(rng, cells, observed)
    if roll < 0.97:
        return render_bad_dtype(rng, cells, observed)
    return render_huge(rng, cells, observed)


# ---------------------------------------------------------------------------
# Parameters

METHODS = ["auto", "exact", "zeta", "greedy", "greedy-ls", "naive", "exact-blocks"]


def draw_params(rng, cells):
    rows, cols = cells.shape
    r = rng.choice([1, 1, 2, 3, 4, 5, min(cols, 6), 8, 13, 21, 30])
    params = {
        "n_components": r,
        "method": rng.choice(METHODS + ["auto", "zeta", " Greedy-LS\t"]),
        "init": rng.choice(["auto", "auto", "random-columns", "grecond", "asso",
                            "random-columns"]),
        "n_init": rng.choice([1, 1, 2, "auto", "auto", 3]),
        "max_iter": rng.choice([1, 1, 2, 3, 50]),
        "random_state": rng.choice([0, 1, 7, 2**32 + 5, 2**64 - 1]),
    }
    if params["method"].strip().lower() == "naive" and r > 8:
        params["method"] = "zeta"
    if r > 13 and params["method"] in ("naive",):
        params["method"] = "auto"
    if rng.random() < 0.3:
        params["n_jobs"] = rng.choice([None, 1, 2, -1, -2])
    if rng.random() < 0.2:
        params["block_size"] = rng.choice([None, 1, 2, 5, 2**40])
    if rng.random() < 0.05:
        params["verbose"] = 1
    if rng.random() < 0.25:
        if rng.random() < 0.3:
            params["from_below"] = True
        else:
            params["false_positive_cost"] = rng.choice([0, 0.5, 1, 3, 2.0**20])
            params["false_negative_cost"] = rng.choice([1, 2.5, 4])
    return params


HOSTILE_PARAMS = {
    "n_components": [0, -1, 1025, 10**30, 2.0, "3", True, np.int64(2), None, np.uint8(1)],
    "method": ["ZETA", "zeta\0", "", "exact_blocks", None, 1, b"zeta", np.str_("greedy")],
    "init": ["AUTO", "custom", "", None, "grecond ", 0],
    "n_init": [0, -1, "auto", "AUTO", 1.0, True, np.int64(2), 10**9 + 1],
    "max_iter": [0, -1, 1.5, None, True, np.int8(1), 2**63],
    "random_state": [-1, 2**64, 1.5, "1", np.random.RandomState(3), None, True,
                     np.int64(-5), np.uint64(2**64 - 1)],
    "n_jobs": [0, 2.0, "2", True, -1, 10**6, np.int32(2)],
    "verbose": [-1, 2, 1.0, True, None],
    "callback": [1, "print", object()],
    "block_size": [0, -3, 1.5, True, 2**70],
    "backend": ["Threads", "dask ", "loky", None],
    "binarize": [float("nan"), float("inf"), -1.0, 0.5, "0.5", True, 2, np.float32(0.5)],
    "sparse_absent": ["Missing", None, "nan", 0],
    "false_positive_cost": [-1, float("nan"), float("inf"), "1", True, None],
    "false_negative_cost": [-0.5, float("-inf"), b"1", False],
    "from_below": [1, "yes", None, 0.0],
}


# ---------------------------------------------------------------------------
# Checks of a fit


def tag_params(ctx, params, observed):
    """The known faults a parameter set reaches on data with these observed
    cells."""
    method = str(params.get("method", "auto")).strip().lower()
    r = params.get("n_components")
    if method == "auto" and hides(observed) and isinstance(r, int) and 13 <= r <= 20:
        ctx.tags.add("empty-mask")
    if (params.get("init", "auto") == "auto" and params.get("n_init", "auto") == "auto"
            and (r is None or isinstance(r, int) and r <= 12)
            and params.get("max_iter", 50) in (1, True)):
        ctx.tags.add("screen-iters")


def check_fitted(e, w, cells, observed, params, where):
    r = e.n_components_
    m, n = cells.shape
    h = e.components_
    if h.dtype != bool or h.shape != (r, n) or e.n_features_in_ != n:
        fail(f"{where}: components_ {h.dtype} {h.shape}, n_features_in_ {e.n_features_in_}, "
             f"rank {r}, X {cells.shape}")
    if params.get("n_components") is not None and r != params["n_components"]:
        fail(f"{where}: rank {r}")
    if w is not None:
        if w.dtype != bool or w.shape != (m, r):
            fail(f"{where}: W {w.dtype} {w.shape}")
        err = wrong_cells(w, h, cells, observed)
        if err != e.reconstruction_err_:
            fail(f"{where}: reconstruction_err_ {e.reconstruction_err_}, W∘H has {err} "
                 "wrong observed cells")
        if observed is not None:
            empty_rows, empty_cols = ~observed.any(axis=1), ~observed.any(axis=0)
            if w[empty_rows].any() or h[:, empty_cols].any():
                fail(f"{where}: rows/columns with no observed cell have non-zero factors")
    hist = e.error_history_
    max_iter = params.get("max_iter", 50)
    if not 1 <= e.n_iter_ <= max_iter or len(hist) != e.n_iter_:
        fail(f"{where}: n_iter_ {e.n_iter_}, max_iter {max_iter}, history {hist}")
    # What the fit minimised: the error, or the cost with costs.
    weighted = (params.get("from_below", False) or params.get("false_positive_cost", 1)
                != params.get("false_negative_cost", 1))
    if e.n_false_positives_ + e.n_false_negatives_ != e.reconstruction_err_:
        fail(f"{where}: {e.n_false_positives_} + {e.n_false_negatives_} wrong cells, "
             f"reconstruction_err_ {e.reconstruction_err_}")
    if params.get("from_below", False) and e.n_false_positives_:
        fail(f"{where}: from below with {e.n_false_positives_} false positives")
    target = e.cost_ if weighted else e.reconstruction_err_
    slack = 1e-9 * max(1.0, abs(target))
    if any(b >= a for a, b in zip(hist[:-2], hist[1:-1])) or target > min(hist) + slack:
        fail(f"{where}: history {hist}, minimised {target}")
    # The search's improvements: below the kept run, falling, the last one
    # the fitted error.
    found = [error for _, error in e.search_history_]
    if found and (found[0] >= min(hist) or abs(found[-1] - target) > slack
                  or any(b >= a for a, b in zip(found, found[1:]))):
        fail(f"{where}: search history {e.search_history_}, history {hist}, "
             f"minimised {target}")
    if params.get("method", "auto").strip().lower() == "auto":
        expected = documented_auto_method(r, hides(observed), weighted)
        if expected is not None and e.method_ != expected:
            fail(f"{where}: auto picked {e.method_!r} at rank {r} "
                 f"({'masked' if hides(observed) else 'unmasked'}), documented {expected!r}")


def fit_record(e, w):
    return (e.components_.tobytes(), e.components_.shape, None if w is None else w.tobytes(),
            e.reconstruction_err_, e.n_iter_, tuple(e.error_history_), e.method_, e.init_)


REFERENCES = {}


def reference_fit(cells, observed, params):
    """The fit of the plain bool array with mask= for the hidden cells."""
    key = (cells.tobytes(), cells.shape, None if observed is None else observed.tobytes(),
           repr(sorted(params.items())))
    if key not in REFERENCES:
        e = BooleanMF(**params)
        mask = observed if hides(observed) else None
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                w = e.fit_transform(cells, mask=mask)
            REFERENCES[key] = (e, w, None)
        except (ValueError, TypeError) as err:
            REFERENCES[key] = (None, None, err)
        if len(REFERENCES) > 200:
            REFERENCES.pop(next(iter(REFERENCES)))
    return REFERENCES[key]


ACCEPTED_REFUSALS = ("supported up to rank", "at rank", "needs both W and H")


def check_refusal(err, where, masked=True):
    """Valid data and valid parameters: a refusal must be one of the
    documented limits, in words a user can act on; the limit of masked fits
    only where some cell is unobserved."""
    if not any(s in str(err) for s in ACCEPTED_REFUSALS) or (
            not masked and ACCEPTED_REFUSALS[0] in str(err)):
        fail(f"{where}: valid data and parameters refused: {type(err).__name__}: {err}")


def check_rendering_error(err, rendering, where):
    """The error of a rendering with a bad value, type or structure (or a
    parameter refused before the data are read)."""
    expect = rendering.expect
    if isinstance(err, ValueError) and "at rank" in str(err):
        return
    if not isinstance(err, expect):
        fail(f"{where}: expected {expect}, got {type(err).__name__}: {err}")
    if rendering.bad_cell is not None and isinstance(err, ValueError):
        i, j = rendering.bad_cell
        if f"({i}, {j})" not in str(err):
            fail(f"{where}: the message names no first bad cell ({i}, {j}): {err}")


# ---------------------------------------------------------------------------
# Cases


def case_fit(rng, ctx):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    rendering = render(rng, cells, observed)
    tag_params(ctx, params, observed)
    ctx.tags |= rendering.tags
    if rendering.sparse_absent == "missing":
        params["sparse_absent"] = "missing"
    ctx.text = f"BooleanMF(**{params}).fit_transform(<{rendering.text}>, mask=...)"
    if ctx.skipped():
        return
    e = BooleanMF(**params)
    ctx.watch(rendering.inputs())
    use_fit = rng.random() < 0.3
    before = state(e)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if use_fit:
                w = None
                e.fit(rendering.x, mask=rendering.mask)
            else:
                w = e.fit_transform(rendering.x, mask=rendering.mask)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{ctx.text}: a failed fit changed the estimator")
        if rendering.expect is not None:
            check_rendering_error(err, rendering, ctx.text)
        else:
            check_refusal(err, ctx.text, hides(observed))
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if rendering.expect is not None:
        fail(f"{ctx.text}: accepted, expected {rendering.expect}")
    check_fitted(e, w, cells, observed, params, ctx.text)
    params.pop("sparse_absent", None)
    ref, ref_w, ref_err = reference_fit(cells, observed, params)
    if ref is None:
        fail(f"{ctx.text}: accepted, but the plain array was refused: {ref_err}")
    if fit_record(ref, None if w is None else ref_w) != fit_record(e, w):
        fail(f"{ctx.text}: fits differently from the plain bool array with mask=: "
             f"error {e.reconstruction_err_} vs {ref.reconstruction_err_}, "
             f"method {e.method_} vs {ref.method_}, n_iter {e.n_iter_} vs {ref.n_iter_}")
    if (not hides(observed) and params["init"] == "random-columns" and params["n_init"] == 1
            and params["method"] in ("naive", "zeta", "greedy", "greedy-ls")
            and params["n_components"] <= 20):
        res = ao_bmf(BitMatrix.from_numpy(cells), params["n_components"], params["method"],
                     params["max_iter"], params["random_state"])
        if (res.error, res.iterations) != (e.reconstruction_err_, e.n_iter_) or (
                not np.array_equal(res.h.to_numpy(), e.components_)):
            fail(f"{ctx.text}: differs from ao_bmf: {res.error}/{res.iterations} vs "
                 f"{e.reconstruction_err_}/{e.n_iter_}")
    if rng.random() < 0.5:
        use_fitted(rng, ctx, e, cells, observed)


def use_fitted(rng, ctx, e, cells, observed):
    """transform, score and inverse_transform of a fitted model, on new data
    rendered any way, checked against NumPy."""
    n = cells.shape[1]
    other = rng.random() < 0.15
    new_cells, new_observed = draw_cells(rng)
    rows = new_cells.shape[0]
    new_cells = np.resize(new_cells, (rows, n + (rng.choice([-1, 1]) if other and n > 1
                                                  else 0)))
    new_observed = None if new_observed is None else np.resize(new_observed, new_cells.shape)
    rendering = render(rng, new_cells, new_observed)
    ctx.tags |= rendering.tags
    if ctx.skipped():
        return
    ctx.watch(rendering.inputs())
    e.set_params(sparse_absent=rendering.sparse_absent)
    where = f"{ctx.text}; transform/score(<{rendering.text}>)"
    before = state(e)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            w = e.transform(rendering.x, mask=rendering.mask)
            score = e.score(rendering.x, mask=rendering.mask)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{where}: transform changed the estimator")
        if rendering.expect is None and new_cells.shape[1] == n:
            check_refusal(err, where)
        elif rendering.expect is not None and new_cells.shape[1] == n:
            check_rendering_error(err, rendering, where)
        return
    if rendering.expect is not None or new_cells.shape[1] != n:
        fail(f"{where}: accepted")
    if state(e) != before:
        fail(f"{where}: transform changed the estimator")
    h = e.components_
    if w.dtype != bool or w.shape != (rows, e.n_components_):
        fail(f"{where}: W {w.dtype} {w.shape}")
    err = wrong_cells(w, h, new_cells, new_observed)
    cells_seen = new_cells.size if new_observed is None else int(new_observed.sum())
    if not math.isclose(score, 1.0 - err / max(cells_seen, 1), rel_tol=0, abs_tol=1e-12):
        fail(f"{where}: score {score}, NumPy {1.0 - err / max(cells_seen, 1)}")
    r = e.n_components_
    if e.method_ in ("zeta", "exact", "naive") and r <= 6:
        combos = (np.arange(2**r)[:, None] >> np.arange(r)) & 1
        rebuilt = bool_product(combos.astype(bool), h)
        seen = np.ones(new_cells.shape, bool) if new_observed is None else new_observed
        # Each row's cost by the model's costs: false positives first from below.
        fp_cost = n + 1.0 if e.from_below else float(e.false_positive_cost)
        fn_cost = float(e.false_negative_cost)
        for i in range(rows):
            def cost(product, i=i):
                fp = (product & ~new_cells[i] & seen[i]).sum(axis=-1)
                fn = (~product & new_cells[i] & seen[i]).sum(axis=-1)
                return fp_cost * fp + fn_cost * fn
            best = cost(rebuilt).min()
            got = cost(bool_product(w[i:i + 1], h)[0])
            if not math.isclose(got, best, rel_tol=1e-12, abs_tol=1e-9):
                fail(f"{where}: row {i} refitted at cost {got}, best is {best}")
    back = e.inverse_transform(rng.choice([w, w.astype(np.uint8), w.tolist(),
                                           sp.csr_matrix(w), np.asfortranarray(w)]))
    if not np.array_equal(back, bool_product(w, h)):
        fail(f"{where}: inverse_transform differs from W∘H")
    wrong = rng.choice([w[:, :-1] if r > 1 else w[:, :0], np.hstack([w, w]), w.astype(int) + 2,
                        w.astype(str), w.ravel(), None, w.astype(complex)])
    ctx.watch([wrong])
    try:
        e.inverse_transform(wrong)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{where}: inverse_transform changed the estimator")
    else:
        fail(f"{where}: inverse_transform accepted a wrong W {np.shape(wrong)}")


def case_hostile_params(rng, ctx):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    name = rng.choice(sorted(HOSTILE_PARAMS))
    params[name] = rng.choice(HOSTILE_PARAMS[name])
    if name == "backend" and str(params[name]).strip() == "dask ":
        params[name] = "Dask"
    params["random_state"] = params.get("random_state", 0)
    ctx.text = f"BooleanMF(**{params!r}).fit(cells)"
    if name == "init" and params[name] == "custom":
        ctx.tags.add("custom-unobserved") if hides(observed) else None
    tag_params(ctx, params, observed)
    if ctx.skipped():
        return
    x = cells.astype(rng.choice([bool, np.float64]))
    if hides(observed):
        x = x.astype(float)
        x[~observed] = np.nan
    ctx.watch([x])
    e = BooleanMF(**params)
    before = state(e)
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            w = e.fit_transform(x)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{ctx.text}: a failed fit changed the estimator")
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if params.get("binarize") is None:
        check_fitted(e, w, cells, observed if hides(observed) else None,
                     {k: v for k, v in params.items()
                      if k in ("max_iter", "from_below", "false_positive_cost",
                               "false_negative_cost")
                      or (k == "method" and isinstance(v, str))}, ctx.text)


def hostile_factor(rng, shape, transpose):
    """A starting factor of the given shape (transposed for H), in some
    container, or a wrong one; and whether it is right."""
    m, k = shape
    a = np.random.default_rng(rng.randrange(99)).random((m, k)) < 0.5
    if transpose:
        a = a.T
    if rng.random() < 0.6:
        return rng.choice([a, a.astype(np.int8), a.astype(float).tolist(), sp.csr_matrix(a),
                           sp.coo_array(a), PackedMatrix.from_dense(a), np.asfortranarray(a),
                           a.astype(object), BitMatrix.from_numpy(a)]), True
    wrong = [a.astype(float) + 2, None, "W", np.zeros(a.shape, complex), np.ma.masked_array(a),
             a.ravel(), a.astype(str)]
    if a.shape[0] > 1:
        wrong.append(a[:-1])
    if a.shape[1] > 1:
        wrong.append(a[:, :-1])
    if a.shape[0] != a.shape[1]:
        wrong.append(a.T)
    return rng.choice(wrong), False


def case_custom(rng, ctx):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    params["init"] = "custom"
    r = params["n_components"]
    w0, w_ok = hostile_factor(rng, (cells.shape[0], r), False)
    h0, h_ok = hostile_factor(rng, (cells.shape[1], r), True)
    rendering = render(rng, cells, observed, hostile=False)
    ctx.tags |= rendering.tags
    if hides(observed) and (~observed.any(axis=0)).any() | (~observed.any(axis=1)).any():
        ctx.tags.add("custom-unobserved")
    tag_params(ctx, params, observed)
    if rendering.sparse_absent == "missing":
        params["sparse_absent"] = "missing"
    ctx.text = f"BooleanMF(**{params}).fit_transform(<{rendering.text}>, W=..., H=...)"
    if ctx.skipped():
        return
    ctx.watch(rendering.inputs() + [w0, h0])
    e = BooleanMF(**params)
    before = state(e)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            w = e.fit_transform(rendering.x, mask=rendering.mask, W=w0, H=h0)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{ctx.text}: a failed fit changed the estimator")
        if w_ok and h_ok and rendering.expect is None:
            check_refusal(err, ctx.text)
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if not (w_ok and h_ok):
        fail(f"{ctx.text}: accepted hostile factors {type(w0).__name__} {type(h0).__name__}")
    check_fitted(e, w, cells, observed, params, ctx.text)
    # Never worse than the start.
    start = wrong_cells(as_packed(w0).to_numpy(), as_packed(h0).to_numpy(), cells, observed)
    if e.reconstruction_err_ > start:
        fail(f"{ctx.text}: error {e.reconstruction_err_} above the start's {start}")


def case_callback(rng, ctx):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    params["max_iter"] = max(params["max_iter"], 2)
    kind = rng.choice(["raise", "keyboard", "reenter fit", "reenter transform", "get_params",
                       "set_params", "count", "two threads"])
    e = BooleanMF(**params)
    other = np.random.default_rng(rng.randrange(99)).random((3, 7)) < 0.5
    calls = []

    def callback(iteration, error):
        calls.append((iteration, error))
        if kind == "raise":
            raise HostileError("from the callback")
        if kind == "keyboard":
            raise KeyboardInterrupt
        if kind == "reenter fit" and len(calls) == 1:
            e.fit(other)
        if kind == "reenter transform":
            try:
                e.transform(cells)
            except NotFittedError:
                pass
        if kind == "get_params":
            e.get_params()
        if kind == "set_params":
            e.set_params(max_iter=1)

    e.set_params(callback=callback)
    if kind in ("reenter fit", "two threads"):
        ctx.tags.add("reentrant")
    if kind == "reenter transform":
        ctx.tags.add("transform-in-fit")
    tag_params(ctx, params, observed)
    ctx.text = f"BooleanMF(**{params}, callback=<{kind}>).fit(cells)"
    if ctx.skipped():
        return
    x = cells if not hides(observed) else np.where(observed, cells, np.nan)
    ctx.watch([x, other])
    before = state(e)
    if kind == "two threads":
        errors = []

        def run(data):
            try:
                e.fit(data)
            except BaseException as err:
                errors.append(err)

        threads = [threading.Thread(target=run, args=(d,)) for d in (x, other)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        for err in errors:
            if isinstance(err, ValueError):
                check_refusal(err, ctx.text, hides(observed))
            elif not isinstance(err, RuntimeError):
                fail(f"{ctx.text}: a thread raised {type(err).__name__}: {err}")
        check_whole(e, [(cells, observed, x), (other, None, other)], params, ctx.text)
        return
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            e.fit(x)
    except BaseException as err:
        if not calls and isinstance(err, ValueError):
            check_refusal(err, ctx.text, hides(observed))  # refused before any iteration
        elif kind == "raise":
            if not isinstance(err, HostileError):
                fail(f"{ctx.text}: the callback's error came out as {type(err).__name__}")
        elif kind == "keyboard":
            if not isinstance(err, KeyboardInterrupt):
                fail(f"{ctx.text}: the callback's Ctrl-C came out as {type(err).__name__}")
        else:
            ctx.check_error(err)
            if not isinstance(err, RuntimeError):
                check_refusal(err, ctx.text)
        if kind != "reenter fit" and state(e) != before:
            fail(f"{ctx.text}: a failed fit changed the estimator")
        if kind == "reenter fit" and hasattr(e, "components_"):
            check_whole(e, [(other, None, other)], params, ctx.text)
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if kind in ("raise", "keyboard"):
        fail(f"{ctx.text}: the callback's exception was swallowed")
    if kind in ("reenter fit",):
        check_whole(e, [(cells, observed, x), (other, None, other)], params, ctx.text)
        return
    if kind == "set_params":
        return
    # Called after every iteration of every run (the kept run's among
    # them), then at every improvement of the search.
    found = [tuple(c) for c in e.search_history_]
    runs = calls[:len(calls) - len(found)]
    if [tuple(c) for c in calls[len(runs):]] != found or not set(e.error_history_) <= {
            error for _, error in runs} or any(not 1 <= i <= params["max_iter"] for i, _ in runs):
        fail(f"{ctx.text}: callback calls {calls}, history {e.error_history_}, "
             f"search {e.search_history_}")
    check_fitted(e, None, cells, observed, params, ctx.text)


def check_whole(e, candidates, params, where):
    """The estimator holds one complete fit of one of the candidates."""
    if not hasattr(e, "components_"):
        return
    plain = {k: v for k, v in params.items()}
    for cells, observed, _ in candidates:
        ref, _, _ = reference_fit(cells, observed, plain)
        if ref is not None and fit_record(ref, None) == fit_record(e, None) and (
                e.n_features_in_ == cells.shape[1]):
            return
    fail(f"{where}: the estimator holds a mixture: n_features_in_ {e.n_features_in_}, "
         f"components_ {e.components_.shape}, error {e.reconstruction_err_}")


def case_interrupt(rng, ctx, baseline):
    wide = rng.random() < 0.04
    if wide:
        cells = np.random.default_rng(rng.randrange(99)).random((1, 20000)) < 0.5
        params = {"init": "grecond", "n_init": 1, "max_iter": 1, "random_state": 0}
        delay = 0.1
        ctx.tags.add("slow-interrupt")
    else:
        rows, cols = rng.choice([(200, 300), (400, 200), (60, 900)])
        cells = np.random.default_rng(rng.randrange(99)).random((rows, cols)) < 0.3
        params = draw_params(rng, cells)
        params.update(n_jobs=rng.choice([1, 2, -1]), max_iter=50,
                      block_size=rng.choice([None, 16, 64]))
        params["n_components"] = min(params["n_components"], 8)
        delay = rng.random() * 0.03
    ctx.text = f"interrupt after {delay:.3f} s: BooleanMF(**{params}).fit(<{cells.shape}>)"
    if ctx.skipped():
        return
    e = BooleanMF(**params)
    before = state(e)
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        _thread.interrupt_main()

    timer = threading.Timer(delay, interrupt)
    interrupted = None
    try:
        try:
            timer.start()
            e.fit(cells)
        finally:
            timer.cancel()
            timer.join()
            for _ in range(1000):  # a pending interrupt is delivered here
                pass
    except KeyboardInterrupt:
        interrupted = time.perf_counter()
    if interrupted is not None:
        ctx.outcome("KeyboardInterrupt")
        late = interrupted - sent[0]
        if late > 1.5:  # generous: the machine may be busy; a late one takes seconds
            fail(f"{ctx.text}: Ctrl-C landed {late:.2f} s late")
        if state(e) != before:
            # Ctrl-C may land on the way out of a fit that is complete: the
            # estimator then holds that whole fit, never a part of it.
            whole = BooleanMF(**params).fit(cells)
            if fit_record(whole, None) != fit_record(e, None):
                fail(f"{ctx.text}: an interrupted fit changed the estimator")
    else:
        ctx.outcome("ok")
        check_fitted(e, None, cells, None, params, ctx.text)
    def ours():
        # tqdm's monitor is one daemon thread per process, started by the
        # first progress bar that lives ten seconds and kept for the next.
        return {t for t in set(threading.enumerate()) - baseline
                if not isinstance(t, tqdm_monitor_type())}

    deadline = time.perf_counter() + 5
    while time.perf_counter() < deadline and ours():
        time.sleep(0.01)
    left = ours()
    if left:
        fail(f"{ctx.text}: threads left after the fit: {[t.name for t in left]}")


def case_pickle(rng, ctx):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    ctx.text = f"pickle BooleanMF(**{params})"
    tag_params(ctx, params, observed)
    if ctx.skipped():
        return
    e = BooleanMF(**params)
    if pickle.loads(pickle.dumps(e)).get_params() != e.get_params():
        fail(f"{ctx.text}: unfitted parameters lost")
    mask = observed if hides(observed) else None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            e.fit(cells, mask=mask)
        except ValueError as err:
            check_refusal(err, ctx.text)
            return
    f = pickle.loads(pickle.dumps(e, protocol=rng.choice([2, 4, 5])))
    if fit_record(f, None) != fit_record(e, None) or f.n_features_in_ != e.n_features_in_:
        fail(f"{ctx.text}: the unpickled model differs")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a, b = e.transform(cells, mask=mask), f.transform(cells, mask=mask)
    if not np.array_equal(a, b) or e.score(cells, mask=mask) != f.score(cells, mask=mask):
        fail(f"{ctx.text}: the unpickled model transforms differently")
    g = copy.deepcopy(e)
    if fit_record(g, None) != fit_record(e, None):
        fail(f"{ctx.text}: deepcopy differs")
    p = PackedMatrix.from_dense(cells)
    q = pickle.loads(pickle.dumps(p))
    if q != p or not np.array_equal(q.to_numpy(), cells):
        fail(f"{ctx.text}: PackedMatrix pickles differently")
    ctx.outcome("ok")


def case_as_packed(rng, ctx):
    cells, observed = draw_cells(rng)
    observed_entry = rng.random() < 0.6
    if not observed_entry:
        observed = None
    rendering = render(rng, cells, observed)
    ctx.tags |= rendering.tags
    if rendering.sparse_absent != "missing":
        ctx.tags.discard("empty-mask")  # a mask was given: observed cells are returned
    name = rng.choice(["X", "W", "data"])
    ctx.text = (f"{'as_packed_observed' if observed_entry else 'as_packed'}(<{rendering.text}>, "
                f"name={name!r})")
    if ctx.skipped():
        return
    ctx.watch(rendering.inputs())
    try:
        if observed_entry:
            packed, seen = as_packed_observed(rendering.x, mask=rendering.mask, name=name,
                                              sparse_absent=rendering.sparse_absent)
        else:
            packed, seen = as_packed(rendering.x, name=name), None
    except BaseException as err:
        ctx.check_error(err)
        if rendering.expect is None:
            fail(f"{ctx.text}: refused valid data: {type(err).__name__}: {err}")
        check_rendering_error(err, rendering, ctx.text)
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if rendering.expect is not None:
        fail(f"{ctx.text}: accepted, expected {rendering.expect}")
    truth = cells if observed is None else cells & observed
    if packed.shape != cells.shape or not np.array_equal(packed.to_numpy(), truth):
        fail(f"{ctx.text}: packs other cells")
    if observed_entry:
        if hides(observed) and (seen is None or not np.array_equal(seen.to_numpy(), observed)):
            fail(f"{ctx.text}: observed cells differ")
        if seen is not None and observed is None:
            fail(f"{ctx.text}: observed cells for a fully observed X without mask")


def case_packed_matrix(rng, ctx):
    cells, _ = draw_cells(rng)
    words = PackedMatrix.from_dense(cells).words
    cols = cells.shape[1]
    roll = rng.random()
    valid = True
    if roll < 0.4:
        args = (rng.choice([words, words.astype(np.int64), words.copy(order="F"),
                            words.tolist()]), rng.choice([cols, np.int64(cols), float(cols)]))
    else:
        valid = False
        args = rng.choice([
            (words, cols + 64), (words, 0), (words, -1), (words[:0], cols), (words[0], cols),
            (words | np.uint64(2**63), cols) if cols % 64 else (words, 2**70),
            (np.zeros((2, 2, 2), np.uint64), 3), ("words", 3), (words, "3"), (words, None),
            (np.full((1, 1), -1, np.int8), 64), (words.astype(float) + 0.5, cols),
            (words.astype(float), cols), ([[0.0]], 1), ([[-1]], 64), ([[2**64]], 64),
            (words, 2**64), (np.zeros((1, 2**14), np.uint64), 2**20),
        ])
    ctx.text = f"PackedMatrix(<{np.shape(args[0])}>, {args[1]!r})"
    ctx.watch([args[0]])
    try:
        p = PackedMatrix(*args)
    except BaseException as err:
        ctx.check_error(err)
        if valid:
            fail(f"{ctx.text}: refused: {err}")
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    dense = p.to_numpy()
    if valid and not np.array_equal(dense, cells):
        fail(f"{ctx.text}: holds other cells")
    if p.count_ones() != int(dense.sum()) or not np.array_equal(p.T.to_numpy(), dense.T):
        fail(f"{ctx.text}: count_ones or transpose disagree with its cells")
    if PackedMatrix.from_dense(dense) != p or as_packed(p) is not p:
        fail(f"{ctx.text}: does not round-trip")
    if not np.array_equal(p.to_bitmatrix().to_numpy(), dense):
        fail(f"{ctx.text}: to_bitmatrix differs")


def case_description_length(rng, ctx):
    cells, _ = draw_cells(rng)
    m, n = cells.shape
    k = rng.choice([0, 1, 2, 3])
    nrng = np.random.default_rng(rng.randrange(99))
    w = nrng.random((m, k)) < 0.5
    h = nrng.random((k, n)) < 0.5
    valid = True
    roll = rng.random()
    if roll < 0.35:
        valid = False
        ctx.tags.add("dl-shapes")
        w, h = rng.choice([(w[:1] if m > 1 else np.zeros((2, k), bool), h),
                           (w, h[:, :-1] if n > 1 else np.zeros((k, 2), bool)),
                           (w.ravel(), h), (w, h.ravel()) if k > 1 else (w[:, :, None], h),
                           (np.zeros((m, k + 1), bool), h), (w, np.zeros((k + 1, n), bool)),
                           (np.zeros(()), h)])
    elif roll < 0.45:
        valid = False
        ctx.tags.add("dl-shapes")  # not 2-D either
        w = rng.choice([None, "w", np.ones((m, k + 1), complex)])
    x = rng.choice([cells, cells.astype(float), sp.csr_matrix(cells), cells.tolist()])
    ctx.text = f"description_length(<{type(x).__name__} {cells.shape}>, W {np.shape(w)}, " \
               f"H {np.shape(h)})"
    if ctx.skipped():
        return
    ctx.watch([x, w, h])
    try:
        got = description_length(x, w, h)
    except BaseException as err:
        ctx.check_error(err)
        if valid:
            fail(f"{ctx.text}: refused: {err}")
        if not isinstance(err, (ValueError, TypeError)):
            fail(f"{ctx.text}: {type(err).__name__}: {err}")
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if not valid:
        fail(f"{ctx.text}: accepted wrong shapes, returned {got}")
    want = description_bits(cells, w, h)
    if not math.isclose(got, want, rel_tol=1e-9, abs_tol=1e-9):
        fail(f"{ctx.text}: {got} bits, from the definition {want}")


def case_choose_rank(rng, ctx):
    cells, _ = draw_cells(rng)
    ranks = rng.choice([[1], [1, 2], range(1, 4), [3, 1, 1], [], [0], [1025], ["2"], [2.5],
                        None, [np.int64(2)], iter([1, 2])])
    params = {"random_state": rng.choice([0, 1]), "n_init": 1,
              "max_iter": rng.choice([2, 5])}
    if rng.random() < 0.2:
        params[rng.choice(["method", "n_components", "bogus", "init"])] = rng.choice(
            ["zeta", 3, "x"])
    ctx.text = f"choose_rank(<{cells.shape}>, {ranks!r}, **{params})"
    if ctx.skipped():
        return
    x = rng.choice([cells, sp.csc_matrix(cells), cells.astype(np.int8)])
    ctx.watch([x])
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = choose_rank(x, ranks, **params)
    except BaseException as err:
        ctx.check_error(err)
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if got.ranks != sorted(got.ranks) or got.rank_ not in got.ranks:
        fail(f"{ctx.text}: ranks {got.ranks}, chosen {got.rank_}")
    if got.rank_ != got.ranks[int(np.argmin(got.description_lengths))]:
        fail(f"{ctx.text}: chose {got.rank_}, not the shortest description")
    for r, err in zip(got.ranks, got.errors):
        if got.estimators[r].reconstruction_err_ != err or got.estimators[r].n_components_ != r:
            fail(f"{ctx.text}: rank {r} reports error {err}")
    empty = description_bits(cells, np.zeros((cells.shape[0], 0), bool),
                             np.zeros((0, cells.shape[1]), bool))
    if not math.isclose(got.empty_description_length, empty, rel_tol=1e-9):
        fail(f"{ctx.text}: empty description {got.empty_description_length}, want {empty}")


MUSHROOM = {}


def case_load_mushroom(rng, ctx):
    kwargs = {}
    for name in ("include_class", "as_frame"):
        if rng.random() < 0.6:
            kwargs[name] = rng.choice([True, False, 0, 1, None, "no", np.True_])
    if rng.random() < 0.1:
        kwargs["bogus"] = 1
    ctx.text = f"load_mushroom(**{kwargs})"
    try:
        d = load_mushroom(**kwargs)
    except BaseException as err:
        ctx.check_error(err)
        if "bogus" not in kwargs:
            fail(f"{ctx.text}: {type(err).__name__}: {err}")
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    cols = 118 if kwargs.get("include_class", True) else 116
    data = np.asarray(d.data)
    if data.shape != (8124, cols) or len(d.feature_names) != cols:
        fail(f"{ctx.text}: shape {data.shape}, {len(d.feature_names)} names")
    if data.dtype != bool:
        fail(f"{ctx.text}: dtype {data.dtype}")
    key = cols
    if key not in MUSHROOM:
        MUSHROOM[key] = data.copy()
    if not np.array_equal(MUSHROOM[key], data):
        fail(f"{ctx.text}: the data differ between loads")
    if isinstance(d.data, np.ndarray):
        d.data[0, 0] = not d.data[0, 0]
    if not np.array_equal(np.asarray(load_mushroom(**kwargs).data), MUSHROOM[key]):
        fail(f"{ctx.text}: writing to one load changed the next")


CASE_KINDS = [
    ("fit", case_fit, 46),
    ("hostile params", case_hostile_params, 12),
    ("custom start", case_custom, 8),
    ("callback", case_callback, 8),
    ("interrupt", None, 3),
    ("pickle", case_pickle, 4),
    ("as_packed", case_as_packed, 12),
    ("PackedMatrix", case_packed_matrix, 3),
    ("description_length", case_description_length, 3),
    ("choose_rank", case_choose_rank, 1),
]
MUSHROOM_EVERY = 997  # load_mushroom takes tens of ms: a handful per batch


class Context:
    """What one case reached: its known-fault tags, its description (also
    written to the progress file, so a crash names the call), the inputs it
    watches and its outcome."""

    def __init__(self, progress=None):
        self.tags, self._text = set(), ""
        self.watched, self.result, self.progress = [], None, progress

    @property
    def text(self):
        return self._text

    @text.setter
    def text(self, value):
        self._text = value
        if self.progress is not None:
            number, file = self.progress
            line = " ".join(value[:2000].splitlines())
            file.write(f"{number}\t{line}\n")
            file.flush()

    def skipped(self):
        return bool(self.tags & SKIPPED_TAGS)

    def watch(self, values):
        for v in values:
            if v is not None and not isinstance(v, (str, int, float)):
                self.watched.append((v, frozen(v)))

    def outcome(self, result):
        self.result = result

    def check_error(self, err):
        if isinstance(err, CaseFailure):
            raise err
        if not allowed_error(err):
            fail(f"{self.text}: raised {type(err).__name__}: {err}")

    def check_inputs(self):
        for v, image in self.watched:
            if frozen(v) != image:
                fail(f"{self.text}: modified its input {type(v).__name__}")


def pick_kind(rng, k):
    """The kind of case k: by weight, and load_mushroom now and then."""
    roll = rng.random() * sum(w for _, _, w in CASE_KINDS)
    kind = CASE_KINDS[-1][:2]
    for name, fn, weight in CASE_KINDS:
        roll -= weight
        if roll < 0:
            kind = name, fn
            break
    if k % MUSHROOM_EVERY == MUSHROOM_EVERY - 1:
        kind = "load_mushroom", case_load_mushroom
    return kind


def run_case(rng, k, baseline, progress=None):
    """Draws and runs case k; returns (kind, outcome, failure or None)."""
    ctx = Context(progress)
    name, fn = pick_kind(rng, k)
    failure = None
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            if name == "interrupt":
                case_interrupt(rng, ctx, baseline)
            else:
                fn(rng, ctx)
        ctx.check_inputs()
    except CaseFailure as e:
        failure = str(e)
        if TRACE:
            traceback.print_exc()
    except BaseException as e:  # a bug of the case or an unlisted exception
        if TRACE:
            traceback.print_exc()
        if allowed_error(e) and isinstance(e, (TypeError, ValueError, RuntimeError)):
            failure = f"{ctx.text}: uncaught {type(e).__name__}: {e}"
        else:
            failure = f"{ctx.text}: raised {type(e).__name__}: {e}"
    if ctx.skipped():
        return name, "skipped", None
    if failure and ctx.tags:
        failure = f"[known: {', '.join(sorted(ctx.tags))}] {failure}"
    return name, ctx.result or ("failed" if failure else "done"), failure


def run_batch(batch, count, progress_path, headroom):
    if batch == BATCHES:
        return run_dask_batch(count, progress_path)
    if headroom is not None:
        cap_address_space(headroom)
    baseline = set(threading.enumerate())
    tally, failures = {}, []
    with open(progress_path, "w") as progress:
        for k in range(count):
            progress.write(f"{k}\n")
            progress.flush()
            rng = random.Random(f"{SEED}/{batch}/{k}")
            name, outcome, failure = run_case(rng, k, baseline, (k, progress))
            tally.setdefault(name, {}).setdefault(outcome, 0)
            tally[name][outcome] += 1
            if failure:
                failures.append(f"case {batch}/{k}: {failure}")
    return {"cases": count, "tally": tally, "failures": failures[:40],
            "failed": len(failures)}


def describe_case(batch, k):
    """What case k of a batch is, and how to replay it alone."""
    if batch == BATCHES:
        return f"Dask case {k}"
    name, _ = pick_kind(random.Random(f"{SEED}/{batch}/{k}"), k)
    return (f"a {name} case; replay: QUORBMF_FUZZ_SEED={SEED} python "
            f"tests/python/quorbmf/{os.path.basename(__file__)} {batch} {k}")


# ---------------------------------------------------------------------------
# Dask: a few cases on a LocalCluster of threads


def run_dask_batch(count, progress_path):
    import dask.array as da
    from distributed import Client, LocalCluster

    tally, failures = {}, []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        with open(progress_path, "w") as progress:
            for k in range(count):
                progress.write(f"{k}\n")
                progress.flush()
                rng = random.Random(f"{SEED}/dask/{k}")
                ctx = Context()
                try:
                    dask_case(rng, ctx, client, da)
                    ctx.check_inputs()
                except CaseFailure as e:
                    failures.append(f"dask case {k}: {e}")
                except BaseException as e:
                    failures.append(f"dask case {k}: {ctx.text}: raised "
                                    f"{type(e).__name__}: {e}")
                outcome = "skipped" if ctx.skipped() else ctx.result or "done"
                tally.setdefault("dask", {}).setdefault(outcome, 0)
                tally["dask"][outcome] += 1
    finally:
        client.close()
        cluster.close()
    return {"cases": count, "tally": tally, "failures": failures, "failed": len(failures)}


def dask_case(rng, ctx, client, da):
    cells, observed = draw_cells(rng)
    params = draw_params(rng, cells)
    params["backend"] = "dask"
    params.pop("n_jobs", None)
    corrupt = rng.random() < 0.25
    if corrupt:
        rendering = render_corrupt_sparse(rng, cells, observed)
        x = rendering.x
    elif rng.random() < 0.5:
        a = cells.astype(float)
        if hides(observed):
            a[~observed] = np.nan
        x = da.from_array(a, chunks=(rng.choice([1, 2, 5]), -1))
        rendering = Rendering(x, text="dask.array")
    else:
        rendering = render(rng, cells, observed, hostile=False)
        x = rendering.x
    ctx.tags |= rendering.tags
    tag_params(ctx, params, observed)
    if rendering.sparse_absent == "missing":
        params["sparse_absent"] = "missing"
    ctx.text = f"BooleanMF(**{params}).fit(<{rendering.text}>, client=...)"
    if ctx.skipped():
        return
    ctx.watch(rendering.inputs())
    e = BooleanMF(**params)
    before = state(e)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            e.fit(x, mask=rendering.mask, client=client)
    except BaseException as err:
        ctx.check_error(err)
        if state(e) != before:
            fail(f"{ctx.text}: a failed fit changed the estimator")
        if rendering.expect is None:
            check_refusal(err, ctx.text)
        ctx.outcome(type(err).__name__)
        return
    ctx.outcome("ok")
    if rendering.expect is not None:
        fail(f"{ctx.text}: accepted, expected {rendering.expect}")
    check_fitted(e, None, cells, observed, params, ctx.text)
    params.pop("backend")
    params.pop("sparse_absent", None)
    ref, _, _ = reference_fit(cells, observed, params)
    if ref is None or fit_record(ref, None) != fit_record(e, None):
        fail(f"{ctx.text}: fits differently from the threads backend")
    if isinstance(x, da.Array):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            lazy = np.asarray(e.transform(x).compute())
            local = e.transform(np.asarray(x))
        if not np.array_equal(lazy, local):
            fail(f"{ctx.text}: transform of the dask array differs")


# ---------------------------------------------------------------------------


def test_fuzz_quorbmf():
    """Runs the batches side by side in child interpreters, and a few cases
    on Dask, and merges them."""
    counts = split_cases(CASES, BATCHES) + [DASK_CASES]
    summaries = run_batches(__file__, counts, HEADROOM, describe_case)
    failures = [f for s in summaries for f in s["failures"]]
    total = sum(s["failed"] for s in summaries)
    assert not failures, f"{total} failing cases, the first ones:\n" + "\n".join(failures)
    tally = merge_tallies(summaries)
    if CASES >= 2000:
        # The generator reaches success and failure on the entries that can do both.
        for name in ("fit", "hostile params", "custom start", "as_packed", "PackedMatrix"):
            assert "ok" in tally[name] and len(tally[name]) > 2, (name, tally[name])


# ---------------------------------------------------------------------------
# Memory over repeated fits


@skip_under_sanitizer
def test_repeated_fits_do_not_grow_memory(fresh_python):
    code = f"""
import sys, gc, tracemalloc, warnings
sys.path[:0] = [{os.path.dirname(os.path.abspath(__file__))!r}]
import numpy as np, scipy.sparse as sp
from quorbmf import BooleanMF, as_packed_observed
warnings.simplefilter("ignore")
rng = np.random.default_rng(0)
X = rng.random((60, 90)) < 0.3
F = X.astype(float); F[rng.random(X.shape) < 0.1] = np.nan
S = sp.csr_matrix(X)

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def once(i):
    e = BooleanMF(4, n_init=2, max_iter=5, random_state=i, n_jobs=2)
    e.fit_transform(F)
    e.transform(S); e.score(X)
    BooleanMF(3, init="custom", n_init=1).fit(X, W=np.ones((60, 3), bool),
                                             H=np.ones((3, 90), bool))
    as_packed_observed(S, mask=~np.isnan(F))
    try:
        BooleanMF(3).fit(np.full((3, 3), 2))
    except ValueError:
        pass

for i in range(30):
    once(i)
gc.collect()
tracemalloc.start()
before, traced = rss(), tracemalloc.get_traced_memory()[0]
for i in range(150):
    once(i)
gc.collect()
after, traced_after = rss(), tracemalloc.get_traced_memory()[0]
print(after - before, traced_after - traced)
"""
    done = fresh_python(code)
    assert done.returncode == 0, done.stderr
    rss_growth, traced_growth = map(int, done.stdout.split())
    assert rss_growth < 8 * 2**20, rss_growth
    assert traced_growth < 512 * 2**10, traced_growth


# ---------------------------------------------------------------------------
# Targeted: the invariants above, on the cases that found faults


def test_an_interrupted_fit_leaves_no_thread_and_no_state():
    x = np.random.default_rng(1).random((400, 300)) < 0.3
    baseline = set(threading.enumerate())
    for delay in (0.0, 0.005, 0.02):
        e = BooleanMF(8, n_jobs=2, block_size=16, random_state=0)
        timer = threading.Timer(delay, _thread.interrupt_main)
        try:
            try:
                timer.start()
                e.fit(x)
            finally:
                timer.cancel()
                timer.join()
                for _ in range(1000):
                    pass
        except KeyboardInterrupt:
            # As it was, or (Ctrl-C on the way out) the whole fit.
            if hasattr(e, "components_"):
                whole = BooleanMF(8, random_state=0).fit(x)
                assert fit_record(whole, None) == fit_record(e, None)
        else:
            check_fitted(e, None, x, None, {"max_iter": 50}, "fit")
        deadline = time.perf_counter() + 5
        while set(threading.enumerate()) - baseline and time.perf_counter() < deadline:
            time.sleep(0.01)
        assert not set(threading.enumerate()) - baseline


if __name__ == "__main__":  # one case by its number: python test_hostile_estimator.py b k
    b, k = int(sys.argv[1]), int(sys.argv[2])
    print(run_case(random.Random(f"{SEED}/{b}/{k}"), k, set(threading.enumerate())))
