"""
Role mining from below
======================

A users x permissions table with planted roles and noise, factorised with
``from_below=True`` so that no role grants a permission a user lacks, then
the trade between false positives and false negatives at costs 1:1 and 1:4.
Here 200 users, 60 permissions and 5 roles (``python examples/roles.py`` runs
600 x 150 with 8 roles).
"""
import roles
from gallery_tools import png_path, show_png

figure = png_path("roles.png")
summary = roles.main(["--users", "200", "--permissions", "60", "--roles", "5",
                      "--figure", figure])
show_png(figure)
