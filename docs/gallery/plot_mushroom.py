"""
Mushrooms: factors you can read
===============================

The UCI Mushroom table, one-hot encoded, factorised by
:class:`quorbmf.BooleanMF`: the error per rank, the items of each factor with
the share of edible mushrooms it describes, and the factors as the features of
a cross-validated Pipeline that predicts edibility. Here on the first 2,000
mushrooms at ranks 2 and 5; ``python examples/mushroom.py`` runs the whole
table at ranks 2 to 15.
"""
import mushroom

results = mushroom.main(["--samples", "2000", "--ranks", "2,5", "--describe", "5",
                         "--folds", "3"])
