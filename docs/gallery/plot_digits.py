"""
Handwritten digits
==================

scikit-learn's digits, binarised (8 x 8 pixels each): the error and time per
rank, inputs against their reconstructions (added and missed pixels
coloured) and the rank-one tiles, the rows of H drawn as images. Here 300
digits at ranks 4 and 8 (``python examples/digits.py`` runs all 1,797 at
ranks 2 to 16).
"""
import digits
from gallery_tools import png_path, show_png

figure = png_path("digits.png")
results = digits.main(["--samples", "300", "--ranks", "4,8", "--show", "6", "--out", figure])
show_png(figure)
