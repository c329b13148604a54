"""Handwritten digits as a Boolean matrix: one 8x8 image per row.

scikit-learn ships 1797 digit images (pixel values 0..16). Thresholding them
gives a 1797 x 64 Boolean matrix X. A rank-r factorisation X ~ W o H explains
every image as the OR of a few of the r rows of H, and each row of H, seen as
an 8x8 image, is one stroke-like "tile". The example factorises at several
ranks, prints how well each rank reproduces the images, and draws a figure
with some inputs, their reconstructions and the tiles of the largest rank.

    python examples/digits.py
    python examples/digits.py --samples 500 --ranks 2,6,10 --out /tmp/d.png

Needs scikit-learn; matplotlib is optional (without it the figure is skipped).
"""
from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import QuorBMF
from example_tools import format_table, parse_ranks

SIDE = 8  # the images are SIDE x SIDE pixels


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--samples", type=int, default=1797,
                   help="number of images used (default: all 1797)")
    p.add_argument("--ranks", type=parse_ranks, default=parse_ranks("2,4,8,12,16"),
                   help="comma-separated ranks (default: 2,4,8,12,16)")
    p.add_argument("--method", choices=QuorBMF.methods(), default="zeta",
                   help="solving method (default: zeta)")
    p.add_argument("--threshold", type=int, default=7,
                   help="a pixel is 1 when its value exceeds this (0..16, default 7)")
    p.add_argument("--max-iter", type=int, default=50, help="iteration cap of each factorisation")
    p.add_argument("--seed", type=int, default=0, help="seed of the initial factor")
    p.add_argument("--show", type=int, default=10, help="digits drawn in the figure (default 10)")
    p.add_argument("--out", default="digits_bmf.png", help="PNG written (default: digits_bmf.png)")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return p


def load_binary_digits(samples, threshold):
    """Returns (X as a bool array, labels) for the first ``samples`` images."""
    from sklearn.datasets import load_digits

    digits = load_digits()
    if not 1 <= samples <= len(digits.data):
        raise SystemExit(f"--samples must be between 1 and {len(digits.data)}")
    return digits.data[:samples] > threshold, digits.target[:samples]


def factorise(x, ranks, method, max_iter, seed):
    """Runs ao_bmf at each rank; returns one dict per rank."""
    cells = x.rows * x.cols
    results = []
    for r in ranks:
        start = time.perf_counter()
        res = QuorBMF.ao_bmf(x, r, method=method, max_iter=max_iter, seed=seed)
        seconds = time.perf_counter() - start
        recon = res.reconstruct()
        results.append({
            "rank": r,
            "error": res.error,
            "percent": 100.0 * res.error / cells,
            "missed": x.count_andnot(recon),   # ones of X the product leaves out
            "extra": recon.count_andnot(x),    # ones the product adds
            "iterations": res.iterations,
            "seconds": seconds,
            "result": res,
        })
    return results


def pick_examples(labels, count):
    """Indices of up to ``count`` images, one per digit class first."""
    picked = []
    for digit in range(10):
        hits = np.flatnonzero(labels == digit)
        if hits.size:
            picked.append(int(hits[0]))
    rest = [i for i in range(len(labels)) if i not in picked]
    return (picked + rest)[:count]


def draw_figure(path, x, labels, results, show):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    # Reconstructions use four colours: right 0, right 1, added 1, missed 1.
    palette = ["#ffffff", "#222222", "#f28e2b", "#4e9bd6"]
    recon_cmap = ListedColormap(palette)
    picked = pick_examples(labels, show)
    cols = len(picked)
    best = results[-1]
    h = best["result"].h.to_numpy()
    usage = best["result"].w.to_numpy().sum(axis=0)
    tile_cols = min(8, h.shape[0])
    tile_rows = -(-h.shape[0] // tile_cols)

    top_rows = 1 + len(results)
    fig = plt.figure(figsize=(max(cols, tile_cols) * 1.05 + 1.2,
                              1.15 * (top_rows + tile_rows) + 1.4))
    upper, lower = fig.subfigures(2, 1, height_ratios=[top_rows + 0.6, tile_rows + 0.9])

    axes = upper.subplots(top_rows, cols, squeeze=False)
    upper.subplots_adjust(top=0.9, bottom=0.08, left=0.1, right=0.98)
    for c, i in enumerate(picked):
        original = x[i].reshape(SIDE, SIDE)
        axes[0, c].imshow(original, cmap="Greys", vmin=0, vmax=1)
        axes[0, c].set_title(f"#{i} ({labels[i]})", fontsize=8)
        for k, res in enumerate(results, start=1):
            recon = res["result"].reconstruct().to_numpy()[i].reshape(SIDE, SIDE)
            code = np.where(original == recon, recon.astype(int), np.where(recon, 2, 3))
            axes[k, c].imshow(code, cmap=recon_cmap, vmin=-0.5, vmax=3.5)
    for k, res in enumerate(results, start=1):
        axes[k, 0].set_ylabel(f"rank {res['rank']}", fontsize=9, rotation=0, ha="right",
                              va="center")
    axes[0, 0].set_ylabel("input", fontsize=9, rotation=0, ha="right", va="center")
    for ax in axes.flat:
        ax.set_xticks([])
        ax.set_yticks([])
    upper.suptitle(f"{x.shape[0]} digits, {x.shape[1]} pixels: inputs and reconstructions",
                   fontsize=11)
    upper.legend(handles=[Patch(facecolor=palette[2], label="added pixel"),
                          Patch(facecolor=palette[3], label="missed pixel")],
                 loc="lower center", ncol=2, fontsize=8, frameon=False)

    tiles = lower.subplots(tile_rows, tile_cols, squeeze=False)
    lower.subplots_adjust(top=0.84, bottom=0.03, left=0.14, right=0.94, wspace=0.5, hspace=0.35)
    for ax in tiles.flat:
        ax.set_xticks([])
        ax.set_yticks([])
        ax.set_axis_off()
    for t in range(h.shape[0]):
        ax = tiles.flat[t]
        ax.set_axis_on()
        ax.imshow(h[t].reshape(SIDE, SIDE), cmap="Purples", vmin=0, vmax=1.3)
        ax.set_title(f"tile {t}: {usage[t]} uses", fontsize=7)
    lower.suptitle(f"rank {best['rank']} tiles (rows of H); each image is an OR of some of them",
                   fontsize=11)

    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    args = build_parser().parse_args(argv)
    dense, labels = load_binary_digits(args.samples, args.threshold)
    x = QuorBMF.BitMatrix.from_numpy(dense)
    ones = x.count_ones()
    print(f"digits: {x.rows} images x {x.cols} pixels, pixel > {args.threshold}, "
          f"{ones} ones ({100.0 * ones / (x.rows * x.cols):.1f} % of cells), method {args.method}")
    print()

    results = factorise(x, args.ranks, args.method, args.max_iter, args.seed)
    rows = [[r["rank"], r["error"], f"{r['percent']:.2f}", r["missed"], r["extra"], r["iterations"],
             f"{r['seconds']:.3f}"] for r in results]
    print(format_table(["rank", "error", "% cells", "missed 1s", "added 1s", "iters", "time (s)"],
                       rows))
    print()

    if not args.no_plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("matplotlib is not installed: figure skipped (pip install matplotlib)")
        else:
            draw_figure(args.out, dense, labels, results, args.show)
            print(f"figure written to {args.out}")
    return results


if __name__ == "__main__":
    main(sys.argv[1:])
