"""QuorBMF benchmark suite.

Measures each workload and its baseline in the same run (median of several
repetitions) and prints one table: workload, QuorBMF median, baseline median,
ratio (baseline / QuorBMF, above 1 means QuorBMF is faster), target, met.

    python benchmarks/run.py            # full run
    python benchmarks/run.py --quick    # fewer repetitions, smaller ao_bmf
    python benchmarks/run.py --only product,zeta
"""
import argparse
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import numpy_reference as ref  # noqa: E402
import QuorBMF  # noqa: E402
from QuorBMF import BitMatrix, BoolLs  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402

ROWS = []
ROOT = Path(__file__).resolve().parents[1]


def processor():
    model, flags = platform.processor() or "unknown", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model in ("unknown", "x86_64", ""):
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    vec = [f for f in ("avx2", "avx512f", "avx512bw", "avx512vpopcntdq") if f in flags]
    return f"{model}; {os.cpu_count()} cores; {' '.join(vec) or 'no AVX2'}"


def median_time(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def record(name, ours, base, target, unit_note=""):
    ratio = base / ours if ours > 0 else float("inf")
    met = "yes" if target is None or ratio >= target else "no"
    ROWS.append((name, ours, base, ratio, target, met, unit_note))
    print(f"  {name}: QuorBMF {fmt_time(ours)}, baseline {fmt_time(base)}, ratio {ratio:.2f}",
          flush=True)


def fmt_time(t):
    if t >= 1:
        return f"{t:.2f} s"
    if t >= 1e-3:
        return f"{t * 1e3:.2f} ms"
    return f"{t * 1e6:.1f} µs"


def core_program(name):
    """The path of the C++ benchmark program benchmarks/<name>.cpp, configured
    and built by CMake in build/benchmarks (QUORBMF_BENCHMARKS=ON, Release,
    without the Python extension) from this checkout's sources; CMake
    rebuilds only what changed."""
    build = ROOT / "build" / "benchmarks"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DQUORBMF_PYTHON=OFF",
                    "-DQUORBMF_TESTS=OFF", "-DQUORBMF_BENCHMARKS=ON", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", name, "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL)
    return build / "benchmarks" / name


def random_bool(rng, shape, density):
    return rng.random(shape) < density


# ---------------------------------------------------------------------------
# Workloads


def bench_product(args, rng):
    n = 2048
    for density, target in ((0.5, 30.0), (0.01, 150.0)):
        a = random_bool(rng, (n, n), density)
        b = random_bool(rng, (n, n), density)
        am, bm = BitMatrix.from_numpy(a), BitMatrix.from_numpy(b)
        af, bf = a.astype(np.float32), b.astype(np.float32)
        ours = median_time(lambda: am @ bm, args.reps)  # noqa: B023
        base = median_time(lambda: (af @ bf) > 0, args.reps)  # noqa: B023
        assert (am @ bm) == BitMatrix.from_numpy((af @ bf) > 0)
        record(f"A @ B 2048², density {density}", ours, base, target)
    # At density 0.5 every output row fills up after a few rows of B and the
    # rest is skipped; a sparse B keeps the output unsaturated, so every
    # table lookup of the dense rows is really done.
    a = random_bool(rng, (n, n), 0.5)
    b = random_bool(rng, (n, n), 0.0005)
    am, bm = BitMatrix.from_numpy(a), BitMatrix.from_numpy(b)
    af, bf = a.astype(np.float32), b.astype(np.float32)
    ours = median_time(lambda: am @ bm, args.reps)
    base = median_time(lambda: (af @ bf) > 0, args.reps)
    assert (am @ bm) == BitMatrix.from_numpy((af @ bf) > 0)
    record("A @ B 2048², A 0.5, B 0.0005 (unsaturated)", ours, base, None)


def bench_numpy_conversions(args, rng):
    n = 4096
    a = random_bool(rng, (n, n), 0.5)
    m = BitMatrix.from_numpy(a)
    packed = np.packbits(a, axis=1, bitorder="little")
    ours = median_time(lambda: BitMatrix.from_numpy(a), args.reps * 2)
    base = median_time(lambda: np.packbits(a, axis=1, bitorder="little"), args.reps * 2)
    record("from_numpy 4096²", ours, base, 1.0)
    ours = median_time(lambda: m.to_numpy(), args.reps * 2)
    base = median_time(lambda: np.unpackbits(packed, axis=1, bitorder="little").view(bool),
                       args.reps * 2)
    assert np.array_equal(m.to_numpy(), a)
    record("to_numpy 4096²", ours, base, 1.0)


def bench_transpose(args, rng):
    n = 8192
    m = BitMatrix.from_numpy(random_bool(rng, (n, n), 0.5))
    ours = median_time(lambda: m.transpose(), args.reps)
    base = median_time(lambda: m.copy(), args.reps)
    # Target: transposition no slower than 6x the copy, i.e. ratio >= 1/6.
    record("transpose 8192² (baseline: copy)", ours, base, 1 / 6)


class NumpyZeta:
    """The per-vector NumPy solve, the counts negated once per W."""

    def __init__(self, w):
        self.solver = ref.ZetaSolver(w)

    def solve(self, x):
        return self.solver.solve(x)


def bench_zeta(args, rng):
    m = 100_000
    for r, target in ((16, 10.0), (20, 12.0), (24, 20.0)):
        w = random_bool(rng, (m, r), 0.3)
        x = random_bool(rng, m, 0.5)
        solver = BoolLs(BitMatrix.from_numpy(w))
        baseline = NumpyZeta(w)
        reps = args.reps if r < 24 else max(1, args.reps // 2)
        ours = median_time(lambda: solver.solve(x), reps)  # noqa: B023
        base = median_time(lambda: baseline.solve(x), reps)  # noqa: B023
        assert solver.solve(x) == baseline.solve(x)
        record(f"zeta solve r={r}, m=100000", ours, base, target)


def bench_ao_bmf(args, rng):
    m, n = (4000, 2000) if not args.quick else (1000, 500)
    for rank, target in ((8, 40.0), (16, 15.0)):
        data = make_planted(m, n, rank, noise=0.05, random_state=rank)
        x = BitMatrix.from_numpy(data)
        timings = {}
        for method in QuorBMF.methods():
            if method == "naive" and rank > 8:
                continue  # m * 2^r row tests per solve: hours at rank 16
            reps = 1 if method == "naive" else args.reps
            timings[method] = median_time(lambda: QuorBMF.ao_bmf(x, rank, method, max_iter=5), reps)  # noqa: B023
        res = QuorBMF.ao_bmf(x, rank, "zeta", max_iter=5)
        base_reps = 1 if rank == 16 or args.reps < 3 else 2
        t0 = time.perf_counter()
        w, h, error, iterations = ref.ao_bmf(data, rank, max_iter=5)
        base = (time.perf_counter() - t0) if base_reps == 1 else median_time(
            lambda: ref.ao_bmf(data, rank, max_iter=5), base_reps)  # noqa: B023
        assert res.error == error and res.iterations == iterations
        assert res.w == BitMatrix.from_numpy(w) and res.h == BitMatrix.from_numpy(h)
        record(f"ao_bmf {m}x{n} rank {rank}, zeta", timings["zeta"], base, target)
        for method in [name for name in ("naive", "greedy", "greedy-ls") if name in timings]:
            record(f"ao_bmf {m}x{n} rank {rank}, {method} (baseline: NumPy zeta)", timings[method],
                   base, None)


PEAK_CODE = r"""
import sys, numpy as np, QuorBMF
r = int(sys.argv[1]); what = sys.argv[2]

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

rng = np.random.default_rng(0)
if what == "solve":
    w = QuorBMF.BitMatrix.from_numpy(rng.random((100_000, r)) < 0.3)
    x = rng.random(100_000) < 0.5
else:
    data = QuorBMF.BitMatrix.from_numpy(rng.random((400, 300)) < 0.5)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident size to the current one
before = status("VmRSS:")
if what == "solve":
    s = QuorBMF.BoolLs(w)
    s.solve(x)
else:
    QuorBMF.ao_bmf(data, r, max_iter=2)
print(status("VmHWM:") - before)
"""


def bench_peak_memory(args, _rng):
    r = 24
    table = 4 << r
    for what in ("solve", "ao_bmf"):
        out = subprocess.run([sys.executable, "-c", PEAK_CODE, str(r), what], capture_output=True,
                             text=True)
        if out.returncode != 0:
            print(out.stderr)
            continue
        growth = int(out.stdout.strip())
        ROWS.append((f"peak RSS growth, {what} r={r}", None, None, growth / table, 2,
                     "yes" if growth <= 2 * table * 1.05 else "no",
                     f"{growth / 2**20:.0f} MiB = {growth / table:.2f} tables of "
                     f"{table // 2**20} MiB"))
        print(f"  peak {what}: {growth / 2**20:.0f} MiB", flush=True)


WORKLOADS = {
    "product": bench_product,
    "numpy": bench_numpy_conversions,
    "transpose": bench_transpose,
    "zeta": bench_zeta,
    "ao_bmf": bench_ao_bmf,
    "memory": bench_peak_memory,
}


def print_table():
    print()
    print("| workload | QuorBMF | baseline | ratio | target | met |")
    print("|---|---|---|---|---|---|")
    for name, ours, base, ratio, target, met, note in ROWS:
        if ours is None:
            print(f"| {name} | {note} | | | ≤ {target} tables | {met} |")
            continue
        tgt = ("—" if target is None
               else f"≥ {target:g}×" if target >= 1 else f"≥ 1/{1 / target:g}×")
        print(f"| {name} | {fmt_time(ours)} | {fmt_time(base)} | {ratio:.2f}× | {tgt} "
              f"| {met if target else '—'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default=",".join(WORKLOADS))
    args = parser.parse_args()
    if args.quick:
        args.reps = min(args.reps, 3)
    print(f"QuorBMF {QuorBMF.__version__}, NumPy {np.__version__}, "
          f"Python {platform.python_version()}")
    print(f"processor: {processor()}")
    rng = np.random.default_rng(12345)
    for name in args.only.split(","):
        print(f"[{name}]", flush=True)
        WORKLOADS[name](args, rng)
    print_table()


if __name__ == "__main__":
    main()
