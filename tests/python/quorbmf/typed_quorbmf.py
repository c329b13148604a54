"""A small program using quorbmf with full type annotations; the tests run
`mypy --strict` on it and then run it."""
from typing import List

import numpy as np
from numpy.typing import NDArray

import quorbmf
from quorbmf import BooleanMF, PackedMatrix, as_packed, load_mushroom


def fit_errors(x: NDArray[np.bool_], ranks: List[int]) -> List[int]:
    errors: List[int] = []
    for r in ranks:
        model: BooleanMF = BooleanMF(n_components=r, random_state=0).fit(x)
        errors.append(model.reconstruction_err_)
    return errors


def main() -> None:
    data = load_mushroom(include_class=False)
    x: NDArray[np.bool_] = np.asarray(data.data, dtype=bool)[:500]
    packed: PackedMatrix = as_packed(x)
    assert packed.shape == (500, 116) and packed.count_ones() == int(x.sum())
    errors = fit_errors(x, [2, 4])
    assert errors[1] <= errors[0]
    model = BooleanMF(n_components=3, random_state=1)
    w: NDArray[np.bool_] = model.fit_transform(x)
    recon: NDArray[np.bool_] = model.inverse_transform(w)
    score: float = model.score(x)
    assert recon.shape == x.shape and 0.0 <= score <= 1.0
    print(quorbmf.__version__, errors)


if __name__ == "__main__":
    main()
