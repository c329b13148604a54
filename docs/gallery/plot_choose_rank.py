"""
Choosing the rank
=================

The error against the rank for each method on planted data: the curves fall
steeply up to the planted rank and flatten after it. Here 150 x 60, planted
rank 4, ranks up to 7 with two seeds each (``python examples/choose_rank.py``
runs 600 x 120, planted rank 6, up to rank 12).
"""
import choose_rank
from gallery_tools import png_path, show_png

figure = png_path("choose_rank.png")
choose_rank.main(["--rows", "150", "--cols", "60", "--planted-rank", "4", "--max-rank", "7",
                  "--restarts", "2", "--out", figure])
show_png(figure)
