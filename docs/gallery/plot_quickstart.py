"""
The core module alone
=====================

A planted rank-5 matrix (300 x 120) with 5 % of its cells flipped, factorised
with ``QuorBMF.ao_bmf``: the factors, the error, how the reconstruction
compares with the noisy input and the planted matrix, and a ``BoolLs`` solver
that explains a new row. ``examples/quickstart.py`` takes no options; it runs
here as it stands.
"""
import runpy

# examples/ is on the path (docs/conf.py puts it there).
runpy.run_module("quickstart", run_name="__main__")
