"""
Imputing hidden cells
=====================

10 % of the Mushroom cells hidden, filled in by :class:`quorbmf.BooleanMF`
from the observed ones, against each column's majority and scikit-learn's
``KNNImputer``. Here on 600 mushrooms at rank 8 (``python examples/impute.py``
runs 3,000 at ranks 10, 20 and 30).
"""
import impute
from gallery_tools import png_path, show_png

figure = png_path("impute.png")
rows = impute.main(["--samples", "600", "--ranks", "8", "--figure", figure])
show_png(figure)
