"""Benchmarks of the quorbmf estimator, each against a baseline measured in
the same run (medians of several repetitions; ratios, never absolute times):

- fit with n_jobs=1 against QuorBMF.ao_bmf on the same input, a NumPy bool
  array (BitMatrix.from_numpy then ao_bmf; target: within 1.1x, i.e.
  ratio >= 0.91), and on a planted 20,000 x 2,000 QuorBMF.BitMatrix at
  rank 12, where no packing hides the estimator's own cost (same target);
- fit with n_jobs=2: its speed-up over n_jobs=1 against this machine's
  ceiling, the speed-up of two independent single-threaded fits run side
  by side (target: >= 90 % of the ceiling);
- scipy.sparse CSR 10^6 x 10^4 at 0.1 % density to packed words against
  csr.toarray() (target: at least as fast), and its peak memory against the
  input plus the packed result;
- peak memory of fit against twice the packed X plus the solver tables.

    python benchmarks/estimator.py [--quick] [--only fit,bitmatrix,threads,sparse,memory]
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import QuorBMF  # noqa: E402
from quorbmf import BooleanMF  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402
from run import fmt_time, median_time, processor  # noqa: E402

ROWS = []


def row(name, ratio, target, note):
    met = "yes" if ratio >= target else "no"
    ROWS.append((name, note, ratio, target, met))
    print(f"  {name}: {note}, ratio {ratio:.2f} (target >= {target:g}): {met}", flush=True)


def bench_fit(args, rng):
    m, n = (2000, 1000) if args.quick else (4000, 2000)
    for r in (8, 16):
        x = make_planted(m, n, r, density=0.15, noise=0.03, random_state=rng)
        # The same input for both: a NumPy bool array, which ao_bmf needs
        # converted to a BitMatrix first.
        core = median_time(lambda: QuorBMF.ao_bmf(QuorBMF.BitMatrix.from_numpy(x), r, "zeta", 5, 1),  # noqa: B023
                           args.reps)
        model = BooleanMF(n_components=r, method="zeta", max_iter=5, random_state=1,
                          init="random-columns", n_init=1)
        ours = median_time(lambda: model.fit(x), args.reps)  # noqa: B023
        row(f"fit n_jobs=1 vs ao_bmf, {m}x{n} rank {r}, zeta, max_iter=5", core / ours, 1 / 1.1,
            f"fit {fmt_time(ours)}, ao_bmf {fmt_time(core)}")


def bench_bitmatrix(args, rng):
    # A BitMatrix needs no packing: what remains is the estimator's own cost
    # (its transpose, the classes of equal rows, block calls, the result).
    m = 5000 if args.quick else 20000
    for density in (0.3, 0.1):
        x = QuorBMF.BitMatrix.from_numpy(
            make_planted(m, 2000, 12, density=density, noise=0.03, random_state=rng))
        model = BooleanMF(n_components=12, method="zeta", max_iter=5, random_state=1,
                          init="random-columns", n_init=1, n_jobs=1)
        core, ours = alternating_medians(lambda: QuorBMF.ao_bmf(x, 12, "zeta", 5, 1),  # noqa: B023
                                         lambda: model.fit(x), args.reps)  # noqa: B023
        ones = x.count_ones() / (x.rows * x.cols)
        row(f"fit n_jobs=1 vs ao_bmf, BitMatrix {m}x2000 rank 12 ({ones:.0%} ones), zeta, "
            "max_iter=5", core / ours, 1 / 1.1, f"fit {fmt_time(ours)}, ao_bmf {fmt_time(core)}")


def alternating_medians(first, second, reps):
    """Medians of the two callables' times, run in turn so that a change of
    the machine's load touches both alike."""
    times = ([], [])
    for _ in range(max(reps, 5)):
        for k, f in enumerate((first, second)):
            t = time.perf_counter()
            f()
            times[k].append(time.perf_counter() - t)
    return statistics.median(times[0]), statistics.median(times[1])


def bench_threads(args, rng):
    sizes = [(10000, 2000)] if args.quick else [(20000, 2000), (40000, 2000)]
    for m, n in sizes:
        x = make_planted(m, n, 12, density=0.15, noise=0.03, random_state=rng)
        make = lambda jobs: BooleanMF(n_components=12, method="zeta", max_iter=4,  # noqa: E731
                                      random_state=2, n_jobs=jobs, init="random-columns",
                                      n_init=1)
        one = median_time(lambda: make(1).fit(x), args.reps)  # noqa: B023
        two = median_time(lambda: make(2).fit(x), args.reps)  # noqa: B023

        def side_by_side():
            threads = [threading.Thread(target=lambda: make(1).fit(x)) for _ in range(2)]  # noqa: B023
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        pair = median_time(side_by_side, args.reps)
        ceiling = 2 * one / pair
        speedup = one / two
        row(f"fit n_jobs=2 speed-up vs ceiling, {m}x{n} rank 12", speedup / ceiling, 0.9,
            f"n_jobs=1 {fmt_time(one)}, n_jobs=2 {fmt_time(two)} ({speedup:.2f}x), "
            f"ceiling {ceiling:.2f}x")


PEAK_CODE = r"""
import sys, time, numpy as np, scipy.sparse as sp
what = sys.argv[1]

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

def reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size restarts from the current one
    return status("VmRSS:")

if what in ("pack", "toarray"):
    rows, cols = int(sys.argv[2]), int(sys.argv[3])
    rng = np.random.default_rng(0)
    nnz = rows * cols // 1000
    flat = np.unique(rng.integers(0, rows * cols, size=nnz, dtype=np.int64))
    csr = sp.csr_matrix((np.ones(flat.size, dtype=bool), (flat // cols, flat % cols)),
                        shape=(rows, cols))
    del flat
    input_bytes = csr.data.nbytes + csr.indices.nbytes + csr.indptr.nbytes
    from quorbmf import as_packed
    before = reset()
    start = time.perf_counter()
    out = as_packed(csr) if what == "pack" else csr.toarray()
    seconds = time.perf_counter() - start
    result_bytes = out.words.nbytes if what == "pack" else out.nbytes
    print(seconds, status("VmHWM:") - before, input_bytes, result_bytes)
else:
    from quorbmf import BooleanMF
    r = int(sys.argv[2])
    rng = np.random.default_rng(0)
    x = rng.random((20000, 2000)) < 0.1
    before = reset()
    BooleanMF(n_components=r, method="zeta", max_iter=3, random_state=0,
              init="random-columns", n_init=1).fit(x)
    print(status("VmHWM:") - before)
"""


def run_peak(*argv):
    out = subprocess.run([sys.executable, "-c", PEAK_CODE, *map(str, argv)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return [float(v) for v in out.stdout.split()]


def bench_sparse(args, _rng):
    rows, cols = (10**5, 10**4) if args.quick else (10**6, 10**4)
    packs = [run_peak("pack", rows, cols) for _ in range(args.reps)]
    dense = [run_peak("toarray", rows, cols) for _ in range(min(args.reps, 3))]
    ours = float(np.median([p[0] for p in packs]))
    base = float(np.median([d[0] for d in dense]))
    row(f"CSR {rows}x{cols} at 0.1 % to packed words vs csr.toarray()", base / ours, 1.0,
        f"pack {fmt_time(ours)}, toarray {fmt_time(base)}")
    peak, input_bytes, packed_bytes = packs[0][1], packs[0][2], packs[0][3]
    allowed = input_bytes + packed_bytes
    row(f"CSR {rows}x{cols} packing: peak growth / (input + packed)", allowed / peak, 1.0,
        f"peak {peak / 2**20:.0f} MiB, input {input_bytes / 2**20:.0f} MiB + packed "
        f"{packed_bytes / 2**20:.0f} MiB")


def bench_memory(args, _rng):
    packed = 20000 * ((2000 + 63) // 64) * 8
    for r in (16, 22):
        tables = 2 * (4 << r)
        peak = run_peak("fit", r)[0]
        allowed = 2 * packed + tables
        row(f"fit 20000x2000 rank {r}: peak growth / (2 packed X + 2 tables)", allowed / peak,
            1.0, f"peak {peak / 2**20:.1f} MiB, allowed {allowed / 2**20:.1f} MiB")


WORKLOADS = {"fit": bench_fit, "bitmatrix": bench_bitmatrix, "threads": bench_threads,
             "sparse": bench_sparse, "memory": bench_memory}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default=",".join(WORKLOADS))
    args = parser.parse_args()
    if args.quick:
        args.reps = min(args.reps, 3)
    print(f"processor: {processor()}")
    rng = np.random.default_rng(2024)
    for name in args.only.split(","):
        print(f"[{name}]", flush=True)
        WORKLOADS[name](args, rng)
    print()
    print("| workload | measured | ratio | target | met |")
    print("|---|---|---|---|---|")
    for name, note, ratio, target, met in ROWS:
        print(f"| {name} | {note} | {ratio:.2f} | ≥ {target:.2f} | {met} |")


if __name__ == "__main__":
    main()
