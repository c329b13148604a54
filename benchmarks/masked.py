"""Masked against unmasked solves, measured in one run: the same half-step
on the same vectors, once with no mask and once with 10 % of the cells
unobserved (target: the masked one within 1.5x), and whole fits with and
without missing values, at table ranks and above rank 26 ("greedy",
"greedy-ls", "exact-blocks"; compared per iteration, since the two fits
may run different numbers of iterations).

    python benchmarks/masked.py [--reps N]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quorbmf import BooleanMF, PackedMatrix, _native  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402
from run import fmt_time, median_time  # noqa: E402


def half_steps(args):
    rows = []
    rng = np.random.default_rng(0)
    for m, n, r, method in [(4000, 2000, 8, "zeta"), (2000, 4000, 16, "zeta"),
                            (4000, 2000, 16, "greedy"), (4000, 2000, 16, "greedy-ls")]:
        # Vectors the factor explains up to 3 % noise, as in a fit: columns
        # of W∘H0 for a random H0.
        cells, w, _ = make_planted(m, n, r, density=(0.15, 0.2), noise=0.03, return_factors=True,
                                   random_state=rng)
        factor = PackedMatrix.from_dense(w).words
        vectors = PackedMatrix.from_dense(np.ascontiguousarray(cells.T))
        for share, label in [(0.10, "a mask per vector"), (None, "one mask for all")]:
            if share is None:
                row_mask = rng.random(m) >= 0.10
                seen = np.broadcast_to(row_mask, (n, m))
            else:
                seen = rng.random((n, m)) >= share
            mask = PackedMatrix.from_dense(np.ascontiguousarray(seen))
            plain = _native.VectorBlock(vectors.words, m)
            masked = _native.VectorBlock(vectors.words & mask.words, m, mask=mask.words)
            solver = _native.Solver(factor, r)
            out = np.zeros((n, 1), dtype=np.uint64)
            t_plain = median_time(lambda: solver.half_step(plain, method, 0, out), args.reps)  # noqa: B023
            t_masked = median_time(lambda: solver.half_step(masked, method, 0, out), args.reps)  # noqa: B023
            rows.append((f"half-step {n} vectors of {m} bits, r={r}, {method}, 90 % observed, "
                         f"{label}", t_plain, t_masked))
    return rows


def fits(args):
    rows = []
    rng = np.random.default_rng(1)
    x = (rng.random((4000, 2000)) < 0.2).astype(np.float64)
    hidden = np.where(rng.random(x.shape) < 0.1, np.nan, x)
    for r in (8, 16):
        params = dict(n_components=r, method="zeta", init="random-columns", n_init=1,
                      max_iter=5, random_state=0)
        t_plain = median_time(lambda: BooleanMF(**params).fit(x), args.reps)  # noqa: B023
        t_masked = median_time(lambda: BooleanMF(**params).fit(hidden), args.reps)  # noqa: B023
        rows.append((f"fit 4000x2000 r={r}, zeta, 5 iterations, 10 % NaN", t_plain, t_masked))
    return rows


def high_rank_fits(args):
    rows = []
    rng = np.random.default_rng(2)
    x = make_planted(3000, 1000, 40, density=(0.05, 0.1), noise=0.03, random_state=rng)
    hidden = np.where(rng.random(x.shape) < 0.1, np.nan, x.astype(np.float64))
    for r in (40, 100):
        for method in ("greedy", "greedy-ls", "exact-blocks"):
            params = dict(n_components=r, method=method, init="random-columns", n_init=1,
                          max_iter=4, random_state=0, search=0)
            per_iter = {}
            for name, data in (("plain", x), ("masked", hidden)):
                models = []

                def fit(data=data, models=models, params=params):
                    models.append(BooleanMF(**params).fit(data))
                per_iter[name] = median_time(fit, args.reps) / models[-1].n_iter_
            rows.append((f"fit 3000x1000 r={r}, {method}, per iteration, 10 % NaN",
                         per_iter["plain"], per_iter["masked"]))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    rows = half_steps(args) + fits(args) + high_rank_fits(args)
    print("| workload | unmasked | masked | masked / unmasked | target | met |")
    print("|---|---|---|---|---|---|")
    for name, plain, masked in rows:
        ratio = masked / plain
        print(f"| {name} | {fmt_time(plain)} | {fmt_time(masked)} | {ratio:.2f}× | ≤ 1.5× | "
              f"{'yes' if ratio <= 1.5 else 'no'} |")


if __name__ == "__main__":
    main()
