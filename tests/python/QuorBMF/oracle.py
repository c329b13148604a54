"""Plain NumPy references and helpers shared by the property, hostile-input,
thread and limit suites. Nothing here calls into QuorBMF except `snapshot`."""
import os
import subprocess
import sys
import textwrap

import numpy as np

# Column counts around the 64-bit word boundaries, where packed kernels go wrong.
EDGE_WIDTHS = (1, 63, 64, 65, 128, 129)


def bool_product(a, b):
    """Boolean product (OR of ANDs) of two bool arrays. Counts go through
    float32 (exact below 2**24, far beyond any inner size used here) so
    that NumPy can hand large products to BLAS."""
    return (a.astype(np.float32) @ b.astype(np.float32)) > 0


def combination_errors(w, x):
    """Errors of every combination h (bit j selects column j of w) for the
    vector x, by brute force: an array of 2**r ints indexed by h."""
    r = w.shape[1]
    h = np.arange(2**r)
    selected = (h[:, None] >> np.arange(r)) & 1  # 2**r x r
    rebuilt = bool_product(selected.astype(bool), w.T)  # 2**r x m
    return (rebuilt != x[None, :]).sum(axis=1)


def combination_error(w, x, h):
    """Cells in which x and the OR of the columns of w selected by h differ."""
    columns = [(h >> j) & 1 for j in range(w.shape[1])]
    rebuilt = bool_product(w, np.array(columns, dtype=bool)[:, None])[:, 0]
    return int((rebuilt != x).sum())


def layouts(a):
    """(name, view) pairs holding exactly the cells of the 2-D bool array a in
    many memory layouts: C, Fortran, transposed, reversed, sliced, strided,
    read-only and at an odd byte offset inside a larger buffer."""
    rows, cols = a.shape
    yield "C", np.ascontiguousarray(a)
    yield "F", np.asfortranarray(a)
    yield "transposed", np.ascontiguousarray(a.T).T
    big = np.zeros((rows * 2 + 1, cols * 3 + 2), bool)
    big[1::2, 2::3] = a
    yield "strided", big[1::2, 2::3]
    flipped = np.ascontiguousarray(a[::-1, ::-1])
    yield "reversed", flipped[::-1, ::-1]
    padded = np.zeros((rows + 2, cols + 3), bool)
    padded[1:-1, 2:-1] = a
    yield "sliced", padded[1:-1, 2:-1]
    frozen = np.array(a)
    frozen.flags.writeable = False
    yield "read-only", frozen
    raw = bytearray(rows * cols + 1)
    odd = np.frombuffer(raw, dtype=bool, offset=1).reshape(rows, cols)
    np.copyto(odd, a)
    yield "odd offset", odd


def snapshot(m):
    """Everything observable about a BitMatrix's contents."""
    return m.shape, m.to_list(), hash(m)


def sanitizer_active():
    """True when the interpreter runs with a sanitizer runtime preloaded:
    address-space limits and resident-size figures mean nothing there."""
    return "san" in os.environ.get("LD_PRELOAD", "")


def memory_sizes():
    """(virtual, resident) size of this process in bytes."""
    with open("/proc/self/statm") as f:
        size, resident = (int(v) * os.sysconf("SC_PAGE_SIZE") for v in f.read().split()[:2])
    return size, resident


def run_child(code, timeout=120, address_space_headroom=None):
    """Runs code in a fresh interpreter (the module imported as QuorBMF, NumPy
    as np, `from QuorBMF import *` done) and returns the completed process.
    With address_space_headroom (bytes), the child's address space is capped
    at its size after the imports plus that headroom, so that any allocation
    of unexpected size fails instead of swamping the machine."""
    prelude = textwrap.dedent(f"""
        import os, resource, sys
        import numpy as np
        import QuorBMF
        from QuorBMF import *
        QuorBMF.BitMatrix(1, 1).to_numpy()
        headroom = {address_space_headroom!r}
        if headroom is not None:
            with open("/proc/self/statm") as f:
                size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS,
                               (size + headroom, resource.getrlimit(resource.RLIMIT_AS)[1]))
    """)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
