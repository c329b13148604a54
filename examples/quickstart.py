"""Quick start: factorise a noisy Boolean matrix with QuorBMF.

A 300 x 120 matrix is built as the Boolean product of two random factors of
rank 5 (every cell is the OR of five AND terms), then about 5 % of its cells
are flipped. ao_bmf looks for factors W (300 x 5) and H (5 x 120) whose
Boolean product is as close to the noisy matrix as possible; the script
shows the factors and how well their product matches both the noisy input
and the noise-free planted matrix. A BoolLs solver built on the found H then
explains a new sample (a new row) as a combination of H's rows.

Run after building the module, e.g.
    PYTHONPATH=build/src/bmf_py python3 examples/quickstart.py
"""
import time

import numpy as np

import QuorBMF
from QuorBMF import BitMatrix, BoolLs, ao_bmf
from quorbmf.datasets import make_planted

ROWS, COLS, RANK, NOISE = 300, 120, 5, 0.05
rng = np.random.default_rng(2024)


def boolean_product(a, b):
    return (a.astype(np.int32) @ b.astype(np.int32)) > 0


# The planted structure: each of the five hidden patterns covers a random
# set of columns and is switched on in a random set of rows.
noisy, planted_w, planted_h = make_planted(ROWS, COLS, RANK, density=(0.25, 0.2), noise=NOISE,
                                           return_factors=True, random_state=rng)
clean = boolean_product(planted_w, planted_h)
noise = noisy ^ clean

x = BitMatrix.from_numpy(noisy)
print(f"QuorBMF {QuorBMF.__version__}, methods: {', '.join(QuorBMF.methods())}")
print()
print(f"Input: {x!r}")
print(f"  planted rank {RANK}, {clean.sum()} ones before noise, {noise.sum()} cells flipped")
print()

# Alternating optimisation depends on its starting columns; a few seeds are
# cheap, so keep the best run.
start = time.perf_counter()
runs = [ao_bmf(x, RANK, method="zeta", max_iter=50, seed=seed) for seed in range(8)]
elapsed = time.perf_counter() - start
best = min(runs, key=lambda res: res.error)
print(f"ao_bmf, rank {RANK}, 8 seeds in {elapsed * 1000:.1f} ms; "
      f"errors per seed: {[r.error for r in runs]}")
print(f"Best: {best!r}")
print()

w, h = best.w, best.h
print("Left factor W (rows are samples, columns the five patterns):")
print(w)
print()
print("Right factor H (which columns each pattern covers):")
print(h)
print()

# How the product W∘H compares with the input and with the hidden truth.
approx = best.reconstruct().to_numpy()
cells = ROWS * COLS
assert best.reconstruct().hamming(x) == best.error
print("Reconstruction W∘H:")
print(f"  differs from the noisy input in {best.error} of {cells} cells "
      f"({100 * best.error / cells:.2f} %)")
print(f"  (the all-zero matrix would differ in {x.count_ones()} cells)")
off_clean = int((approx ^ clean).sum())
print(f"  differs from the noise-free planted matrix in {off_clean} cells "
      f"({100 * off_clean / cells:.2f} %)")
recovered = int((approx & clean).sum())
spurious = int((approx & ~clean).sum())
print(f"  recovers {recovered} of the {clean.sum()} planted ones "
      f"({100 * recovered / clean.sum():.1f} %), with {spurious} spurious ones")
fixed = int((noise & (approx == clean)).sum())
print(f"  undoes {fixed} of the {noise.sum()} flipped cells ({100 * fixed / noise.sum():.1f} %)")
print()

# With H fixed, a new sample (a new row of 120 cells) is explained by the best
# combination of H's rows: a Boolean least-squares problem on Hᵀ (120 x 5).
solver = BoolLs(h.transpose())
pattern = np.array([True, False, True, False, False])
flips = rng.random(COLS) < NOISE
sample = boolean_product(pattern[None, :], planted_h)[0] ^ flips
print(f"A new sample of {COLS} cells ({int(sample.sum())} ones): 2 hidden patterns, "
      f"{int(flips.sum())} cells flipped.")
print(f"Solved against Hᵀ with {solver!r}:")
for method in QuorBMF.methods():
    combo, error = solver.solve(sample, method=method)
    used = [j for j in range(RANK) if combo >> j & 1]
    print(f"  {method:>9}: rows {used} of H, {error} cells differ")
