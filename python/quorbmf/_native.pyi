"""The native half of quorbmf: thin bindings over the C++ core.

A packed matrix is a C-contiguous ``uint64`` ndarray of shape
``(rows, ceil(cols / 64))``, cell ``(i, j)`` at bit ``j % 64`` of word
``[i, j // 64]``, with the spare bits beyond ``cols`` zero; the column count
travels beside it. Every function that does real work releases the
interpreter lock, so blocks can be solved from several Python threads.
Core failures arrive as ``ValueError``, ``IndexError`` or ``OverflowError``
by their kind; memory exhaustion as ``MemoryError``.
"""
from typing import Optional

import numpy as np
from numpy.typing import NDArray

Words = NDArray[np.uint64]

def transpose(words: Words, cols: int) -> Words:
    """The packed transpose (cols x rows) of a packed rows x cols matrix."""

def product(w: Words, r: int, h: Words, cols: int) -> Words:
    """The Boolean product W∘H of a packed m x r and a packed r x cols matrix."""

def count_ones(words: Words) -> int:
    """Number of set bits of a packed matrix."""

def pack_csr(indptr: NDArray[np.int64], indices: NDArray[np.int64],
             data: Optional[np.ndarray], rows: int, cols: int) -> Words:
    """Packs a CSR structure (any integer index dtype; ``data`` of any numeric
    dtype or None for all ones) straight to words. Explicit zeros are skipped;
    any stored value other than 0 and 1 raises ValueError naming its cell."""

def initial_factor(xt: Words, m: int, r: int, seed: int) -> Words:
    """The starting factor W (m x r) of the alternating loop, from the packed
    transpose Xᵀ (n x m): r non-empty columns of X chosen by ``seed``."""

class VectorBlock:
    """A block of packed vectors prepared once (its classes of equal rows) and
    solved many times; keeps a reference to ``words`` (and ``transposed``),
    whose words must not change while the block is in use. ``transposed``,
    the packed transpose of the block (cols x rows), spares every "zeta"
    half-step one transposition."""
    def __init__(self, words: Words, cols: int, transposed: Optional[Words] = None) -> None: ...
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...

class Solver:
    """A Boolean least-squares solver bound to one packed factor (a x r)."""
    def __init__(self, factor: Words, r: int) -> None: ...
    @property
    def m(self) -> int: ...
    @property
    def r(self) -> int: ...
    def half_step(self, block: VectorBlock, method: str, seed: int, out: Words) -> int:
        """Solves every row of ``block`` (``m`` bits each), writes row i's
        combination into row i of ``out`` (block.rows x ceil(r / 64) words) and
        returns the total error."""
