"""The binary tables of the quality benchmark (benchmarks/benchmark_data.py):
every cell 0/1, the bins of each column partition the rows, equal values
share a bin, quartile bins hold about a quarter of the rows, and the same
table comes out every time."""
import importlib.util
from pathlib import Path

import numpy as np
import pytest

PATH = Path(__file__).resolve().parents[3] / "benchmarks" / "benchmark_data.py"
spec = importlib.util.spec_from_file_location("benchmark_data", PATH)
benchmark_data = importlib.util.module_from_spec(spec)
spec.loader.exec_module(benchmark_data)
quantile_onehot = benchmark_data.quantile_onehot


def check_partition(x, source, table):
    """Each row has exactly one 1 in the block of each non-constant column,
    and two rows share a bin whenever they share a value."""
    assert x.dtype == np.bool_ and x.shape[0] == table.shape[0]
    assert x.any(axis=0).all(), "an empty bin was kept"
    varied = [j for j in range(table.shape[1]) if len(np.unique(table[:, j])) > 1]
    assert sorted(set(source.tolist())) == varied
    for j in varied:
        block = x[:, source == j]
        assert block.shape[1] >= 2
        assert (block.sum(axis=1) == 1).all()
        bin_of = block.argmax(axis=1)
        for value in np.unique(table[:, j]):
            assert len(np.unique(bin_of[table[:, j] == value])) == 1


def test_random_columns_with_ties_are_partitioned_into_quartiles():
    rng = np.random.default_rng(5)
    rows = 1000
    table = np.column_stack([
        rng.normal(size=rows),                          # continuous: four quartiles
        np.where(rng.random(rows) < 0.8, 0.0, rng.random(rows)),  # 80 % ties at the minimum
        np.where(rng.random(rows) < 0.8, 9.0, rng.random(rows)),  # 80 % ties at the maximum
        rng.integers(0, 3, rows),                       # 3 values: one column each
        np.full(rows, 7.0),                             # constant: dropped
        rng.integers(0, 50, rows),                      # many repeated integers
    ])
    x, source = quantile_onehot(table)
    check_partition(x, source, table)
    quartiles = x[:, source == 0].mean(axis=0)
    assert len(quartiles) == 4 and np.allclose(quartiles, 0.25, atol=0.01)
    assert x[:, source == 3].shape[1] == 3 and not (source == 4).any()
    again = quantile_onehot(table)
    assert np.array_equal(x, again[0]) and np.array_equal(source, again[1])


def test_a_categorical_column_gets_one_column_per_value():
    labels = np.repeat(np.arange(7.0), 3)
    x, source = quantile_onehot(labels[:, None], categorical=(0,))
    assert x.shape == (21, 7) and (x.sum(axis=0) == 3).all()
    binned, _ = quantile_onehot(labels[:, None])
    assert binned.shape[1] == 4
    with pytest.raises(ValueError, match="two dimensions"):
        quantile_onehot(labels)


@pytest.mark.parametrize("name", ["iris", "linnerud"])
def test_bundled_tables_are_one_hot_and_the_same_every_time(name):
    datasets = pytest.importorskip("sklearn.datasets")
    bunch = getattr(datasets, f"load_{name}")()
    x = benchmark_data.bundled_table(name)
    assert x.dtype == np.bool_ and x.shape[0] == bunch.data.shape[0]
    blocks = bunch.data.shape[1] + np.asarray(bunch.target).reshape(x.shape[0], -1).shape[1]
    assert (x.sum(axis=1) == blocks).all()
    assert np.array_equal(x, benchmark_data.bundled_table(name))
