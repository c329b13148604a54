"""Plain NumPy versions of two classic Boolean factorisations, the baselines
of benchmarks/quality.py:

- GreConD (Belohlavek & Vychodil, 2010): a greedy cover of X's ones by
  formal concepts, from below (a factor never covers a 0). Each factor
  grows an intent one attribute at a time, always the one whose closure
  covers the most still-uncovered ones, while that number increases.
- Asso (Miettinen et al., 2008): candidate patterns from the association
  confidences between columns at a threshold tau; k greedy rounds each add
  the candidate, and the rows that use it, that most increase the weighted
  cover w+ (ones covered) - w- (zeros covered).

Both work on whole matrices with matrix products, as a NumPy user would
write them; ties go to the lowest index.
"""
import numpy as np


def grecond(x, k):
    """GreConD: (W, H) with at most k factors."""
    x = np.asarray(x, dtype=bool)
    m, n = x.shape
    not_x = (~x).astype(np.float32)
    uncovered = x.copy()
    ws, hs = [], []
    while len(ws) < k and uncovered.any():
        u = uncovered.astype(np.float32)
        extent = np.ones(m, dtype=bool)
        intent = np.zeros(n, dtype=bool)
        best = 0
        while True:
            # For every attribute j: the rows having intent + {j}, then the
            # closure (the attributes all those rows have) and its cover.
            rows = extent[:, None] & x                        # m x n, column j
            rows_f = rows.astype(np.float32)
            missing = rows_f.T @ not_x                        # j x l: rows of j lacking l
            closure = missing == 0                            # j x l
            cover = ((rows_f.T @ u) * closure).sum(axis=1)    # j
            cover[intent] = -1
            cover[rows.sum(axis=0) == 0] = -1
            j = int(np.argmax(cover))
            if cover[j] <= best:
                break
            best = cover[j]
            extent = rows[:, j]
            intent = closure[j]
        if best <= 0:
            break
        ws.append(extent)
        hs.append(intent)
        uncovered &= ~(extent[:, None] & intent[None, :])
    w = np.array(ws, dtype=bool).T.reshape(m, len(ws))
    h = np.array(hs, dtype=bool).reshape(len(hs), n)
    return w, h


def asso(x, k, tau=0.7, w_plus=1.0, w_minus=1.0):
    """Asso at threshold tau: (W, H) with k factors."""
    x = np.asarray(x, dtype=bool)
    m, n = x.shape
    xf = x.astype(np.float32)
    both = xf.T @ xf                                         # co-occurrences
    support = np.diag(both).copy()
    support[support == 0] = 1
    candidates = (both / support[:, None]) >= tau            # row i: i => j
    cand_f = candidates.astype(np.float32)
    recon = np.zeros((m, n), dtype=bool)
    w = np.zeros((m, k), dtype=bool)
    h = np.zeros((k, n), dtype=bool)
    for f in range(k):
        open_ones = (x & ~recon).astype(np.float32)
        open_zeros = (~x & ~recon).astype(np.float32)
        gain = w_plus * (open_ones @ cand_f.T) - w_minus * (open_zeros @ cand_f.T)  # m x cand
        positive = np.where(gain > 0, gain, 0).sum(axis=0)
        c = int(np.argmax(positive))
        if positive[c] <= 0:
            break
        w[:, f] = gain[:, c] > 0
        h[f] = candidates[c]
        recon |= w[:, f][:, None] & h[f][None, :]
    return w, h


def error(x, w, h):
    """Cells in which X and W∘H differ."""
    x = np.asarray(x, dtype=bool)
    recon = (w.astype(np.float32) @ h.astype(np.float32)) > 0 if w.shape[1] else 0
    return int((x != recon).sum())
