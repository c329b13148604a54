"""plot_tiles on tall tables: time and peak Python memory of the picture
with the colour image built a few rows at a time (as shipped) against the
same picture with the whole colour image at once (the chunk made larger
than the table), measured in one run; the two images must be equal. The
fit is made once per table and not timed; matplotlib draws with Agg.

    python benchmarks/plots.py [--rows 8124,100000,400000]
"""
import argparse
import os
import sys
import time
import tracemalloc

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorbmf.plotting as plotting  # noqa: E402
from quorbmf import BooleanMF  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402


def measure(model, x, chunk_cells):
    """(seconds, peak MiB, image) of one plot_tiles with the given chunk."""
    plotting._CHUNK_CELLS = chunk_cells
    tracemalloc.start()
    start = time.perf_counter()
    fig = plotting.plot_tiles(model, x)
    seconds = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1] / 2**20
    tracemalloc.stop()
    image = np.asarray(fig.axes[0].images[0].get_array())
    plt.close(fig)
    return seconds, peak, image


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rows", default="8124,100000,400000", help="table heights")
    p.add_argument("--cols", type=int, default=120, help="table width (default 120)")
    p.add_argument("--rank", type=int, default=10, help="rank of the fit (default 10)")
    args = p.parse_args(argv)
    shipped = plotting._CHUNK_CELLS
    print(f"{'rows x cols':>16} {'whole: s':>9} {'MiB':>8} {'chunked: s':>11} {'MiB':>8} "
          f"{'memory ratio':>13}")
    for m in [int(v) for v in args.rows.split(",")]:
        x = make_planted(m, args.cols, args.rank, density=0.2, noise=0.05, random_state=0)
        model = BooleanMF(n_components=args.rank, random_state=0, search=0, max_iter=5).fit(x)
        whole = measure(model, x, 1 << 62)
        chunked = measure(model, x, shipped)
        assert np.array_equal(whole[2], chunked[2]), "the chunked image differs"
        print(f"{f'{m} x {args.cols}':>16} {whole[0]:9.2f} {whole[1]:8.1f} {chunked[0]:11.2f} "
              f"{chunked[1]:8.1f} {whole[1] / chunked[1]:12.1f}x")
    plotting._CHUNK_CELLS = shipped


if __name__ == "__main__":
    main()
