"""The parameters of ``BooleanMF``: what each accepts, in scikit-learn's
constraint vocabulary, and the plain-English error for a value that does
not fit, checked before any data is read."""
from __future__ import annotations

from numbers import Integral, Real
from typing import Any, Dict, List, Optional

import numpy as np
from sklearn.utils._param_validation import Interval, StrOptions

from ._plan import MAX_RANK

__all__ = ["METHODS", "INITS", "PARAMETER_CONSTRAINTS", "invalid"]

# The methods in the order the documentation and the messages list them:
# the solver's own (_native.METHODS), "auto" and "exact-blocks".
METHODS = ("auto", "exact", "zeta", "greedy", "greedy-ls", "naive", "exact-blocks")
INITS = ("auto", "random-columns", "grecond", "asso", "custom")


class _Int(Interval):
    """An int, not a bool, from ``left`` to ``right`` (None: unbounded)."""

    def __init__(self, left: Optional[int], right: Optional[int] = None) -> None:
        closed = {(True, True): "both", (True, False): "left", (False, True): "right"}
        super().__init__(Integral, left, right, closed=closed[left is not None, right is not None])

    def is_satisfied_by(self, val: Any) -> bool:
        return not isinstance(val, bool) and bool(super().is_satisfied_by(val))


class _Number(Interval):
    """Any real number, not a bool."""

    def __init__(self) -> None:
        super().__init__(Real, None, None, closed="neither")

    def is_satisfied_by(self, val: Any) -> bool:
        return isinstance(val, Real) and not isinstance(val, bool)


class _Seconds(Interval):
    """A positive finite number of seconds, not a bool."""

    def __init__(self) -> None:
        super().__init__(Real, 0, None, closed="neither")

    def is_satisfied_by(self, val: Any) -> bool:
        return (isinstance(val, Real) and not isinstance(val, bool)
                and bool(super().is_satisfied_by(val)) and np.isfinite(float(val)))


class _Cost(Interval):
    """A finite number at least 0, not a bool."""

    def __init__(self) -> None:
        super().__init__(Real, 0, None, closed="left")

    def is_satisfied_by(self, val: Any) -> bool:
        return (isinstance(val, Real) and not isinstance(val, bool)
                and bool(super().is_satisfied_by(val)) and np.isfinite(float(val)))


class _Names(StrOptions):
    """One of the names, its letters in any case, white space around it."""

    def is_satisfied_by(self, val: Any) -> bool:
        return isinstance(val, str) and val.strip().lower() in self.options


def invalid(name: str, value: Any) -> Exception:
    """The error, in plain English, for a value of parameter ``name`` that
    meets none of its constraints."""
    integer = isinstance(value, Integral) and not isinstance(value, bool)
    if name == "n_components":
        if not integer:
            return TypeError(f"n_components must be an int or None, got {value!r}")
        return ValueError(f"n_components must be between 1 and {MAX_RANK}, got {value}")
    if name in ("method", "init"):
        names = METHODS if name == "method" else INITS
        return ValueError(f"{name} must be one of {', '.join(map(repr, names))}, got {value!r}")
    if name == "n_init" and isinstance(value, str):
        return ValueError(f"n_init must be an int or 'auto', got {value!r}")
    if name in ("n_init", "max_iter", "verbose"):
        if not integer:
            return TypeError(f"{name} must be an int, got {value!r}")
        return ValueError(f"{name} must be at least {0 if name == 'verbose' else 1}, got {value}")
    if name == "random_state":
        if integer:
            return ValueError(f"random_state must be between 0 and 2**64 - 1, got {value}")
        return ValueError(f"{value!r} cannot be used to seed a numpy.random.RandomState instance")
    if name == "n_jobs":
        return ValueError(f"n_jobs must be None or a non-zero int, got {value!r}")
    if name == "block_size":
        return ValueError(f"block_size must be None or a positive int, got {value!r}")
    if name == "callback":
        return TypeError(f"callback must be callable or None, got {value!r}")
    if name == "binarize":
        return TypeError(f"binarize must be a number or None, got {value!r}")
    if name == "search":
        if integer:
            return ValueError(f"search must be at least 0, got {value}")
        return ValueError(f"search must be an int (a number of moves) or 'auto', got {value!r}")
    if name == "search_time":
        return ValueError("search_time must be None or a positive number of seconds, "
                          f"got {value!r}")
    if name in ("false_positive_cost", "false_negative_cost"):
        if isinstance(value, Real) and not isinstance(value, bool):
            return ValueError(f"{name} must be a finite number at least 0, got {value!r}")
        return TypeError(f"{name} must be a number, got {value!r}")
    if name == "from_below":
        return TypeError(f"from_below must be True or False, got {value!r}")
    if name == "backend":
        return ValueError(f"backend must be 'threads' or 'dask', got {value!r}")
    return ValueError(f"sparse_absent must be 'zero' or 'missing', got {value!r}")


PARAMETER_CONSTRAINTS: Dict[str, List[Any]] = {
    "n_components": [_Int(1, MAX_RANK), None],
    "method": [_Names(set(METHODS))],
    "init": [StrOptions(set(INITS))],
    "n_init": [_Int(1), StrOptions({"auto"})],
    "max_iter": [_Int(1)],
    # An int is the seed itself; anything else seeds a draw of one.
    "random_state": [Interval(Integral, 0, 2**64 - 1, closed="both"), np.random.RandomState,
                     None],
    "n_jobs": [_Int(1), _Int(None, -1), None],
    "verbose": [_Int(0)],
    "callback": [callable, None],
    "block_size": [_Int(1), None],
    "backend": [StrOptions({"threads", "dask"})],
    "binarize": [_Number(), None],
    "sparse_absent": [StrOptions({"zero", "missing"})],
    "search": [_Int(0), StrOptions({"auto"})],
    "search_time": [_Seconds(), None],
    "false_positive_cost": [_Cost()],
    "false_negative_cost": [_Cost()],
    "from_below": ["boolean"],
}
