"""Pictures of a fitted :class:`~quorbmf.BooleanMF`: X reordered so that each
tile shows as a block, the factors beside it, and the error as the fit ran.

matplotlib is optional (``pip install "quorbmf[plot]"``) and imported by the
functions only. Every function returns the matplotlib Figure it drew on (the
figure of ``ax`` when one is given) and never calls ``plt.show()``.

Large data is drawn in bins: when X has more rows (or columns) than the axes
can show, consecutive rows (columns) in the drawn order are merged and each
drawn cell mixes the colours of its cells in proportion, so a bin's share of
ones and of errors stays visible; the title says how many were merged.
"""
from typing import Any, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray
from sklearn.utils.validation import check_is_fitted

__all__ = ["plot_factors", "plot_history", "plot_tiles"]

_INSTALL = 'pip install "quorbmf[plot]"'

# Colours of the cell kinds, RGB; tiles take the tab10 colours in turn.
_BACKGROUND = (1.0, 1.0, 1.0)
_FALSE_POSITIVE = (0.90, 0.10, 0.10)
_FALSE_NEGATIVE = (0.25, 0.25, 0.25)
_UNOBSERVED = (0.99, 0.91, 0.62)
_TILES = ((0.12, 0.47, 0.71), (1.00, 0.50, 0.05), (0.17, 0.63, 0.17), (0.58, 0.40, 0.74),
          (0.55, 0.34, 0.29), (0.89, 0.47, 0.76), (0.74, 0.74, 0.13), (0.09, 0.75, 0.81),
          (0.68, 0.78, 0.91), (1.00, 0.73, 0.47))
# Tiles named one by one in a legend; the rest share one entry.
_LEGEND_TILES = 8
# Screen pixels per tick label.
_PIXELS_PER_LABEL = 12.0
# Most outlines drawn: a tile whose rows or columns split into many runs
# would otherwise cover the picture with boxes.
_MAX_OUTLINES = 400
# Narrower runs of a tile's rows or columns (in drawn cells) are not
# outlined: their boxes would be lines that hide the cells.
_MIN_OUTLINED = 3
# Cells of X coloured at once before binning.
_CHUNK_CELLS = 1 << 20

Cells = NDArray[Any]
MaxCells = Union[None, int, Tuple[int, int]]


def _pyplot() -> Any:
    """matplotlib.pyplot, or an ImportError that says how to install it."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError(f"quorbmf's plots need matplotlib: {_INSTALL}") from exc
    return plt


def _tile_colour(k: int) -> Tuple[float, float, float]:
    return _TILES[k % len(_TILES)]


# ----------------------------------------------------------------------
# What is drawn, without matplotlib


def _cells(model: Any, X: Any, mask: Any) -> Tuple[Cells, Cells]:
    """X as bool cells and its observed cells, read the way the model reads
    X (binarize, sparse_absent, NaN and masks)."""
    packed, observed = model._copy()._validate_x(X, reset=False, mask=mask)
    x = packed.to_numpy()
    seen = np.ones(x.shape, dtype=bool) if observed is None else observed.to_numpy()
    return x, seen


def _factors(model: Any, X: Any, W: Any, mask: Any) -> Tuple[Cells, Cells]:
    """W (given, or X through ``transform``) and H as bool arrays."""
    h = np.asarray(model.components_, dtype=bool)
    if W is None:
        if X is None:
            raise ValueError("give X or W: W is computed from X by model.transform")
        W = model.transform(X, mask=mask)
    w = np.asarray(W.toarray() if hasattr(W, "toarray") else W)
    if w.ndim != 2 or w.shape[1] != h.shape[0]:
        raise ValueError(f"W has shape {w.shape}, but this model has {h.shape[0]} components")
    if w.dtype != bool:
        if w.dtype.kind not in "iuf" or not np.isin(w, (0, 1)).all():
            raise ValueError("W must hold only 0 and 1 (or False and True)")
        w = w != 0
    return w, h


def _orders(w: Cells, h: Cells) -> Tuple[Cells, Cells, Cells]:
    """The tiles largest first, and the rows and columns ordered by the tiles
    they use: those of the first tile first, then within each group by the
    second, and so on (a lexicographic sort), so the first tile's rows and
    columns are each one contiguous run and tiles that share no row or column
    with another each form a block."""
    sizes = w.sum(axis=0).astype(np.int64) * h.sum(axis=1).astype(np.int64)
    tiles = np.argsort(-sizes, kind="stable")

    def by_tiles(uses: Cells) -> Cells:
        if uses.shape[1] == 0:
            return np.arange(uses.shape[0])
        keys = [~uses[:, k] for k in tiles[::-1]]
        return np.lexsort(keys)

    return tiles, by_tiles(w), by_tiles(h.T)


def _bin_size(count: int, limit: int) -> int:
    return max(1, -(-count // max(1, limit)))


def _binned(image: Cells, rows: int, cols: int) -> Cells:
    """The mean of each block of ``rows`` x ``cols`` cells (the last blocks
    may be smaller) of an image of shape (m, n, channels)."""
    m, n = image.shape[:2]
    if rows > 1:
        starts = np.arange(0, m, rows)
        counts = np.diff(np.append(starts, m))
        image = np.add.reduceat(image, starts, axis=0) / counts[:, None, None]
    if cols > 1:
        starts = np.arange(0, n, cols)
        counts = np.diff(np.append(starts, n))
        image = np.add.reduceat(image, starts, axis=1) / counts[None, :, None]
    return image


def _checked_max_cells(max_cells: MaxCells) -> Optional[Tuple[int, int]]:
    """``max_cells`` as a pair of positive ints, or None; a TypeError or
    ValueError before anything is drawn otherwise."""
    if max_cells is None:
        return None
    pair = max_cells if isinstance(max_cells, tuple) else (max_cells, max_cells)
    if len(pair) != 2 or not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool)
                                 for v in pair):
        raise TypeError(f"max_cells must be an int, a pair of ints or None, not {max_cells!r}")
    if min(pair) < 1:
        raise ValueError(f"max_cells must be positive, not {max_cells!r}")
    return int(pair[0]), int(pair[1])


def _limits(ax: Any, max_cells: Optional[Tuple[int, int]]) -> Tuple[int, int]:
    """The most rows and columns drawn: given, or one per pixel of the axes."""
    if max_cells is None:
        box = ax.get_window_extent()
        return max(1, int(box.height)), max(1, int(box.width))
    return max_cells


def _binning_note(rows: int, cols: int) -> str:
    parts = [f"{what} binned by {size}" for what, size in (("rows", rows), ("columns", cols))
             if size > 1]
    return "; ".join(parts)


def _names(X: Any, model: Any) -> Tuple[Optional[Sequence[Any]], Optional[Sequence[Any]]]:
    """The row names of a DataFrame X and the feature names seen in fit."""
    rows = list(X.index) if hasattr(X, "index") and hasattr(X, "columns") else None
    cols = getattr(model, "feature_names_in_", None)
    if cols is None and hasattr(X, "columns"):
        cols = list(X.columns)
    return rows, None if cols is None else list(cols)


def _set_ticks(ax: Any, axis: str, order: Cells, names: Optional[Sequence[Any]],
               size: int, drawn: int) -> None:
    """Tick labels on one axis: the name (or index) of the first row or column
    of a drawn cell, thinned to one label per ``_PIXELS_PER_LABEL`` pixels."""
    box = ax.get_window_extent()
    pixels = box.height if axis == "y" else box.width
    step = max(1, int(np.ceil(drawn * _PIXELS_PER_LABEL / max(pixels, 1.0))))
    positions = np.arange(0, drawn, step)
    labels = [str(order[p * size] if names is None else names[order[p * size]])
              for p in positions]
    if axis == "y":
        ax.set_yticks(positions)
        ax.set_yticklabels(labels, fontsize="x-small")
    else:
        ax.set_xticks(positions)
        ax.set_xticklabels(labels, fontsize="x-small", rotation=90)


def _new_axes(ax: Any, size: Tuple[float, float]) -> Tuple[Any, Any]:
    if ax is not None:
        return ax.figure, ax
    fig, ax = _pyplot().subplots(figsize=size, layout="constrained")
    return fig, ax


def _tile_image(x: Cells, seen: Cells, w: Cells, h: Cells,
                tiles: Cells) -> Tuple[Cells, Tuple[int, int, int]]:
    """The RGB image of X in its own order, each covered 1 in the colour of
    the first tile (in the order ``tiles``) that covers it, and the counts
    of false positives, false negatives and unobserved cells."""
    m, n = x.shape
    first = np.full((m, n), -1, dtype=np.int32)
    for rank, k in enumerate(tiles):
        block = np.ix_(np.flatnonzero(w[:, k]), np.flatnonzero(h[k]))
        first[block] = np.where(first[block] < 0, rank, first[block])
    covered = first >= 0
    image = np.empty((m, n, 3))
    image[...] = _BACKGROUND
    palette = np.array([_tile_colour(k) for k in range(len(tiles))]).reshape(-1, 3)
    ok = covered & x & seen
    image[ok] = palette[first[ok]]
    false_positive = covered & ~x & seen
    false_negative = ~covered & x & seen
    image[false_positive] = _FALSE_POSITIVE
    image[false_negative] = _FALSE_NEGATIVE
    image[~seen] = _UNOBSERVED
    return image, (int(false_positive.sum()), int(false_negative.sum()), int((~seen).sum()))


def _binned_tile_image(x: Cells, seen: Cells, w: Cells, h: Cells, tiles: Cells, row_bin: int,
                       col_bin: int) -> Tuple[Cells, Tuple[int, int, int]]:
    """:func:`_tile_image` binned, built a few rows at a time so that the
    full-size colour image (24 bytes a cell) never exists at once."""
    m, n = x.shape
    step = row_bin * max(1, _CHUNK_CELLS // max(1, row_bin * n))
    parts, counts = [], np.zeros(3, dtype=np.int64)
    for begin in range(0, m, step):
        rows = slice(begin, begin + step)
        image, found = _tile_image(x[rows], seen[rows], w[rows], h, tiles)
        parts.append(_binned(image, row_bin, col_bin))
        counts += found
    if not parts:
        return np.ones((0, -(-n // col_bin), 3)), (0, 0, 0)
    fp, fn, unseen = (int(c) for c in counts)
    return np.concatenate(parts), (fp, fn, unseen)


def _runs(uses: Cells) -> List[Tuple[int, int]]:
    """The runs [begin, end) of consecutive True entries."""
    edges = np.diff(np.concatenate(([0], uses.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist()))


def _outlines(w: Cells, h: Cells, tiles: Cells, row_bin: int,
              col_bin: int) -> List[Tuple[int, float, float, float, float]]:
    """For each tile (its rank in ``tiles``), the boxes (x, y, width,
    height, in drawn cells) of its blocks: a run of its rows times a run of
    its columns in the drawn order. Runs thinner than ``_MIN_OUTLINED``
    drawn cells are left out, and so is every box beyond ``_MAX_OUTLINES``."""
    boxes: List[Tuple[int, float, float, float, float]] = []
    for rank, k in enumerate(tiles):
        rows = [(b, e) for b, e in _runs(w[:, k]) if e - b >= _MIN_OUTLINED * row_bin]
        cols = [(b, e) for b, e in _runs(h[k]) if e - b >= _MIN_OUTLINED * col_bin]
        for rb, re in rows:
            for cb, ce in cols:
                if len(boxes) == _MAX_OUTLINES:
                    return boxes
                boxes.append((rank, cb / col_bin - 0.5, rb / row_bin - 0.5,
                              (ce - cb) / col_bin, (re - rb) / row_bin))
    return boxes


# ----------------------------------------------------------------------
# The pictures


def plot_tiles(model: Any, X: Any, *, W: Any = None, mask: Any = None, ax: Any = None,
               max_cells: MaxCells = None) -> Any:
    """X with its rows and columns ordered by the factors, each tile in its
    colour and the errors marked.

    The tiles (rank-one patterns: the rows of W's column l times the columns
    of H's row l) are taken largest first; rows are sorted by the tiles they
    use, those of the largest first, and columns likewise by H, so each tile
    that shares no row or column with another shows as a block. Each block
    of a tile (a run of its rows times a run of its columns) is outlined in
    its colour, and a 1 of X that the factors cover takes the colour of the
    first tile covering it;
    false positives (W∘H 1, X 0) and false negatives (W∘H 0, X 1) have
    their own colours, unobserved cells pale yellow, and the legend counts
    each kind over the observed cells.

    Parameters
    ----------
    model : BooleanMF
        A fitted estimator.
    X : array-like, sparse matrix, DataFrame, BitMatrix or PackedMatrix of shape (n_samples, n_features)
        The data, read as the model reads it (``binarize``, missing values).
    W : array-like or sparse matrix of 0/1 of shape (n_samples, n_components) or None, default=None
        The left factor; None computes it with ``model.transform(X)``,
        which for the data of the fit gives the fitted factor.
    mask : array-like of bool or None, default=None
        True where a cell of X is observed, as in ``fit``.
    ax : matplotlib Axes or None, default=None
        Where to draw; None makes a new figure.
    max_cells : int, (int, int) or None, default=None
        The most rows and columns drawn (one positive number for both, or
        a pair).
        None allows one per pixel of the axes, as large as they are when
        drawing starts (before the layout makes room for labels and the
        legend). Beyond it consecutive rows (columns) are binned and the
        title says by how many.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (that of ``ax`` when given).

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> from quorbmf import BooleanMF, plot_tiles
    >>> from quorbmf.datasets import make_planted
    >>> X = make_planted(30, 20, 3, noise=0.05, random_state=0)
    >>> model = BooleanMF(n_components=3, random_state=0).fit(X)
    >>> fig = plot_tiles(model, X)
    >>> fig.axes[0].get_title()
    'X (30 x 20) reordered by 3 tiles'
    """  # noqa: E501 (numpydoc keeps a type on one line)
    _pyplot()
    from matplotlib.patches import Patch, Rectangle

    check_is_fitted(model)
    limits = _checked_max_cells(max_cells)
    x, seen = _cells(model, X, mask)
    w, h = _factors(model, X, W, mask)
    if w.shape[0] != x.shape[0]:
        raise ValueError(f"W has {w.shape[0]} rows, but X has {x.shape[0]}")
    tiles, rows, cols = _orders(w, h)
    x, seen, w = x[rows][:, cols], seen[rows][:, cols], w[rows]
    h = h[:, cols]
    fig, ax = _new_axes(ax, (9.0, 6.0))
    max_rows, max_cols = _limits(ax, limits)
    row_bin, col_bin = _bin_size(x.shape[0], max_rows), _bin_size(x.shape[1], max_cols)
    image, (fp, fn, unseen) = _binned_tile_image(x, seen, w, h, tiles, row_bin, col_bin)
    ax.imshow(image, aspect="auto", interpolation="nearest")
    for rank, left, top, width, height in _outlines(w, h, tiles, row_bin, col_bin):
        ax.add_patch(Rectangle((left, top), width, height, fill=False, linewidth=1.0,
                               edgecolor=_tile_colour(rank)))
    title = f"X ({x.shape[0]} x {x.shape[1]}) reordered by {len(tiles)} tiles"
    note = _binning_note(row_bin, col_bin)
    ax.set_title(f"{title}\n{note}" if note else title)
    row_names, col_names = _names(X, model)
    _set_ticks(ax, "y", rows, row_names, row_bin, image.shape[0])
    _set_ticks(ax, "x", cols, col_names, col_bin, image.shape[1])
    ax.set_xlabel("features, ordered by H")
    ax.set_ylabel("samples, ordered by W")

    handles: List[Any] = []
    for rank, k in enumerate(tiles[:_LEGEND_TILES]):
        handles.append(Patch(color=_tile_colour(rank),
                             label=f"tile {k}: {int(w[:, k].sum())} x {int(h[k].sum())}"))
    if len(tiles) > _LEGEND_TILES:
        handles.append(Patch(color=_tile_colour(_LEGEND_TILES),
                             label=f"{len(tiles) - _LEGEND_TILES} more tiles"))
    handles.append(Patch(color=_FALSE_POSITIVE, label=f"false positive (W∘H 1, X 0): {fp}"))
    handles.append(Patch(color=_FALSE_NEGATIVE, label=f"false negative (W∘H 0, X 1): {fn}"))
    if unseen:
        handles.append(Patch(color=_UNOBSERVED, label=f"unobserved: {unseen}"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0),
              fontsize="small", frameon=False)
    return fig


def _factor_images(w: Cells, h: Cells, tiles: Cells) -> Tuple[Cells, Cells]:
    """W with its columns and H with its rows in the order ``tiles``, each
    1 in its tile's colour, as RGB images."""
    palette = np.array([_tile_colour(k) for k in range(len(tiles))]).reshape(-1, 3)
    w_ones = w[:, tiles][..., None]
    h_ones = h[tiles][..., None]
    background = np.array(_BACKGROUND)
    w_image = np.where(w_ones, palette[None, :, :], background)
    h_image = np.where(h_ones, palette[:, None, :], background)
    return w_image, h_image


def plot_factors(model: Any, W: Any = None, X: Any = None, *, mask: Any = None,
                 axes: Any = None, max_cells: MaxCells = None) -> Any:
    """W and H as images beside each other, in the orders of :func:`plot_tiles`.

    W's rows and H's columns are ordered as the rows and columns of
    :func:`plot_tiles`; W's columns and H's rows are the tiles, largest first,
    each 1 in its tile's colour. Rows of W beyond what the axes show are
    binned as in :func:`plot_tiles` (and so are H's columns).

    Parameters
    ----------
    model : BooleanMF
        A fitted estimator.
    W : array-like or sparse matrix of 0/1 of shape (n_samples, n_components) or None, default=None
        The left factor; None computes it as ``model.transform(X)``.
    X : array-like, sparse matrix or DataFrame, or None, default=None
        The data, needed when W is None; a DataFrame's index names W's rows.
    mask : array-like of bool or None, default=None
        True where a cell of X is observed.
    axes : pair of matplotlib Axes or None, default=None
        Where to draw W and H; None makes a new figure.
    max_cells : int, (int, int) or None, default=None
        The most rows of W and columns of H drawn; None allows one per pixel.

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (that of the axes when given).

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> from quorbmf import BooleanMF, plot_factors
    >>> from quorbmf.datasets import make_planted
    >>> X = make_planted(30, 20, 3, random_state=0)
    >>> model = BooleanMF(n_components=3, random_state=0).fit(X)
    >>> fig = plot_factors(model, X=X)
    >>> [ax.get_title() for ax in fig.axes]
    ['W (30 x 3)', 'H (3 x 20)']
    """
    plt = _pyplot()
    check_is_fitted(model)
    limits = _checked_max_cells(max_cells)
    w, h = _factors(model, X, W, mask)
    if X is not None and hasattr(X, "shape") and X.shape[0] != w.shape[0]:
        raise ValueError(f"W has {w.shape[0]} rows, but X has {X.shape[0]}")
    tiles, rows, cols = _orders(w, h)
    w, h = w[rows], h[:, cols]
    if axes is not None and len(axes) != 2:
        raise ValueError(f"axes must be a pair (for W and H), not {len(axes)} axes")
    if axes is None:
        fig, axes = plt.subplots(1, 2, figsize=(10.0, 5.0), layout="constrained",
                                 gridspec_kw={"width_ratios": [1, 3]})
    else:
        fig = axes[0].figure
    w_ax, h_ax = axes
    max_rows, _ = _limits(w_ax, limits)
    _, max_cols = _limits(h_ax, limits)
    row_bin, col_bin = _bin_size(w.shape[0], max_rows), _bin_size(h.shape[1], max_cols)
    w_image, h_image = _factor_images(w, h, tiles)
    w_image, h_image = _binned(w_image, row_bin, 1), _binned(h_image, 1, col_bin)
    row_names, col_names = _names(X, model)
    labels = [f"tile {k}" for k in tiles]
    w_ax.imshow(w_image, aspect="auto", interpolation="nearest")
    w_ax.set_title(f"W ({w.shape[0]} x {w.shape[1]})"
                   + (f"\n{_binning_note(row_bin, 1)}" if row_bin > 1 else ""))
    _set_ticks(w_ax, "y", rows, row_names, row_bin, w_image.shape[0])
    w_ax.set_xticks(np.arange(len(tiles)))
    w_ax.set_xticklabels(labels, fontsize="x-small", rotation=90)
    h_ax.imshow(h_image, aspect="auto", interpolation="nearest")
    h_ax.set_title(f"H ({h.shape[0]} x {h.shape[1]})"
                   + (f"\n{_binning_note(1, col_bin)}" if col_bin > 1 else ""))
    _set_ticks(h_ax, "x", cols, col_names, col_bin, h_image.shape[1])
    h_ax.set_yticks(np.arange(len(tiles)))
    h_ax.set_yticklabels(labels, fontsize="x-small")
    return fig


def _counts_what(model: Any) -> str:
    """What the histories count: wrong cells with the default costs, else
    the cost the fit minimised."""
    if model._objective().plain:
        return "wrong cells"
    if model.from_below:
        return f"cost ({model.false_negative_cost:g} x false negatives)"
    return (f"cost ({model.false_positive_cost:g} x false positives + "
            f"{model.false_negative_cost:g} x false negatives)")


def plot_history(model: Any, *, ax: Any = None, search_axis: str = "seconds") -> Any:
    """The error after every iteration of the kept run and at every
    improvement of the search.

    The iterations (``error_history_``) run along the bottom axis; the
    search's improvements (``search_history_``, a step line from the runs'
    last error) along a top axis in seconds since the search began
    (``search_times_``) or in moves, on the same error scale.
    The error is the number of wrong cells, or the cost when costs other
    than equal (or ``from_below``) are set, as ``error_history_`` counts it.

    Parameters
    ----------
    model : BooleanMF
        A fitted estimator.
    ax : matplotlib Axes or None, default=None
        Where to draw the iterations (the search goes on a twin axis); None
        makes a new figure.
    search_axis : {"seconds", "moves"}, default="seconds"
        What the search's axis counts: time, or moves (which, unlike time,
        the seed alone decides).

    Returns
    -------
    matplotlib.figure.Figure
        The figure drawn on (that of ``ax`` when given).

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> from quorbmf import BooleanMF, plot_history
    >>> from quorbmf.datasets import make_planted
    >>> X = make_planted(30, 20, 3, noise=0.1, random_state=0)
    >>> model = BooleanMF(n_components=3, random_state=0).fit(X)
    >>> fig = plot_history(model)
    >>> fig.axes[0].get_ylabel()
    'wrong cells'
    """
    _pyplot()
    check_is_fitted(model)
    if search_axis not in ("seconds", "moves"):
        raise ValueError(f"search_axis must be 'seconds' or 'moves', not {search_axis!r}")
    errors = list(model.error_history_)
    if not errors:
        raise ValueError("the model has no error history: fit it first")
    fig, ax = _new_axes(ax, (7.0, 4.0))
    what = _counts_what(model)
    iterations = np.arange(1, len(errors) + 1)
    runs = ax.plot(iterations, errors, marker="o", color=_TILES[0], label="iterations")
    ax.set_xlabel("iteration of the kept run")
    ax.set_ylabel(what)
    handles = list(runs)
    found = list(model.search_history_)
    if found:
        top = ax.twiny()
        if search_axis == "seconds":
            times = list(getattr(model, "search_times_", []))
            if len(times) != len(found):
                raise ValueError("the model has no search times: fit it again, or use "
                                 "search_axis='moves'")
            along: List[float] = [0.0] + [float(t) for t in times]
            label = "search time (s)"
        else:
            along = [0.0] + [float(move) for move, _ in found] + [float(model.n_search_moves_)]
            label = "search moves"
        values = [errors[-1]] + [error for _, error in found]
        values += [found[-1][1]] * (len(along) - len(values))
        top.step(along, values, where="post", color=_TILES[1])
        # A dot at each improvement: the step line alone hides the last one,
        # a drop at the line's very end.
        handles += top.plot(along[1:len(found) + 1], values[1:len(found) + 1], "o",
                            color=_TILES[1], markersize=4, label="search improvements")
        top.set_xlabel(label)
        ax.set_title(f"{what}: {errors[-1]:g} after the runs, {values[-1]:g} after "
                     f"{model.n_search_moves_} search moves")
    else:
        ax.set_title(f"{what}: {errors[-1]:g} after {len(errors)} iterations")
    ax.legend(handles=handles, loc="upper right", fontsize="small")
    return fig
