"""Data sets: real binary data shipped with quorbmf, and planted matrices."""
from __future__ import annotations

from dataclasses import dataclass
from importlib import resources
from typing import Any, List

import numpy as np

from ._planted import make_planted

__all__ = ["Dataset", "load_mushroom", "make_planted"]


@dataclass
class Dataset:
    """A binary data set.

    Attributes
    ----------
    data : ndarray of bool, shape (n_samples, n_features), or DataFrame
        The one-hot matrix.
    feature_names : list of str
        ``"attribute=value"`` for every column.
    target : ndarray of bool or None
        The class the columns leave out, if any (True = edible for Mushroom).
    frame : DataFrame or None
        The categorical table behind the one-hot matrix (with ``as_frame``).
    description : str
        Where the data come from and their licence.
    """

    data: Any
    feature_names: List[str]
    target: Any
    frame: Any
    description: str


_MUSHROOM_DESCRIPTION = """\
Mushroom: 8124 gilled mushrooms of 23 species in the Agaricus and Lepiota
families, each described by 22 categorical attributes and its class (edible
or poisonous), one-hot encoded: one column per attribute=value pair, so
every row has one 1 per known attribute (stalk-root is unknown for 2480
rows, which then set no stalk-root item). With the class: 118 columns,
184,372 ones.

Source: the UCI Machine Learning Repository, Mushroom data set (1987;
Jeff Schlimmer, from The Audubon Society Field Guide to North American
Mushrooms, 1981), https://doi.org/10.24432/C5959T, licensed under Creative
Commons Attribution 4.0 International (CC BY 4.0). Stored here as category
codes; the level spelled "ibrous" in some copies is "fibrous".
"""


def load_mushroom(*, include_class: bool = True, as_frame: bool = False) -> Dataset:
    """The UCI Mushroom table as a one-hot Boolean matrix.

    Parameters
    ----------
    include_class : bool, default=True
        Keep the two class columns (``class=edible``, ``class=poisonous``):
        8124 x 118. Without them: 8124 x 116.
    as_frame : bool, default=False
        Return ``data`` as a pandas DataFrame of bool columns named by item,
        and ``frame`` as the categorical table (needs pandas).

    Returns
    -------
    Dataset
        ``data``, ``feature_names``, ``target`` (True = edible), ``frame``
        and ``description`` (source and licence: CC BY 4.0).
    """
    with resources.files(__name__).joinpath("mushroom.npz").open("rb") as f:
        stored = np.load(f)
        codes = stored["codes"]
        attributes = [str(a) for a in stored["attributes"]]
        items = [str(i) for i in stored["items"]]
        levels = [int(k) for k in stored["levels_per_attribute"]]
    blocks, names = [], []
    offset = 0
    for k, (attribute, count) in enumerate(zip(attributes, levels)):
        block_names = items[offset:offset + count]
        offset += count
        if attribute == "class" and not include_class:
            continue
        blocks.append(codes[:, k:k + 1] == np.arange(count, dtype=codes.dtype))
        names.extend(block_names)
    data = np.ascontiguousarray(np.hstack(blocks))
    class_column = attributes.index("class")
    target = codes[:, class_column] == items.index("class=edible") - sum(levels[:class_column])
    frame = None
    if as_frame:
        import pandas as pd

        columns = {}
        offset = 0
        for k, (attribute, count) in enumerate(zip(attributes, levels)):
            values = [item.split("=", 1)[1] for item in items[offset:offset + count]]
            offset += count
            columns[attribute] = pd.Categorical.from_codes(codes[:, k], values)
        frame = pd.DataFrame(columns)
        data = pd.DataFrame(data, columns=names)
    return Dataset(data, names, target, frame, _MUSHROOM_DESCRIPTION)
