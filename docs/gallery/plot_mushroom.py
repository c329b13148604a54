"""
Mushrooms: factors you can read
===============================

The UCI Mushroom table, one-hot encoded, factorised by
:class:`quorbmf.BooleanMF`: the error per rank, the items of each factor with
the share of edible mushrooms it describes, and the factors as the features of
a cross-validated Pipeline that predicts edibility. The figure is the
package's own: :func:`quorbmf.plot_tiles` (the table reordered so that each
factor's tile is a block, its columns named by the items) above
:func:`quorbmf.plot_history`. Here all 8,124 mushrooms at ranks 2 and 6;
``python examples/mushroom.py`` runs ranks 2 to 15.
"""
import mushroom
from gallery_tools import png_path, show_png

figure = png_path("mushroom.png")
results = mushroom.main(["--ranks", "2,6", "--describe", "6", "--folds", "3",
                         "--figure", figure])
show_png(figure)
