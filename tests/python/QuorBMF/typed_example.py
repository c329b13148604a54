"""A typed program using the whole API; checked with mypy --strict."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

import QuorBMF
from QuorBMF import BitMatrix, BmfResult, BoolLs


def planted(seed: int) -> npt.NDArray[np.bool_]:
    rng = np.random.default_rng(seed)
    w = rng.random((40, 3)) < 0.3
    h = rng.random((3, 30)) < 0.3
    product: npt.NDArray[np.bool_] = (w.astype(np.int64) @ h.astype(np.int64)) > 0
    return product


def tour() -> int:
    version: str = QuorBMF.__version__
    names: list[str] = QuorBMF.methods()
    x = BitMatrix.from_numpy(planted(1))
    y = BitMatrix.from_list([[1, 0], [0, 1]])
    z = BitMatrix(2, 2, True) & BitMatrix.ones(2, 2) | BitMatrix.zeros(2, 2)
    z ^= y
    z |= y
    z &= ~y
    shape: tuple[int, int] = (z - y).shape
    cell: bool = y[0, 1]
    y[1, 1] = False
    rows: list[list[int]] = y.to_list()
    array: npt.NDArray[np.bool_] = x.to_numpy()
    counts = x.count_ones() + x.row_count_ones(0) + x.hamming(x.copy()) + x.count_andnot(x)
    t: BitMatrix = (x @ x.transpose()).transpose()
    solver = BoolLs(BitMatrix.from_numpy(array[:, :3]))
    h, error = solver.solve(array[:, 5], "greedy-ls", seed=3)
    hh, total = solver.solve_all(x, method="naive")
    one: tuple[int, int] = QuorBMF.boolls(y, np.array([True, False]), "zeta", 0)
    res: BmfResult = QuorBMF.ao_bmf(x, 3, method="zeta", max_iter=10, seed=2**64 - 1)
    rebuilt: BitMatrix = res.reconstruct()
    assert rebuilt.hamming(x) == res.error and res.iterations >= 1
    assert res.w.shape == (x.rows, 3) and res.h.cols == x.cols
    return (len(version) + len(names) + shape[0] + int(cell) + len(rows) + counts + t.rows + h
            + error + hh.rows + total + one[0] + solver.m + solver.r + len(y) + hash(y) % 2)


if __name__ == "__main__":
    print(tour())
