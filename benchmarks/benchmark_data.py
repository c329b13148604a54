"""Binary tables made from the data sets that ship inside scikit-learn (no
download), for benchmarks/quality.py.

The rule, the same for every table: each column becomes a one-hot block.

- A class label, or any column with at most ``bins`` distinct values, gets
  one column per value.
- Any other numeric column is cut into ``bins`` quantile bins (4: quartiles).
  A value v goes into bin floor(bins * q), where q is the fraction of the
  column below v plus half the fraction equal to v, so equal values always
  share a bin; bins that no row falls into are dropped. The lowest and the
  highest value land on either side of q = 1/2, so with an even number of
  bins every such column keeps at least two bins.
- A constant column tells nothing and is dropped.

Each row thus has exactly one 1 in the block of each column it came from.
The target is one more column: a class label for iris, wine, breast_cancer
and digits, numeric for diabetes and linnerud (three targets there).
"""
import numpy as np

BINS = 4
# Bundled data sets of scikit-learn whose target is a class label.
CLASSIFICATION = ("iris", "wine", "breast_cancer", "digits")
REGRESSION = ("diabetes", "linnerud")
TABLES = CLASSIFICATION + REGRESSION


def quantile_onehot(table, bins=BINS, categorical=()):
    """The one-hot matrix of ``table`` (rows x columns, numeric) by the rule
    above, and for each of its columns the index of the column of ``table``
    it came from. The columns listed in ``categorical`` get one column per
    value whatever their number of values."""
    table = np.asarray(table, dtype=np.float64)
    if table.ndim != 2:
        raise ValueError(f"a table has two dimensions, not {table.ndim}")
    rows = table.shape[0]
    blocks, source = [], []
    for j, column in enumerate(table.T):
        values, codes, counts = np.unique(column, return_inverse=True, return_counts=True)
        if len(values) < 2:
            continue
        if len(values) > bins and j not in categorical:
            below = np.concatenate(([0], np.cumsum(counts)[:-1]))
            q = (below + counts / 2) / rows
            codes = np.minimum((bins * q).astype(np.int64), bins - 1)[codes]
        block = codes.reshape(-1)[:, None] == np.arange(codes.max() + 1)[None, :]
        block = block[:, block.any(axis=0)]
        blocks.append(block)
        source.extend([j] * block.shape[1])
    if not blocks:
        return np.zeros((rows, 0), dtype=bool), np.zeros(0, dtype=np.int64)
    return np.hstack(blocks), np.array(source, dtype=np.int64)


def bundled_table(name, bins=BINS):
    """The binary table of scikit-learn's bundled data set ``name`` (one of
    TABLES): its data and target, one-hot by the rule above."""
    if name not in TABLES:
        raise ValueError(f"no bundled table {name!r}; known: {', '.join(TABLES)}")
    from sklearn import datasets

    bunch = getattr(datasets, f"load_{name}")()
    data = np.asarray(bunch.data, dtype=np.float64)
    target = np.asarray(bunch.target, dtype=np.float64).reshape(data.shape[0], -1)
    table = np.hstack([data, target])
    label = (data.shape[1],) if name in CLASSIFICATION else ()
    return quantile_onehot(table, bins, categorical=label)[0]
