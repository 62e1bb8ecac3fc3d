"""Diversity picking with RDKit's MaxMin and Leader pickers' picks, on all
cores, in memory for the fingerprints plus a few bytes per row.

Both compare the distance ``1 - similarity`` in double precision, as RDKit
computes it, so ties and sphere edges fall where they fall in RDKit.  With
Tanimoto (the default) the picks are those of RDKit's ``LazyBitVectorPick``
and, unlike the similarity functions, two empty fingerprints are identical
(distance 0), as they are to RDKit's pickers.  Under another metric
(`quarnel.metrics`, symmetric only) the picks are those of RDKit's
``LazyPick`` handed ``1 - similarity``, and two empty fingerprints score as
the metric scores them everywhere else in the package: 0.0 (distance 1)
with Dice and cosine, 1.0 (distance 0) with Tversky, as RDKit's
``DiceSimilarity``, ``CosineSimilarity`` and ``TverskySimilarity`` do.
"""

from __future__ import annotations

from typing import Iterable

import numpy as np

import _quarnel

from .checks import check_threads
from .errors import QuarnelError
from .functions import native_call
from .metrics import as_metric, is_symmetric, native_metric
from .progress import progress_bar
from .resolve import check_comparable, resolved

_native = _quarnel._pickers

__all__ = ["maxmin_pick", "leader_pick"]


def maxmin_pick(fingerprints, n: int, *, seed: int = -1, first_picks: Iterable[int] = (),
                references=None, metric="tanimoto", n_threads: int = -1, progress: bool = False) -> np.ndarray:
    """Pick `n` diverse rows by MaxMin: each pick is the row farthest from
    all picks so far.

    The picks are those of RDKit's
    ``MaxMinPicker().LazyBitVectorPick(fps, len(fps), n, firstPicks=first_picks, seed=seed)``,
    for every thread count.  Under another metric they are those of
    ``MaxMinPicker().LazyPick(distance, len(fps), n, firstPicks=first_picks, seed=seed)``
    with ``distance(i, j) = 1 - similarity(fps[i], fps[j])``.

    Parameters
    ----------
    fingerprints
        The pool to pick from, in any form the package takes
        (`quarnel.resolve`): a fingerprint file, a Database or sharded
        database, a molecule file, ExplicitBitVect or Mol sequences.
    n : int
        How many rows to pick, first picks included (0 to the pool's size).
        With fewer than `n` first picks the result has exactly `n` rows;
        otherwise it is the first picks alone.  Without first picks or
        references, ``n=0`` gives the random first pick alone, as RDKit does.
    seed : int, optional
        Seeds the random first pick (from 0 to 2**32 - 1), drawn exactly as
        RDKit draws it; a negative seed draws a different first pick each
        time.  Ignored when there are first picks or references.
    first_picks : iterable of int, optional
        Pool rows picked first, in this order (duplicates are kept).
    references : same kinds as `fingerprints`, optional
        Fingerprints already held (a collection owned, say): the pool rows
        farthest from them and from each other are picked.  The result is
        RDKit's picks on ``references + pool`` with the references as first
        picks, less the references, numbered as pool rows.
    metric : str or Tversky, optional
        The similarity whose ``1 - similarity`` is the distance
        (`quarnel.metrics`): "tanimoto" (the default), "dice", "cosine" or
        ``quarnel.Tversky(alpha, alpha)``; a symmetric one, since a
        distance has no direction.
    n_threads : int, optional
        Worker threads; -1 (the default) uses every CPU available.
    progress : bool, optional
        Show a bar of the picks made on standard error, when it is a
        terminal.

    Returns
    -------
    numpy.ndarray of int64
        The picked rows, in pick order, first picks first.

    Raises
    ------
    ValueError
        An empty pool, `n` negative or larger than the pool, a first pick
        that is not a pool row, references of another bit length, an
        unknown or asymmetric metric.
    Notes
    -----
    Distance is ``1 - TanimotoSimilarity`` and two empty fingerprints are at
    distance 0; under another metric it is ``1 - similarity`` and two empty
    fingerprints are as far apart as the metric scores them (see
    `quarnel.picking`).  Ties: among rows equally far from the picks, the
    lowest row is picked.  So rows identical to a pick (or to a reference)
    come last, the lowest first.

    Examples
    --------
    >>> quarnel.maxmin_pick("library.qfp", 100, seed=42)
    array([ 2195,  4410,   873, ...])
    """
    n_threads = check_threads(n_threads)
    name, alpha, beta = _pick_metric(metric)
    with resolved(fingerprints) as pool, progress_bar(progress, "pick", "pick", total=n) as bar:
        if references is None:
            return native_call(_native.maxmin_pick, pool.single_file(), n, seed, first_picks, None, n_threads,
                               _bar_updater(bar), name, alpha, beta)
        with resolved(references, like=pool) as held:
            check_comparable(held, pool, role="references", can_allow=False)
            return native_call(_native.maxmin_pick, pool.single_file(), n, seed, first_picks, held.single_file(),
                               n_threads, _bar_updater(bar), name, alpha, beta)


def leader_pick(fingerprints, threshold: float, *, n: int = 0, first_picks: Iterable[int] = (),
                metric="tanimoto", n_threads: int = -1, progress: bool = False) -> np.ndarray:
    """Pick rows by sphere exclusion: the lowest row left is picked and every
    row at least `threshold` similar to it leaves the pool, until none is left.

    The picks are those of RDKit's
    ``LeaderPicker().LazyBitVectorPick(fps, len(fps), 1 - threshold, n, first_picks)``,
    for every thread count: picked rows score below `threshold` with each
    other.  Under another metric they are those of
    ``LeaderPicker().LazyPick(distance, len(fps), 1 - threshold, n, first_picks)``
    with ``distance(i, j) = 1 - similarity(fps[i], fps[j])``.

    Parameters
    ----------
    fingerprints
        The pool to pick from, in any form the package takes.
    threshold : float
        Similarity from 0 to 1 (RDKit's pickers take the distance
        ``1 - threshold`` and do not check it).
    n : int, optional
        At most this many picks, first picks included; 0 (the default) picks
        until the pool is used up.
    first_picks : iterable of int, optional
        Pool rows picked first, in this order (duplicates are kept); each
        excludes its own sphere, itself included, before the picking goes on.
    metric : str or Tversky, optional
        The similarity compared with `threshold` (`quarnel.metrics`):
        "tanimoto" (the default), "dice", "cosine" or
        ``quarnel.Tversky(alpha, alpha)``; a symmetric one.
    n_threads : int, optional
        Worker threads; -1 (the default) uses every CPU available.
    progress : bool, optional
        Show a bar of the rows covered (picked or excluded) on standard
        error, when it is a terminal.

    Returns
    -------
    numpy.ndarray of int64
        The picked rows, in pick order, first picks first.

    Raises
    ------
    ValueError
        `threshold` outside [0, 1], an empty pool, `n` negative or larger
        than the pool, a first pick that is not a pool row, an unknown or
        asymmetric metric.
    Notes
    -----
    A row leaves the pool when ``1 - s <= 1 - threshold`` for its similarity
    `s` to a pick, both sides computed in double precision as RDKit computes
    them.  Under Tanimoto two empty fingerprints have similarity 1; under
    another metric, what the metric scores them (0 for Dice and cosine, so
    above `threshold` 0 an empty row excludes no other row; see
    `quarnel.picking`).  A row is picked once at most (first picks aside),
    even where the metric puts it at distance 1 from itself, as Dice and
    cosine put an empty row: RDKit's ``LazyPick`` would pick that row again
    and again, and these are its picks with ``distance(i, i) = 0``.
    Because it is the
    distances that are compared, a pair scoring within rounding (about
    1e-16) of `threshold` may count as at the threshold; it does in RDKit
    too, so the picks stay RDKit's even there.

    Examples
    --------
    >>> quarnel.leader_pick("library.qfp", 0.6)
    array([   0,    1,    3, ...])
    """
    n_threads = check_threads(n_threads)
    name, alpha, beta = _pick_metric(metric)
    with resolved(fingerprints) as pool, progress_bar(progress, "pick", "row", total=pool.rows) as bar:
        return native_call(_native.leader_pick, pool.single_file(), threshold, n, first_picks, n_threads,
                           _bar_updater(bar), name, alpha, beta)


def _pick_metric(metric):
    """The native (name, alpha, beta) of a symmetric metric: a distance has
    no direction, so asymmetric Tversky is refused."""
    metric = as_metric(metric)
    if not is_symmetric(metric):
        raise QuarnelError(f"picking needs a symmetric metric, not {metric} (use Tversky with alpha == beta, "
                           "or another metric)")
    return native_metric(metric)


def _bar_updater(bar):
    """The native pickers' `progress` callable: they report a running
    count, the bar wants steps.  None when the bar is off, which spares the
    calls altogether."""
    if bar.disable:
        return None

    def update(done: int) -> None:
        bar.update(done - bar.n)

    return update
