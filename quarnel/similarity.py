"""Threshold search as sparse similarity matrices: every pair scoring at
least the threshold, in memory proportional to the pairs found."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Sequence

from . import functions
from .database import Database, temporary_folder
from .errors import QuarnelError
from .shards import is_shard_set


def _as_path(fingerprints):
    """The path of a fingerprint file or Database, or None for a sequence."""
    if isinstance(fingerprints, (str, bytes, os.PathLike, Database)):
        path = fingerprints.path if isinstance(fingerprints, Database) else fingerprints
        if is_shard_set(path):
            raise QuarnelError(f"{os.fsdecode(path)}: threshold matrices and clustering need one fingerprint "
                               "file, not a sharded database")
        return path
    if isinstance(fingerprints, Sequence):
        return None
    raise TypeError(f"expected a sequence of ExplicitBitVect, a fingerprint file or a Database, "
                    f"not {type(fingerprints).__name__}")


@contextlib.contextmanager
def _file_of(fingerprints):
    """A fingerprint file holding `fingerprints`: their own, or a temporary one."""
    path = _as_path(fingerprints)
    if path is not None:
        yield path
        return
    with temporary_folder() as folder:
        functions.save_fingerprints(fingerprints, folder / "set.qfp")
        yield folder / "set.qfp"


def threshold_neighbours(queries, database=None, *, threshold, n_threads=-1):
    """(indptr, indices, scores) of every pair scoring at least `threshold`:
    query rows against database rows, or, without a database, each row
    against every other row of `queries` (both directions listed)."""
    if database is None:
        path = _as_path(queries)
        if path is None:
            return functions.internal_tanimoto_parallel_threshold(queries, threshold, n_threads)
        return functions.internal_tanimoto_mmap_threshold(path, threshold, n_threads)
    if _as_path(queries) is None and _as_path(database) is None:
        return functions.bulk_tanimoto_parallel_threshold(queries, database, threshold, n_threads)
    with _file_of(queries) as query_path, _file_of(database) as database_path:
        return functions.bulk_tanimoto_mmap_threshold(query_path, database_path, threshold, n_threads)


def similarity_matrix(queries, database=None, *, threshold, n_threads=-1):
    """The Tanimoto scores of at least `threshold` as a sparse matrix.

    Parameters
    ----------
    queries, database : sequence of ExplicitBitVect, fingerprint file path or Database
        With a database: shape (N1, N2), queries against the database.
        Without: the symmetric (N, N) matrix of `queries` against itself,
        without its diagonal.
    threshold : float
        In [0, 1]; pairs scoring at least this are kept (threshold 0 keeps
        every pair, also those scoring 0.0).

    Returns
    -------
    scipy.sparse.csr_matrix
        float64 scores, each row's columns ascending.  A stored 0.0 (at
        threshold 0) is an explicit entry, not a missing one.

    Examples
    --------
    >>> m = quarnel.similarity_matrix(fps, threshold=0.7)
    >>> m[3].indices, m[3].data
    """
    from scipy import sparse

    indptr, indices, scores = threshold_neighbours(queries, database, threshold=threshold,
                                                   n_threads=n_threads)
    n_rows = len(indptr) - 1
    n_cols = n_rows if database is None else _row_count(database)
    return sparse.csr_matrix((scores, indices, indptr), shape=(n_rows, n_cols))


def _row_count(fingerprints) -> int:
    path = _as_path(fingerprints)
    if path is None:
        return len(fingerprints)
    return Database(path).rows if not isinstance(fingerprints, Database) else fingerprints.rows
