"""Scaling of quorbmf on Dask: a fit on one worker against the same fit on
two, beside this machine's ceiling for two cores, all measured in one run.

- The matrix (2*10^6 x 2000 by default, planted rank 12 with 3 % noise) is
  generated on the workers chunk by chunk, so the client never holds it; the
  local fits get the same matrix, generated and packed on the client.
- Ceiling: the speed-up of two independent single-threaded local fits run
  side by side over one such fit alone (the threads benchmark's ceiling).
- Target: the speed-up of 2 workers over 1 reaches at least 80 % of the
  ceiling. Times are per iteration (between the first and last iteration
  callbacks), so the one-off preparation of X is reported apart.
- Bytes moved per iteration, by Dask's own counters: between workers (each
  worker's incoming transfer log) and from the workers to the client (their
  outgoing byte totals, which also count what the client gathers), against
  the factors times the workers plus the block results; and X's packed size.

- With ``--missing p`` a fraction p of the cells is unobserved: the Dask fits
  take a lazy ``mask=`` generated chunk by chunk on the workers, the local
  fits the same mask packed.

    python benchmarks/dask_scaling.py [--quick] [--rows M] [--cols N] [--missing P]
"""
import argparse
import logging
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dask.array as da  # noqa: E402
from distributed import Client, LocalCluster, wait  # noqa: E402

from quorbmf import BooleanMF, PackedMatrix  # noqa: E402
from run import fmt_time, processor  # noqa: E402

CHUNK_ROWS = 1 << 15  # a multiple of 64: the fit keeps these chunks as its row blocks


def planted_factors(n, r, seed):
    rng = np.random.default_rng([seed, 0])
    return rng.random((r, n)) < 0.15


def planted_rows(begin, rows, h, noise, seed):
    """Rows begin..begin+rows of the planted matrix: W∘H with a fraction
    ``noise`` of cells flipped, the same wherever and however it is cut into
    chunks of CHUNK_ROWS rows."""
    rng = np.random.default_rng([seed, 1 + begin // CHUNK_ROWS])
    r, n = h.shape
    w = rng.random((rows, r)) < 0.15
    x = (w.astype(np.float32) @ h.astype(np.float32)) > 0
    flips = rng.integers(0, rows * n, size=int(noise * rows * n))
    x.reshape(-1)[flips] ^= True
    return x


def observed_rows(begin, rows, n, missing, seed):
    """Rows begin..begin+rows of the observed cells: each unobserved with
    probability ``missing``, the same however the rows are cut."""
    rng = np.random.default_rng([seed, 2, begin // CHUNK_ROWS])
    return rng.random((rows, n), dtype=np.float32) >= missing


def lazy_rows(m, n, make_rows):
    """A dask array of m x n bools whose chunks of CHUNK_ROWS rows are
    ``make_rows(begin, rows)``, made on the workers."""
    chunks = ((CHUNK_ROWS,) * (m // CHUNK_ROWS) + ((m % CHUNK_ROWS,) if m % CHUNK_ROWS else ()),
              (n,))

    def make(block_info=None):
        (begin, end), _ = block_info[None]["array-location"]
        return make_rows(begin, end - begin)

    return da.map_blocks(make, dtype=bool, chunks=chunks)


def packed_rows(m, n, make_rows):
    """The same matrix made and packed here, chunk by chunk."""
    words = np.empty((m, (n + 63) // 64), dtype=np.uint64)
    for begin in range(0, m, CHUNK_ROWS):
        rows = min(CHUNK_ROWS, m - begin)
        words[begin:begin + rows] = PackedMatrix.from_dense(make_rows(begin, rows)).words
    return PackedMatrix(words, n)


def planted(h, noise, seed):
    return lambda begin, rows: planted_rows(begin, rows, h, noise, seed)


def observed(n, missing, seed):
    return lambda begin, rows: observed_rows(begin, rows, n, missing, seed)


class Clock:
    """An iteration callback: the time of every iteration's end and, on a
    cluster, Dask's transfer counters at that moment."""

    def __init__(self, client=None):
        self.client, self.times, self.counters = client, [], []

    def __call__(self, iteration, error):
        self.times.append(time.perf_counter())
        if self.client is not None:
            self.counters.append(transfer_counters(self.client))

    def per_iteration(self):
        if len(self.times) < 2:
            raise RuntimeError("the fit stopped after one iteration: no interval to time")
        return (self.times[-1] - self.times[0]) / (len(self.times) - 1)

    def bytes_per_iteration(self):
        first, last = self.counters[0], self.counters[-1]
        k = len(self.counters) - 1
        return (last[0] - first[0]) / k, (last[1] - first[1]) / k


def transfer_counters(client):
    def read(dask_worker):
        incoming = sum(e["total"] for e in dask_worker.transfer_incoming_log)
        return incoming, dask_worker.transfer_outgoing_bytes_total
    per_worker = client.run(read).values()
    incoming = sum(v[0] for v in per_worker)
    outgoing = sum(v[1] for v in per_worker)
    # What workers sent that no worker received went to the client.
    return incoming, outgoing - incoming


def model(args, **extra):
    return BooleanMF(n_components=args.rank, method="zeta", max_iter=args.max_iter,
                     random_state=args.seed, init="random-columns", n_init=1, **extra)


def local_runs(args, x, mask):
    clock = Clock()
    start = time.perf_counter()
    single = model(args, n_jobs=1, callback=clock).fit(x, mask=mask)
    whole = time.perf_counter() - start
    one = clock.per_iteration()

    clocks = [Clock(), Clock()]
    threads = [threading.Thread(target=lambda c=c: model(args, n_jobs=1,
                                                         callback=c).fit(x, mask=mask))
               for c in clocks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    pair = float(np.mean([c.per_iteration() for c in clocks]))
    return single, one, whole, pair


def dask_run(args, workers, h):
    memory = f"{max(2, 12 // workers)}GiB"
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, memory_limit=memory,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        x = lazy_rows(args.rows, args.cols, planted(h, args.noise, args.seed)).persist()
        wait(x)  # generated on the workers before the clock starts
        clock = Clock(client)
        start = time.perf_counter()
        mask = (lazy_rows(args.rows, args.cols, observed(args.cols, args.missing, args.seed))
                if args.missing else None)
        fitted = model(args, backend="dask", callback=clock).fit(x, client=client, mask=mask)
        whole = time.perf_counter() - start
        del x
        return fitted, clock, whole


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a 2*10^5 x 2000 matrix")
    parser.add_argument("--rows", type=int, default=None)
    parser.add_argument("--cols", type=int, default=2000)
    parser.add_argument("--rank", type=int, default=12)
    parser.add_argument("--max-iter", type=int, default=5)
    parser.add_argument("--noise", type=float, default=0.03)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--missing", type=float, default=0.0,
                        help="fraction of unobserved cells (default 0)")
    args = parser.parse_args()
    if args.rows is None:
        args.rows = 200_000 if args.quick else 2_000_000
    m, n, r = args.rows, args.cols, args.rank
    gaps = f", {args.missing:.0%} of cells unobserved" if args.missing else ""
    print(f"# quorbmf on Dask, {m} x {n}, planted rank {r}, 'zeta', max_iter={args.max_iter}"
          f"{gaps}")
    print(f"# {processor()}, {os.cpu_count()} cores", flush=True)

    h = planted_factors(n, r, args.seed)
    x = packed_rows(m, n, planted(h, args.noise, args.seed))
    mask = packed_rows(m, n, observed(n, args.missing, args.seed)) if args.missing else None
    packed_bytes = x.words.nbytes * (2 if mask is not None else 1)
    single, one, local_whole, pair = local_runs(args, x, mask)
    del x, mask
    ceiling = 2 * one / pair
    print(f"  local: {fmt_time(one)} an iteration alone, {fmt_time(pair)} each side by side "
          f"(ceiling {ceiling:.2f}x); {single.n_iter_} iterations", flush=True)

    runs = {}
    for workers in (1, 2):
        fitted, clock, whole = dask_run(args, workers, h)
        same = (np.array_equal(fitted.components_, single.components_)
                and fitted.reconstruction_err_ == single.reconstruction_err_
                and fitted.n_iter_ == single.n_iter_)
        runs[workers] = (clock, whole, same)
        print(f"  {workers} worker(s): {fmt_time(clock.per_iteration())} an iteration, "
              f"fit {fmt_time(whole)} in all; same result as local: {same}", flush=True)

    t1, t2 = runs[1][0].per_iteration(), runs[2][0].per_iteration()
    speedup = t1 / t2
    share = speedup / ceiling
    w_bytes, ht_bytes = m * ((r + 63) // 64) * 8, n * ((r + 63) // 64) * 8
    between, to_client = runs[2][0].bytes_per_iteration()
    budget = (w_bytes + ht_bytes) * 2 + (w_bytes + ht_bytes)
    moved = between + to_client

    print()
    print("| measure | value | baseline | ratio | target | met |")
    print("|---|---|---|---|---|---|")
    print(f"| iteration, 1 worker vs local n_jobs=1 | {fmt_time(t1)} | {fmt_time(one)} | "
          f"{one / t1:.2f}x | — | — |")
    print(f"| iteration, 2 workers vs 1 worker | {fmt_time(t2)} | {fmt_time(t1)} | "
          f"{speedup:.2f}x | — | — |")
    print(f"| ceiling: 2 local fits side by side vs 1 | {fmt_time(pair)} each | {fmt_time(one)} | "
          f"{ceiling:.2f}x | — | — |")
    print(f"| 2-worker speed-up / ceiling | | | {share:.0%} | ≥ 80 % | "
          f"{'yes' if share >= 0.8 else 'no'} |")
    print(f"| bytes between workers per iteration (2 workers) | {between / 2**20:.2f} MiB | "
          f"factors {(w_bytes + ht_bytes) / 2**20:.2f} MiB | | | |")
    print(f"| bytes to the client per iteration | {to_client / 2**20:.2f} MiB | "
          f"results {(w_bytes + ht_bytes) / 2**20:.2f} MiB | | | |")
    print(f"| moved per iteration vs factors x workers + results | {moved / 2**20:.2f} MiB | "
          f"{budget / 2**20:.2f} MiB | {moved / budget:.2f} | ≤ 1 | "
          f"{'yes' if moved <= budget else 'no'} |")
    print(f"| moved per iteration vs packed X (and mask) | {moved / 2**20:.2f} MiB | "
          f"{packed_bytes / 2**20:.0f} MiB | {moved / packed_bytes:.4f} | ≪ 1 | "
          f"{'yes' if moved < packed_bytes / 10 else 'no'} |")
    print(f"| whole fit incl. preparing X, 1 / 2 workers / local | "
          f"{fmt_time(runs[1][1])} / {fmt_time(runs[2][1])} | {fmt_time(local_whole)} | | | |")
    if not all(run[2] for run in runs.values()):
        print("# WARNING: a Dask fit differed from the local fit")


if __name__ == "__main__":
    main()
