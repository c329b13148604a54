"""QuorBMF: Boolean matrix factorisation on packed bit matrices.

Given a Boolean matrix X (m x n) and a rank r, ``ao_bmf`` finds Boolean
factors W (m x r) and H (r x n) whose OR-of-ANDs product differs from X in as
few cells as possible. Matrices are ``BitMatrix`` objects, packed 64 cells
per 64-bit word.

Errors: the module's own checks raise ``ValueError``/``IndexError`` with
French messages; argument binding and conversion raise ``TypeError`` and
``OverflowError`` with the interpreter's wording; an object in use by
another call raises ``RuntimeError("Already borrowed")`` or
``RuntimeError("Already mutably borrowed")``. A violated internal invariant
raises the module's internal-error exception, which derives directly from
``BaseException`` (so ``except Exception`` does not catch it).
"""

from typing import Final, SupportsIndex, final

import numpy
import numpy.typing

__all__ = ["BitMatrix", "BoolLs", "BmfResult", "ao_bmf", "boolls", "methods", "__version__"]

__version__: Final[str]

@final
class BitMatrix:
    """A packed Boolean matrix of at least one row and one column.

    Cells are bits, 64 to a word, row by row. Indexing takes a pair
    ``m[i, j]`` of non-negative indices (no negative indexing). Operators:
    ``~`` (complement), ``&``, ``|``, ``^``, ``-`` (AND-NOT), ``@`` (Boolean
    product), in-place ``|=``, ``&=``, ``^=``; ``==`` compares shape and
    cells; matrices are hashable (the hash follows the contents).

    Raises:
        ValueError: a zero dimension ("dimensions invalides ...").
        TypeError: ``fill`` not a ``bool`` or NumPy Boolean scalar.
        OverflowError: a negative size.
        MemoryError: the matrix does not fit in memory.
    """

    def __new__(cls, rows: SupportsIndex, cols: SupportsIndex, fill: bool | numpy.bool_ = False) -> BitMatrix:
        """Creates a ``rows`` x ``cols`` matrix with every cell equal to ``fill``.

        Cost: one zero-filled (or 0xFF-filled) allocation of rows * ceil(cols/64) words.
        """

    @staticmethod
    def zeros(rows: SupportsIndex, cols: SupportsIndex) -> BitMatrix:
        """Returns a ``rows`` x ``cols`` matrix of zeros.

        Raises ValueError for a zero dimension, OverflowError for a negative one.
        """

    @staticmethod
    def ones(rows: SupportsIndex, cols: SupportsIndex) -> BitMatrix:
        """Returns a ``rows`` x ``cols`` matrix of ones.

        Raises ValueError for a zero dimension, OverflowError for a negative one.
        """

    @staticmethod
    def from_list(data: object) -> BitMatrix:
        """Builds a matrix from a sequence of equally long sequences of 0/1 integers.

        ``True``/``False`` and NumPy integers are accepted as 1/0. The whole
        input is converted before any value is checked.

        Raises:
            TypeError: ``data`` or a row is a ``str`` or not a sequence, or an
                element is not an integer.
            OverflowError: an element outside the signed 64-bit range.
            ValueError: no rows, empty rows, rows of different lengths, or a
                value other than 0 and 1 (the message names its position).
        """

    def to_list(self) -> list[list[int]]:
        """Returns the cells as a list of rows of plain ints 0 and 1."""

    @staticmethod
    def from_numpy(a: numpy.typing.NDArray[numpy.bool_]) -> BitMatrix:
        """Builds a matrix from a two-dimensional NumPy array of dtype ``bool``.

        Any memory layout is read correctly (C or Fortran order, transposed,
        sliced or reversed views); the array is not copied and not retained.

        Raises:
            TypeError: not a 2-D ``bool`` ndarray.
            ValueError: an array with zero rows or zero columns.
        """

    def to_numpy(self) -> numpy.typing.NDArray[numpy.bool_]:
        """Returns a new C-ordered, writeable ``bool`` array of shape ``(rows, cols)``.

        The array owns its buffer and shares nothing with the matrix.
        """

    @property
    def shape(self) -> tuple[int, int]:
        """``(rows, cols)``."""

    @property
    def rows(self) -> int:
        """Number of rows."""

    @property
    def cols(self) -> int:
        """Number of columns."""

    def count_ones(self) -> int:
        """Number of cells equal to 1 (word-wise population count)."""

    def hamming(self, other: BitMatrix) -> int:
        """Number of cells in which ``self`` and ``other`` differ.

        Raises ValueError when the shapes differ, TypeError when ``other`` is
        not a ``BitMatrix``.
        """

    def count_andnot(self, other: BitMatrix) -> int:
        """Number of cells that are 1 in ``self`` and 0 in ``other``.

        Raises ValueError when the shapes differ.
        """

    def transpose(self) -> BitMatrix:
        """Returns the ``cols`` x ``rows`` transpose (64 x 64 blocks at a time)."""

    def copy(self) -> BitMatrix:
        """Returns an independent copy."""

    def row_count_ones(self, i: SupportsIndex) -> int:
        """Number of cells equal to 1 in row ``i``.

        Raises IndexError when ``i`` is not below ``rows``.
        """

    def __getitem__(self, idx: tuple[SupportsIndex, SupportsIndex], /) -> bool:
        """The cell ``(i, j)``; raises IndexError outside the matrix."""

    def __setitem__(self, idx: tuple[SupportsIndex, SupportsIndex], value: bool | numpy.bool_, /) -> None:
        """Sets the cell ``(i, j)``; ``value`` must be a ``bool``."""

    def __delitem__(self, idx: object, /) -> None:
        """Always raises NotImplementedError: cells cannot be deleted."""

    def __len__(self) -> int:
        """Number of rows."""

    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __invert__(self) -> BitMatrix:
        """The complement: every cell inverted."""

    def __and__(self, other: BitMatrix, /) -> BitMatrix:
        """Cell-wise AND of two matrices of the same shape."""

    def __or__(self, other: BitMatrix, /) -> BitMatrix:
        """Cell-wise OR of two matrices of the same shape."""

    def __xor__(self, other: BitMatrix, /) -> BitMatrix:
        """Cell-wise XOR of two matrices of the same shape."""

    def __sub__(self, other: BitMatrix, /) -> BitMatrix:
        """Cells that are 1 in ``self`` and 0 in ``other``."""

    def __matmul__(self, other: BitMatrix, /) -> BitMatrix:
        """The Boolean product (OR of ANDs); ``self.cols`` must equal ``other.rows``."""

    def __ior__(self, other: BitMatrix, /) -> BitMatrix:
        """In-place OR; no allocation."""

    def __iand__(self, other: BitMatrix, /) -> BitMatrix:
        """In-place AND; no allocation."""

    def __ixor__(self, other: BitMatrix, /) -> BitMatrix:
        """In-place XOR; no allocation."""

@final
class BoolLs:
    """A Boolean least-squares solver bound to one factor matrix W (m x r, r <= 26).

    For a Boolean vector x of m cells it finds the combination h of W's
    columns (bit j of the int h selects column j) minimising the number of
    cells where x and the OR of the selected columns differ. Construction
    builds a table of 2^r row-pattern counters (4 * 2^r bytes, 256 MiB at
    r = 26) kept for the life of the solver; the solver keeps no reference
    to W. Solving releases the interpreter lock; several threads may solve
    with one solver at once.

    Raises ValueError when W has more than 26 columns.
    """

    def __new__(cls, w: BitMatrix) -> BoolLs: ...
    @property
    def m(self) -> int:
        """Rows of W."""

    @property
    def r(self) -> int:
        """Columns of W (the rank)."""

    def solve(
        self, x: numpy.typing.NDArray[numpy.bool_], method: str = "zeta", seed: SupportsIndex = 0
    ) -> tuple[int, int]:
        """Solves one vector; returns ``(h, error)``.

        ``x`` is a one-dimensional ``bool`` array of length m, any layout.
        "naive" and "zeta" are exact (lowest optimal h); "greedy" and
        "greedy-ls" are heuristics, "greedy-ls" driven by ``seed``
        (0 .. 2**64 - 1). "zeta" needs one extra table of 4 * 2^r bytes.

        Raises:
            TypeError: ``x`` is not a 1-D ``bool`` array, ``method`` not a str.
            ValueError: unknown method, or a length other than m.
            OverflowError: a negative or too large seed.
        """

    def solve_all(self, x: BitMatrix, method: str = "zeta", seed: SupportsIndex = 0) -> tuple[BitMatrix, int]:
        """Solves every column of ``x`` (m rows); returns ``(H, total_error)``.

        Column c of H (r x n) is the combination found for column c of x.
        Raises ValueError when x does not have m rows or the method is unknown.
        """

@final
class BmfResult:
    """The outcome of ``ao_bmf``: factors, error and iteration count (immutable)."""

    @property
    def w(self) -> BitMatrix:
        """A fresh copy of the left factor W (m x r) on every access."""

    @property
    def h(self) -> BitMatrix:
        """A fresh copy of the right factor H (r x n) on every access."""

    @property
    def error(self) -> int:
        """Number of cells in which X and W∘H differ."""

    @property
    def iterations(self) -> int:
        """Iterations executed, including a final non-improving one."""

    def reconstruct(self) -> BitMatrix:
        """Returns the Boolean product W∘H (computed on every call)."""

def ao_bmf(
    x: BitMatrix,
    r: SupportsIndex,
    method: str = "zeta",
    max_iter: SupportsIndex = 50,
    seed: SupportsIndex = 0,
) -> BmfResult:
    """Factorises ``x`` at rank ``r`` by alternating optimisation.

    W starts from up to r randomly chosen (by ``seed``) non-empty columns of
    x and H from zero; each iteration refits every column of H, then every
    row of W, with ``method``; the run stops at the first iteration that does
    not strictly lower the error, or after ``max_iter`` iterations. Equal
    arguments always give equal results. Releases the interpreter lock while
    it computes; ``x`` cannot be modified meanwhile.

    Raises:
        TypeError: ``x`` not a ``BitMatrix``, non-integer r/max_iter/seed,
            ``method`` not a str.
        ValueError: unknown method, r = 0, r > 26, max_iter = 0.
        OverflowError: negative or too large integers.
    """

def boolls(
    w: BitMatrix, x: numpy.typing.NDArray[numpy.bool_], method: str = "zeta", seed: SupportsIndex = 0
) -> tuple[int, int]:
    """One-shot solve: ``BoolLs(w).solve(x, method, seed)``."""

def methods() -> list[str]:
    """A new list of the method names: naive, zeta, greedy, greedy-ls."""
