"""Threshold search as sparse similarity matrices: every pair scoring at
least the threshold, in memory proportional to the pairs found."""

from __future__ import annotations

import numpy as np

from . import scoring
from .checks import check_threads, check_threshold
from .errors import QuarnelError
from .interrupt import check_interrupt
from .metrics import as_metric
from .resolve import Fingerprints, check_comparable, resolved


def internal_neighbours(fingerprints: Fingerprints, threshold: float, n_threads: int, metric="tanimoto"):
    """(indptr, indices, scores) of every pair of rows of one set scoring at
    least `threshold`, both directions listed, never a row with itself (for
    an asymmetric metric, row i's entries score i as the query)."""
    return scoring.internal_threshold(fingerprints.whole(), threshold, metric, n_threads)


def cross_neighbours(queries: Fingerprints, database: Fingerprints, threshold: float, n_threads: int,
                     metric="tanimoto"):
    """(indptr, indices, scores) of every query row against every database
    row scoring at least `threshold`, each row's columns ascending (global
    database rows, window after window)."""
    rows = queries.whole()
    parts = []
    for window in database.windows():
        check_interrupt()
        indptr, indices, scores = scoring.cross_threshold(rows, window.source(), threshold, metric, n_threads,
                                                          window.offset, window.limit)
        parts.append((np.asarray(indptr, np.int64), indices.astype(np.int64) + window.first_row, scores))
    if not parts:  # an empty database: every query has no pair
        return np.zeros(queries.rows + 1, np.int64), np.zeros(0, np.int64), np.zeros(0, np.float64)
    if len(parts) == 1:
        return parts[0]
    return _joined_columns(parts, queries.rows)


def _joined_columns(parts, n_rows):
    """CSR rows of column blocks side by side; blocks are in column order,
    so each row stays ascending."""
    counts = sum(np.diff(indptr) for indptr, _, _ in parts) if parts else np.zeros(n_rows, np.int64)
    indptr = np.zeros(n_rows + 1, np.int64)
    np.cumsum(counts, out=indptr[1:])
    row_of = np.concatenate([np.repeat(np.arange(n_rows), np.diff(p)) for p, _, _ in parts])
    block_of = np.concatenate([np.full(len(i), b) for b, (_, i, _) in enumerate(parts)])
    order = np.lexsort((block_of, row_of))  # stable within a block: its columns stay ascending
    indices = np.concatenate([i for _, i, _ in parts])[order]
    scores = np.concatenate([s for _, _, s in parts])[order]
    return indptr, indices, scores


def similarity_matrix(queries, database=None, *, threshold, metric="tanimoto", n_threads=-1, allow_mismatch=False):
    """The scores of at least `threshold` as a sparse matrix.

    Parameters
    ----------
    queries, database
        Fingerprints in any form (`quarnel.resolve`): ExplicitBitVect
        sequences, fingerprint files, Databases and sharded databases,
        molecule files, SMILES.  With a database: shape (N1, N2), queries
        against the database (molecules fingerprinted as its metadata
        says).  Without: the symmetric (N, N) matrix of `queries` against
        itself, without its diagonal.
    threshold : float
        In [0, 1]; pairs scoring at least this are kept (threshold 0 keeps
        every pair, also those scoring 0.0).
    metric : {"tanimoto", "dice", "cosine"} or Tversky, default "tanimoto"
        How pairs are scored (`quarnel.metrics`); with an asymmetric
        Tversky, row i scores as the query.
    n_threads : int, default -1
        Worker threads (-1: every CPU).
    allow_mismatch : bool
        Compare sets made with different fingerprint settings.

    Returns
    -------
    scipy.sparse.csr_matrix
        float64 scores, each row's columns ascending.  A stored 0.0 (at
        threshold 0) is an explicit entry, not a missing one.  Rows are
        the fingerprinted inputs, in order (molecules RDKit could not parse
        have none).

    Examples
    --------
    >>> m = quarnel.similarity_matrix("nci.qfp", threshold=0.7)
    >>> m.shape, m.nnz
    ((4993, 4993), 2640)
    """
    from scipy import sparse

    threshold = check_threshold(threshold)
    n_threads = check_threads(n_threads)
    metric = as_metric(metric)
    if database is None:
        with resolved(queries) as fingerprints:
            found = internal_neighbours(fingerprints, threshold, n_threads, metric)
            return sparse.csr_matrix(*_sparse_by_record(*found, fingerprints, fingerprints))
    with resolved(database) as target, resolved(queries, like=target) as source:
        check_comparable(source, target, allow_mismatch=allow_mismatch)
        found = cross_neighbours(source, target, threshold, n_threads, metric)
        return sparse.csr_matrix(*_sparse_by_record(*found, source, target))


def _sparse_by_record(indptr, indices, scores, rows: Fingerprints, columns: Fingerprints):
    """((scores, indices, indptr), shape) with rows and columns at their
    input records: a record RDKit could not parse has an empty row and
    column."""
    if columns.positions is not None:
        indices = columns.positions[indices]
    if rows.positions is not None:
        counts = np.zeros(rows.records, np.int64)
        counts[rows.positions] = np.diff(indptr)
        indptr = np.concatenate([[0], np.cumsum(counts)])
    return (scores, indices, indptr), (rows.records, columns.records)


def similarity(queries, database=None, *, metric="tanimoto", agg=None, n_threads=-1, allow_mismatch=False):
    """Scores of every query against every database row, or of a set
    against itself, for any metric and any form of fingerprints.

    Parameters
    ----------
    queries, database
        Fingerprints in any form (`quarnel.resolve`); molecules are
        fingerprinted as the database's metadata says.
    metric : {"tanimoto", "dice", "cosine"} or Tversky, default "tanimoto"
        How pairs are scored (`quarnel.metrics`); with `Tversky` the queries
        (or, without a database, row i of pair (i, j)) are the first
        argument of RDKit's ``TverskySimilarity``.
    agg : {None, "mean", "max", "min"}
        None: with a database, the (N1, N2) float64 matrix; without one, the
        condensed vector of the N*(N-1)/2 pairs (0, 1), (0, 2), ... as
        ``scipy.spatial.distance.squareform`` reads it.  Otherwise one
        value per query (per row, over the others without a database).
    n_threads : int, default -1
        Worker threads (-1: every CPU).
    allow_mismatch : bool
        Compare sets made with different fingerprint settings.

    Returns
    -------
    numpy.ndarray
        float64, identical for every thread count and equal to RDKit's
        bulk functions for the metric.  A query RDKit could not parse keeps
        its row, filled with NaN, and a database record its column; an
        aggregate leaves such records out.  Over a sharded database a
        "mean" adds the shards' sums, so it may differ from a single file's
        in the last bit.

    Examples
    --------
    >>> quarnel.similarity(["CCO", "CCN"], "nci.qfp", metric="dice", agg="max")
    array([0.55555556, 1.        ])
    """
    metric = as_metric(metric)
    n_threads = check_threads(n_threads)
    if agg not in (None, "full", "mean", "max", "min"):
        raise QuarnelError(f"agg must be None, 'mean', 'max' or 'min', not {agg!r}")
    agg = None if agg == "full" else agg
    if database is None:
        with resolved(queries) as fingerprints:
            if agg is None and fingerprints.skipped:
                raise QuarnelError(f"{fingerprints.origin}: the condensed vector needs every input; RDKit could not "
                                   f"parse {', '.join(s.where for s in fingerprints.skipped[:5])}")
            values = scoring.internal(fingerprints.whole(), metric, agg, n_threads)
            return _by_record(values, fingerprints)
    with resolved(database) as target, resolved(queries, like=target) as source:
        check_comparable(source, target, allow_mismatch=allow_mismatch)
        rows = source.whole()
        parts = []
        for window in target.windows():
            check_interrupt()
            parts.append(scoring.cross(rows, window.source(), metric, agg, n_threads, window.offset, window.limit))
        values = _joined(parts, agg, source.rows, [w.limit for w in target.windows()])
        if agg is None:
            values = _by_record(values.T, target).T
        return _by_record(values, source)


def _joined(parts, agg, n_rows, sizes):
    """One result from the windows' results, in row order."""
    if not parts:
        return np.zeros((n_rows, 0)) if agg is None else np.zeros(n_rows)
    if len(parts) == 1:
        return parts[0]
    if agg is None:
        return np.hstack(parts)
    if agg == "max":
        return np.maximum.reduce(parts)
    if agg == "min":
        return np.minimum.reduce(parts)
    return sum(part * size for part, size in zip(parts, sizes)) / sum(sizes)


def _by_record(values: np.ndarray, fingerprints: Fingerprints) -> np.ndarray:
    """Rows placed at their input records, NaN where RDKit could not parse
    the record."""
    if fingerprints.positions is None:
        return values
    spread = np.full((fingerprints.records,) + values.shape[1:], np.nan)
    spread[fingerprints.positions] = values
    return spread
