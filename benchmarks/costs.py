"""Fits with costs, measured in one run:

- from below (``from_below=True``) on the Mushroom table at k = 10 and 20:
  the default fit's false negatives against GreConD's covers, which are from
  below by construction (targets: no worse than 81,378 and 54,078), and its
  false positives (target: 0, W∘H never above X);
- the same fits with false negatives four times as costly as false
  positives, and with equal costs, for the trade and the time.

The weighted "zeta" half-step against the unweighted one is timed by
benchmarks/weighted_zeta.py.

    python benchmarks/costs.py
"""
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quorbmf import BooleanMF, PackedMatrix, _native, load_mushroom  # noqa: E402

GRECOND = {10: 81_378, 20: 54_078}


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def main():
    x = np.asarray(load_mushroom().data, dtype=bool)
    packed = PackedMatrix.from_dense(x)
    print("| Mushroom | objective | false positives | false negatives | wrong cells | time | "
          "target | met |")
    print("|---|---|---|---|---|---|---|---|")
    for k in (10, 20):
        (w, h, _), t_cover = timed(lambda: _native.grecond(packed.words, packed.cols, k))  # noqa: B023
        cover = PackedMatrix._trusted(_native.product(w, k, h, packed.cols), packed.cols)
        covered = cover.to_numpy()
        fn = int((x & ~covered).sum())
        print(f"| k={k} | GreConD covers | {int((covered & ~x).sum())} | {fn:,} | {fn:,} | "
              f"{t_cover:.2f} s | | |")
        for name, params in (("from below", dict(from_below=True)),
                             ("costs 1:4", dict(false_negative_cost=4.0)),
                             ("costs 1:1", {})):
            model, t = timed(lambda: BooleanMF(k, random_state=0, **params).fit(x))  # noqa: B023
            fp, fn = model.n_false_positives_, model.n_false_negatives_
            target, met = "", ""
            if name == "from below":
                target = f"fp = 0, fn ≤ {GRECOND[k]:,}"
                met = "yes" if fp == 0 and fn <= GRECOND[k] else "no"
            print(f"| k={k} | {name} | {fp:,} | {fn:,} | {model.reconstruction_err_:,} | "
                  f"{t:.2f} s | {target} | {met} |")


if __name__ == "__main__":
    main()
