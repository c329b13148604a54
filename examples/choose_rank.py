"""Choosing the rank: error against rank on data with a known answer.

The data set is planted: random Boolean factors W0 (m x k) and H0 (k x n),
their product W0 o H0, then a fraction of the cells flipped at random. The
planted factors themselves miss exactly the flipped cells, so that count is
the error a rank-k model "should" reach. Factorising at ranks 1, 2, ... with
each method shows the error falling steeply up to rank k and then flattening:
past k, a new factor can only cover a few scattered noise cells.

ao_bmf is a local search, so each cell of the table is the best of a few
restarts (seeds 0, 1, ...).

    python examples/choose_rank.py
    python examples/choose_rank.py --rows 200 --cols 60 --max-rank 8 --out /tmp/rank.png

matplotlib is optional (without it the plot is skipped).
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import QuorBMF
from example_tools import format_table
from quorbmf.datasets import make_planted

NAIVE_MAX_RANK = 10  # "naive" costs m * 2^r per solve: keep it to small ranks


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", type=int, default=600,
                   help="rows m of the planted matrix (default 600)")
    p.add_argument("--cols", type=int, default=120, help="columns n (default 120)")
    p.add_argument("--planted-rank", type=int, default=6,
                   help="rank k of the planted factors (default 6)")
    p.add_argument("--noise", type=float, default=0.03,
                   help="fraction of cells flipped (default 0.03)")
    p.add_argument("--max-rank", type=int, default=12,
                   help="largest rank tried (default 12, at most 26)")
    p.add_argument("--methods", default=",".join(QuorBMF.methods()),
                   help="comma-separated methods (default: all of them)")
    p.add_argument("--restarts", type=int, default=5,
                   help="seeds tried per rank and method (default 5)")
    p.add_argument("--flat", type=float, default=0.02,
                   help="the curve counts as flat from the first rank that no larger rank "
                        "improves by more than this fraction of the ones of X, which is the "
                        "error of the empty factorisation (default 0.02)")
    p.add_argument("--seed", type=int, default=6, help="seed of the planted data (default 6)")
    p.add_argument("--out", default="choose_rank.png",
                   help="PNG written (default: choose_rank.png)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the plot")
    return p


def planted_matrix(m, n, k, noise, seed):
    """Returns (X, flipped) as bool arrays: a rank-k Boolean product with
    ``noise`` of its cells flipped, and the mask of flipped cells."""
    x, w0, h0 = make_planted(m, n, k, density=(0.3, 0.2), noise=noise, return_factors=True,
                             random_state=seed)
    clean = (w0.astype(np.int32) @ h0.astype(np.int32)) > 0
    return x, x ^ clean


def best_of(x, r, method, restarts):
    """The lowest-error ao_bmf result over seeds 0 .. restarts-1, and the time taken."""
    start = time.perf_counter()
    best = None
    for seed in range(restarts):
        res = QuorBMF.ao_bmf(x, r, method=method, seed=seed)
        if best is None or res.error < best.error:
            best = res
    return best, time.perf_counter() - start


def flat_from(errors, margin):
    """The first rank r (a key of ``errors``) from which no larger rank lowers
    the error by more than ``margin`` cells; None when only the largest rank
    qualifies, since nothing beyond it was tried."""
    ranks = sorted(errors)
    for k, r in enumerate(ranks[:-1]):
        if errors[r] - min(errors[q] for q in ranks[k + 1:]) <= margin:
            return r
    return None


def draw_plot(path, errors, noise_cells, ones, planted_rank, flats):
    """Left: the whole curve. Right: the tail from the planted rank on, where
    the methods differ by a few cells and the full scale hides it."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {"naive": ("o", 9), "zeta": ("s", 5), "greedy": ("^", 6), "greedy-ls": ("D", 5)}
    all_ranks = sorted({r for by_rank in errors.values() for r in by_rank})
    tail = [r for r in all_ranks if r >= planted_rank]
    fig, (ax, zoom) = plt.subplots(1, 2, figsize=(10.5, 4.6), gridspec_kw={"width_ratios": [3, 2]})
    for method, by_rank in errors.items():
        marker, size = styles.get(method, ("x", 6))
        style = {"marker": marker, "markersize": size, "alpha": 0.85,
                 "markerfacecolor": "none" if method == "naive" else None}
        label = method if flats[method] is None else f"{method} (flat from {flats[method]})"
        ranks = sorted(by_rank)
        ax.plot(ranks, [by_rank[r] for r in ranks], label=label, **style)
        ranks = [r for r in ranks if r >= planted_rank]
        zoom.plot(ranks, [by_rank[r] for r in ranks], **style)
    for a in (ax, zoom):
        a.axhline(noise_cells, color="grey", linestyle="--", linewidth=1)
        a.set_xlabel("rank r")
        a.grid(alpha=0.3)
    ax.axvline(planted_rank, color="grey", linestyle=":", linewidth=1)
    ax.text(planted_rank, 0.5, "planted rank ", rotation=90, va="center", ha="right", fontsize=8,
            color="grey", transform=ax.get_xaxis_transform())
    ax.text(all_ranks[0], noise_cells, "flipped cells (planted factors' error)", va="bottom",
            fontsize=8, color="grey")
    ax.set_ylabel("error (cells differing from X)")
    ax.set_title(f"Error against rank ({ones} ones in X)")
    ax.set_ylim(bottom=0)
    ax.set_xticks(all_ranks)
    ax.legend(fontsize=8)
    zoom.set_title(f"From the planted rank {planted_rank} on")
    if tail:
        zoom.set_xticks(tail)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    args = build_parser().parse_args(argv)
    methods = [s.strip() for s in args.methods.split(",") if s.strip()]
    unknown = sorted(set(methods) - set(QuorBMF.methods()))
    if unknown or not methods:
        raise SystemExit(f"unknown methods {unknown}; choose among {QuorBMF.methods()}")
    if not 1 <= args.max_rank <= 26:
        raise SystemExit("--max-rank must be between 1 and 26")

    dense, flipped = planted_matrix(args.rows, args.cols, args.planted_rank, args.noise, args.seed)
    x = QuorBMF.BitMatrix.from_numpy(dense)
    noise_cells = int(flipped.sum())
    ones = x.count_ones()
    print(f"planted: {x.rows} x {x.cols}, rank {args.planted_rank}, {100 * args.noise:g} % noise "
          f"({noise_cells} flipped cells), {ones} ones; best of {args.restarts} seeds per cell")
    print()

    ranks = range(1, args.max_rank + 1)
    errors = {method: {} for method in methods}
    seconds = {method: 0.0 for method in methods}
    for r in ranks:
        for method in methods:
            if method == "naive" and r > NAIVE_MAX_RANK:
                continue
            res, spent = best_of(x, r, method, args.restarts)
            errors[method][r] = res.error
            seconds[method] += spent

    rows = [[r] + [errors[m].get(r, "-") for m in methods] for r in ranks]
    rows.append(["time (s)"] + [f"{seconds[m]:.2f}" for m in methods])
    print(format_table(["rank"] + methods, rows))
    print()

    flats = {m: flat_from(errors[m], args.flat * ones) for m in methods}
    for m in methods:
        r = flats[m]
        if r is None:
            print(f"{m:>9}: the curve is still falling at rank {max(errors[m])}")
        else:
            print(f"{m:>9}: the curve flattens at rank {r} (error {errors[m][r]}, "
                  f"{errors[m][r] / noise_cells:.2f} x the flipped cells)")
    print(f"planted rank: {args.planted_rank}")
    print()

    if not args.no_plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("matplotlib is not installed: plot skipped (pip install matplotlib)")
        else:
            draw_plot(args.out, errors, noise_cells, ones, args.planted_rank, flats)
            print(f"plot written to {args.out}")
    return {"errors": errors, "flat": flats, "noise_cells": noise_cells, "ones": ones}


if __name__ == "__main__":
    main(sys.argv[1:])
