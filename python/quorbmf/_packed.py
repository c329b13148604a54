"""Packed Boolean matrices as NumPy words.

A :class:`PackedMatrix` keeps a Boolean matrix 64 cells to a word, row by
row, in a C-contiguous ``uint64`` array of shape ``(rows, ceil(cols / 64))``:
cell ``(i, j)`` is bit ``j % 64`` of word ``[i, j // 64]`` and the spare bits
beyond the last column are zero. That is the layout of the C++ core, so
blocks of rows are handed to it as plain array views, with no copy.
"""
from __future__ import annotations

from typing import Any, Tuple

import numpy as np
from numpy.typing import NDArray

from . import _native

__all__ = ["PackedMatrix", "Words", "Cells", "words_for"]

# Packed rows (uint64 words) and dense cells (bool), as the annotations name them.
Words = NDArray[np.uint64]
Cells = NDArray[np.bool_]


def words_for(bits: int) -> int:
    """Words a packed row of ``bits`` bits takes: ceil(bits / 64)."""
    return (bits + 63) // 64


def _integer_words(words: Any) -> Words:
    """``words`` as uint64, refusing anything but integers that fit a word:
    a float or bool dtype is a TypeError, a negative value a ValueError
    (int64 words excepted: they are bit patterns)."""
    given = words if isinstance(words, np.ndarray) else np.asarray(words, dtype=object)
    if given.dtype == object:
        # Python ints of any size: exact, never through float64.
        if not all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))
                   for v in given.flat):
            raise TypeError("words must be an array of integers (uint64 words), got "
                            "other objects")
        try:
            return given.astype(np.uint64)
        except OverflowError:
            raise ValueError("words must hold unsigned 64-bit words, got a value outside "
                             "0..2**64 - 1") from None
    if given.dtype.kind not in "iu":
        raise TypeError(f"words must be an array of integers (uint64 words), got dtype "
                        f"{given.dtype}")
    if given.dtype.kind == "i" and given.dtype.itemsize < 8 and (given < 0).any():
        raise ValueError("words must hold unsigned words, got a negative value")
    return given.astype(np.uint64, copy=False)


class PackedMatrix:
    """A Boolean matrix packed 64 cells to a 64-bit word.

    Parameters
    ----------
    words : ndarray of uint64, shape (rows, ceil(cols / 64))
        The packed rows; made C-contiguous if it is not. The bits beyond
        ``cols`` in the last word of every row must be zero. Any integer
        dtype (int64 words are read as bit patterns, narrower negative
        values are a ValueError); any other dtype is a TypeError.
    cols : int
        Number of columns.

    Attributes
    ----------
    words : ndarray of uint64
        The packed rows (read it, do not write it).
    shape : tuple of int
        ``(rows, cols)``.

    See Also
    --------
    quorbmf.as_packed : builds one from arrays, sparse matrices, data frames.
    """

    __slots__ = ("words", "shape")

    words: Words
    shape: Tuple[int, int]

    def __init__(self, words: NDArray[Any], cols: int) -> None:
        words = np.ascontiguousarray(_integer_words(words))
        if words.ndim != 2:
            raise ValueError(f"words must be 2-D, got an array of {words.ndim} dimensions")
        cols = int(cols)
        if cols < 1 or words.shape[0] < 1:
            raise ValueError("a packed matrix needs at least one row and one column")
        if words.shape[1] != words_for(cols):
            raise ValueError(
                f"words must have ceil(cols / 64) = {words_for(cols)} columns for "
                f"cols = {cols}, got {words.shape[1]}")
        if cols % 64 and np.any(words[:, -1] >> np.uint64(cols % 64)):
            raise ValueError("words has bits set beyond the last column")
        self.words = words
        self.shape = (int(words.shape[0]), cols)

    @classmethod
    def _trusted(cls, words: Words, cols: int) -> "PackedMatrix":
        # For words the core produced: already contiguous and clean.
        self = cls.__new__(cls)
        self.words = words
        self.shape = (int(words.shape[0]), int(cols))
        return self

    @classmethod
    def zeros(cls, rows: int, cols: int) -> "PackedMatrix":
        """An all-zero packed matrix of the given shape."""
        return cls._trusted(np.zeros((rows, words_for(cols)), dtype=np.uint64), cols)

    @classmethod
    def from_dense(cls, cells: NDArray[Any]) -> "PackedMatrix":
        """Packs a 2-D array whose non-zero cells are ones (no value check)."""
        cells = np.asarray(cells)
        if cells.dtype != np.bool_:
            cells = cells != 0
        rows, cols = cells.shape
        stride = words_for(cols)
        packed = np.packbits(cells, axis=1, bitorder="little")
        if packed.shape[1] == stride * 8:
            words = np.ascontiguousarray(packed).view(np.uint64)
        else:
            padded = np.zeros((rows, stride * 8), dtype=np.uint8)
            padded[:, : packed.shape[1]] = packed
            words = padded.view(np.uint64)
        return cls._trusted(words, cols)

    @classmethod
    def from_bitmatrix(cls, matrix: Any) -> "PackedMatrix":
        """The packed copy of a ``QuorBMF.BitMatrix``."""
        return cls._trusted(_native.bitmatrix_words(matrix), int(matrix.cols))

    @property
    def rows(self) -> int:
        """Number of rows."""
        return self.shape[0]

    @property
    def cols(self) -> int:
        """Number of columns."""
        return self.shape[1]

    def to_numpy(self) -> Cells:
        """The matrix as a 2-D ``bool`` array."""
        cells = np.unpackbits(self.words.view(np.uint8), axis=1, count=self.cols,
                              bitorder="little")
        return cells.view(np.bool_)

    def to_bitmatrix(self) -> Any:
        """The matrix as a ``QuorBMF.BitMatrix``."""
        from QuorBMF import BitMatrix

        return BitMatrix.from_numpy(self.to_numpy())

    def transpose(self) -> "PackedMatrix":
        """The packed transpose."""
        return PackedMatrix._trusted(_native.transpose(self.words, self.cols), self.rows)

    @property
    def T(self) -> "PackedMatrix":
        """The packed transpose."""
        return self.transpose()

    def count_ones(self) -> int:
        """Number of cells equal to 1."""
        return int(_native.count_ones(self.words))

    def row_block(self, begin: int, end: int) -> "PackedMatrix":
        """Rows ``begin`` to ``end - 1`` as a matrix sharing these words."""
        return PackedMatrix._trusted(self.words[begin:end], self.cols)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PackedMatrix):
            return NotImplemented
        return self.shape == other.shape and bool(np.array_equal(self.words, other.words))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"<PackedMatrix {self.rows}x{self.cols}, {self.count_ones()} ones>"

    def __getstate__(self) -> Tuple[Words, int]:
        return self.words, self.cols

    def __setstate__(self, state: Tuple[Words, int]) -> None:
        words, cols = state
        self.words = words
        self.shape = (int(words.shape[0]), int(cols))
