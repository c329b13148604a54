"""Quality of the fits: per data set and rank, the error (wrong cells, counted
over the observed cells) and the time of

- today's default: BooleanMF(n_components=k, random_state=0, search=0), the
  alternating refits from the classic and random starts, no search;
- the new default: BooleanMF(n_components=k, random_state=0), which runs the
  search after those starts;
- the peers' best: the fewest wrong cells of GreConD, Asso (best of tau 0.5,
  0.7, 0.9), both written plainly in NumPy (benchmarks/classic_numpy.py) or,
  on large data where their matrix products take minutes, the package's C++
  covers; and of our own best of 10 seeds without search,
  BooleanMF(random_state=s, init="random-columns") with method="greedy-ls"
  and with the default method, s = 0..9;
- on planted data, the planted factors.

Errors are deterministic; times are those of this run (a shared machine
makes them vary by up to 2x). With a BooleanMF that has no ``search``
parameter, today's default is BooleanMF(n_components=k, random_state=0) and
the new default is skipped (a note says so).

Data sets and targets (each checked in the last column):
- Mushroom (quorbmf.load_mushroom), k = 5, 10, 20, 50: new default at most
  65,500 at k = 10 and 47,000 at k = 20, no worse than today's default at
  k = 5 and 50; each fit at most 2 s.
- scikit-learn's digits, load_digits().data > 7, k = 5, 10, 20: new default
  below 15,446, 11,929 and 6,904; each fit at most 2 s.
- Binary tables of scikit-learn's bundled iris, wine, breast_cancer, digits,
  diabetes and linnerud, every column one-hot by quartile bins by one rule
  (benchmarks/benchmark_data.py), k = 2, 5, 10: new default at most the
  peers' best; each fit within 1 s.
- Planted matrices (quorbmf.datasets.make_planted) with 3 % noise, with and
  without 10 % unobserved cells (NaN), 500 x 300 at rank 8 and 2000 x 500 at
  rank 16, fitted at the planted rank: reported against the planted
  factors' error (checked: new default at most that error).
- The planted sparse 20,000 x 2,000 matrix at rank 10: new default equal to
  the planted factors' error (recovered exactly).
- 10^5 x 10^3 at 1 % density, rank 100: new default under 60 s.

    python benchmarks/quality.py [--quick] [--only mushroom,digits,tables,...]

--quick runs fewer ranks, 3 seeds instead of 10 and smaller planted and
wide matrices. --only takes workload names (see --help): mushroom, digits,
iris_quartiles (and the other tables likewise), noisy, planted, wide;
"tables" stands for all the bundled tables.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchmark_data  # noqa: E402
import classic_numpy  # noqa: E402
from quorbmf import BooleanMF, load_mushroom  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402

HAS_SEARCH = "search" in BooleanMF().get_params()
TODAY = {"search": 0} if HAS_SEARCH else {}
SUMMARY = []


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


def say(dataset, k, what, error, seconds, note=""):
    print(f"  {dataset} k={k} {what}: error {error:,}, {seconds:.3f} s {note}".rstrip(),
          flush=True)


def observed_error(x, observed, w, h):
    """Wrong observed cells of W∘H against X."""
    recon = (w.astype(np.float32) @ h.astype(np.float32)) > 0 if w.shape[1] else False
    wrong = x != recon
    return int(wrong.sum() if observed is None else (wrong & observed).sum())


def split_observed(x):
    """(the 0/1 cells as bool, unobserved ones as 0; the observed cells or
    None when every cell is)."""
    x = np.asarray(x)
    if x.dtype == np.bool_ or not np.isnan(x).any():
        return x.astype(bool), None
    observed = ~np.isnan(x)
    return np.where(observed, x, 0) > 0.5, observed


def covers(name, x, k, plain=True):
    """GreConD and Asso (best tau): the plain NumPy versions, or on large data
    the package's C++ ones; unobserved cells are given to them as 0 and not
    counted. Returns [(error, label)]."""
    cells, observed = split_observed(x)
    if plain:
        grecond = lambda: classic_numpy.grecond(cells, k)  # noqa: E731
        asso = lambda tau: classic_numpy.asso(cells, k, tau)  # noqa: E731
        error = lambda wh: observed_error(cells, observed, *wh)  # noqa: E731
        where = "NumPy"
    else:
        from quorbmf import _native, as_packed

        assert observed is None, "the C++ covers count every cell"
        packed = as_packed(cells)
        grecond = lambda: _native.grecond(packed.words, packed.cols, k)  # noqa: E731
        asso = lambda tau: _native.asso(packed.words, packed.cols, k, tau)  # noqa: E731
        error = lambda cover: cover[2][-1] if cover[2] else packed.count_ones()  # noqa: E731
        where = "C++"
    out, t = timed(grecond)
    found = [(error(out), f"GreConD ({where})")]
    say(name, k, found[0][1], found[0][0], t)
    for tau in (0.5, 0.7, 0.9):
        out, t = timed(lambda: asso(tau))  # noqa: B023
        found.append((error(out), f"Asso ({where}, tau {tau})"))
        say(name, k, found[-1][1], found[-1][0], t)
    return found


def seeds(name, x, k, n_seeds):
    """Our own best of n_seeds seeds from random columns, no search, with
    "greedy-ls" and with the default method. Returns [(error, label)]."""
    found = []
    for method in ("greedy-ls", None):
        params = dict(TODAY, init="random-columns")
        if method:
            params["method"] = method
        label = f"best of {n_seeds} seeds, {method or 'default method'}"
        start = time.perf_counter()
        errors = [BooleanMF(n_components=k, random_state=s, **params).fit(x).reconstruction_err_
                  for s in range(n_seeds)]
        t = time.perf_counter() - start
        found.append((min(errors), label))
        say(name, k, label, min(errors), t)
    return found


def fit(name, k, x, label, **params):
    model = BooleanMF(n_components=k, random_state=0, **params)
    _, t = timed(lambda: model.fit(x))
    say(name, k, label, model.reconstruction_err_, t, f"({model.method_}, start {model.init_})")
    return model.reconstruction_err_, t


def case(name, x, k, args, targets, planted=None, plain=True, peers=True):
    """Fits today's and the new default, the peers (unless ``peers`` is
    False), and records a summary row. ``targets(today, new, best)`` gives
    [(text, met)] from the (error, seconds) of both defaults and the peers'
    best error."""
    if planted is not None:
        say(name, k, "planted factors", planted, 0.0)
    found = (covers(name, x, k, plain) + seeds(name, x, k, args.seeds)) if peers else []
    best = min(found) if found else None
    today = fit(name, k, x, "today's default", **TODAY)
    new = None
    if HAS_SEARCH:
        new = fit(name, k, x, "new default")
    else:
        print(f"  {name} k={k} new default: skipped, this BooleanMF has no search parameter",
              flush=True)
    checks = targets(today, new, best[0] if best else None) if new else []
    for text, met in checks:
        print(f"  {name} k={k} target {text}: {'met' if met else 'NOT met'}", flush=True)
    SUMMARY.append((name, k, today, new, best, planted, checks))


def at_most(seconds):
    return lambda today, new, best: [(f"fit <= {seconds} s", new[1] <= seconds)]


def error_at_most(limit, strict=False, seconds=2):
    def targets(today, new, best):
        met = new[0] < limit if strict else new[0] <= limit
        return [(f"error {'<' if strict else '<='} {limit:,}", met)] + \
            at_most(seconds)(today, new, best)
    return targets


def no_worse_than_today(seconds=2):
    def targets(today, new, best):
        return [(f"error <= today's {today[0]:,}", new[0] <= today[0])] + \
            at_most(seconds)(today, new, best)
    return targets


def no_worse_than_peers(seconds=1):
    def targets(today, new, best):
        return [(f"error <= peers' {best:,}", new[0] <= best)] + \
            at_most(seconds)(today, new, best)
    return targets


def load_digits_7():
    from sklearn.datasets import load_digits

    return load_digits().data > 7


def bench_mushroom(args):
    x = load_mushroom().data
    targets = {5: no_worse_than_today(), 10: error_at_most(65_500),
               20: error_at_most(47_000), 50: no_worse_than_today()}
    for k in (5, 10, 20) if args.quick else (5, 10, 20, 50):
        case(f"Mushroom {x.shape[0]}x{x.shape[1]}", x, k, args, targets[k])


def bench_digits(args):
    x = load_digits_7()
    limits = {5: 15_446, 10: 11_929, 20: 6_904}
    for k in (5, 10) if args.quick else (5, 10, 20):
        case(f"digits > 7 {x.shape[0]}x{x.shape[1]}", x, k, args,
             error_at_most(limits[k], strict=True))


def bench_table(table):
    def bench(args):
        x = benchmark_data.bundled_table(table)
        for k in (2, 5) if args.quick else (2, 5, 10):
            case(f"{table} (quartiles) {x.shape[0]}x{x.shape[1]}", x, k, args,
                 no_worse_than_peers())
    return bench


def planted_noisy(rows, cols, rank, missing, seed):
    """A planted matrix with 3 % of its cells flipped and ``missing`` of them
    unobserved (NaN), its planted factors' error over the observed cells.
    The factors' density makes about a third of W∘H ones."""
    density = float(np.sqrt(1 - 0.67 ** (1 / rank)))
    x, w, h = make_planted(rows, cols, rank, density=density, noise=0.03, missing=missing,
                           return_factors=True, random_state=seed)
    cells, observed = split_observed(x)
    return x, observed_error(cells, observed, w, h)


def bench_noisy(args):
    shapes = [(500, 300, 8)] + ([] if args.quick else [(2000, 500, 16)])
    for seed, (rows, cols, rank) in enumerate(shapes):
        for missing in (0.0, 0.1):
            x, planted = planted_noisy(rows, cols, rank, missing, seed)
            name = f"planted {rows}x{cols} 3 % noise"
            if missing:
                name += f", {missing * 100:.0f} % NaN"
            case(name, x, rank, args,
                 lambda today, new, best, p=planted: [(f"error <= planted {p:,}", new[0] <= p)],
                 planted=planted)


def planted_sparse(rows, seed=1):
    x, w0, h0 = make_planted(rows, 2000, 10, density=(0.05, 0.02), noise=0.001,
                             return_factors=True, random_state=seed)
    return x, observed_error(x, None, w0, h0)


def bench_planted(args):
    rows = 5000 if args.quick else 20000
    x, planted = planted_sparse(rows)
    case(f"planted {rows}x2000 sparse", x, 10, args,
         lambda today, new, best: [(f"error == planted {planted:,}", new[0] == planted)],
         planted=planted, plain=False)


def bench_wide(args):
    rows = 20000 if args.quick else 100_000
    x = np.random.default_rng(3).random((rows, 1000)) < 0.01
    case(f"random {rows}x1000 1 %", x, 100, args, at_most(60), peers=False)


WORKLOADS = {"mushroom": bench_mushroom, "digits": bench_digits}
WORKLOADS.update({f"{table}_quartiles": bench_table(table) for table in benchmark_data.TABLES})
WORKLOADS.update({"noisy": bench_noisy, "planted": bench_planted, "wide": bench_wide})
GROUPS = {"tables": [f"{table}_quartiles" for table in benchmark_data.TABLES]}


def cell(result):
    return "—" if result is None else f"{result[0]:,} ({result[1]:.2f} s)"


def print_summary():
    print()
    if not HAS_SEARCH:
        print("This BooleanMF has no search parameter: no new default, no targets checked.")
        print()
    print("| data | k | today's default | new default | peers' best | planted factors "
          "| targets |")
    print("|---|---|---|---|---|---|---|")
    for name, k, today, new, best, planted, checks in SUMMARY:
        peers = "—" if best is None else f"{best[0]:,} ({best[1]})"
        goals = "; ".join(f"{text}: {'met' if met else 'NOT met'}" for text, met in checks)
        print(f"| {name} | {k} | {cell(today)} | {cell(new)} | {peers} | "
              f"{'—' if planted is None else f'{planted:,}'} | {goals or '—'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="fewer ranks, 3 seeds, smaller planted and wide matrices")
    parser.add_argument("--only", default=",".join(WORKLOADS),
                        help=f"comma-separated, of: {', '.join([*WORKLOADS, *GROUPS])}")
    args = parser.parse_args()
    args.seeds = 3 if args.quick else 10
    names = [n for name in args.only.split(",") for n in GROUPS.get(name, [name])]
    unknown = [name for name in names if name not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload {', '.join(unknown)}")
    if not HAS_SEARCH:
        print("note: this BooleanMF has no search parameter; today's default is "
              "BooleanMF(n_components=k, random_state=0) and the new default is skipped",
              flush=True)
    for name in names:
        print(f"[{name}]", flush=True)
        WORKLOADS[name](args)
    print_summary()


if __name__ == "__main__":
    main()
