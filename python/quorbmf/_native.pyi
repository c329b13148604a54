"""The native half of quorbmf: thin bindings over the C++ core.

A packed matrix is a C-contiguous ``uint64`` ndarray of shape
``(rows, ceil(cols / 64))``, cell ``(i, j)`` at bit ``j % 64`` of word
``[i, j // 64]``, with the spare bits beyond ``cols`` zero; the column count
travels beside it. Every function that does real work releases the
interpreter lock, so blocks can be solved from several Python threads.
Core failures arrive as ``ValueError``, ``IndexError`` or ``OverflowError``
by their kind; memory exhaustion as ``MemoryError``.
"""
from typing import Final, Optional, final

import numpy as np
from numpy.typing import NDArray

from QuorBMF import BitMatrix

__all__ = ["transpose", "product", "count_ones", "initial_factor", "rank_limit", "pack_csr",
           "VectorBlock", "Solver", "Search", "grecond", "asso", "StopFlag", "bitmatrix_words",
           "MAX_TABLE_RANK", "MAX_EXACT_RANK", "MAX_RANK", "METHODS"]

_Words = NDArray[np.uint64]
# (false_one, false_zero): what a false 1 and a false 0 cost, integers from 0
# to 2**24 or None for infinite (at most one); None as a whole is (1, 1).
_Costs = tuple[Optional[int], Optional[int]]

# Largest rank of the table methods ("naive", "zeta", "exact" by the table, masks).
MAX_TABLE_RANK: Final[int]
# Largest rank of "exact" (above MAX_TABLE_RANK by the search).
MAX_EXACT_RANK: Final[int]
# Largest rank a factorisation is offered at (the heuristics and block refits).
MAX_RANK: Final[int]
# The method names a Solver takes: the core's four, then "exact".
METHODS: Final[tuple[str, ...]]

def transpose(words: _Words, cols: int) -> _Words:
    """The packed transpose (cols x rows) of a packed rows x cols matrix."""

def product(w: _Words, r: int, h: _Words, cols: int) -> _Words:
    """The Boolean product W∘H of a packed m x r and a packed r x cols matrix."""

def count_ones(words: _Words) -> int:
    """Number of set bits of a packed matrix."""

def rank_limit(method: str, r: int, masked: bool = False) -> Optional[str]:
    """None when ``method`` runs at rank ``r`` (masked blocks have the same
    routes), else the limit it meets, such as "method 'zeta' needs a
    table of 2^r counters and works up to rank 26". ValueError for an
    unknown method name."""

def pack_csr(indptr: NDArray[np.int64], indices: NDArray[np.int64],
             data: Optional[np.ndarray], rows: int, cols: int) -> _Words:
    """Packs a CSR structure (any integer index dtype; ``data`` of any numeric
    dtype or None for all ones) straight to words. Explicit zeros are skipped;
    any stored value other than 0 and 1 raises ValueError naming its cell."""

def bitmatrix_words(matrix: BitMatrix) -> _Words:
    """The packed words (rows x ceil(cols / 64)) of a QuorBMF.BitMatrix, copied."""

def initial_factor(xt: _Words, m: int, r: int, seed: int) -> _Words:
    """The starting factor W (m x r) of the alternating loop, from the packed
    transpose Xᵀ (n x m): r non-empty columns of X chosen by ``seed``."""

@final
class StopFlag:
    """A request to stop, set from any thread without the interpreter lock
    held by the cover it stops: ``grecond`` and ``asso`` poll it while they
    run and raise KeyboardInterrupt once it is set."""

    def __init__(self) -> None: ...
    def set(self) -> None:
        """Asks every cover given this flag to stop; it cannot be cleared."""
    def is_set(self) -> bool:
        """Whether ``set()`` has been called."""

@final
class Search:
    """The search beyond alternating refits over a private copy of the packed
    x: chains of moves over rank-one tiles sharing a pool of tiles. With
    ``costs`` (false_one, false_zero; None for an infinite one) every error,
    ``best()``'s included, is the weighted error of the whole matrix."""

    def __new__(cls, x: _Words, cols: int, method: str, refit_width: int = 0,
                mask: Optional[_Words] = None, capacity: int = 256,
                costs: Optional[_Costs] = None) -> Search: ...
    def add_chain(self, w: _Words, ht: _Words, r: int, seed: int,
                  stop: Optional[StopFlag] = None) -> int: ...
    def add_tiles(self, w: _Words, ht: _Words, r: int) -> None: ...
    def run(self, chain: int, moves: int, stop: Optional[StopFlag] = None,
            seconds: Optional[float] = None) -> list[tuple[int, int, str, int]]: ...
    def hand_over(self, chain: int) -> None: ...
    def best(self, chain: int) -> tuple[_Words, _Words, int, int, int]: ...
    @property
    def chains(self) -> int: ...
    @property
    def pool_size(self) -> int: ...

def grecond(x: _Words, cols: int, k: int,
            stop: Optional[StopFlag] = None) -> tuple[_Words, _Words, list[int]]:
    """Covers the ones of the packed ``x`` (m x cols) from below with at most
    ``k`` formal concepts, greedily (GreConD), and returns ``(w, h, errors)``:
    W (m x ceil(k / 64) words), H (k x ceil(cols / 64) words) and the error
    |X xor W∘H| after each factor found; the factors beyond ``len(errors)``
    are empty. KeyboardInterrupt once ``stop`` is set."""

def asso(x: _Words, cols: int, k: int, tau: float = 0.5, w_plus: float = 1.0,
         w_minus: float = 1.0,
         stop: Optional[StopFlag] = None) -> tuple[_Words, _Words, list[int]]:
    """At most ``k`` greedy rounds of Asso on the packed ``x`` (m x cols): each
    takes the row of the association matrix (confidence at least ``tau``,
    0 <= tau <= 1) and the rows using it that maximise ``w_plus`` * (ones
    covered) - ``w_minus`` * (zeros covered), both weights at least 0,
    ``w_plus`` finite, ``w_minus`` finite or inf (no row then covers a zero:
    W∘H stays below X). Returns ``(w, h, errors)`` as ``grecond`` does; it stops early
    when no candidate gains. KeyboardInterrupt once ``stop`` is set."""

@final
class VectorBlock:
    """A block of packed vectors prepared once (its classes of equal rows) and
    solved many times; keeps references to the arrays it is given.

    ``transposed``, when given, is the packed transpose of the block
    (cols x rows) and spares "zeta" half-steps a transposition each.
    ``mask``, when given, is packed like ``words`` with 1 for every observed
    cell: half-steps then count errors on observed cells only, and a vector
    with nothing observed gets h = 0 (a masked block lays out its own
    transpose and only checks the shape of ``transposed``). The words of an
    unmasked block must not change while it is used."""
    def __new__(cls, words: _Words, cols: int, transposed: Optional[_Words] = None,
                mask: Optional[_Words] = None) -> VectorBlock: ...
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...
    @property
    def masked(self) -> bool: ...

@final
class Solver:
    """A Boolean least-squares solver bound to one packed factor (m x r, any
    r >= 1, ceil(r / 64) words per row). "greedy" and "greedy-ls" need no
    table at any rank (up to rank 26 they give the table solver's answers);
    "naive", "zeta" and "exact" up to rank 26 use a table of
    2^r counters, built by the first call that needs it. Immutable, so
    several threads may solve against it at once.

    Methods by rank: "naive", "zeta", "greedy", "greedy-ls" and "exact" up to
    26 ("exact" gives "zeta"'s combinations and errors, by the exact search
    or the table, whichever is expected to cost less); "greedy", "greedy-ls"
    and "exact" up to 64, where "exact" searches each distinct vector within
    a node budget and a vector whose budget runs out falls back to
    "greedy-ls"; "greedy" and "greedy-ls" beyond. Any other method at a rank
    is a ValueError naming those that work there. Masked blocks have the
    same routes, counting observed cells only. ``costs=(false_one,
    false_zero)`` (integers 0..2**24, or None for an infinite cost) makes
    every method minimise the weighted error and return its total."""
    def __new__(cls, factor: _Words, r: int) -> Solver: ...
    @property
    def m(self) -> int: ...
    @property
    def r(self) -> int: ...
    def half_step(self, block: VectorBlock, method: str, seed: int, out: _Words,
                  costs: Optional[_Costs] = None) -> int:
        """Solves every row of ``block`` (``m`` bits each) with ``method`` and
        ``seed``, writes row i's combination into row i of ``out``
        (block.rows x ceil(r / 64) words) and returns the total error (over
        observed cells for a masked block)."""
    def half_step_counted(self, block: VectorBlock, method: str, seed: int,
                          out: _Words, costs: Optional[_Costs] = None) -> tuple[int, int]:
        """``half_step``, returning ``(error, fallbacks)``: fallbacks is the
        number of rows of ``block`` whose exact search ran out of its budget
        ("exact" above rank 26 only, else 0); each such row holds the better
        of the search's best combination and "greedy-ls"'s, the search's on
        ties, and the error counts what they hold."""
    def refit_blocks(self, block: VectorBlock, width: int, out: _Words,
                     costs: Optional[_Costs] = None) -> int:
        """Starting from the combinations in ``out`` (block.rows x
        ceil(r / 64) words), refits exactly each consecutive group of at most
        ``width`` (1..24) columns with the others held fixed, one group after
        the other over all r columns, updating ``out`` in place, and returns
        the total error. No row's error grows (ties keep the lowest block
        combination). For a masked block the error counts observed cells
        only."""
