"""make_planted, the planted matrices of the tests, benchmarks and examples:
shapes and dtypes, the planted product exactly at noise 0, the stated
chances of noise and unobserved cells, and one stream per random_state."""
import numpy as np
import pytest

from quorbmf.datasets import make_planted


def boolean_product(w, h):
    return (w.astype(np.int64) @ h.astype(np.int64)) > 0


@pytest.mark.parametrize("m, n, r", [(1, 1, 1), (65, 3, 4), (7, 130, 0), (200, 64, 9)])
def test_without_noise_x_is_the_product_of_the_returned_factors(m, n, r):
    x, w, h = make_planted(m, n, r, return_factors=True, random_state=m + n + r)
    assert x.shape == (m, n) and w.shape == (m, r) and h.shape == (r, n)
    assert x.dtype == w.dtype == h.dtype == np.bool_
    assert np.array_equal(x, boolean_product(w, h))


def test_densities_noise_and_unobserved_cells_have_their_chances():
    x, w, h = make_planted(3000, 400, 5, density=(0.1, 0.4), noise=0.05, missing=0.2,
                           return_factors=True, random_state=1)
    assert abs(w.mean() - 0.1) < 0.01 and abs(h.mean() - 0.4) < 0.05
    assert x.dtype == np.float64
    seen = ~np.isnan(x)
    assert abs(1 - seen.mean() - 0.2) < 0.01
    assert set(np.unique(x[seen])) <= {0.0, 1.0}
    flipped = (x[seen] == 1) != boolean_product(w, h)[seen]
    assert abs(flipped.mean() - 0.05) < 0.005


def test_one_stream_per_random_state():
    a = make_planted(50, 40, 3, noise=0.1, random_state=7)
    assert np.array_equal(a, make_planted(50, 40, 3, noise=0.1, random_state=7))
    assert not np.array_equal(a, make_planted(50, 40, 3, noise=0.1, random_state=8))
    # A generator is drawn from in place: W, H and one number per cell for the
    # noise, whatever the noise, so what follows does not depend on it.
    quiet, noisy = np.random.default_rng(3), np.random.default_rng(3)
    make_planted(20, 30, 2, random_state=quiet)
    make_planted(20, 30, 2, noise=0.5, random_state=noisy)
    assert quiet.random() == noisy.random()


@pytest.mark.parametrize("args, params", [
    ((0, 5, 2), {}), ((5, 0, 2), {}), ((5, 5, -1), {}),
    ((5, 5, 2), {"density": 1.5}), ((5, 5, 2), {"density": (0.2, -0.1)}),
    ((5, 5, 2), {"noise": -0.1}), ((5, 5, 2), {"missing": 2.0})])
def test_bad_shapes_and_probabilities_are_refused(args, params):
    with pytest.raises(ValueError):
        make_planted(*args, **params)
