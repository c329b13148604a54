"""Imputing hidden cells of a real binary table with BooleanMF.

Hides 10 % of the cells of the Mushroom table (the UCI data shipped with
quorbmf, one-hot: 8124 mushrooms x 116 attribute items) at random, fits
BooleanMF on the observed cells only (the hidden ones are NaN), and fills
the hidden cells with the reconstruction W∘H. The hidden cells are then
compared with the truth: accuracy, precision and recall of the ones,
against two baselines — the majority value of each column, and
scikit-learn's KNNImputer (rounded to 0/1) — with a bar chart.

    pip install ".[examples]" && python examples/impute.py
    python examples/impute.py --samples 2000 --ranks 10,20 --figure impute.png
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from example_tools import format_table
from quorbmf import BooleanMF, load_mushroom


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--samples", type=int, default=3000,
                   help="mushrooms used (default 3000; 0 for all 8124; KNN grows as rows^2)")
    p.add_argument("--hide", type=float, default=0.10, help="share of cells hidden (default 0.10)")
    p.add_argument("--ranks", default="10,20,30", help="comma-separated ranks (default 10,20,30)")
    p.add_argument("--seed", type=int, default=0, help="seed of the hidden cells and the fits")
    p.add_argument("--figure", default="impute.png", help="bar chart file ('' for none)")
    return p


def scores(truth, guess):
    """Accuracy, precision and recall of the ones, in %."""
    tp = int((truth & guess).sum())
    precision = 100.0 * tp / max(int(guess.sum()), 1)
    recall = 100.0 * tp / max(int(truth.sum()), 1)
    return 100.0 * float((truth == guess).mean()), precision, recall


def majority(x_hidden):
    """Each column's majority observed value."""
    ones = np.nanmean(x_hidden, axis=0) > 0.5
    return np.broadcast_to(ones, x_hidden.shape)


def knn(x_hidden):
    from sklearn.impute import KNNImputer

    return KNNImputer(n_neighbors=5).fit_transform(x_hidden) > 0.5


def draw(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no figure)")
        return None
    fig, ax = plt.subplots(figsize=(8, 4))
    names = [r[0] for r in rows]
    width = 0.27
    for k, label in enumerate(["accuracy", "precision", "recall"]):
        ax.bar(np.arange(len(rows)) + (k - 1) * width, [r[1 + k] for r in rows], width,
               label=label)
    ax.set_xticks(np.arange(len(rows)), names, rotation=15)
    ax.set_ylabel("% of the hidden cells")
    ax.set_ylim(0, 100)
    ax.set_title("Imputing hidden cells of the Mushroom table")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.25), ncol=3, frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def main(argv=None):
    args = build_parser().parse_args(argv)
    data = load_mushroom(include_class=False).data
    if args.samples:
        data = data[np.random.default_rng(args.seed).permutation(data.shape[0])[:args.samples]]
    rng = np.random.default_rng(args.seed)
    hidden = rng.random(data.shape) < args.hide
    x = np.where(hidden, np.nan, data.astype(np.float64))
    truth = data[hidden]
    print(f"mushrooms: {data.shape[0]} x {data.shape[1]} items, {int(hidden.sum())} cells "
          f"hidden ({100.0 * hidden.mean():.1f} %), {100.0 * truth.mean():.1f} % of them ones")
    print()

    rows = []
    for r in [int(v) for v in args.ranks.split(",") if v.strip()]:
        start = time.perf_counter()
        model = BooleanMF(n_components=r, random_state=args.seed)
        w = model.fit_transform(x)
        filled = model.inverse_transform(w)
        seconds = time.perf_counter() - start
        rows.append([f"BooleanMF r={r}", *scores(truth, filled[hidden]), seconds])
    start = time.perf_counter()
    rows.append(["column majority", *scores(truth, majority(x)[hidden]),
                 time.perf_counter() - start])
    start = time.perf_counter()
    rows.append(["KNNImputer (k=5)", *scores(truth, knn(x)[hidden]), time.perf_counter() - start])
    print(format_table(["method", "accuracy %", "precision %", "recall %", "time (s)"],
                       [[r[0], f"{r[1]:.2f}", f"{r[2]:.1f}", f"{r[3]:.1f}", f"{r[4]:.2f}"]
                        for r in rows], align_left={0}))
    if args.figure:
        path = draw(rows, args.figure)
        if path:
            print(f"\nfigure: {path}")
    return rows


if __name__ == "__main__":
    main(sys.argv[1:])
