"""Fingerprints of many fits, to compare two builds cell for cell.

Runs a seeded battery of fits (every method, start, way of marking unobserved
cells, n_jobs, block size and the Dask backend) and of QuorBMF.ao_bmf, and
writes one line per case: the case's name and a digest of everything the fit
returned (factors, errors, iterations, history, fallbacks, warnings, and the
transform, score and inverse_transform of new rows). Run it with two builds
and diff the outputs:

    old/bin/python scripts/compare_fits.py > old.txt
    new/bin/python scripts/compare_fits.py > new.txt
    diff old.txt new.txt && echo identical

    python scripts/compare_fits.py [--cases N] [--no-dask]
"""
import argparse
import hashlib
import sys
import warnings

import numpy as np

import QuorBMF
from quorbmf import BooleanMF


def digest(*parts):
    h = hashlib.sha256()
    for p in parts:
        if isinstance(p, np.ndarray):
            h.update(str(p.shape).encode())
            h.update(np.ascontiguousarray(p.astype(np.uint8)).tobytes())
        else:
            h.update(repr(p).encode())
    return h.hexdigest()[:16]


def planted(rng, m, n, r, noise, density=0.35):
    w = rng.random((m, r)) < density / 2
    h = rng.random((r, n)) < density / 2
    x = (w.astype(np.int32) @ h.astype(np.int32)) > 0
    return x ^ (rng.random((m, n)) < noise)


METHODS = ["auto", "exact", "zeta", "greedy", "greedy-ls", "naive", "exact-blocks"]
INITS = ["auto", "random-columns", "grecond", "asso", "custom"]


def fit_case(rng, k, dask_client=None):
    m = int(rng.integers(1, 150))
    n = int(rng.integers(1, 120))
    method = METHODS[k % len(METHODS)]
    init = INITS[(k // len(METHODS)) % len(INITS)]
    hi = {"naive": 10, "zeta": 16, "exact": 40}.get(method, 70)
    r = int(rng.integers(1, hi + 1))
    gaps = ["none", "mask", "nan"][int(rng.integers(0, 3))]
    if gaps != "none" and r > 26:
        r = int(rng.integers(1, 27))
    if method == "naive":
        r = min(r, 8)
    x = planted(rng, m, n, max(1, r // 2), float(rng.choice([0.0, 0.05, 0.2])))
    params = dict(n_components=r, method=method, init=init,
                  n_init=int(rng.integers(1, 4)) if rng.random() < 0.6 else "auto",
                  max_iter=int(rng.integers(1, 8)), random_state=int(rng.integers(0, 2**32)),
                  n_jobs=int(rng.choice([1, 2, -1])),
                  block_size=None if rng.random() < 0.5 else int(rng.integers(1, 80)))
    if dask_client is not None:
        params["backend"] = "dask"
        params.pop("n_jobs")
    kwargs = {}
    data = x.astype(np.float64)
    if gaps == "mask":
        kwargs["mask"] = rng.random((m, n)) < 0.8
    elif gaps == "nan":
        data[rng.random((m, n)) < 0.2] = np.nan
    if init == "custom":
        kwargs["W"] = rng.random((m, r)) < 0.3
        kwargs["H"] = rng.random((r, n)) < 0.3
    if dask_client is not None:
        kwargs["client"] = dask_client
    name = (f"fit {k}: {m}x{n} r={r} {method} {init} gaps={gaps} "
            f"{'dask' if dask_client is not None else 'threads'}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        model = BooleanMF(**params)
        try:
            w = model.fit_transform(data, **kwargs)
        except (ValueError, TypeError) as e:
            return name, digest("error", type(e).__name__, str(e))
        fitted = (w, model.components_, model.reconstruction_err_, model.n_iter_,
                  model.error_history_, model.method_, model.init_, model.n_exact_fallbacks_)
        y = planted(rng, 20, n, max(1, r // 2), 0.1)
        extra = ()
        if dask_client is None:
            try:
                extra = (model.transform(y), model.score(y), model.inverse_transform(w))
            except (ValueError, TypeError) as e:
                extra = ("error", type(e).__name__, str(e))
        return name, digest(*fitted, *extra, [str(c.message) for c in caught])


def ao_case(rng, k):
    m, n = int(rng.integers(1, 200)), int(rng.integers(1, 200))
    r = int(rng.integers(1, 14))
    x = planted(rng, m, n, max(1, r // 2), 0.1)
    method = QuorBMF.methods()[k % 4]
    if method == "naive":
        r = min(r, 8)
    seed = int(rng.integers(0, 2**63))
    res = QuorBMF.ao_bmf(QuorBMF.BitMatrix.from_numpy(x), r, method, int(rng.integers(1, 10)), seed)
    return (f"ao_bmf {k}: {m}x{n} r={r} {method}",
            digest(res.w.to_numpy(), res.h.to_numpy(), res.error, res.iterations))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cases", type=int, default=400)
    ap.add_argument("--no-dask", action="store_true")
    args = ap.parse_args()
    for k in range(args.cases // 4):
        print(*ao_case(np.random.default_rng([20261208, 0, k]), k), sep="  ")
    for k in range(args.cases):
        # A generator per case: a case that fails in one build and not in
        # the other leaves the cases after it the same.
        print(*fit_case(np.random.default_rng([20261208, 1, k]), k), sep="  ")
        sys.stdout.flush()
    if not args.no_dask:
        import distributed
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            for k in range(args.cases // 8):
                print(*fit_case(np.random.default_rng([20261208, 2, k]), 10000 + k, client),
                      sep="  ")
                sys.stdout.flush()


if __name__ == "__main__":
    main()
