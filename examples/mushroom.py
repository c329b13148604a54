"""Mushrooms: a categorical table, one-hot encoded, as a Boolean matrix.

The UCI Mushroom table (8124 mushrooms, 22 categorical attributes plus the
class edible/poisonous) ships with Debian's r-cran-cba package as an R data
file. Each attribute=value pair becomes a column ("item"), so every row has
one item per known attribute. A rank-r factorisation describes each
mushroom as the union of a few item sets (the rows of H); the class is left
out of X and used afterwards to see how edible each factor's mushrooms are.

    apt-get install r-cran-cba && pip install rdata
    python examples/mushroom.py
    python examples/mushroom.py --samples 2000 --ranks 2,4,8 --describe 4

Needs the rdata package (pure Python) to read the .rda file.
"""
from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import QuorBMF
from example_tools import parse_ranks, format_table

DEFAULT_DATA = "/usr/lib/R/site-library/cba/data/Mushroom.rda"
CLASS = "class"


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", default=DEFAULT_DATA, help=f"the Mushroom .rda file (default: {DEFAULT_DATA})")
    p.add_argument("--samples", type=int, default=0, help="use only the first N mushrooms (default: all)")
    p.add_argument("--ranks", type=parse_ranks, default=parse_ranks("2,4,6,8,10,12"),
                   help="comma-separated ranks (default: 2,4,6,8,10,12)")
    p.add_argument("--method", choices=QuorBMF.methods(), default="zeta", help="solving method (default: zeta)")
    p.add_argument("--seed", type=int, default=0, help="seed of the initial factor")
    p.add_argument("--describe", type=int, default=0,
                   help="rank whose factors are listed (default: the largest rank run)")
    p.add_argument("--items", type=int, default=3, help="items printed per factor (default 3)")
    return p


def load_mushrooms(path):
    """Returns the Mushroom data frame (pandas, categorical columns)."""
    if not os.path.exists(path):
        raise SystemExit(f"{path} not found: install Debian's r-cran-cba package or pass --data")
    try:
        import rdata
    except ImportError:
        raise SystemExit("reading the .rda file needs the rdata package: pip install rdata") from None
    frames = rdata.read_rda(path)
    if "Mushroom" not in frames:
        raise SystemExit(f"{path} holds {sorted(frames)}, not Mushroom")
    return frames["Mushroom"]


def one_hot(frame):
    """Returns (X as a bool array, item names, edible mask). A missing value
    sets no item of its attribute."""
    blocks, names = [], []
    for column in frame.columns:
        if column == CLASS:
            continue
        values = frame[column].astype("category")
        codes = values.cat.codes.to_numpy()
        for k, level in enumerate(values.cat.categories):
            names.append(f"{column}={level}")
            blocks.append(codes == k)
    edible = (frame[CLASS].astype(str) == "edible").to_numpy()
    return np.column_stack(blocks), names, edible


def describe(result, names, item_counts, edible, items_shown):
    """One row per factor: mushrooms using it, their edible share, and its
    items, rarest first (items nearly every mushroom has, such as
    veil-type=partial, say little about a factor)."""
    w = result.w.to_numpy()
    h = result.h.to_numpy()
    rows = []
    for l in np.argsort(-w.sum(axis=0), kind="stable"):
        users = w[:, l]
        members = np.flatnonzero(h[l])
        items = [names[j] for j in members[np.argsort(item_counts[members], kind="stable")]]
        shown = ", ".join(items[:items_shown]) + (f", +{len(items) - items_shown} more"
                                                  if len(items) > items_shown else "")
        share = f"{100.0 * edible[users].mean():.0f}" if users.any() else "-"
        rows.append([int(l), int(users.sum()), share, len(items), shown or "(empty)"])
    return rows


def main(argv=None):
    args = build_parser().parse_args(argv)
    frame = load_mushrooms(args.data)
    if args.samples:
        frame = frame.iloc[:args.samples]
    dense, names, edible = one_hot(frame)
    x = QuorBMF.BitMatrix.from_numpy(dense)
    ones = x.count_ones()
    cells = x.rows * x.cols
    print(f"mushrooms: {x.rows} rows x {x.cols} items ({frame.shape[1] - 1} attributes one-hot), "
          f"{ones} ones ({100.0 * ones / cells:.1f} % of cells), {100.0 * edible.mean():.1f} % edible, "
          f"method {args.method}")
    print()

    results = []
    for r in args.ranks:
        start = time.perf_counter()
        res = QuorBMF.ao_bmf(x, r, method=args.method, seed=args.seed)
        seconds = time.perf_counter() - start
        covered = ones - x.count_andnot(res.reconstruct())
        results.append({"rank": r, "error": res.error, "percent": 100.0 * res.error / cells,
                        "covered": 100.0 * covered / ones, "iterations": res.iterations,
                        "seconds": seconds, "result": res})
    print(format_table(
        ["rank", "error", "% cells", "% ones covered", "iters", "time (s)"],
        [[r["rank"], r["error"], f"{r['percent']:.2f}", f"{r['covered']:.1f}", r["iterations"],
          f"{r['seconds']:.3f}"] for r in results]))
    print()

    chosen = args.describe or args.ranks[-1]
    by_rank = {r["rank"]: r for r in results}
    if chosen not in by_rank:
        raise SystemExit(f"--describe {chosen} is not among the ranks run {args.ranks}")
    print(f"factors at rank {chosen} (most used first):")
    print(format_table(["factor", "mushrooms", "% edible", "items", "rarest items"],
                       describe(by_rank[chosen]["result"], names, dense.sum(axis=0), edible, args.items),
                       align_left={4}))
    return results


if __name__ == "__main__":
    main(sys.argv[1:])
