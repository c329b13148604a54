"""Mushrooms: a real categorical table as a Boolean matrix, factorised.

The UCI Mushroom table (8124 mushrooms, 22 categorical attributes and the
class edible/poisonous; CC BY 4.0) ships with quorbmf, one-hot encoded: one
column per attribute=value item, one 1 per known attribute. A rank-r
factorisation describes each mushroom as the union of a few item sets (the
rows of H, ``components_``). The class is left out of X and used afterwards:
first to see how edible each factor's mushrooms are, then to show the
factors as features of a scikit-learn Pipeline that predicts edibility.
The figure (matplotlib, optional) is the package's own pictures of the
described rank: the table reordered so each factor's tile shows as a block,
with the cells it misses and invents, and the error as the fit ran.

    pip install ".[examples]" && python examples/mushroom.py
    python examples/mushroom.py --ranks 2,5,10 --describe 5 --samples 2000
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from example_tools import format_table, parse_ranks
from quorbmf import BooleanMF, load_mushroom


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--samples", type=int, default=0, help="use only the first N mushrooms")
    p.add_argument("--ranks", type=parse_ranks, default=parse_ranks("2,5,10,15"),
                   help="comma-separated ranks (default: 2,5,10,15)")
    p.add_argument("--describe", type=int, default=10,
                   help="rank whose factors are listed (default: 10)")
    p.add_argument("--items", type=int, default=3, help="items printed per factor (default 3)")
    p.add_argument("--seed", type=int, default=0, help="random_state of the estimator")
    p.add_argument("--folds", type=int, default=5,
                   help="cross-validation folds of the Pipeline (0 skips it)")
    p.add_argument("--figure", default="mushroom.png", help="figure file ('' for none)")
    return p


def describe(model, w, names, item_counts, edible, items_shown):
    """One row per factor, most used first: mushrooms using it, their edible
    share, and its items, rarest first (items nearly every mushroom has,
    such as veil-type=partial, say little about a factor)."""
    rows = []
    for factor in np.argsort(-w.sum(axis=0), kind="stable"):
        users = w[:, factor]
        members = np.flatnonzero(model.components_[factor])
        items = [names[j] for j in members[np.argsort(item_counts[members], kind="stable")]]
        shown = ", ".join(items[:items_shown]) + (f", +{len(items) - items_shown} more"
                                                  if len(items) > items_shown else "")
        share = f"{100.0 * edible[users].mean():.0f}" if users.any() else "-"
        rows.append([int(factor), int(users.sum()), share, len(items), shown or "(empty)"])
    return rows


def pipeline_scores(x, edible, rank, seed, folds):
    """Cross-validated accuracy of predicting edibility from the rank-r
    factor memberships, against the same model on all the items."""
    from sklearn.linear_model import LogisticRegression
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import make_pipeline

    factors = make_pipeline(BooleanMF(n_components=rank, random_state=seed),
                            LogisticRegression(max_iter=1000))
    items = LogisticRegression(max_iter=1000)
    return (cross_val_score(factors, x, edible, cv=folds).mean(),
            cross_val_score(items, x, edible, cv=folds).mean())


def named(x, names):
    """x as a DataFrame with the item names as columns, so that the fitted
    models and their pictures know the items by name; x itself without
    pandas."""
    try:
        import pandas as pd
    except ImportError:
        return x
    return pd.DataFrame(x, columns=names)


def draw(model, table, path):
    """The pictures of ``model``, fitted on ``table``: the table reordered by
    its tiles above its error history."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no figure", file=sys.stderr)
        return None
    from quorbmf import plot_history, plot_tiles

    fig = plt.figure(figsize=(13, 11), layout="constrained")
    tiles_ax, history_ax = fig.subplots(2, 1, height_ratios=[3, 1])
    plot_tiles(model, table, ax=tiles_ax)
    plot_history(model, ax=history_ax)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def main(argv=None):
    args = build_parser().parse_args(argv)
    data = load_mushroom(include_class=False)
    x, names, edible = data.data, data.feature_names, data.target
    if args.samples:
        x, edible = x[:args.samples], edible[:args.samples]
    ones, cells = int(x.sum()), x.size
    print(f"mushrooms: {x.shape[0]} rows x {x.shape[1]} items (22 attributes one-hot), "
          f"{ones} ones ({100.0 * ones / cells:.1f} % of cells), "
          f"{100.0 * edible.mean():.1f} % edible")
    print()

    table = named(x, names)
    results = []
    for r in args.ranks:
        model = BooleanMF(n_components=r, random_state=args.seed)
        start = time.perf_counter()
        w = model.fit_transform(table)
        seconds = time.perf_counter() - start
        covered = ones - int((x & ~model.inverse_transform(w)).sum())
        results.append({"rank": r, "error": model.reconstruction_err_,
                        "percent": 100.0 * model.reconstruction_err_ / cells,
                        "covered": 100.0 * covered / ones, "iterations": model.n_iter_,
                        "method": model.method_, "seconds": seconds, "model": model, "w": w})
    print(format_table(
        ["rank", "method", "error", "% cells", "% ones covered", "iters", "time (s)"],
        [[r["rank"], r["method"], r["error"], f"{r['percent']:.2f}", f"{r['covered']:.1f}",
          r["iterations"], f"{r['seconds']:.3f}"] for r in results]))
    print()

    chosen = args.describe if args.describe in args.ranks else args.ranks[-1]
    best = next(r for r in results if r["rank"] == chosen)
    print(f"factors at rank {chosen} (most used first):")
    print(format_table(["factor", "mushrooms", "% edible", "items", "rarest items"],
                       describe(best["model"], best["w"], names, x.sum(axis=0), edible,
                                args.items),
                       align_left={4}))
    if args.folds:
        factors, items = pipeline_scores(x, edible, chosen, args.seed, args.folds)
        print()
        print(f"predicting edibility ({args.folds}-fold cross-validation, logistic regression):")
        print(f"  from the {chosen} factors of BooleanMF: {100.0 * factors:.1f} % accurate")
        print(f"  from all {x.shape[1]} items:            {100.0 * items:.1f} % accurate")
    if args.figure and draw(best["model"], table, args.figure):
        print(f"\nfigure written to {args.figure}")
    return results


if __name__ == "__main__":
    main(sys.argv[1:])
