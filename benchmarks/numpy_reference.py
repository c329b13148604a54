"""Plain NumPy versions of QuorBMF's solvers, written as a user would.

They serve as the baselines of the benchmark suite and as an independent
oracle in the tests: for equal inputs they return exactly what QuorBMF's
"zeta" solver and its alternating factorisation return.
"""
import numpy as np

MASK64 = (1 << 64) - 1
LCG_MULTIPLIER = 6364136223846793005
LCG_INCREMENT = 1442695040888963407


def lcg_draw(state):
    """Advances the 64-bit generator once; returns (new state, state >> 33)."""
    state = (state * LCG_MULTIPLIER + LCG_INCREMENT) & MASK64
    return state, state >> 33


def row_patterns(w):
    """Row i of the Boolean matrix w (m x r) as an r-bit integer."""
    r = w.shape[1]
    return (w.astype(np.int64) << np.arange(r, dtype=np.int64)).sum(axis=1)


class ZetaSolver:
    """Boolean least squares through the pattern-count table."""

    def __init__(self, w):
        self.m, self.r = w.shape
        self.patterns = row_patterns(w)
        self.neg_counts = -np.bincount(self.patterns, minlength=1 << self.r).astype(np.int32)

    def solve(self, x):
        """Returns (h, error): the lowest combination of minimal error."""
        r = self.r
        table = self.neg_counts + 2 * np.bincount(self.patterns[x],
                                                  minlength=1 << r).astype(np.int32)
        for j in range(r):
            v = table.reshape(-1, 2, 1 << j)
            v[:, 1, :] += v[:, 0, :]
        # error(h) = m - ones(x) + table[complement of h]; h runs upwards.
        h = int(np.argmin(table[::-1]))
        error = self.m - int(np.count_nonzero(x)) + int(table[(1 << r) - 1 - h])
        return h, error


def bits_to_rows(words, r):
    """Unpacks solution words into a Boolean matrix of len(words) x r."""
    words = np.asarray(words, dtype=np.int64)
    return ((words[:, None] >> np.arange(r, dtype=np.int64)) & 1).astype(bool)


def ao_bmf(x, r, max_iter=50, seed=0):
    """Alternating factorisation with the "zeta" solver; returns
    (w, h, error, iterations) exactly as QuorBMF.ao_bmf does."""
    x = np.asarray(x, dtype=bool)
    m, n = x.shape
    candidates = [j for j in range(n) if x[:, j].any()]
    k = len(candidates)
    state = seed
    for i in range(min(r, k)):
        state, v = lcg_draw(state)
        p = i + v % (k - i)
        candidates[i], candidates[p] = candidates[p], candidates[i]
    w = np.zeros((m, r), dtype=bool)
    for j in range(min(r, k)):
        w[:, j] = x[:, candidates[j]]
    h = np.zeros((r, n), dtype=bool)
    best = (w.copy(), h.copy(), int(x.sum()))
    limit = max(max_iter, 1)
    completed = 0
    while True:
        solver = ZetaSolver(w)
        h = bits_to_rows([solver.solve(x[:, j])[0] for j in range(n)], r).T
        solver = ZetaSolver(h.T)
        total = 0
        rows = []
        for i in range(m):
            word, err = solver.solve(x[i, :])
            rows.append(word)
            total += err
        w = bits_to_rows(rows, r)
        t = completed + 1
        if total >= best[2]:
            return best[0], best[1], best[2], t
        best = (w.copy(), h.copy(), total)
        completed = t
        if completed == limit:
            return best[0], best[1], best[2], completed
