"""What a fit minimises: the costs of the two kinds of wrong cell.

A false positive is an observed cell where W∘H is 1 and X is 0, a false
negative one where W∘H is 0 and X is 1. The solvers compare combinations by
``a * false positives + b * false negatives`` with integer a and b (at most
``MAX_COST``) in the ratio of the two costs, or forbid false positives
altogether (``from_below``). The costs the user gives are floats; the
integers keep their ratio exactly when both reduce to a fraction with terms
up to ``MAX_COST`` (1 : 4, 0.5 : 3, 0.1 : 1 as the fraction 1/10), and the
nearest such fraction otherwise, a ratio beyond ``MAX_COST`` counting as
``MAX_COST``.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from fractions import Fraction
from numbers import Real
from typing import Any, Optional, Tuple, Union

__all__ = ["Objective", "MAX_COST", "NativeCosts", "weighted_total"]

MAX_COST = 2**24
NativeCosts = Optional[Tuple[Optional[int], Optional[int]]]
Number = Union[int, float]


def weighted_total(costs: NativeCosts, false_positives: int, false_negatives: int,
                   length: int) -> int:
    """The integer total a half-step with ``costs`` over vectors of
    ``length`` cells reports for these counts: an infinite cost weighs
    length + 1 times the other, as the solvers weigh it."""
    if costs is None:
        return false_positives + false_negatives
    a, b = costs
    if a is None:
        a = length + 1 if b else 1
    if b is None:
        b = length + 1 if a else 1
    return a * false_positives + b * false_negatives


def _ratio_terms(q: Fraction) -> Tuple[int, int]:
    """Integers (a, b), each at most MAX_COST, with a / b equal or nearest to
    q (a positive fraction)."""
    if q.numerator <= MAX_COST and q.denominator <= MAX_COST:
        return q.numerator, q.denominator
    if q >= 1:
        inverse = (1 / q).limit_denominator(MAX_COST)
        return (MAX_COST, 1) if inverse == 0 else (inverse.denominator, inverse.numerator)
    near = q.limit_denominator(MAX_COST)
    return (1, MAX_COST) if near == 0 else (near.numerator, near.denominator)


@dataclass(frozen=True)
class Objective:
    """The costs of a fit: the user's (``false_positive``, ``false_negative``,
    ``from_below``), the integer costs the solvers take (``native``, None for
    the plain count), and ``scale``, what one integer unit of a solver's
    total costs in the user's units."""

    false_positive: float = 1.0
    false_negative: float = 1.0
    from_below: bool = False
    native: NativeCosts = None
    scale: float = 1.0

    @classmethod
    def of(cls, false_positive: Any, false_negative: Any, from_below: Any) -> "Objective":
        """The objective of the estimator's parameters, checked: ValueError
        for a cost that is negative, infinite or NaN, for two zero costs, and
        for ``from_below`` with a zero false-negative cost."""
        for name, value in (("false_positive_cost", false_positive),
                            ("false_negative_cost", false_negative)):
            if (not isinstance(value, Real) or isinstance(value, bool)
                    or not math.isfinite(float(value)) or float(value) < 0):
                raise ValueError(f"{name} must be a finite number at least 0, got {value!r}")
        fp, fn = float(false_positive), float(false_negative)
        if from_below:
            if fn == 0:
                raise ValueError("from_below=True needs false_negative_cost above 0: with "
                                 "false positives forbidden, the false negatives are all "
                                 "that is left to minimise")
            return cls(fp, fn, True, (None, 1), fn)
        if fp == 0 and fn == 0:
            raise ValueError("false_positive_cost and false_negative_cost are both 0: "
                             "every fit would cost nothing")
        if fp == fn:
            return cls(fp, fn, False, None, fn)
        if fn == 0:
            return cls(fp, fn, False, (1, 0), fp)
        if fp == 0:
            return cls(fp, fn, False, (0, 1), fn)
        a, b = _ratio_terms(Fraction(fp) / Fraction(fn))
        return cls(fp, fn, False, (a, b), fn / b)

    @property
    def plain(self) -> bool:
        """True for the default objective: the number of wrong cells."""
        return self.native is None and self.scale == 1.0

    def cost(self, false_positives: int, false_negatives: int) -> float:
        """The user's cost of a fit with these counts (false positives cost
        nothing under ``from_below``, which allows none)."""
        fp = 0.0 if self.from_below else self.false_positive * false_positives
        return fp + self.false_negative * false_negatives

    def user(self, units: int) -> Number:
        """A solver's integer total in the user's units: the total itself
        for the default objective."""
        return units if self.plain else units * self.scale

    def describe(self) -> str:
        """The objective in words, for the verbose output."""
        if self.from_below:
            return f"from below (no false positive), false negatives cost {self.false_negative:g}"
        return (f"false positives cost {self.false_positive:g}, "
                f"false negatives {self.false_negative:g}")
