"""Diversity picking with RDKit's MaxMin and Leader pickers' picks, on all
cores, in memory for the fingerprints plus a few bytes per row.

Both compare RDKit's distance ``1 - TanimotoSimilarity`` in double
precision, as RDKit computes it, so ties and sphere edges fall where they
fall in RDKit.  Unlike the similarity functions, two empty fingerprints are
identical here (distance 0), as they are to RDKit's pickers.
"""

from __future__ import annotations

from typing import Iterable

import numpy as np

import _quarnel

from .checks import check_threads
from .functions import native_call
from .progress import progress_bar
from .resolve import check_comparable, resolved

_native = _quarnel._pickers

__all__ = ["maxmin_pick", "leader_pick"]


def maxmin_pick(fingerprints, n: int, *, seed: int = -1, first_picks: Iterable[int] = (),
                references=None, n_threads: int = -1, progress: bool = False) -> np.ndarray:
    """Pick `n` diverse rows by MaxMin: each pick is the row farthest from
    all picks so far.

    The picks are those of RDKit's
    ``MaxMinPicker().LazyBitVectorPick(fps, len(fps), n, firstPicks=first_picks, seed=seed)``,
    for every thread count.

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
        that is not a pool row, references of another bit length.
    Notes
    -----
    Distance is ``1 - TanimotoSimilarity`` and two empty fingerprints are at
    distance 0.  Ties: among rows equally far from the picks, the lowest row
    is picked.  So rows identical to a pick (or to a reference) come last,
    the lowest first.

    Examples
    --------
    >>> quarnel.maxmin_pick("library.qfp", 100, seed=42)
    array([ 2195,  4410,   873, ...])
    """
    n_threads = check_threads(n_threads)
    with resolved(fingerprints) as pool, progress_bar(progress, "pick", "pick", total=n) as bar:
        if references is None:
            return native_call(_native.maxmin_pick, pool.single_file(), n, seed, first_picks, None, n_threads,
                               _bar_updater(bar))
        with resolved(references, like=pool) as held:
            check_comparable(held, pool)
            return native_call(_native.maxmin_pick, pool.single_file(), n, seed, first_picks, held.single_file(),
                               n_threads, _bar_updater(bar))


def leader_pick(fingerprints, threshold: float, *, n: int = 0, first_picks: Iterable[int] = (),
                n_threads: int = -1, progress: bool = False) -> np.ndarray:
    """Pick rows by sphere exclusion: the lowest row left is picked and every
    row at least `threshold` similar to it leaves the pool, until none is left.

    The picks are those of RDKit's
    ``LeaderPicker().LazyBitVectorPick(fps, len(fps), 1 - threshold, n, first_picks)``,
    for every thread count: picked rows score below `threshold` with each
    other.

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
        than the pool, a first pick that is not a pool row.
    Notes
    -----
    A row leaves the pool when ``1 - s <= 1 - threshold`` for its similarity
    `s` to a pick, both sides computed in double precision as RDKit computes
    them, and two empty fingerprints have similarity 1.  Because it is the
    distances that are compared, a pair scoring within rounding (about
    1e-16) of `threshold` may count as at the threshold; it does in RDKit
    too, so the picks stay RDKit's even there.

    Examples
    --------
    >>> quarnel.leader_pick("library.qfp", 0.6)
    array([   0,    1,    3, ...])
    """
    n_threads = check_threads(n_threads)
    with resolved(fingerprints) as pool, progress_bar(progress, "pick", "row", total=pool.rows) as bar:
        return native_call(_native.leader_pick, pool.single_file(), threshold, n, first_picks, n_threads,
                           _bar_updater(bar))


def _bar_updater(bar):
    """The native pickers' `progress` callable: they report a running
    count, the bar wants steps.  None when the bar is off, which spares the
    calls altogether."""
    if bar.disable:
        return None

    def update(done: int) -> None:
        bar.update(done - bar.n)

    return update
