"""Exact solves without the table: BooleanMF(method="exact") against
QuorBMF.ao_bmf(x, r, "zeta") on the same input, measured in one run.

Both return the same factors, error and iterations (asserted here); the
ratio is the ao_bmf time over the BooleanMF time. Targets: at least 20x on
Mushroom at rank 20, at least 10x on a planted 5000 x 1000 matrix at ranks
24 and 26. Random dense data, where pruning helps least, is reported too:
there the cost estimate must pick the table, so the ratio should stay
near 1.

    python benchmarks/exact.py [--quick] [--reps N] [--r26] [--core [LIST]]

At rank 26 the table side alone takes about an hour here (26 x 2^26 adds
for each of the 6000 distinct vectors of an iteration): --r26 adds it.
--core runs the core's half-steps instead (benchmarks/exact_bench.cpp,
built by CMake): the search alone, the table and the automatic choice on
the same vectors, the table sampled at ranks 24 and 26; LIST picks among
mushroom,planted24,planted26,random (default: all four).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import QuorBMF  # noqa: E402
from quorbmf import BooleanMF, load_mushroom  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402
from run import core_program, fmt_time  # noqa: E402


def best_time(fn, reps):
    best, out = float("inf"), None
    for _ in range(reps):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return best, out


def compare(name, x, r, max_iter, seed, target, reps):
    bm = QuorBMF.BitMatrix.from_numpy(x)
    zeta_time, res = best_time(lambda: QuorBMF.ao_bmf(bm, r, "zeta", max_iter, seed), reps)
    model = BooleanMF(n_components=r, method="exact", init="random-columns", n_init=1,
                      max_iter=max_iter, random_state=seed)
    exact_time, w = best_time(lambda: model.fit_transform(x), reps)
    same = (np.array_equal(w, res.w.to_numpy())
            and np.array_equal(model.components_, res.h.to_numpy())
            and model.reconstruction_err_ == res.error and model.n_iter_ == res.iterations)
    ratio = zeta_time / exact_time
    met = "—" if target is None else ("yes" if ratio >= target and same else "no")
    row = (name, r, fmt_time(zeta_time), fmt_time(exact_time), ratio, target, same, met)
    print(f"  {name} r={r}: zeta {row[2]}, exact {row[3]}, ratio {ratio:.1f}, "
          f"same result {same}", flush=True)
    return row


def core_half_steps(only):
    """Runs benchmarks/exact_bench.cpp on the real Mushroom table."""
    program = core_program("exact_bench")
    with tempfile.TemporaryDirectory() as tmp:
        mushroom = os.path.join(tmp, "mushroom.txt")
        rows = load_mushroom().data.astype(np.uint8) + ord("0")
        with open(mushroom, "w") as f:
            f.writelines(row.tobytes().decode() + "\n" for row in rows)
        subprocess.run([str(program), "--mushroom", mushroom, "--only", only], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--r26", action="store_true", help="also rank 26 (slow)")
    parser.add_argument("--core", nargs="?", const="mushroom,planted24,planted26,random",
                        metavar="LIST", help="the core's half-steps (C++, built by CMake)")
    args = parser.parse_args()
    if args.core:
        core_half_steps(args.core)
        return
    rows = [compare("Mushroom 8124x118", load_mushroom().data, 20, 2 if args.quick else 5, 1,
                    20, args.reps)]
    for r in (24, 26) if args.r26 else (24,):
        rows.append(compare("planted 5000x1000",
                            make_planted(5000, 1000, r, density=0.1, noise=0.01, random_state=r), r,
                            2, 3, 10,
                            1 if r == 26 else args.reps))
    dense = np.random.default_rng(9).random((2000, 500)) < 0.5
    rows.append(compare("random dense 2000x500", dense, 16 if args.quick else 20, 2, 0, None,
                        1))
    print()
    print("| data | r | ao_bmf zeta | BooleanMF exact | ratio | target | same result | met |")
    print("|---|---|---|---|---|---|---|---|")
    for name, r, zt, et, ratio, target, same, met in rows:
        tgt = "—" if target is None else f"≥ {target}×"
        print(f"| {name} | {r} | {zt} | {et} | {ratio:.1f}× | {tgt} | {same} | {met} |")


if __name__ == "__main__":
    main()
