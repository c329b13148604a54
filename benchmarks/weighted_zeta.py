"""Weighted against unweighted "zeta" half-steps, measured in one run: the
same solver and vectors solved with the plain error, with costs (1, 4) and
from below (false ones forbidden), at ranks 8, 16 and 24 (target: each
weighted half-step within 1.2x of the unweighted one), and with costs
(2^24, 2^24 - 1), whose values need the 64-bit scan. Best of --reps runs,
the four half-steps taking turns (ten times as many below rank 24, where a
half-step is short).

    python benchmarks/weighted_zeta.py [--reps N]
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quorbmf import PackedMatrix, _native  # noqa: E402
from run import fmt_time  # noqa: E402

TARGET = 1.2
# Rows of the factor and vectors per half-step: a half-step at r = 24 takes
# a few tenths of a second.
M, N = 3000, 12
COSTS = [((1, 4), "(1, 4)"), ((None, 1), "from below"),
         ((2**24, 2**24 - 1), "(2^24, 2^24 - 1), scanned in 64-bit lanes")]


def best_times(fns, reps):
    """The best time of each function over `reps` rounds, the functions
    taking turns within a round so that a busy moment hits them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(reps):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return best


def half_steps(args):
    rows = []
    rng = np.random.default_rng(0)
    for r in (8, 16, 24):
        w = rng.random((M, r)) < 0.15
        vectors = rng.random((N, M)) < 0.3
        solver = _native.Solver(PackedMatrix.from_dense(w).words, r)
        block = _native.VectorBlock(PackedMatrix.from_dense(vectors).words, M)
        out = np.zeros((N, 1), dtype=np.uint64)
        solver.half_step(block, "zeta", 0, out)  # builds the solver's table
        reps = args.reps if r >= 24 else 10 * args.reps
        fns = [lambda: solver.half_step(block, "zeta", 0, out)]  # noqa: B023
        fns += [lambda costs=costs: solver.half_step(block, "zeta", 0, out, costs=costs)  # noqa: B023
                for costs, _ in COSTS]
        plain, *weighted = best_times(fns, reps)
        for (_, label), t in zip(COSTS, weighted):
            rows.append((f"half-step {N} vectors of {M} bits, r={r}, zeta, costs {label}",
                         plain, t))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    rows = half_steps(args)
    print("| workload | unweighted | weighted | weighted / unweighted | target | met |")
    print("|---|---|---|---|---|---|")
    for name, plain, weighted in rows:
        ratio = weighted / plain
        print(f"| {name} | {fmt_time(plain)} | {fmt_time(weighted)} | {ratio:.2f}× | "
              f"≤ {TARGET}× | {'yes' if ratio <= TARGET else 'no'} |")


if __name__ == "__main__":
    main()
