"""Threshold search as sparse similarity matrices: every pair scoring at
least the threshold, in memory proportional to the pairs found."""

from __future__ import annotations

import numpy as np

from . import functions
from .checks import check_threads, check_threshold
from .interrupt import check_interrupt
from .resolve import Fingerprints, check_comparable, resolved


def internal_neighbours(fingerprints: Fingerprints, threshold: float, n_threads: int):
    """(indptr, indices, scores) of every pair of rows of one set scoring at
    least `threshold`, both directions listed, never a row with itself."""
    return functions.internal_tanimoto_mmap_threshold(fingerprints.single_file(), threshold, n_threads)


def cross_neighbours(queries: Fingerprints, database: Fingerprints, threshold: float, n_threads: int):
    """(indptr, indices, scores) of every query row against every database
    row scoring at least `threshold`, each row's columns ascending (global
    database rows, window after window)."""
    query_path = queries.single_file()
    parts = []
    for window in database.windows():
        check_interrupt()
        indptr, indices, scores = functions.bulk_tanimoto_mmap_threshold(
            query_path, window.path, threshold, n_threads, window.offset, window.limit)
        parts.append((np.asarray(indptr, np.int64), indices.astype(np.int64) + window.first_row, scores))
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


def similarity_matrix(queries, database=None, *, threshold, n_threads=-1, allow_mismatch=False):
    """The Tanimoto scores of at least `threshold` as a sparse matrix.

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
    if database is None:
        with resolved(queries) as fingerprints:
            indptr, indices, scores = internal_neighbours(fingerprints, threshold, n_threads)
            shape = (fingerprints.rows, fingerprints.rows)
    else:
        with resolved(database) as target, resolved(queries, like=target) as source:
            check_comparable(source, target, allow_mismatch=allow_mismatch)
            indptr, indices, scores = cross_neighbours(source, target, threshold, n_threads)
            shape = (source.rows, target.rows)
    return sparse.csr_matrix((scores, indices, indptr), shape=shape)
