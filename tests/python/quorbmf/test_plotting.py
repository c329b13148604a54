"""The pictures of quorbmf.plotting, drawn with the Agg backend: what they mark
(tiles, false positives and negatives, unobserved cells) against the fitted
model, the order that makes tiles blocks, binning on the Mushroom table,
names as tick labels, and the message when matplotlib is missing."""
import doctest
import sys

import numpy as np
import pytest
import scipy.sparse as sp

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import quorbmf  # noqa: E402
from quorbmf import BooleanMF, plot_factors, plot_history, plot_tiles  # noqa: E402
from quorbmf.datasets import make_planted  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


def legend_colours(ax):
    """The legend's colours by the first word(s) of their label."""
    legend = ax.get_legend()
    return {text.get_text(): np.array(handle.get_facecolor()[:3])
            for handle, text in zip(legend.legend_handles, legend.get_texts())}


def cells_of(image, colour):
    return np.all(np.isclose(image, colour), axis=-1)


def colour_named(ax, start):
    return next(c for label, c in legend_colours(ax).items() if label.startswith(start))


@pytest.mark.parametrize("missing", [0.0, 0.15])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_marked_errors_are_the_models(missing, seed):
    X = make_planted(45, 33, 3, noise=0.08, missing=missing, random_state=seed)
    model = BooleanMF(n_components=3, random_state=seed).fit(X)
    ax = plot_tiles(model, X, max_cells=1000).axes[0]
    image = np.asarray(ax.images[0].get_array())
    assert image.shape[:2] == X.shape
    assert "binned" not in ax.get_title()
    fp = cells_of(image, colour_named(ax, "false positive")).sum()
    fn = cells_of(image, colour_named(ax, "false negative")).sum()
    assert (fp, fn) == (model.n_false_positives_, model.n_false_negatives_)
    labels = list(legend_colours(ax))
    assert any(label.endswith(f": {model.n_false_positives_}") for label in labels)
    if missing:
        unobserved = cells_of(image, colour_named(ax, "unobserved")).sum()
        assert unobserved == np.isnan(X).sum()
    else:
        assert not any(label.startswith("unobserved") for label in labels)


def tile_cells(ax, label):
    image = np.asarray(ax.images[0].get_array())
    return cells_of(image, colour_named(ax, label))


def is_block(cells):
    rows, cols = np.flatnonzero(cells.any(axis=1)), np.flatnonzero(cells.any(axis=0))
    return (rows.size > 0 and np.all(np.diff(rows) == 1) and np.all(np.diff(cols) == 1)
            and cells[rows[0]:rows[-1] + 1, cols[0]:cols[-1] + 1].all())


def test_disjoint_tiles_show_as_blocks():
    rng = np.random.default_rng(3)
    w = np.zeros((60, 3), dtype=bool)
    w[np.arange(60), rng.integers(0, 3, 60)] = True
    h = np.zeros((3, 40), dtype=bool)
    h[rng.integers(0, 3, 40), np.arange(40)] = True
    h[:, :4] = False  # columns no tile uses
    X = (w.astype(int) @ h.astype(int)) > 0
    model = BooleanMF(n_components=3, random_state=0).fit(X)
    assert model.reconstruction_err_ == 0
    ax = plot_tiles(model, X, max_cells=1000).axes[0]
    labels = [label for label in legend_colours(ax) if label.startswith("tile")]
    assert len(labels) == 3
    sizes = []
    boxes = {(p.get_x(), p.get_y(), p.get_width(), p.get_height()) for p in ax.patches}
    assert len(boxes) == 3
    for label in labels:
        cells = tile_cells(ax, label)
        assert is_block(cells), label
        sizes.append(cells.sum())
        # Its outline is its block.
        rows, cols = np.flatnonzero(cells.any(axis=1)), np.flatnonzero(cells.any(axis=0))
        assert (cols[0] - 0.5, rows[0] - 0.5, cols.size, rows.size) in boxes
    assert sizes == sorted(sizes, reverse=True)


def test_the_largest_tile_is_a_block_on_overlapping_data():
    X = make_planted(50, 40, 4, density=0.35, random_state=5)
    model = BooleanMF(n_components=4, random_state=0).fit(X)
    W = model.transform(X)
    ax = plot_tiles(model, X, max_cells=1000).axes[0]
    first = next(label for label in legend_colours(ax) if label.startswith("tile"))
    k = int(first.split()[1].rstrip(":"))
    # Its cells may be hidden by nothing (it is drawn first) except errors.
    uses = tile_cells(ax, first) | cells_of(np.asarray(ax.images[0].get_array()),
                                            colour_named(ax, "false positive"))
    rows, cols = np.flatnonzero(uses.any(axis=1)), np.flatnonzero(uses.any(axis=0))
    assert rows.size == W[:, k].sum() and cols.size == model.components_[k].sum()
    assert np.all(np.diff(rows) == 1) and np.all(np.diff(cols) == 1)


@pytest.fixture(scope="module")
def mushroom():
    data = quorbmf.load_mushroom(as_frame=True).data
    return data, BooleanMF(n_components=6, random_state=0).fit(data)


def test_mushroom_is_binned_and_named(mushroom):
    X, model = mushroom
    fig = plot_tiles(model, X, max_cells=(400, 200))
    ax = fig.axes[0]
    image = np.asarray(ax.images[0].get_array())
    assert image.shape[:2] == (387, 118)  # ceil(8124 / 21) bins of 21 rows
    assert "rows binned by 21" in ax.get_title()
    assert "columns binned" not in ax.get_title()
    # A bin's colour mixes its cells': the false negatives' share stays.
    fn = colour_named(ax, "false negative")
    assert 0 < np.isclose(image, fn).all(axis=-1).sum() < image.shape[0] * image.shape[1]
    names = {t.get_text() for t in ax.get_xticklabels()}
    assert names and names <= set(model.feature_names_in_)
    assert 5 < len(names) < 118
    rows = {t.get_text() for t in ax.get_yticklabels()}
    assert rows and rows <= {str(i) for i in X.index}
    # By default the axes decide; the Mushroom rows never fit one per pixel.
    assert "rows binned by" in plot_tiles(model, X).axes[0].get_title()
    # The legend counts the model's errors however the cells are binned.
    counts = (f"false positive (W∘H 1, X 0): {model.n_false_positives_}",
              f"false negative (W∘H 0, X 1): {model.n_false_negatives_}")
    assert set(counts) <= set(legend_colours(ax))


def test_mushroom_cells_unbinned_are_the_models(mushroom):
    X, model = mushroom
    ax = plot_tiles(model, X, max_cells=10_000).axes[0]
    image = np.asarray(ax.images[0].get_array())
    assert image.shape[:2] == X.shape and "binned" not in ax.get_title()
    fp = cells_of(image, colour_named(ax, "false positive"))
    fn = cells_of(image, colour_named(ax, "false negative"))
    assert (fp.sum(), fn.sum()) == (model.n_false_positives_, model.n_false_negatives_)
    # Every other non-white cell is a 1 of X that the factors cover.
    ones = ~cells_of(image, np.ones(3)) & ~fp & ~fn
    assert ones.sum() == int(X.to_numpy().sum()) - model.n_false_negatives_


def test_dataframe_names_label_every_picture():
    pd = pytest.importorskip("pandas")
    X = make_planted(20, 12, 2, noise=0.05, random_state=4)
    frame = pd.DataFrame(X, index=[f"user{i}" for i in range(20)],
                         columns=[f"perm{j}" for j in range(12)])
    model = BooleanMF(n_components=2, random_state=0).fit(frame)
    ax = plot_tiles(model, frame, max_cells=1000).axes[0]
    assert {t.get_text() for t in ax.get_xticklabels()} <= set(frame.columns)
    assert {t.get_text() for t in ax.get_yticklabels()} <= set(frame.index)
    assert any(t.get_text() for t in ax.get_yticklabels())
    w_ax, h_ax = plot_factors(model, X=frame, max_cells=1000).axes
    assert {t.get_text() for t in w_ax.get_yticklabels()} <= set(frame.index)
    assert {t.get_text() for t in h_ax.get_xticklabels()} <= set(frame.columns)


def test_factors_are_drawn_in_the_tiles_order():
    X = make_planted(40, 25, 3, noise=0.05, random_state=6)
    model = BooleanMF(n_components=3, random_state=0).fit(X)
    W = model.transform(X)
    fig, axes = plt.subplots(1, 2)
    assert plot_factors(model, W, axes=axes, max_cells=1000) is fig
    w_image = np.asarray(axes[0].images[0].get_array())
    h_image = np.asarray(axes[1].images[0].get_array())
    white = np.ones(3)
    assert (~cells_of(w_image, white)).sum() == W.sum()
    assert (~cells_of(h_image, white)).sum() == model.components_.sum()
    # The same tile order and colours as plot_tiles.
    tiles_ax = plot_tiles(model, X, max_cells=1000).axes[0]
    tiles = [label.split(":")[0] for label in legend_colours(tiles_ax)
             if label.startswith("tile")]
    assert [t.get_text() for t in axes[0].get_xticklabels()] == tiles
    for column, label in enumerate(tiles):
        colour = colour_named(tiles_ax, label)
        drawn = w_image[:, column][~cells_of(w_image[:, column], white)]
        assert np.allclose(drawn, colour)


def test_history_draws_what_the_model_counts():
    X = make_planted(300, 120, 12, density=0.2, noise=0.03, random_state=0)
    model = BooleanMF(n_components=6, random_state=0).fit(X)
    fig, ax = plt.subplots()
    assert plot_history(model, ax=ax) is fig
    assert list(ax.lines[0].get_ydata()) == model.error_history_
    assert ax.get_ylabel() == "wrong cells"
    assert model.search_history_ and len(model.search_times_) == len(model.search_history_)
    found = [error for _, error in model.search_history_]
    top = [a for a in fig.axes if a is not ax][0]
    # By default the search runs against the seconds it took.
    assert top.get_xlabel() == "search time (s)"
    assert list(top.lines[0].get_xdata()) == [0.0] + model.search_times_
    assert list(top.lines[0].get_ydata()) == [model.error_history_[-1]] + found
    assert model.search_times_ == sorted(model.search_times_)
    # A dot at each improvement, the last one included.
    assert list(top.lines[1].get_xdata()) == model.search_times_
    assert list(top.lines[1].get_ydata()) == found
    fig, ax = plt.subplots()
    plot_history(model, ax=ax, search_axis="moves")
    top = [a for a in fig.axes if a is not ax][0]
    ys = list(top.lines[0].get_ydata())
    assert ys[0] == model.error_history_[-1] and ys[1:-1] == found
    assert list(top.lines[0].get_xdata())[-1] == model.n_search_moves_
    costly = BooleanMF(n_components=4, random_state=0, false_positive_cost=3.0).fit(X)
    ax = plot_history(costly).axes[0]
    assert ax.get_ylabel().startswith("cost (3 x false positives")
    assert list(ax.lines[0].get_ydata()) == costly.error_history_


def test_bad_arguments_are_refused_before_drawing():
    from sklearn.exceptions import NotFittedError

    X = make_planted(10, 8, 2, random_state=0)
    for draw in (plot_tiles, lambda m, x: plot_factors(m, X=x), lambda m, x: plot_history(m)):
        with pytest.raises(NotFittedError):
            draw(BooleanMF(n_components=2), X)
    model = BooleanMF(n_components=2, random_state=0).fit(X)
    with pytest.raises(ValueError, match="W has 3 rows, but X has 10"):
        plot_tiles(model, X, W=np.zeros((3, 2), dtype=bool))
    with pytest.raises(ValueError, match="W has 3 rows, but X has 10"):
        plot_factors(model, np.zeros((3, 2), dtype=bool), X)
    for W in (np.full((10, 2), np.nan), np.full((10, 2), 2), np.full((10, 2), "1")):
        with pytest.raises(ValueError, match="only 0 and 1"):
            plot_tiles(model, X, W=W)
    for bad in ("10", (5,), 2.5, True, (3, None)):
        with pytest.raises(TypeError, match="max_cells"):
            plot_tiles(model, X, max_cells=bad)
    for bad in (0, -3, (4, 0)):
        with pytest.raises(ValueError, match="max_cells must be positive"):
            plot_factors(model, X=X, max_cells=bad)
    with pytest.raises(ValueError, match="search_axis"):
        plot_history(model, search_axis="time")
    assert plt.get_fignums() == []
    # 0/1 numbers, lists and sparse matrices are W as well as bools.
    W = model.transform(X)
    drawn = [np.asarray(plot_tiles(model, X, W=w, max_cells=100).axes[0].images[0].get_array())
             for w in (W, W.astype(float), W.astype(int).tolist(), sp.csr_matrix(W))]
    assert all(np.array_equal(drawn[0], d) for d in drawn[1:])


def test_missing_matplotlib_says_how_to_install(monkeypatch):
    X = make_planted(10, 8, 2, random_state=0)
    model = BooleanMF(n_components=2, random_state=0).fit(X)
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.setitem(sys.modules, name, None)
    for draw in (lambda: plot_tiles(model, X), lambda: plot_factors(model, X=X),
                 lambda: plot_history(model)):
        with pytest.raises(ImportError, match=r'pip install "quorbmf\[plot\]"'):
            draw()


def test_docstring_examples_run():
    import quorbmf.plotting

    failed, attempted = doctest.testmod(quorbmf.plotting, optionflags=doctest.ELLIPSIS)
    assert attempted > 0 and failed == 0


def test_image_built_in_chunks_is_the_whole_image(monkeypatch):
    import quorbmf.plotting as plotting

    X = make_planted(203, 31, 4, noise=0.1, missing=0.05, random_state=8)
    model = BooleanMF(n_components=4, random_state=0).fit(X)
    whole = plot_tiles(model, X, max_cells=(70, 1000)).axes[0]
    assert "rows binned by 3" in whole.get_title()
    # Chunks of 2 bins (6 rows): the last chunk and its last bin are short.
    monkeypatch.setattr(plotting, "_CHUNK_CELLS", 6 * 31)
    chunked = plot_tiles(model, X, max_cells=(70, 1000)).axes[0]
    assert np.array_equal(whole.images[0].get_array(), chunked.images[0].get_array())
    assert list(legend_colours(whole)) == list(legend_colours(chunked))


def test_cells_covered_by_hundreds_of_tiles_count_as_covered():
    # 256 tiles over every cell: a count of covering tiles kept in 8 bits
    # would wrap to 0 and call every cell uncovered.
    X = np.zeros((4, 6), dtype=bool)
    model = BooleanMF(n_components=256, random_state=0).fit(X)
    model.components_ = np.ones((256, 6), dtype=bool)
    ax = plot_tiles(model, X, W=np.ones((4, 256), dtype=bool)).axes[0]
    labels = list(legend_colours(ax))
    assert "false positive (W∘H 1, X 0): 24" in labels
    assert "false negative (W∘H 0, X 1): 0" in labels
