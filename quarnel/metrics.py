"""The similarity metrics the package scores pairs with.

Each is computed from the two bit counts a (query) and b (target) and the
count c of bits they share, with RDKit's own expressions, so that scores
are float64-identical to RDKit's bulk functions:

- ``"tanimoto"`` (the default): c / (a + b - c); the overall resemblance of
  two molecules, the usual choice for similarity search and clustering.
  Two empty fingerprints score 0.0.
- ``"dice"``: 2c / (a + b); weighs shared bits more, so it ranks like
  Tanimoto but spreads the scores of distant pairs.  Two empty score 0.0.
- ``"cosine"``: c / sqrt(a b); less sensitive to one side having many more
  bits (a small query against large molecules).  Two empty score 0.0.
- ``Tversky(alpha, beta)``: c / (alpha (a - c) + beta (b - c) + c), RDKit's
  ``TverskySimilarity(query, target, alpha, beta)``; asymmetric: with a
  small alpha and a large beta, "how much of the query is in the target",
  the basis of substructure-like screening.  Tversky(1, 1) is Tanimoto and
  Tversky(0.5, 0.5) is Dice.  Where the denominator is 0 it scores 1.0.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import Tuple, Union

from .errors import QuarnelError

NAMED = ("tanimoto", "dice", "cosine")


@dataclasses.dataclass(frozen=True)
class Tversky:
    """The Tversky index: `alpha` weighs the query's own bits, `beta` the
    target's, as in RDKit's ``TverskySimilarity(query, target, alpha, beta)``."""

    alpha: float
    beta: float

    def __post_init__(self):
        for name in ("alpha", "beta"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"Tversky's {name} must be a finite number of at least 0, not {value!r}")
            if not math.isfinite(value) or value < 0:
                raise QuarnelError(f"Tversky's {name} must be a finite number of at least 0, not {value!r}")
            object.__setattr__(self, name, float(value))

    @property
    def symmetric(self) -> bool:
        return self.alpha == self.beta

    def __str__(self) -> str:
        return f"tversky:{self.alpha:g},{self.beta:g}"


Metric = Union[str, Tversky]


def as_metric(metric) -> Metric:
    """A metric from its name ("tanimoto", "dice", "cosine"), a `Tversky`
    value, or the command line's "tversky:ALPHA,BETA"."""
    if isinstance(metric, Tversky):
        return metric
    if isinstance(metric, str):
        name = metric.strip().lower()
        if name in NAMED:
            return name
        if name.startswith("tversky:"):
            try:
                alpha, beta = (float(part) for part in name[len("tversky:"):].split(","))
            except ValueError:
                raise QuarnelError(f"expected tversky:ALPHA,BETA (two numbers), not {metric!r}") from None
            return Tversky(alpha, beta)
    raise QuarnelError(f"unknown metric {metric!r}; choose tanimoto, dice, cosine or quarnel.Tversky(alpha, beta) "
                       "(tversky:ALPHA,BETA on the command line)")


def native_metric(metric) -> Tuple[str, float, float]:
    """(name, alpha, beta) as the extension takes them."""
    metric = as_metric(metric)
    if isinstance(metric, Tversky):
        return "tversky", metric.alpha, metric.beta
    return metric, 1.0, 1.0


def is_symmetric(metric) -> bool:
    metric = as_metric(metric)
    return not isinstance(metric, Tversky) or metric.symmetric
